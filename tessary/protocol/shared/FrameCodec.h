#pragma once

#include "tessary/protocol/shared/MessageHead.h"

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

// The frame rules, with no I/O of its own: every reader of frames drives one. It splits bytes
// into the parts of frames without holding any of them and only hands out where each part
// lies, so the daemon relays bodies and BLOB chunks as they arrive and a blocking reader reads
// them straight into their final storage. Records (head, PDV, tail) that straddle two reads
// are gathered in a small stage of its own; everything else points into the caller's bytes.
// Every length is checked against the limit before anything downstream relies on it.
//
// Two ways in: Next from the first byte of a head, where the codec judges the head too (the
// daemon), or Begin with a head the caller has read and judged itself (the library's readers,
// which accept older heads and read negative lengths as nothing).
class FrameCodec {
public:
    enum class Part { Head, Body, PDV, Data, Tail };
    enum class Status { NeedMore, Segment, Error };
    // Why a frame was refused; each reader words it its own way.
    enum class Fault {
        None,
        WrongHeadMagic,
        HeadSize,
        Version,
        NegativeBody,
        NegativeBLOB,
        OverLimit,
        // The bytes ran out: nothing, or only part, of what the frame still owes came.
        HeadShort,
        BodyMissing,
        BodyShort,
        PDVMissing,
        PDVShort,
        WrongPDVMagic,
        BLOBOverrun,
        StreamedOverLimit,
        TailMissing,
        TailShort,
        WrongTailMagic,
    };

    struct Step {
        Status status = Status::NeedMore;
        Part part = Part::Head;
        // The segment's bytes: into the caller's buffer, or into the codec's stage when staged
        // (valid only until the next call).
        const char* data = nullptr;
        size_t size = 0;
        bool staged = false;
        // The segment closes the frame: a tail, or a Listen head, which travels alone.
        bool frameEnd = false;
    };

    explicit FrameCodec(int64_t maxFrame) : m_MaxFrame(maxFrame) {}

    // Consumes at most size bytes and reports at most one segment; consumed says how many
    // bytes were taken. After an error the codec stays in error.
    Step Next(const char* data, size_t size, size_t& consumed);

    // Starts on the rest of a frame whose head the caller has read: the body follows when
    // cbMessage is above 0, the BLOB part when cbBLOB is. False, failed with OverLimit, when
    // the body and a known-size BLOB announce more than the limit.
    bool Begin(const MessageHead& head);

    // The bytes ended: the fault that leaves the frame unfinished, which also fails the codec;
    // None between frames.
    Fault End();

    // Bytes the current part still owes: what is missing of a record, or of a body or chunk.
    size_t Wanted() const;

    // The head of the frame being parsed, valid from its Head segment (or Begin) on.
    const MessageHead& Head() const {
        return *std::launder(reinterpret_cast<const MessageHead*>(m_Head));
    }
    Fault GetFault() const { return m_Fault; }
    // The daemon's wording of the fault, with the values that caused it.
    std::string ErrorText() const;
    // True while some bytes of a frame have been taken and its end has not.
    bool MidFrame() const { return m_State != State::Head || m_StageFill > 0; }
    bool Failed() const { return m_State == State::Failed; }

    // The bytes a head announces for its body and a known-size BLOB; negative lengths count
    // as none.
    static int64_t AnnouncedBytes(const MessageHead& head);

private:
    enum class State { Head, Body, PDV, Data, Tail, Failed };

    // Gathers a record of n bytes; true with the record's bytes in record once complete.
    bool Gather(const char* data, size_t size, size_t n, size_t& consumed, const char*& record,
                bool& staged);
    Step Fail(Fault fault, int64_t value);
    Fault CheckHead();
    // The state after the body: BLOB part when announced, else the tail.
    State AfterBody() const;

    int64_t m_MaxFrame;
    State m_State = State::Head;
    // Bytes rather than a MessageHead, whose constructor would draw a message number for
    // every codec; copying a head's bytes in makes one there.
    alignas(MessageHead) char m_Head[sizeof(MessageHead)] = {};
    char m_Stage[sizeof(MessageHead)] = {};
    size_t m_StageFill = 0;
    int64_t m_Remaining = 0;
    // BLOB bytes announced by the PDVs so far; compared with cbBLOB or, for a streamed BLOB,
    // with the frame limit.
    uint64_t m_BlobTotal = 0;
    Fault m_Fault = Fault::None;
    // The value the fault's text shows (a magic, a length, a total).
    int64_t m_FaultValue = 0;
};
