#include "server/internal/FrameParser.h"

#include "tessary/external/DString.h"

#include <algorithm>
#include <cstring>

namespace busd {

bool FrameParser::Gather(const char* data, size_t size, size_t n, size_t& consumed,
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

FrameParser::Step FrameParser::Fail(std::string reason) {
    m_State = State::Failed;
    m_Error = std::move(reason);
    Step step;
    step.status = Status::Error;
    return step;
}

bool FrameParser::CheckHead() {
    const MessageHead& h = m_Head;
    if (h.Magic != HeadMagic) {
        m_Error = DString::FromFormat("wrong head magic 0x%x", h.Magic).str();
    } else if (h.Size != sizeof(MessageHead)) {
        m_Error = DString::FromFormat("wrong head size %u", h.Size).str();
    } else if (h.Version > ProtocolVersion) {
        m_Error = DString::FromFormat("unsupported version 0x%x", h.Version).str();
    } else if (h.cbMessage < 0) {
        m_Error = DString::FromFormat("negative body length %d", h.cbMessage).str();
    } else if (h.cbBLOB < 0) {
        m_Error = DString::FromFormat("negative BLOB length %d", h.cbBLOB).str();
    } else {
        const int64_t blob = h.cbBLOB == UnknownBLOBSize ? 0 : h.cbBLOB;
        const int64_t total = static_cast<int64_t>(h.cbMessage) + blob;
        if (total > m_MaxFrame) {
            m_Error = DString::FromFormat("frame of %lld bytes over the limit of %lld",
                                          static_cast<long long>(total),
                                          static_cast<long long>(m_MaxFrame))
                          .str();
        } else {
            return true;
        }
    }
    return false;
}

FrameParser::State FrameParser::AfterBody() const {
    return m_Head.cbBLOB > 0 ? State::PDV : State::Tail;
}

FrameParser::Step FrameParser::Next(const char* data, size_t size, size_t& consumed) {
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
    case State::Head:
        if (!Gather(data, size, sizeof(MessageHead), consumed, record, staged)) {
            return step;
        }
        std::memcpy(&m_Head, record, sizeof(MessageHead));
        if (!CheckHead()) {
            return Fail(m_Error);
        }
        step = {Status::Segment, Part::Head, record, sizeof(MessageHead), staged, false};
        m_BlobTotal = 0;
        if (m_Head.Type == HeadType::Listen) {
            step.frameEnd = true;
        } else if (m_Head.cbMessage > 0) {
            m_State = State::Body;
            m_Remaining = m_Head.cbMessage;
        } else {
            m_State = AfterBody();
        }
        return step;
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
            return Fail(DString::FromFormat("wrong PDV magic 0x%x", pdv.Magic).str());
        }
        step = {Status::Segment, Part::PDV, record, sizeof(MessagePDV), staged, false};
        if (pdv.IsLast()) {
            m_State = State::Tail;
            return step;
        }
        m_BlobTotal += pdv.cbData;
        if (m_Head.cbBLOB != UnknownBLOBSize) {
            if (m_BlobTotal > static_cast<uint64_t>(m_Head.cbBLOB)) {
                return Fail(DString::FromFormat("PDV chain of %llu bytes overruns cbBLOB %d",
                                                static_cast<unsigned long long>(m_BlobTotal),
                                                m_Head.cbBLOB)
                                .str());
            }
        } else if (static_cast<int64_t>(m_BlobTotal) + m_Head.cbMessage > m_MaxFrame) {
            return Fail(DString::FromFormat("streamed BLOB of %llu bytes over the limit of %lld",
                                            static_cast<unsigned long long>(m_BlobTotal),
                                            static_cast<long long>(m_MaxFrame))
                            .str());
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
            return Fail(DString::FromFormat("wrong tail magic 0x%x", tail.Magic).str());
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

} // namespace busd
