#include "tessary/protocol/shared/FrameWriter.h"

#include "tessary/protocol/internal/BUSStreamAccess.h"

#include <algorithm>
#include <exception>

namespace {

// Keeps the output of one writer call together. A frame of several blocks is corked, so its
// pieces leave in full segments; a frame that fits one block goes out in one send anyway and is
// not corked, which saves two system calls per message. When the call ends by an exception, the
// output not yet sent is dropped: it may point at the caller's memory, and a later frame must
// not follow a torn one's leftovers.
class FrameScope {
public:
    FrameScope(NetBuffer& stream, bool cork)
        : m_Stream(stream), m_Cork(cork), m_Exceptions(std::uncaught_exceptions()) {
        if (m_Cork) {
            m_Stream.Cork(true);
        }
    }
    FrameScope(const FrameScope&) = delete;
    FrameScope& operator=(const FrameScope&) = delete;
    ~FrameScope() {
        if (std::uncaught_exceptions() > m_Exceptions) {
            m_Stream.OStreamBuffer::Reset();
        }
        if (m_Cork) {
            m_Stream.Cork(false);
        }
    }

private:
    NetBuffer& m_Stream;
    bool m_Cork;
    int m_Exceptions;
};

// A body of a chunk or more is sent from where it lies, as a block of its own.
bool SpansBlocks(int32_t bodyLength) {
    return bodyLength >= static_cast<int32_t>(OutBuffer::DefaultChunkSize);
}

void WriteHeadRecord(NetBuffer& stream, const MessageHead& head) {
    stream.Write(&head, std::min<uint32_t>(head.Size, sizeof head));
}

// A large range goes in as a borrowed block and is sent from where it lies by the next Flush,
// which every writer makes before it returns; a small one is copied next to the records.
void WriteBytes(NetBuffer& stream, const void* data, uint32_t n) {
    if (n >= OutBuffer::DefaultChunkSize) {
        stream.OStreamBuffer::AppendBlock(StreamBlock::Borrow(data, n, true));
    } else if (n > 0) {
        stream.Write(data, n);
    }
}

void WriteBody(NetBuffer& stream, const void* body, int32_t n) {
    if (n > 0 && body != nullptr) {
        WriteBytes(stream, body, static_cast<uint32_t>(n));
    }
}

void WritePDV(NetBuffer& stream, uint32_t cbData, bool last) {
    MessagePDV pdv;
    pdv.cbData = cbData;
    pdv.Flags = last ? MessagePDV::Last : 0;
    stream.Write(&pdv, sizeof pdv);
}

void WriteTail(NetBuffer& stream) {
    const Tail tail;
    stream.Write(&tail, sizeof tail);
}

void Stamp(MessageHead& head, int32_t cbMessage, int32_t cbBLOB) {
    head.TickCount = TickCount32();
    head.cbMessage = cbMessage;
    head.cbBLOB = cbBLOB;
}

} // namespace

void WriteChunk(NetBuffer& stream, const void* data, uint32_t n) {
    WritePDV(stream, n, false);
    WriteBytes(stream, data, n);
}

bool WriteHead(NetBuffer& stream, MessageHead& head) {
    FrameScope scope(stream, false);
    head.TickCount = TickCount32();
    head.cbMessage = 0;
    WriteHeadRecord(stream, head);
    WriteTail(stream);
    stream.Flush();
    return true;
}

bool WriteMessage(NetBuffer& stream, MessageHead& head, const void* body, int32_t n) {
    FrameScope scope(stream, SpansBlocks(n));
    Stamp(head, n, 0);
    WriteHeadRecord(stream, head);
    WriteBody(stream, body, n);
    WriteTail(stream);
    stream.Flush();
    return true;
}

bool WriteBLOB(NetBuffer& stream, MessageHead& head, const void* body, int32_t n,
               const TmplBlockBuffer<unsigned char>& blob) {
    FrameScope scope(stream, blob.Length() > 0 || SpansBlocks(n));
    const int32_t length = blob.Length();
    Stamp(head, n, length);
    WriteHeadRecord(stream, head);
    WriteBody(stream, body, n);
    if (length > 0) {
        // The whole BLOB is one data PDV; each step is flushed, and a connection lost after the
        // data gets no closing PDV (the tail is still written, into a closed socket).
        WriteChunk(stream, blob.GetData(), static_cast<uint32_t>(length));
        stream.Flush();
        if (stream.IsConnected()) {
            WritePDV(stream, 0, true);
            stream.Flush();
        }
    }
    WriteTail(stream);
    stream.Flush();
    return true;
}

bool WriteBLOBStream(NetBuffer& stream, MessageHead& head, const void* body, int32_t n,
                     const BUSStreamWriter& writer) {
    FrameScope scope(stream, true);
    Stamp(head, n, UnknownBLOBSize);
    WriteHeadRecord(stream, head);
    WriteBody(stream, body, n);
    // Head and body wait in the output blocks; the writer's first chunk sends them along.
    writer(BUSStreamAccess::Open(&stream));
    WritePDV(stream, 0, true);
    WriteTail(stream);
    stream.Flush();
    return true;
}
