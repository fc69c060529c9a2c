#include "testkit/FrameBytes.h"
#include "tessary/protocol/shared/FrameCodec.h"

#include <algorithm>
#include <cstring>
#include <new>

Bytes ToBytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes ToBytes(const void* data, size_t size) {
    const auto* begin = static_cast<const uint8_t*>(data);
    return Bytes(begin, begin + size);
}

void Append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

Bytes Concat(const std::vector<Bytes>& parts) {
    Bytes bytes;
    for (const Bytes& part : parts) {
        Append(bytes, part);
    }
    return bytes;
}

Bytes PatternBytes(size_t size, uint64_t seed) {
    Bytes bytes(size);
    FillPattern(bytes.data(), size, seed);
    return bytes;
}

MessageHead Head(uint32_t type, const char* source, const char* target, int32_t command,
                 uint32_t flags) {
    MessageHead head(type);
    head.SetSourceID(source);
    head.SetTargetID(target);
    head.Command = command;
    head.Flags = flags;
    return head;
}

Bytes HeadBytes(const MessageHead& head) { return ToBytes(&head, sizeof head); }

Bytes PDVBytes(uint32_t cbData, bool last) {
    MessagePDV pdv;
    pdv.cbData = cbData;
    pdv.Flags = last ? MessagePDV::Last : 0;
    return ToBytes(&pdv, sizeof pdv);
}

Bytes TailBytes() {
    Tail tail;
    return ToBytes(&tail, sizeof tail);
}

MessageHead HeadFromBytes(const uint8_t* data) {
    // MessageHead is trivially copyable: copying bytes into suitably aligned storage creates a
    // head there without its constructor drawing a message number.
    alignas(MessageHead) unsigned char storage[sizeof(MessageHead)];
    std::memcpy(storage, data, sizeof storage);
    return *std::launder(reinterpret_cast<MessageHead*>(storage));
}

MessageHead AnswerHead(const MessageHead& request, uint32_t type) {
    return AnswerHead(request, type, request.GetTargetID().c_str());
}

std::string PeerFrame::BodyText() const { return std::string(Body.begin(), Body.end()); }

ParseResult ParseFrame(const uint8_t* data, size_t size) {
    const ParseResult malformed{ParseStatus::Malformed, std::nullopt};
    if (size < sizeof(MessageHead)) {
        return {};
    }
    PeerFrame frame(HeadFromBytes(data));
    if (frame.Head.Magic != HeadMagic) {
        return malformed;
    }
    size_t pos = sizeof(MessageHead);
    // The rest is split by the library's codec as its readers split it: negative lengths count
    // as none, and no limit applies.
    FrameCodec codec(INT64_MAX);
    codec.Begin(frame.Head);
    while (frame.Head.Type != HeadType::Listen && !frame.HasTail) {
        size_t used = 0;
        const auto step = codec.Next(reinterpret_cast<const char*>(data + pos), size - pos, used);
        pos += used;
        if (step.status != FrameCodec::Status::Segment) {
            return step.status == FrameCodec::Status::Error ? malformed : ParseResult{};
        }
        const auto* at = reinterpret_cast<const uint8_t*>(step.data);
        if (step.part == FrameCodec::Part::Body) {
            frame.Body.insert(frame.Body.end(), at, at + step.size);
        } else if (step.part == FrameCodec::Part::Data) {
            frame.Blob.insert(frame.Blob.end(), at, at + step.size);
        }
        frame.HasTail = step.part == FrameCodec::Part::Tail;
    }
    frame.Size = pos;
    return {ParseStatus::Complete, std::move(frame)};
}

std::vector<PeerFrame> ParseFrames(const Bytes& stream) {
    std::vector<PeerFrame> frames;
    size_t offset = 0;
    while (offset < stream.size()) {
        ParseResult result = ParseFrame(stream.data() + offset, stream.size() - offset);
        if (result.Status != ParseStatus::Complete) {
            break;
        }
        offset += result.Frame->Size;
        frames.push_back(std::move(*result.Frame));
    }
    return frames;
}

FrameBuilder& FrameBuilder::Body(std::string_view text) {
    m_Body = ToBytes(text);
    m_Head.Flags &= ~HeadFlag::Wide;
    return *this;
}

FrameBuilder& FrameBuilder::WideBody(std::u16string_view text) {
    m_Body = ToBytes(text.data(), text.size() * sizeof(char16_t));
    m_Head.Flags |= HeadFlag::Wide;
    return *this;
}

FrameBuilder& FrameBuilder::RawBody(const Bytes& body) {
    m_Body = body;
    return *this;
}

FrameBuilder& FrameBuilder::Blob(const Bytes& blob, size_t chunk) {
    std::vector<Bytes> chunks;
    for (auto at = blob.begin(); at != blob.end(); at += static_cast<long>(chunk)) {
        chunk = std::min<size_t>(chunk, static_cast<size_t>(blob.end() - at));
        chunks.emplace_back(at, at + static_cast<long>(chunk));
    }
    return chunks.empty() ? *this : Chunks(chunks, false);
}

FrameBuilder& FrameBuilder::Chunks(const std::vector<Bytes>& chunks, bool streamed) {
    m_Chunks = chunks;
    m_HasBlob = true;
    m_Streamed = streamed;
    return *this;
}

FrameBuilder& FrameBuilder::CbMessage(int32_t value) {
    m_CbMessage = value;
    return *this;
}

FrameBuilder& FrameBuilder::CbBLOB(int32_t value) {
    m_CbBLOB = value;
    return *this;
}

Bytes FrameBuilder::Build() const {
    MessageHead head = m_Head;
    head.cbMessage = m_CbMessage.value_or(static_cast<int32_t>(m_Body.size()));
    int64_t total = 0;
    for (const auto& chunk : m_Chunks) {
        total += static_cast<int64_t>(chunk.size());
    }
    const int32_t announced =
        !m_HasBlob ? 0 : (m_Streamed ? UnknownBLOBSize : static_cast<int32_t>(total));
    head.cbBLOB = m_CbBLOB.value_or(announced);

    Bytes bytes = HeadBytes(head);
    Append(bytes, m_Body);
    if (m_HasBlob) {
        for (const auto& chunk : m_Chunks) {
            Append(bytes, PDVBytes(static_cast<uint32_t>(chunk.size()), false));
            Append(bytes, chunk);
        }
        Append(bytes, PDVBytes(0, true));
    }
    Append(bytes, TailBytes());
    return bytes;
}
