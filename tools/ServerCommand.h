#pragma once

#include "tools/Command.h"

#include <memory>

namespace tool {

// tessary server: the bus servers in the foreground, the same program as tessary-busd.
std::unique_ptr<Command> MakeServerCommand(CLI::App& parent);

} // namespace tool
