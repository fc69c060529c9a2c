#include "tessary/setup/internal/Ini.h"

#include <ini.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// What the profile functions' 260-byte buffer holds, less its terminating zero.
constexpr size_t kMaxValueLength = 259;

struct Search {
    const char* Section;
    const char* Key;
    bool Found;
    std::string Value;
};

int OnEntry(void* user, const char* section, const char* name, const char* value) {
    auto* search = static_cast<Search*>(user);
    // The first occurrence wins, as with the profile functions; later ones (and the continuation
    // lines inih reports under the same name) are ignored.
    if (!search->Found && strcasecmp(section, search->Section) == 0 &&
        strcasecmp(name, search->Key) == 0) {
        search->Found = true;
        search->Value = value;
    }
    return 1;
}

void Unquote(std::string& value) {
    if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') &&
        value[value.size() - 1] == value[0]) {
        value = value.substr(1, value.size() - 2);
    }
}

} // namespace

CIni::CIni(const char* file, const char* section) : m_File(file), m_Section(section) {}

CIni::~CIni() = default;

DString CIni::GetString(const char* key, const char* defaultValue) {
    std::string result = defaultValue ? defaultValue : "";
    if (key != nullptr) {
        Search search{m_Section.c_str(), key, false, {}};
        // A line inih cannot parse is skipped like any other unknown line; its error is of no use.
        ini_parse(m_File.c_str(), &OnEntry, &search);
        if (search.Found) {
            Unquote(search.Value);
            result = search.Value;
        }
    }
    if (result.size() > kMaxValueLength) {
        result.resize(kMaxValueLength);
    }
    m_Value = DString(std::move(result));
    return m_Value;
}

int CIni::GetInt(const char* key, int defaultValue) {
    return std::atoi(GetString(key, DString::From(defaultValue).c_str()).c_str());
}
