#pragma once

#include "tessary/external/DString.h"

// Reads one section of an INI file the way the Windows profile functions do: the file is read
// again on every call, names compare without regard to case, a value in matching quotes loses
// them, and a missing file, section or key gives the default text.
//
// The reader underneath (inih) keeps lines to 200 bytes: a longer line is cut there, and a value
// is cut at 259 characters in any case.
class CIni {
public:
    CIni(const char* file, const char* section);
    CIni(const CIni&) = delete;
    CIni& operator=(const CIni&) = delete;
    virtual ~CIni();

    DString GetString(const char* key, const char* defaultValue);
    // GetString with the default written as decimal text, converted with atoi: a value that is
    // not a number gives 0, and nothing checks the range.
    int GetInt(const char* key, int defaultValue);

private:
    DString m_Value;
    DString m_File;
    DString m_Section;
};
