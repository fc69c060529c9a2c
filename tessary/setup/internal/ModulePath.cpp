#include "tessary/setup/internal/ModulePath.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr size_t kModuleNameSize = 260;

DString ExecutableFile() {
    char name[kModuleNameSize] = {};
    const ssize_t length = readlink("/proc/self/exe", name, kModuleNameSize - 1);
    if (length <= 0) {
        return DString();
    }
    return DString(name, static_cast<int>(length));
}

} // namespace

DString ModulePath::ExecutableDirectory() {
    const DString file = ExecutableFile();
    const char* lastSeparator = std::strrchr(file.c_str(), '/');
    if (lastSeparator == nullptr) {
        return DString();
    }
    return DString(file.c_str(), static_cast<int>(lastSeparator - file.c_str()) + 1);
}

DString ModulePath::LibraryFile() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ModulePath::LibraryFile), &info) != 0 &&
        info.dli_fname != nullptr && std::strchr(info.dli_fname, '/') != nullptr) {
        return DString(info.dli_fname);
    }
    // The main program is reported by the name it was started with, which may be bare.
    return ExecutableFile();
}
