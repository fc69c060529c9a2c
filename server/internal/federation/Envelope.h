#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace busd {

// What travels on a node's subject: a small header naming the pipe it belongs to, the name of
// the node that sent it, and the bytes of frames as they came off a socket (or a credit).
//
// A pipe joins a proxy (a status connection that stands for a remote receiver on the sender's
// node) to an ingress (a command connection on the receiver's node that stands for the remote
// sender); the proxy's node numbers it with Token. Frames go proxy to ingress, the receiver's
// answers come back ingress to proxy.
enum class EnvelopeKind : uint8_t {
    ToIngress = 1,      // frame bytes for the ingress of (sender node, Token)
    ToProxy = 2,        // answer bytes for this node's proxy Token
    CreditToProxy = 3,  // the ingress wrote Value more bytes to its socket
    CreditToIngress = 4,
    CloseIngress = 5,   // the proxy went: end the ingress (mid-frame, as a vanished sender)
    CloseProxy = 6,     // the ingress went, or Value != 0: the receiver is not on that node
};

struct Envelope {
    EnvelopeKind Kind = EnvelopeKind::ToIngress;
    // The bytes end on a frame boundary.
    bool FrameEnd = false;
    uint64_t Token = 0;
    // Per pipe and direction, from 0; a gap means NATS lost a message and the pipe is broken.
    uint64_t Seq = 0;
    // Credit in bytes, or the reason of a close.
    uint64_t Value = 0;
    std::string Node;
    std::string_view Bytes;
};

inline constexpr size_t MaxNodeName = 64;

// The header and node name; the bytes follow them in the same message, which replaces what
// message held (its room is kept, so one buffer serves every message).
void EncodeEnvelope(const Envelope& envelope, std::string& message);
size_t EnvelopeOverhead(const std::string& node);
// Empty when the message is too short, of another kind, or names no node; Bytes points into
// message.
std::optional<Envelope> DecodeEnvelope(std::string_view message);

} // namespace busd
