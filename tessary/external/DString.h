#pragma once

#include "tessary/Export.h"

#include <cstdarg>
#include <string>

// A growable 8-bit text that is always zero-terminated and knows its length in bytes. Bodies of
// the wire protocol travel in it unchanged, so it holds any bytes, not only UTF-8.
class TESSARY_EXPORT DString {
public:
    DString() = default;
    DString(const char* text); // NOLINT(google-explicit-constructor): texts convert freely
    DString(const char* data, int length);
    DString(std::string text) : m_Text(std::move(text)) {}
    DString(const DString&) = default;
    DString(DString&&) noexcept = default;
    DString& operator=(const DString&) = default;
    DString& operator=(DString&&) noexcept = default;
    DString& operator=(const char* text);
    ~DString() = default;

    int GetLength() const { return static_cast<int>(m_Text.size()); }
    bool IsEmpty() const { return m_Text.empty(); }
    operator const char*() const { return m_Text.c_str(); } // NOLINT(google-explicit-constructor)
    const char* c_str() const { return m_Text.c_str(); }
    const std::string& str() const { return m_Text; }

    DString& Append(char c);
    DString& Append(const char* text);
    DString& Append(const char* data, int length);
    DString& Append(const DString& text);
    DString& operator+=(char c) { return Append(c); }
    DString& operator+=(const char* text) { return Append(text); }
    DString& operator+=(const DString& text) { return Append(text); }
    DString& operator<<(char c) { return Append(c); }
    DString& operator<<(const char* text) { return Append(text); }
    DString& operator<<(const DString& text) { return Append(text); }
    DString& operator<<(int value);

    DString& Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
    DString& AppendFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));
    DString& AppendFormatV(const char* format, va_list args) __attribute__((format(printf, 2, 0)));
    static DString FromFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
    // Appends the formatted text, then " : " and the system's text for errorCode.
    DString& FormatMsg(int errorCode, const char* format, ...) __attribute__((format(printf, 3, 4)));

    static DString From(int value);
    static DString From(unsigned long value);
    template <typename T> T To() const;

    // Raw access for readers that fill the string in place (the frame reader reads bodies
    // straight into it).
    char* GetBuffer(int minLength);
    char* GetBufferSetLength(int length);
    void ReleaseBuffer(int length = -1);
    void Empty() { m_Text.clear(); }

    friend bool operator==(const DString& a, const DString& b) { return a.m_Text == b.m_Text; }
    friend bool operator==(const DString& a, const char* b) { return a.m_Text == (b ? b : ""); }

private:
    std::string m_Text;
};

template <> TESSARY_EXPORT int DString::To<int>() const;

TESSARY_EXPORT DString operator+(const DString& a, const DString& b);
TESSARY_EXPORT DString operator+(const DString& a, const char* b);
TESSARY_EXPORT DString operator+(const char* a, const DString& b);
TESSARY_EXPORT DString operator+(const DString& a, char b);
