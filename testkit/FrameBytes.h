#pragma once

#include "tessary/protocol/shared/MessageHead.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Frames as bytes for byte-level tests and benchmarks. They are built byte by byte, apart from
// the library's writer, so that broken frames are as easy to make as whole ones; they are taken
// apart by the library's own codec, whose frame rules its table of literal frames checks.

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(std::string_view text);
Bytes ToBytes(const void* data, size_t size);
void Append(Bytes& to, const Bytes& more);
// The parts one after another, for frames sent in pieces or broken on purpose.
Bytes Concat(const std::vector<Bytes>& parts);
// Byte i of the pattern of seed: every position differs from its neighbours, so a lost, doubled
// or shifted chunk shows. Any range can be produced on its own (the streamed writers need that).
inline uint8_t PatternByte(uint64_t seed, uint64_t i) {
    return static_cast<uint8_t>(((i + seed) * 0x9E3779B97F4A7C15ull) >> 56);
}
inline void FillPattern(uint8_t* data, size_t n, uint64_t seed, uint64_t offset = 0) {
    for (size_t i = 0; i < n; ++i) {
        data[i] = PatternByte(seed, offset + i);
    }
}
// size bytes of the pattern of seed.
Bytes PatternBytes(size_t size, uint64_t seed = 0);

// A head with the given fields; the lengths are left to FrameBuilder.
MessageHead Head(uint32_t type, const char* source, const char* target, int32_t command = 0,
                 uint32_t flags = 0);

Bytes HeadBytes(const MessageHead& head);
Bytes PDVBytes(uint32_t cbData, bool last = false);
Bytes TailBytes();

// A head read from bytes without running MessageHead's constructor, so parsing takes no
// message number. data must hold 88 bytes.
MessageHead HeadFromBytes(const uint8_t* data);

// The library's answer of type type (Reply, Failed, Ack, Error, ...) to request, as its target
// sends it. Adjust the fields the answer needs (for an Ack: Command 0).
MessageHead AnswerHead(const MessageHead& request, uint32_t type);

// One frame taken apart.
struct PeerFrame {
    explicit PeerFrame(const MessageHead& head) : Head(head) {}

    MessageHead Head;
    Bytes Body;
    // The data of all data PDVs, in order.
    Bytes Blob;
    bool HasTail = false;
    size_t Size = 0;

    std::string BodyText() const;
};

enum class ParseStatus { Complete, Incomplete, Malformed };

struct ParseResult {
    ParseStatus Status = ParseStatus::Incomplete;
    // Set when Status is Complete.
    std::optional<PeerFrame> Frame;
};

// Takes apart the frame that starts at data. A Listen head travels alone: no body, no tail.
// Wrong magics and a chunk overrunning a known BLOB size are Malformed; negative lengths count
// as none.
ParseResult ParseFrame(const uint8_t* data, size_t size);

// Every complete frame of a byte stream, in order, up to an incomplete or malformed one.
std::vector<PeerFrame> ParseFrames(const Bytes& stream);

// Builds one frame. cbMessage and cbBLOB follow what is added unless set explicitly, which
// lets tests announce lengths that the bytes do not keep.
class FrameBuilder {
public:
    explicit FrameBuilder(const MessageHead& head) : m_Head(head) {}

    FrameBuilder& Body(std::string_view text);
    // UTF-16 body; sets the Wide flag.
    FrameBuilder& WideBody(std::u16string_view text);
    // The body's bytes as they are, the flags left alone.
    FrameBuilder& RawBody(const Bytes& body);
    // A BLOB of known size: data PDVs of at most chunk bytes (one unless set), then the
    // closing PDV. An empty BLOB announces cbBLOB 0 and so has no PDV at all.
    FrameBuilder& Blob(const Bytes& blob, size_t chunk = SIZE_MAX);
    // A BLOB cut into the given chunks; streamed announces 0x7FFFFFFF, else the sum.
    FrameBuilder& Chunks(const std::vector<Bytes>& chunks, bool streamed);
    FrameBuilder& CbMessage(int32_t value);
    FrameBuilder& CbBLOB(int32_t value);

    Bytes Build() const;

private:
    MessageHead m_Head;
    Bytes m_Body;
    std::vector<Bytes> m_Chunks;
    bool m_HasBlob = false;
    bool m_Streamed = false;
    std::optional<int32_t> m_CbMessage;
    std::optional<int32_t> m_CbBLOB;
};
