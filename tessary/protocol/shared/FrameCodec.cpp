#include "tessary/protocol/shared/FrameCodec.h"

#include "tessary/external/DString.h"

#include <algorithm>
#include <cstring>

int64_t FrameCodec::AnnouncedBytes(const MessageHead& head) {
    const int64_t body = std::max(head.cbMessage, 0);
    const int64_t known = head.cbBLOB > 0 && head.cbBLOB < UnknownBLOBSize ? head.cbBLOB : 0;
    return body + known;
}

bool FrameCodec::Gather(const char* data, size_t size, size_t n, size_t& consumed,
                        const char*& record, bool& staged) {
    if (m_StageFill == 0 && size >= n) {
        consumed = n;
        record = data;
        staged = false;
        return true;
    }
    const size_t take = std::min(n - m_StageFill, size);
    std::memcpy(m_Stage + m_StageFill, data, take);
    m_StageFill += take;
    consumed = take;
    if (m_StageFill < n) {
        return false;
    }
    m_StageFill = 0;
    record = m_Stage;
    staged = true;
    return true;
}

FrameCodec::Step FrameCodec::Fail(Fault fault, int64_t value) {
    m_State = State::Failed;
    m_Fault = fault;
    m_FaultValue = value;
    Step step;
    step.status = Status::Error;
    return step;
}

FrameCodec::Fault FrameCodec::CheckHead() {
    const MessageHead& h = Head();
    if (h.Magic != HeadMagic) {
        m_FaultValue = h.Magic;
        return Fault::WrongHeadMagic;
    }
    if (h.Size != sizeof(MessageHead)) {
        m_FaultValue = h.Size;
        return Fault::HeadSize;
    }
    if (h.Version > ProtocolVersion) {
        m_FaultValue = h.Version;
        return Fault::Version;
    }
    if (h.cbMessage < 0) {
        m_FaultValue = h.cbMessage;
        return Fault::NegativeBody;
    }
    if (h.cbBLOB < 0) {
        m_FaultValue = h.cbBLOB;
        return Fault::NegativeBLOB;
    }
    m_FaultValue = AnnouncedBytes(h);
    return m_FaultValue > m_MaxFrame ? Fault::OverLimit : Fault::None;
}

FrameCodec::State FrameCodec::AfterBody() const {
    return Head().cbBLOB > 0 ? State::PDV : State::Tail;
}

bool FrameCodec::Begin(const MessageHead& head) {
    std::memcpy(m_Head, &head, sizeof head);
    m_BlobTotal = 0;
    m_StageFill = 0;
    const int64_t announced = AnnouncedBytes(head);
    if (announced > m_MaxFrame) {
        Fail(Fault::OverLimit, announced);
        return false;
    }
    if (head.cbMessage > 0) {
        m_State = State::Body;
        m_Remaining = head.cbMessage;
    } else {
        m_State = AfterBody();
    }
    return true;
}

FrameCodec::Fault FrameCodec::End() {
    // Indexed by State, Head to Tail. A chunk cut short shows where the next PDV was due, as a
    // PDV that never came.
    static constexpr Fault Missing[] = {Fault::None, Fault::BodyMissing, Fault::PDVMissing,
                                        Fault::PDVMissing, Fault::TailMissing};
    static constexpr Fault Short[] = {Fault::HeadShort, Fault::BodyShort, Fault::PDVShort,
                                      Fault::PDVMissing, Fault::TailShort};
    if (m_State == State::Failed) {
        return m_Fault;
    }
    const auto state = static_cast<size_t>(m_State);
    const bool started = m_State == State::Body ? m_Remaining < Head().cbMessage : m_StageFill > 0;
    const Fault fault = started ? Short[state] : Missing[state];
    if (fault != Fault::None) {
        Fail(fault, 0);
    }
    return fault;
}

size_t FrameCodec::Wanted() const {
    switch (m_State) {
    case State::Head:
        return sizeof(MessageHead) - m_StageFill;
    case State::Body:
    case State::Data:
        return static_cast<size_t>(m_Remaining);
    case State::PDV:
        return sizeof(MessagePDV) - m_StageFill;
    case State::Tail:
        return sizeof(Tail) - m_StageFill;
    case State::Failed:
        break;
    }
    return 0;
}

