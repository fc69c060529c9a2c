#pragma once

#include "tessary/protocol/shared/MessageHead.h"

#include <string>

namespace busd {

// The frames the bus server writes itself, each as the bytes that go on the wire.

// Head plus tail: replies, SYNC, heartbeats and the on-line message have neither body nor BLOB.
std::string HeadOnlyFrame(const MessageHead& head);

// A head from the bus server itself, stamped now.
MessageHead ServerHead(uint32_t type, const char* targetId);

// The Reply or Failed for a request: the request's MessageID, CallerID and Command echoed so
// the sender can match it, addressed back to the request's source.
MessageHead ReplyHead(uint32_t type, const MessageHead& request);

std::string SyncFrame(int heartRateMs, const char* targetId);
std::string OnlineFrame(const char* targetId);
std::string HeartbeatFrame(uint32_t type);

} // namespace busd
