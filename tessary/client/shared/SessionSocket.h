#pragma once

class BUSNetPDUProxy;

// The descriptor of the command session a sender holds in its PDUProxy, -1 when it holds none.
// A program that watches a transfer the library makes in one call queries the socket through
// it; the descriptor is never to be read or written.
int SessionSocket(const BUSNetPDUProxy* proxy);
