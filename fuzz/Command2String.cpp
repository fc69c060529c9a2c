// The command-name loader over a file holding the input, then the lookups log lines make.
#include "fuzz/FuzzInput.h"
#include "tessary/protocol/internal/Command2String.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const MemoryFile file(data, size);
    const int32_t count = Command2String::Load(WString(file.Path().c_str()));
    if (count != Command2String::Count()) {
        std::abort();
    }
    for (const int32_t code : {0, 1, 1001, 5100, -1}) {
        Command2String::Lookup(code);
    }
    Command2String::Clear();
    return 0;
}
