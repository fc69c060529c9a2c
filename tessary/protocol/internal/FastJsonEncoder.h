#pragma once

#include "tessary/external/DString.h"

#include <vector>

// Builds the small JSON objects that settings carry to the bus server. Entries are kept as
// finished text in the order they were added and joined by Encode; the bus server parses them
// as JSON, so text values are escaped, keys are taken as the caller wrote them.
template <typename S> class FastJsonEncoder {
public:
    FastJsonEncoder() = default;
    virtual ~FastJsonEncoder();

    void Add(const char* key, int value);
    void Add(const char* key, const char* value);
    S Encode() const;

private:
    std::vector<S> m_Entries;
};

extern template class FastJsonEncoder<DString>;

// The escaped form of a JSON string value, byte by byte: backslash, double quote and slash get
// a backslash before them, the five control characters with a short form get it, every other
// byte (UTF-8 sequences included) passes unchanged.
DString EscapeJsonValue(const char* value);
