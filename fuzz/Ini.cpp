// The INI reader over a file holding the input, asked for the bus settings as the library is.
#include "fuzz/FuzzInput.h"
#include "tessary/setup/internal/Ini.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const MemoryFile file(data, size);
    CIni ini(file.Path().c_str(), "BUSServer");
    ini.GetInt("CommandPort", 6630);
    ini.GetInt("StatusPort", 6631);
    ini.GetString("NbOfBUSServer", "4");
    return 0;
}
