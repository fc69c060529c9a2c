#pragma once

#include "tessary/protocol/MessageHead.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace busd {

// Splits a byte stream into the parts of frames without holding any of them: the daemon relays
// bodies and BLOB chunks as they arrive, so the parser only hands out where each part lies.
// Records (head, PDV, tail) that straddle two reads are gathered in a small stage of its own;
// everything else points into the caller's buffer. Every length is checked against the limit
// before anything downstream relies on it.
class FrameParser {
public:
    enum class Part { Head, Body, PDV, Data, Tail };
    enum class Status { NeedMore, Segment, Error };

    struct Step {
        Status status = Status::NeedMore;
        Part part = Part::Head;
        // The segment's bytes: into the caller's buffer, or into the parser's stage when staged
        // (valid only until the next call).
        const char* data = nullptr;
        size_t size = 0;
        bool staged = false;
        // The segment closes the frame: a tail, or a Listen head, which travels alone.
        bool frameEnd = false;
    };

    explicit FrameParser(int64_t maxFrame) : m_MaxFrame(maxFrame) {}

    // Consumes at most size bytes and reports at most one segment; consumed says how many
    // bytes were taken. After an error the parser stays in error.
    Step Next(const char* data, size_t size, size_t& consumed);

    // The head of the frame being parsed, valid from its Head segment on.
    const MessageHead& Head() const { return m_Head; }
    const std::string& ErrorText() const { return m_Error; }
    // True while some bytes of a frame have been taken and its end has not.
    bool MidFrame() const { return m_State != State::Head || m_StageFill > 0; }
    bool Failed() const { return m_State == State::Failed; }

private:
    enum class State { Head, Body, PDV, Data, Tail, Failed };

    // Gathers a record of n bytes; true with the record's bytes in record once complete.
    bool Gather(const char* data, size_t size, size_t n, size_t& consumed, const char*& record,
                bool& staged);
    Step Fail(std::string reason);
    bool CheckHead();
    // The state after the body: BLOB part when announced, else the tail.
    State AfterBody() const;

    int64_t m_MaxFrame;
    State m_State = State::Head;
    MessageHead m_Head{};
    char m_Stage[sizeof(MessageHead)] = {};
    size_t m_StageFill = 0;
    int64_t m_Remaining = 0;
    // BLOB bytes announced by the PDVs so far; compared with cbBLOB or, for a streamed BLOB,
    // with the frame limit.
    uint64_t m_BlobTotal = 0;
    std::string m_Error;
};

} // namespace busd
