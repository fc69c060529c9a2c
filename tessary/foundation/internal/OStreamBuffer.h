#pragma once

#include "tessary/foundation/internal/OutBuffer.h"

// An output stream that only collects bytes in memory, to be taken out with TakeAll; its sink
// does nothing. NetBuffer makes a socket its sink.
class OStreamBuffer : public OutBuffer {
public:
    OStreamBuffer& operator<<(uint32_t value) override;
    OStreamBuffer& operator<<(uint16_t value) override;
    OStreamBuffer& operator<<(uint8_t value) override;
    bool WriteSink(const void* data, uint32_t n) override;
};
