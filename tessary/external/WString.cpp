#include "tessary/external/WString.h"

#include <utf8cpp/utf8.h>

namespace {

// Invalid sequences are replaced rather than rejected: a text from the wire must never throw.
std::u16string ToUtf16(const std::string& text) {
    std::string valid;
    utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(valid));
    std::u16string result;
    utf8::utf8to16(valid.begin(), valid.end(), std::back_inserter(result));
    return result;
}

std::string ToUtf8(const std::u16string& text) {
    std::string result;
    result.reserve(text.size());
    auto it = text.begin();
    while (it != text.end()) {
        char32_t cp = *it++;
        if (cp >= 0xD800 && cp <= 0xDBFF && it != text.end() && *it >= 0xDC00 && *it <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char32_t>(*it++) - 0xDC00);
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD; // an unpaired surrogate
        }
        utf8::append(static_cast<uint32_t>(cp), std::back_inserter(result));
    }
    return result;
}

} // namespace

WString::WString(const char16_t* text) : m_Text(text ? text : u"") {}

WString::WString(const char16_t* data, int length)
    : m_Text(data && length > 0 ? std::u16string(data, static_cast<size_t>(length))
                                : std::u16string()) {}

WString::WString(const char* text) : m_Text(ToUtf16(text ? text : "")) {}

WString::WString(const DString& text) : m_Text(ToUtf16(text.str())) {}

WString& WString::operator=(const DString& text) {
    m_Text = ToUtf16(text.str());
    return *this;
}

WString& WString::operator+=(const DString& text) {
    m_Text += ToUtf16(text.str());
    return *this;
}

WString& WString::operator+=(const WString& text) {
    m_Text += text.m_Text;
    return *this;
}

char16_t* WString::GetBufferSetLength(int length) {
    m_Text.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return m_Text.data();
}

DString WString::ToDString() const { return DString(ToUtf8(m_Text)); }
