#include "tessary/protocol/internal/FastJsonEncoder.h"

#include <string>

namespace {

// Reservations only: an entry or an object longer than these still works.
constexpr size_t EntryReserve = 64;
constexpr size_t ObjectReserve = 10240;

std::string EntryPrefix(const char* key) {
    std::string text;
    text.reserve(EntryReserve);
    text.append("\r\n  \"");
    text.append(key ? key : "");
    text.append("\" : ");
    return text;
}

} // namespace

DString EscapeJsonValue(const char* value) {
    std::string text;
    if (value == nullptr) {
        return DString(text);
    }
    for (const char* p = value; *p != '\0'; ++p) {
        switch (*p) {
        case '\\':
        case '"':
        case '/':
            text.push_back('\\');
            text.push_back(*p);
            break;
        case '\b':
            text.append("\\b");
            break;
        case '\f':
            text.append("\\f");
            break;
        case '\n':
            text.append("\\n");
            break;
        case '\r':
            text.append("\\r");
            break;
        case '\t':
            text.append("\\t");
            break;
        default:
            text.push_back(*p);
            break;
        }
    }
    return DString(std::move(text));
}

template <typename S> FastJsonEncoder<S>::~FastJsonEncoder() = default;

template <typename S> void FastJsonEncoder<S>::Add(const char* key, int value) {
    std::string text = EntryPrefix(key);
    text.append(DString::From(value).str());
    m_Entries.emplace_back(std::move(text));
}

template <typename S> void FastJsonEncoder<S>::Add(const char* key, const char* value) {
    std::string text = EntryPrefix(key);
    text.push_back('"');
    text.append(EscapeJsonValue(value).str());
    text.push_back('"');
    m_Entries.emplace_back(std::move(text));
}

template <typename S> S FastJsonEncoder<S>::Encode() const {
    std::string text;
    text.reserve(ObjectReserve);
    text.push_back('{');
    for (size_t i = 0; i < m_Entries.size(); ++i) {
        if (i > 0) {
            text.push_back(',');
        }
        text.append(m_Entries[i].str());
    }
    text.append("\r\n}");
    return S(std::move(text));
}

template class FastJsonEncoder<DString>;
