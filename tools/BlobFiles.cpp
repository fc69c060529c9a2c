#include "tools/BlobFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fmt/format.h>

namespace tool {

namespace {

std::string Reason(const std::string& what, const std::string& path) {
    return fmt::format("cannot {} {}: {}", what, path, std::strerror(errno));
}

// Writes all of data to fd, resuming after short writes and signals.
bool WriteAll(int fd, const unsigned char* data, size_t length) {
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool FileNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '_' || c == '.';
}

} // namespace

InputFile OpenInput(const std::string& path, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = Reason("open", path);
        return nullptr;
    }
    struct stat info {};
    if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::fclose(file);
        error = fmt::format("cannot send {}: it is a directory", path);
        return nullptr;
    }
    return InputFile(file, [](std::FILE* f) { std::fclose(f); });
}

int64_t InputSize(std::FILE* file) {
    struct stat info {};
    if (fstat(fileno(file), &info) != 0 || !S_ISREG(info.st_mode)) {
        return -1;
    }
    return static_cast<int64_t>(info.st_size);
}

bool ReadBlock(const std::string& path, Block& block, std::string& error) {
    const InputFile file = OpenInput(path, error);
    if (!file) {
        return false;
    }
    const int64_t size = InputSize(file.get());
    if (size < 0) {
        error = fmt::format("cannot send {} as one BLOB: its size is not known in advance "
                            "(--stream sends it as it is read)",
                            path);
        return false;
    }
    if (size > INT_MAX) {
        error = fmt::format("{} has {} bytes, more than one BLOB holds (2 GiB - 1); --stream "
                            "sends it in chunks",
                            path, size);
        return false;
    }
    block = Block();
    if (size == 0) {
        return true;
    }
    unsigned char* data = block.Allocate(static_cast<int>(size));
    if (std::fread(data, 1, static_cast<size_t>(size), file.get()) != static_cast<size_t>(size)) {
        error = std::ferror(file.get()) != 0 ? Reason("read", path)
                                             : fmt::format("{} shrank while it was read", path);
        block = Block();
        return false;
    }
    return true;
}

bool WriteFile(const std::string& path, const unsigned char* data, size_t length,
               std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = Reason("create", path);
        return false;
    }
    const bool written = WriteAll(fd, data, length);
    if (!written) {
        error = Reason("write", path);
    }
    if (::close(fd) != 0 && written) {
        error = Reason("write", path);
        return false;
    }
    return written;
}

std::string SaveUnique(const std::string& dir, const std::string& stem,
                       const unsigned char* data, size_t length, std::string& error) {
    std::string safe = stem;
    for (char& c : safe) {
        if (!FileNameChar(c)) {
            c = '_';
        }
    }
    // A stem of dots alone would name the directory itself or its parent.
    if (safe.find_first_not_of('.') == std::string::npos) {
        safe = "blob" + safe;
    }
    const std::string base = dir.empty() || dir.back() == '/' ? dir + safe : dir + "/" + safe;
    for (int n = 1; n < 100000; ++n) {
        const std::string path = n == 1 ? base + ".bin" : fmt::format("{}-{}.bin", base, n);
        // O_EXCL makes taking the name and creating the file one step.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            error = Reason("create", path);
            return {};
        }
        const bool written = WriteAll(fd, data, length);
        if (!written) {
            error = Reason("write", path);
        }
        if (::close(fd) != 0 && written) {
            error = Reason("write", path);
            return {};
        }
        return written ? path : std::string();
    }
    error = fmt::format("cannot find a free file name for {}.bin in {}", safe, dir);
    return {};
}

} // namespace tool
