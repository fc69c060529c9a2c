#pragma once

#include "tessary/external/DString.h"

class ModulePath {
public:
    // The directory of the process's executable with its trailing '/', from /proc/self/exe cut
    // to 260 characters like a module file name; empty when the link cannot be read.
    static DString ExecutableDirectory();
    // The file this library was loaded from (the executable itself when the library is linked
    // in statically).
    static DString LibraryFile();
};
