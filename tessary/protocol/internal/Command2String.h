#pragma once

#include "tessary/external/DString.h"
#include "tessary/external/WString.h"

#include <cstdint>

// Names of command codes for log lines: a table loaded from BUSCommand2String.JSON, and fixed
// labels for a few ranges of codes the table does not name.
//
// The table is process-wide and takes no lock: Load runs during initialisation, before any
// thread looks names up; lookups only read.
class Command2String {
public:
    struct _tLUT {
        int32_t Command;
        DString String;
    };

    // Replaces the table with the entries of the JSON file at path and answers how many it now
    // holds. A file that cannot be read, or has no "Command2String" member, empties the table.
    static int32_t Load(const WString& path);
    // The table's name for code; else the label of the fixed range holding code; else empty.
    static DString Lookup(int32_t code);
    static int32_t Count();
    // Empties the table, as the library's shut-down does.
    static void Clear();
};
