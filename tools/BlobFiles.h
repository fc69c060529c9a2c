#pragma once

#include "tessary/foundation/TmplBlockBuffer.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace tool {

using Block = TmplBlockBuffer<unsigned char>;

// Files as BLOBs: what send, post and listen read and write. Every function answers false (or
// an empty result) with the reason, ready to print, in error.

// An open file for reading, closed when the last holder lets it go.
using InputFile = std::shared_ptr<std::FILE>;
InputFile OpenInput(const std::string& path, std::string& error);
// Size of an open regular file; -1 for a pipe or device, whose size is known only at its end.
int64_t InputSize(std::FILE* file);

// The whole file in one block. A block's length is a signed 32-bit count, so a file of 2 GiB
// or more cannot be sent in one piece (a streamed BLOB can).
bool ReadBlock(const std::string& path, Block& block, std::string& error);

// Creates or truncates path and writes length bytes to it.
bool WriteFile(const std::string& path, const unsigned char* data, size_t length,
               std::string& error);

// Writes data to a new file in dir named stem.bin, else stem-2.bin, stem-3.bin ...: an
// existing file is never replaced, even one another process creates at the same moment.
// Characters of stem that do not belong in a file name become '_'. Answers the path written,
// empty on failure.
std::string SaveUnique(const std::string& dir, const std::string& stem,
                       const unsigned char* data, size_t length, std::string& error);

} // namespace tool
