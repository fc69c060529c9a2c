#include "tessary/protocol/shared/FrameReader.h"

#include "tessary/external/Log.h"
#include "tessary/protocol/shared/FrameCodec.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

using Fault = FrameCodec::Fault;
using Status = FrameCodec::Status;

// The reader's line for each way the rest of a frame can fail.
void LogFault(Fault fault) {
    const char* line = "Leave NetRead, BUS Protocol error";
    switch (fault) {
    case Fault::BodyMissing:
        line = "Leave NetRead, BUS Protocol error, cbRead <= 0";
        break;
    case Fault::BodyShort:
        line = "Leave NetRead, BUS Protocol error, cbRead < cbMessage";
        break;
    case Fault::PDVMissing:
        line = "Leave NetRead, BUS Protocol error, cbPDV <= 0";
        break;
    case Fault::PDVShort:
        line = "Leave NetRead, BUS Protocol error, cbPDV < sizeof (MessagePDV)";
        break;
    case Fault::WrongPDVMagic:
        line = "Leave NetRead, BUS Protocol error! PDV.Is ())";
        break;
    case Fault::BLOBOverrun:
    case Fault::StreamedOverLimit:
        line = "Leave NetRead, BUS Protocol error! Too much PDV";
        break;
    case Fault::TailMissing:
        line = "Leave NetRead, BUS Protocol error, cbTail <= 0";
        break;
    case Fault::TailShort:
        line = "Leave NetRead, BUS Protocol error, cbTail < sizeof (Tail)";
        break;
    case Fault::WrongTailMagic:
        line = "Leave NetRead, BUS Protocol error, Tail is not found";
        break;
    default:
        // Head faults: a begun frame's head was judged by its reader, and the limit has a line
        // of its own.
        break;
    }
    _error("%s", line);
}

// Starts the codec on the rest of head's frame; false after logging a frame over the limit.
bool Begin(FrameCodec& codec, const MessageHead& head, int32_t maxFrame) {
    if (codec.Begin(head)) {
        return true;
    }
    _error("Leave NetRead, BUS Protocol error, frame of %lld bytes over the limit of %d",
           static_cast<long long>(FrameCodec::AnnouncedBytes(head)), static_cast<int>(maxFrame));
    return false;
}

// Feeds the codec what a read asking for wanted bytes delivered at data (got, 0 or less for
// nothing); fewer bytes than wanted mean the stream ended there. False after logging the
// failure; a tail of the wrong magic passes unlogged unless tailMagic says it counts.
bool Feed(FrameCodec& codec, const void* data, int32_t got, size_t wanted, bool tailMagic = true) {
    FrameCodec::Step step;
    if (got > 0) {
        size_t consumed = 0;
        step = codec.Next(static_cast<const char*>(data), static_cast<size_t>(got), consumed);
    }
    if (step.status != Status::Error && static_cast<size_t>(std::max(got, 0)) < wanted) {
        codec.End();
        step.status = Status::Error;
    }
    if (step.status != Status::Error) {
        return true;
    }
    if (codec.GetFault() == Fault::WrongTailMagic && !tailMagic) {
        return true;
    }
    LogFault(codec.GetFault());
    return false;
}

// Reads the PDV or tail the codec waits for into record, which has room for it.
bool PullRecord(InBuffer& stream, FrameCodec& codec, void* record) {
    const size_t wanted = std::min(codec.Wanted(), sizeof(MessagePDV));
    return Feed(codec, record, stream.ReadBytes(record, static_cast<uint32_t>(wanted)), wanted);
}

// Reads count bytes the codec waits for (a body step or a chunk) into destination.
bool Pull(InBuffer& stream, FrameCodec& codec, void* destination, uint32_t count) {
    return Feed(codec, destination, stream.ReadBytes(destination, count), count);
}

void LogAllocationFailure(uint32_t size) {
    _error("Leave NetRead, cannot allocate %u bytes", size);
}

