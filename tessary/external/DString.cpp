#include "tessary/external/DString.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

DString::DString(const char* text) : m_Text(text ? text : "") {}

DString::DString(const char* data, int length)
    : m_Text(data && length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string()) {}

DString& DString::operator=(const char* text) {
    m_Text = text ? text : "";
    return *this;
}

DString& DString::Append(char c) {
    m_Text.push_back(c);
    return *this;
}

DString& DString::Append(const char* text) {
    if (text) {
        m_Text.append(text);
    }
    return *this;
}

DString& DString::Append(const char* data, int length) {
    if (data && length > 0) {
        m_Text.append(data, static_cast<size_t>(length));
    }
    return *this;
}

DString& DString::Append(const DString& text) {
    m_Text.append(text.m_Text);
    return *this;
}

DString& DString::operator<<(int value) {
    m_Text.append(std::to_string(value));
    return *this;
}

DString& DString::AppendFormatV(const char* format, va_list args) {
    if (!format) {
        return *this;
    }
    va_list copy;
    va_copy(copy, args);
    char local[256];
    const int needed = std::vsnprintf(local, sizeof local, format, copy);
    va_end(copy);
    if (needed < 0) {
        return *this;
    }
    if (static_cast<size_t>(needed) < sizeof local) {
        m_Text.append(local, static_cast<size_t>(needed));
        return *this;
    }
    const size_t old = m_Text.size();
    m_Text.resize(old + static_cast<size_t>(needed) + 1);
    std::vsnprintf(m_Text.data() + old, static_cast<size_t>(needed) + 1, format, args);
    m_Text.resize(old + static_cast<size_t>(needed));
    return *this;
}

DString& DString::Format(const char* format, ...) {
    m_Text.clear();
    va_list args;
    va_start(args, format);
    AppendFormatV(format, args);
    va_end(args);
    return *this;
}

DString& DString::AppendFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    AppendFormatV(format, args);
    va_end(args);
    return *this;
}

DString DString::FromFormat(const char* format, ...) {
    DString result;
    va_list args;
    va_start(args, format);
    result.AppendFormatV(format, args);
    va_end(args);
    return result;
}

DString& DString::FormatMsg(int errorCode, const char* format, ...) {
    va_list args;
    va_start(args, format);
    AppendFormatV(format, args);
    va_end(args);
    char text[256];
    // The GNU strerror_r returns a pointer that may or may not be the buffer.
    const char* system = strerror_r(errorCode, text, sizeof text);
    AppendFormat(" : %s (%d)", system ? system : "Unknown error", errorCode);
    return *this;
}

DString DString::From(int value) { return DString(std::to_string(value)); }

DString DString::From(unsigned long value) { return DString(std::to_string(value)); }

template <> int DString::To<int>() const { return std::atoi(m_Text.c_str()); }

char* DString::GetBuffer(int minLength) {
    // The string grows to the asked size so the writer's bytes are inside it; ReleaseBuffer
    // then fixes the real length.
    if (minLength > 0 && static_cast<size_t>(minLength) > m_Text.size()) {
        m_Text.resize(static_cast<size_t>(minLength));
    }
    return m_Text.data();
}

char* DString::GetBufferSetLength(int length) {
    m_Text.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return m_Text.data();
}

void DString::ReleaseBuffer(int length) {
    if (length < 0) {
        m_Text.resize(std::strlen(m_Text.c_str()));
    } else {
        m_Text.resize(static_cast<size_t>(length));
    }
}

DString operator+(const DString& a, const DString& b) { return DString(a.str() + b.str()); }
DString operator+(const DString& a, const char* b) { return DString(a.str() + (b ? b : "")); }
DString operator+(const char* a, const DString& b) { return DString((a ? a : "") + b.str()); }
DString operator+(const DString& a, char b) { return DString(a.str() + b); }
