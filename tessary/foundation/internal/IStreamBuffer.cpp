#include "tessary/foundation/internal/IStreamBuffer.h"

IStreamBuffer& IStreamBuffer::operator>>(uint32_t& value) {
    ReadValue(&value, sizeof value);
    return *this;
}

IStreamBuffer& IStreamBuffer::operator>>(uint16_t& value) {
    ReadValue(&value, sizeof value);
    return *this;
}

IStreamBuffer& IStreamBuffer::operator>>(uint8_t& value) {
    ReadValue(&value, sizeof value);
    return *this;
}

int32_t IStreamBuffer::ReadSource(void*, uint32_t) { return -1; }
