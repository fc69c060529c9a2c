#pragma once

#include "tessary/Export.h"
#include "tessary/external/DString.h"

#include <string>

// A growable 16-bit text of UTF-16 code units (the wire's wide bodies), knowing its length in
// characters. Conversions to and from DString go through UTF-8.
class TESSARY_EXPORT WString {
public:
    WString() = default;
    WString(const char16_t* text); // NOLINT(google-explicit-constructor)
    WString(const char16_t* data, int length);
    explicit WString(const char* text);
    explicit WString(const DString& text);
    WString(std::u16string text) : m_Text(std::move(text)) {}
    WString(const WString&) = default;
    WString(WString&&) noexcept = default;
    WString& operator=(const WString&) = default;
    WString& operator=(WString&&) noexcept = default;
    WString& operator=(const DString& text);
    ~WString() = default;

    int GetLength() const { return static_cast<int>(m_Text.size()); }
    bool IsEmpty() const { return m_Text.empty(); }
    operator const char16_t*() const { return m_Text.c_str(); } // NOLINT(google-explicit-constructor)
    const std::u16string& str() const { return m_Text; }

    WString& operator+=(const DString& text);
    WString& operator+=(const WString& text);

    // Sets the length to exactly length characters and gives the storage to fill.
    char16_t* GetBufferSetLength(int length);
    DString ToDString() const;
    void Empty() { m_Text.clear(); }

    friend bool operator==(const WString& a, const WString& b) { return a.m_Text == b.m_Text; }

private:
    std::u16string m_Text;
};
