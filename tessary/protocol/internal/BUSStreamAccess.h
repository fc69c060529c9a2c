#pragma once

#include "tessary/protocol/BUSStream.h"

class NetBuffer;

// The library's only way to make a BUSStream, whose constructor applications cannot reach.
struct BUSStreamAccess {
    static ORVEX::Tessary::Controller::BUSStream Open(NetBuffer* buffer);
};