// Sizes the body's string to hold bytes bytes and gives its storage; null when memory is short.
void* BodyStorage(const MessageHead& head, int64_t bytes, DString& text8, WString& text16) {
    const auto n = static_cast<int>(bytes);
    try {
        if (head.HasFlag(HeadFlag::Wide)) {
            return text16.GetBufferSetLength(n / 2 + n % 2);
        }
        return text8.GetBufferSetLength(n);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// A body up to this size is sized at once; a longer one grows as its bytes arrive, so a
// length announced by a peer that then sends little commits little memory.
constexpr int64_t BodyFirstStep = int64_t{1} << 20;

using BodyBlock = TmplBlockBuffer<char>;

// Bytes of a long body copied from its block into its string between two give-backs.
constexpr int64_t CopyStep = int64_t{2} << 20;

// The first bytes of block as a string of Unit, the block's pages given back as they are
// copied, so that the two together never hold much more than the body once. A wide body of
// odd length ends in a character whose high byte is zero.
template <typename Unit> std::basic_string<Unit> CopyOut(BodyBlock& block, int64_t bytes) {
    std::basic_string<Unit> body;
    body.reserve(static_cast<size_t>(bytes) / sizeof(Unit) + static_cast<size_t>(bytes) % sizeof(Unit));
    for (int64_t done = 0; done < bytes; done += CopyStep) {
        const int64_t step = std::min(CopyStep, bytes - done);
        const char* from = block.GetData() + done;
        body.append(reinterpret_cast<const Unit*>(from), static_cast<size_t>(step) / sizeof(Unit));
        if (step % static_cast<int64_t>(sizeof(Unit)) != 0) {
            body.push_back(static_cast<Unit>(static_cast<unsigned char>(from[step - 1])));
        }
        block.GiveBack(static_cast<int>(done), static_cast<int>(step));
    }
    return body;
}

// A long body is read into a block grown in steps that double as bytes arrive: a large block
// is mapped, grows without its bytes being copied and gives its pages back to the system at
// once, where a string that doubles holds its old and new storage together while it copies and
// leaves the freed steps in the heap. The string is sized only for what arrived.
bool ReadLongBody(InBuffer& stream, FrameCodec& codec, DString& text8, WString& text16) {
    const int64_t n = codec.Head().cbMessage;
    BodyBlock block;
    int64_t arrived = 0;
    int64_t asked = 0;
    bool read = true;
    try {
        for (asked = std::min<int64_t>(n, BodyBlock::MappedThreshold); read && arrived < n;
             asked = std::min(n, 2 * asked)) {
            char* storage = block.Reallocate(static_cast<int>(asked)) + arrived;
            const auto wanted = static_cast<uint32_t>(asked - arrived);
            const int32_t got = stream.ReadBytes(storage, wanted);
            read = Feed(codec, storage, got, wanted);
            arrived += std::max(got, 0);
        }
        asked = arrived;
        if (codec.Head().HasFlag(HeadFlag::Wide)) {
            text16 = WString(CopyOut<char16_t>(block, arrived));
        } else {
            text8 = DString(CopyOut<char>(block, arrived));
        }
    } catch (const std::bad_alloc&) {
        LogAllocationFailure(static_cast<uint32_t>(asked));
        return false;
    }
    return read;
}

// The body, straight into the string's storage when it is short; false after logging the
// failure.
bool ReadBody(InBuffer& stream, FrameCodec& codec, DString& text8, WString& text16) {
    const MessageHead& head = codec.Head();
    const int64_t n = head.cbMessage;
    if (n > BodyFirstStep) {
        return ReadLongBody(stream, codec, text8, text16);
    }
    auto* storage = static_cast<char*>(BodyStorage(head, n, text8, text16));
    if (storage == nullptr) {
        LogAllocationFailure(static_cast<uint32_t>(n));
        return false;
    }
    return Pull(stream, codec, storage, static_cast<uint32_t>(n));
}

// The BLOB part of a frame whose cbBLOB is a real length, into blob, already allocated with
// that length.
bool ReadBLOBKnowSize(InBuffer& stream, FrameCodec& codec, TmplBlockBuffer<unsigned char>& blob) {
    const int expected = blob.Length();
    unsigned char* destination = blob.GetData();
    uint32_t total = 0;
    for (;;) {
        MessagePDV pdv;
        if (!PullRecord(stream, codec, &pdv)) {
            return false;
        }
        if (pdv.IsLast()) {
            _debug("Leave ReadBLOBKnowSize, %d of %d", expected, static_cast<int>(total));
            return true;
        }
        // The codec has held the chunks to the block's length.
        if (pdv.cbData > 0 && !Pull(stream, codec, destination + total, pdv.cbData)) {
            return false;
        }
        total += pdv.cbData;
    }
}

// The BLOB part of a streamed frame, into one block of exactly the total length, at most
// limit bytes (which the codec holds the chunks to).
bool ReadBLOBUnknownSize(InBuffer& stream, FrameCodec& codec,
                         TmplBlockBuffer<unsigned char>& blob, uint32_t limit) {
    // The chunks are read straight into one block that grows as they come, to at least twice
    // its length whenever a chunk does not fit (a large block grows without its bytes being
    // copied), and is cut to the total at the end. A BLOB written in one piece, the usual
    // case, costs one allocation and no copy, as a known-size one does; memory never runs
    // ahead of the bytes that arrived by more than their own size.
    // A large block the caller passes in and alone holds is filled again rather than replaced.
    TmplBlockBuffer<unsigned char> block;
    if (blob.ShareCount() == 1 &&
        blob.Length() >= static_cast<int>(TmplBlockBuffer<unsigned char>::MappedThreshold)) {
        block = blob;
    }
    blob.LetGo();
    uint32_t total = 0;
    for (;;) {
        MessagePDV pdv;
        if (!PullRecord(stream, codec, &pdv)) {
            return false;
        }
        const uint32_t needed = pdv.IsLast() ? total : total + pdv.cbData;
        if (pdv.IsLast() || needed > static_cast<uint32_t>(block.Length())) {
            const uint64_t doubled = 2 * static_cast<uint64_t>(block.Length());
            const auto length = pdv.IsLast() ? total
                                             : static_cast<uint32_t>(std::min<uint64_t>(
                                                   std::max<uint64_t>(needed, doubled), limit));
            try {
                block.Reallocate(static_cast<int>(length));
            } catch (const std::bad_alloc&) {
                LogAllocationFailure(length);
                return false;
            }
        }
        if (pdv.IsLast()) {
            blob = block;
            _debug("Leave ReadBLOBUnknownSize, Total : %d", static_cast<int>(total));
            return true;
        }
        if (pdv.cbData > 0 && !Pull(stream, codec, block.GetData() + total, pdv.cbData)) {
            return false;
        }
        total = needed;
    }
}

// Bytes of a skipped body or BLOB are read through a buffer of this size and dropped, so a
// frame nobody takes never sizes an allocation from its announced lengths.
constexpr size_t DiscardChunk = 64 * 1024;

} // namespace

bool FrameWithinLimit(const MessageHead& head, int32_t maxFrame) {
    FrameCodec codec(maxFrame);
    return Begin(codec, head, maxFrame);
}

bool NetRead(InBuffer& stream, const MessageHead& head, DString& text8, WString& text16,
             TmplBlockBuffer<unsigned char>& blob, int32_t maxFrame) {
    FrameCodec codec(maxFrame);
    if (!Begin(codec, head, maxFrame)) {
        return false;
    }
    const int32_t n = head.cbMessage;
    const int32_t b = head.cbBLOB;
    if (n > 0 && !ReadBody(stream, codec, text8, text16)) {
        return false;
    }

    if (b > 0) {
        bool read = false;
        if (b < UnknownBLOBSize) {
            // The block is left unfilled (a large one is mapped), so only the pages that
            // chunks are written to are committed, whatever length the head announced.
            try {
                blob.Allocate(b);
                read = ReadBLOBKnowSize(stream, codec, blob);
            } catch (const std::bad_alloc&) {
                LogAllocationFailure(static_cast<uint32_t>(b));
            }
        } else {
            const auto limit = static_cast<uint32_t>(maxFrame - std::max(n, 0));
            read = ReadBLOBUnknownSize(stream, codec, blob, limit);
        }
        if (!read) {
            blob.LetGo();
            return false;
        }
    }

    Tail tail;
    return PullRecord(stream, codec, &tail);
}

bool SkipFrameRest(InBuffer& stream, const MessageHead& head) {
    FrameCodec codec(INT64_MAX);
    codec.Begin(head);
    std::vector<char> scratch(DiscardChunk);
    for (;;) {
        const size_t wanted = std::min(codec.Wanted(), DiscardChunk);
        const int32_t got = stream.ReadBytes(scratch.data(), static_cast<uint32_t>(wanted));
        if (!Feed(codec, scratch.data(), got, wanted, false)) {
            return false;
        }
        if (!codec.MidFrame() || codec.Failed()) {
            return true;
        }
    }
}

bool ReadTail(InBuffer& stream) {
    Tail tail;
    return stream.ReadBytes(&tail, sizeof tail) >= static_cast<int32_t>(sizeof tail);
}
