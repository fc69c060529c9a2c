#include "tessary/protocol/BUSStream.h"

#include "tessary/external/Log.h"
#include "tessary/protocol/shared/FrameWriter.h"
#include "tessary/protocol/internal/NetBuffer.h"
#include "tessary/protocol/internal/BUSStreamAccess.h"

#include <exception>

namespace ORVEX::Tessary::Controller {

BUSStream::BUSStream(NetBuffer* buffer) : m_Buffer(buffer) {}

BUSStream::BUSStream(const BUSStream& other) = default;

BUSStream::BUSStream(BUSStream&& other) noexcept = default;

BUSStream& BUSStream::operator=(const BUSStream& other) = default;

BUSStream::~BUSStream() = default;

void BUSStream::Write(const void* data, int length) {
    if (m_Buffer == nullptr) {
        return;
    }
    try {
        Send(m_Buffer, data, length);
    } catch (const std::exception& e) {
        // Out of memory for the chunk's records. The frame cannot be completed any more: drop
        // what is pending and close the connection, so the send fails at its reply read.
        _error("BUSStream::Write failed, the connection is closed : %s", e.what());
        m_Buffer->OStreamBuffer::Reset();
        m_Buffer->Close();
    }
}

bool BUSStream::Send(NetBuffer* buffer, const void* data, int length) {
    if (length <= 0 || data == nullptr) {
        return true;
    }
    // The bytes go out before Send returns, so they need not outlive it.
    WriteChunk(*buffer, data, static_cast<uint32_t>(length));
    buffer->Flush();
    return true;
}

} // namespace ORVEX::Tessary::Controller

ORVEX::Tessary::Controller::BUSStream BUSStreamAccess::Open(NetBuffer* buffer) {
    return ORVEX::Tessary::Controller::BUSStream(buffer);
}
