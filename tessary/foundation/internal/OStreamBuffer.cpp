#include "tessary/foundation/internal/OStreamBuffer.h"

OStreamBuffer& OStreamBuffer::operator<<(uint32_t value) {
    WriteValue(&value, sizeof value);
    return *this;
}

OStreamBuffer& OStreamBuffer::operator<<(uint16_t value) {
    WriteValue(&value, sizeof value);
    return *this;
}

OStreamBuffer& OStreamBuffer::operator<<(uint8_t value) {
    WriteValue(&value, sizeof value);
    return *this;
}

bool OStreamBuffer::WriteSink(const void*, uint32_t) { return false; }
