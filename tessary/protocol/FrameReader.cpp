#include "tessary/protocol/FrameReader.h"

#include "tessary/external/Log.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <vector>

namespace {

// The longest BLOB a block can hold (its length is a signed 32-bit count).
constexpr uint32_t MaxBLOBLength = INT32_MAX;

// Reads one PDV; the count read, as ReadBytes gives it.
int32_t ReadPDV(InBuffer& stream, MessagePDV& pdv) { return stream.ReadBytes(&pdv, sizeof pdv); }

// The checks every PDV of a BLOB passes; false after logging the failure.
bool CheckPDV(int32_t count, const MessagePDV& pdv) {
    if (count < static_cast<int32_t>(sizeof pdv)) {
        _error("Leave NetRead, BUS Protocol error, cbPDV < sizeof (MessagePDV)");
        return false;
    }
    if (!pdv.Is()) {
        _error("Leave NetRead, BUS Protocol error! PDV.Is ())");
        return false;
    }
    return true;
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

// The checks of a body read that asked for expected bytes and got count.
bool CheckBodyRead(int64_t count, int64_t expected) {
    if (count <= 0) {
        _error("Leave NetRead, BUS Protocol error, cbRead <= 0");
        return false;
    }
    if (count < expected) {
        _error("Leave NetRead, BUS Protocol error, cbRead < cbMessage");
        return false;
    }
    return true;
}

// A body up to this size is sized at once; a longer one is read in steps that double, its
// string grown to each step only once the step before has arrived, so a length announced by a
// peer that then sends little commits little memory.
constexpr int64_t BodyFirstStep = int64_t{1} << 20;

// The body, straight into the string's storage; false after logging the failure.
bool ReadBody(InBuffer& stream, const MessageHead& head, DString& text8, WString& text16) {
    const int64_t n = head.cbMessage;
    int64_t read = 0;
    for (int64_t step = std::min(n, BodyFirstStep);; step = std::min(n, 2 * step)) {
        auto* storage = static_cast<char*>(BodyStorage(head, step, text8, text16));
        if (storage == nullptr) {
            LogAllocationFailure(static_cast<uint32_t>(step));
            return false;
        }
        const int64_t wanted = step - read;
        const int32_t got = stream.ReadBytes(storage + read, static_cast<uint32_t>(wanted));
        read += std::max(got, 0);
        if (got < wanted || read == n) {
            break;
        }
    }
    return CheckBodyRead(read, n);
}

// The checks of a tail read that got count bytes; its magic is the caller's to check.
bool CheckTailRead(int32_t count) {
    if (count <= 0) {
        _error("Leave NetRead, BUS Protocol error, cbTail <= 0");
        return false;
    }
    if (count < static_cast<int32_t>(sizeof(Tail))) {
        _error("Leave NetRead, BUS Protocol error, cbTail < sizeof (Tail)");
        return false;
    }
    return true;
}

// Bytes of a skipped body or BLOB are read through a buffer of this size and dropped, so a
// frame nobody takes never sizes an allocation from its announced lengths.
constexpr uint32_t DiscardChunk = 64 * 1024;

// Reads and drops count bytes; answers how many arrived (fewer when the connection ended).
int64_t Discard(InBuffer& stream, int64_t count) {
    std::vector<char> scratch(static_cast<size_t>(std::min<int64_t>(count, DiscardChunk)));
    int64_t total = 0;
    while (total < count) {
        const auto want = static_cast<uint32_t>(std::min<int64_t>(count - total, DiscardChunk));
        const int32_t got = stream.ReadBytes(scratch.data(), want);
        if (got <= 0) {
            break;
        }
        total += got;
        if (static_cast<uint32_t>(got) < want) {
            break;
        }
    }
    return total;
}

// Reads the PDVs of a skipped frame up to the closing one, dropping their data.
bool DiscardBLOB(InBuffer& stream) {
    for (;;) {
        MessagePDV pdv;
        const int32_t count = ReadPDV(stream, pdv);
        if (count <= 0) {
            _error("Leave NetRead, BUS Protocol error, cbPDV <= 0");
            return false;
        }
        if (!CheckPDV(count, pdv)) {
            return false;
        }
        if (pdv.IsLast()) {
            return true;
        }
        if (Discard(stream, pdv.cbData) < static_cast<int64_t>(pdv.cbData)) {
            _error("Leave NetRead, BUS Protocol error, cbPDV <= 0");
            return false;
        }
    }
}

} // namespace

bool FrameWithinLimit(const MessageHead& head, int32_t maxFrame) {
    const int64_t body = std::max(head.cbMessage, 0);
    const int64_t known = head.cbBLOB > 0 && head.cbBLOB < UnknownBLOBSize ? head.cbBLOB : 0;
    if (body + known <= maxFrame) {
        return true;
    }
    _error("Leave NetRead, BUS Protocol error, frame of %lld bytes over the limit of %d",
           static_cast<long long>(body + known), static_cast<int>(maxFrame));
    return false;
}

bool NetRead(InBuffer& stream, const MessageHead& head, DString& text8, WString& text16,
             TmplBlockBuffer<unsigned char>& blob, int32_t maxFrame) {
    if (!FrameWithinLimit(head, maxFrame)) {
        return false;
    }
    const int32_t n = head.cbMessage;
    const int32_t b = head.cbBLOB;
    if (n > 0 && !ReadBody(stream, head, text8, text16)) {
        return false;
    }

    if (b > 0) {
        bool read = false;
        if (b < UnknownBLOBSize) {
            // The block is left unfilled (a large one is mapped), so only the pages that
            // chunks are written to are committed, whatever length the head announced.
            try {
                blob.Allocate(b);
                read = ReadBLOBKnowSize(stream, blob);
            } catch (const std::bad_alloc&) {
                LogAllocationFailure(static_cast<uint32_t>(b));
            }
        } else {
            const int32_t left = maxFrame - std::max(n, 0);
            read = ReadBLOBUnknownSize(stream, blob, static_cast<uint32_t>(left));
        }
        if (!read) {
            blob.LetGo();
            return false;
        }
    }

    Tail tail;
    if (!CheckTailRead(stream.ReadBytes(&tail, sizeof tail))) {
        return false;
    }
    if (!tail.Is()) {
        _error("Leave NetRead, BUS Protocol error, Tail is not found");
        return false;
    }
    return true;
}

bool ReadBLOBKnowSize(InBuffer& stream, TmplBlockBuffer<unsigned char>& blob) {
    const uint32_t expected = blob.Length() > 0 ? static_cast<uint32_t>(blob.Length()) : 0;
    unsigned char* destination = blob.GetData();
    uint32_t total = 0;
    MessagePDV pdv;
    int32_t count = ReadPDV(stream, pdv);
    while (count > 0) {
        if (!CheckPDV(count, pdv)) {
            return false;
        }
        if (pdv.IsLast()) {
            _debug("Leave ReadBLOBKnowSize, %d of %d", static_cast<int>(expected),
                   static_cast<int>(total));
            return true;
        }
        // Compared with what is left rather than added up first: a huge cbData must not wrap
        // the total back below the expected length and let the read run past the block.
        if (pdv.cbData > expected - total) {
            _error("Leave NetRead, BUS Protocol error! Too much PDV");
            return false;
        }
        total += pdv.cbData;
        // A short read is not checked here: the connection ended, and the next PDV read fails.
        stream.ReadBytes(destination, pdv.cbData);
        destination += pdv.cbData;
        count = ReadPDV(stream, pdv);
    }
    _error("Leave NetRead, BUS Protocol error, cbPDV <= 0");
    return false;
}

bool ReadBLOBUnknownSize(InBuffer& stream, TmplBlockBuffer<unsigned char>& blob,
                         uint32_t maxTotal) {
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
    // A streamed BLOB still ends in one block, so its total cannot pass a block's limit.
    const uint32_t limit = std::min(maxTotal, MaxBLOBLength);
    uint32_t total = 0;
    MessagePDV pdv;
    int32_t count = ReadPDV(stream, pdv);
    while (count > 0) {
        if (!CheckPDV(count, pdv)) {
            return false;
        }
        if (pdv.IsLast()) {
            try {
                block.Reallocate(static_cast<int>(total));
            } catch (const std::bad_alloc&) {
                LogAllocationFailure(total);
                return false;
            }
            blob = block;
            _debug("Leave ReadBLOBUnknownSize, Total : %d", static_cast<int>(total));
            return true;
        }
        if (pdv.cbData > limit - total) {
            _error("Leave NetRead, BUS Protocol error! Too much PDV");
            return false;
        }
        const uint32_t needed = total + pdv.cbData;
        if (needed > static_cast<uint32_t>(block.Length())) {
            const uint64_t doubled = 2 * static_cast<uint64_t>(block.Length());
            const auto length = static_cast<uint32_t>(
                std::min<uint64_t>(std::max<uint64_t>(needed, doubled), limit));
            try {
                block.Reallocate(static_cast<int>(length));
            } catch (const std::bad_alloc&) {
                LogAllocationFailure(length);
                return false;
            }
        }
        if (pdv.cbData > 0) {
            // A short read is not checked here: the connection ended, and the next PDV read
            // fails.
            const int32_t read = stream.ReadBytes(block.GetData() + total, pdv.cbData);
            if (read > 0) {
                total += static_cast<uint32_t>(read);
            }
        }
        count = ReadPDV(stream, pdv);
    }
    _error("Leave NetRead, BUS Protocol error, cbPDV <= 0");
    return false;
}

bool SkipFrameRest(InBuffer& stream, const MessageHead& head) {
    if (head.cbMessage > 0 && !CheckBodyRead(Discard(stream, head.cbMessage), head.cbMessage)) {
        return false;
    }
    if (head.cbBLOB > 0 && !DiscardBLOB(stream)) {
        return false;
    }
    Tail tail;
    return CheckTailRead(stream.ReadBytes(&tail, sizeof tail));
}

bool ReadTail(InBuffer& stream) {
    Tail tail;
    return stream.ReadBytes(&tail, sizeof tail) >= static_cast<int32_t>(sizeof tail);
}
