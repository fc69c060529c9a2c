#include "server/internal/federation/Envelope.h"

#include <cstring>

namespace busd {

namespace {

constexpr uint32_t Magic = 0x54534631; // "TSF1"

#pragma pack(push, 1)
struct Header {
    uint32_t Magic;
    uint8_t Kind;
    uint8_t FrameEnd;
    uint8_t NodeLength;
    uint8_t Reserved;
    uint64_t Token;
    uint64_t Seq;
    uint64_t Value;
};
#pragma pack(pop)

} // namespace

size_t EnvelopeOverhead(const std::string& node) { return sizeof(Header) + node.size(); }

void EncodeEnvelope(const Envelope& envelope, std::string& message) {
    Header header{Magic,
                  static_cast<uint8_t>(envelope.Kind),
                  static_cast<uint8_t>(envelope.FrameEnd ? 1 : 0),
                  static_cast<uint8_t>(envelope.Node.size()),
                  0,
                  envelope.Token,
                  envelope.Seq,
                  envelope.Value};
    message.assign(reinterpret_cast<const char*>(&header), sizeof header);
    message.append(envelope.Node);
    message.append(envelope.Bytes);
}

std::optional<Envelope> DecodeEnvelope(std::string_view message) {
    Header header{};
    if (message.size() < sizeof header) {
        return std::nullopt;
    }
    std::memcpy(&header, message.data(), sizeof header);
    if (header.Magic != Magic || header.Kind < static_cast<uint8_t>(EnvelopeKind::ToIngress) ||
        header.Kind > static_cast<uint8_t>(EnvelopeKind::CloseProxy) || header.NodeLength == 0 ||
        header.NodeLength > MaxNodeName || message.size() < sizeof header + header.NodeLength) {
        return std::nullopt;
    }
    Envelope envelope;
    envelope.Kind = static_cast<EnvelopeKind>(header.Kind);
    envelope.FrameEnd = header.FrameEnd != 0;
    envelope.Token = header.Token;
    envelope.Seq = header.Seq;
    envelope.Value = header.Value;
    envelope.Node.assign(message.data() + sizeof header, header.NodeLength);
    envelope.Bytes = message.substr(sizeof header + header.NodeLength);
    return envelope;
}

} // namespace busd
