#pragma once

#include "tessary/Export.h"

extern "C" {

// The library's version: major in the upper 16 bits, minor in the lower (0x00060001 for 6.1).
TESSARY_EXPORT int TessaryGetVersion();
// "Tessary.Client\r\n<build date> <build time>\r\n"; static storage, never freed.
TESSARY_EXPORT const char* TessaryGetVersionString();
// Writes one line, formatted as printf would, into the library's log at debug level.
TESSARY_EXPORT void LogToBUS(const char* format, ...) __attribute__((format(printf, 1, 2)));
}