std::string FrameCodec::ErrorText() const {
    const auto value = static_cast<long long>(m_FaultValue);
    const auto limit = static_cast<long long>(m_MaxFrame);
    switch (m_Fault) {
    case Fault::WrongHeadMagic:
        return DString::FromFormat("wrong head magic 0x%llx", value).str();
    case Fault::HeadSize:
        return DString::FromFormat("wrong head size %lld", value).str();
    case Fault::Version:
        return DString::FromFormat("unsupported version 0x%llx", value).str();
    case Fault::NegativeBody:
        return DString::FromFormat("negative body length %lld", value).str();
    case Fault::NegativeBLOB:
        return DString::FromFormat("negative BLOB length %lld", value).str();
    case Fault::OverLimit:
        return DString::FromFormat("frame of %lld bytes over the limit of %lld", value, limit)
            .str();
    case Fault::WrongPDVMagic:
        return DString::FromFormat("wrong PDV magic 0x%llx", value).str();
    case Fault::BLOBOverrun:
        return DString::FromFormat("PDV chain of %lld bytes overruns cbBLOB %d", value,
                                   Head().cbBLOB)
            .str();
    case Fault::StreamedOverLimit:
        return DString::FromFormat("streamed BLOB of %lld bytes over the limit of %lld", value,
                                   limit)
            .str();
    case Fault::WrongTailMagic:
        return DString::FromFormat("wrong tail magic 0x%llx", value).str();
    case Fault::HeadShort:
    case Fault::BodyMissing:
    case Fault::BodyShort:
    case Fault::PDVMissing:
    case Fault::PDVShort:
    case Fault::TailMissing:
    case Fault::TailShort:
        return "frame cut short";
    case Fault::None:
        break;
    }
    return std::string();
}

FrameCodec::Step FrameCodec::Next(const char* data, size_t size, size_t& consumed) {
    consumed = 0;
    Step step;
    if (m_State == State::Failed) {
        step.status = Status::Error;
        return step;
    }
    if (size == 0) {
        return step;
    }
    const char* record = nullptr;
    bool staged = false;
    switch (m_State) {
    case State::Head: {
        if (!Gather(data, size, sizeof(MessageHead), consumed, record, staged)) {
            return step;
        }
        std::memcpy(m_Head, record, sizeof(MessageHead));
        const Fault fault = CheckHead();
        if (fault != Fault::None) {
            return Fail(fault, m_FaultValue);
        }
        const MessageHead& head = Head();
        step = {Status::Segment, Part::Head, record, sizeof(MessageHead), staged, false};
        m_BlobTotal = 0;
        if (head.Type == HeadType::Listen) {
            step.frameEnd = true;
        } else if (head.cbMessage > 0) {
            m_State = State::Body;
            m_Remaining = head.cbMessage;
        } else {
            m_State = AfterBody();
        }
        return step;
    }
    case State::Body:
    case State::Data: {
        const size_t take = static_cast<size_t>(std::min<int64_t>(m_Remaining,
                                                                   static_cast<int64_t>(size)));
        consumed = take;
        step = {Status::Segment, m_State == State::Body ? Part::Body : Part::Data, data, take,
                false, false};
        m_Remaining -= static_cast<int64_t>(take);
        if (m_Remaining == 0) {
            m_State = m_State == State::Body ? AfterBody() : State::PDV;
        }
        return step;
    }
    case State::PDV: {
        if (!Gather(data, size, sizeof(MessagePDV), consumed, record, staged)) {
            return step;
        }
        MessagePDV pdv;
        std::memcpy(&pdv, record, sizeof pdv);
        if (!pdv.Is()) {
            return Fail(Fault::WrongPDVMagic, pdv.Magic);
        }
        step = {Status::Segment, Part::PDV, record, sizeof(MessagePDV), staged, false};
        if (pdv.IsLast()) {
            m_State = State::Tail;
            return step;
        }
        m_BlobTotal += pdv.cbData;
        const MessageHead& head = Head();
        if (head.cbBLOB != UnknownBLOBSize) {
            if (m_BlobTotal > static_cast<uint64_t>(head.cbBLOB)) {
                return Fail(Fault::BLOBOverrun, static_cast<int64_t>(m_BlobTotal));
            }
        } else if (static_cast<int64_t>(m_BlobTotal) + std::max(head.cbMessage, 0) > m_MaxFrame) {
            return Fail(Fault::StreamedOverLimit, static_cast<int64_t>(m_BlobTotal));
        }
        if (pdv.cbData > 0) {
            m_State = State::Data;
            m_Remaining = pdv.cbData;
        }
        return step;
    }
    case State::Tail: {
        if (!Gather(data, size, sizeof(Tail), consumed, record, staged)) {
            return step;
        }
        Tail tail;
        std::memcpy(&tail, record, sizeof tail);
        if (!tail.Is()) {
            return Fail(Fault::WrongTailMagic, tail.Magic);
        }
        m_State = State::Head;
        return {Status::Segment, Part::Tail, record, sizeof(Tail), staged, true};
    }
    case State::Failed:
        break;
    }
    step.status = Status::Error;
    return step;
}
