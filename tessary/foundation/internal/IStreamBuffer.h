#pragma once

#include "tessary/foundation/internal/InBuffer.h"

// An input stream over memory appended to it: its own source always fails, so reads hand out
// only what AppendBlock put in. NetBuffer makes a socket its source.
class IStreamBuffer : public InBuffer {
public:
    IStreamBuffer& operator>>(uint32_t& value) override;
    IStreamBuffer& operator>>(uint16_t& value) override;
    IStreamBuffer& operator>>(uint8_t& value) override;
    int32_t ReadSource(void* destination, uint32_t capacity) override;
    virtual bool IsEmpty() const { return m_Buffered == 0; }
};
