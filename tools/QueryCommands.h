#pragma once

#include "tools/Command.h"

#include <memory>

namespace tool {

// tessary online TARGET: exit 0 when the bus reports TARGET registered, 1 otherwise.
std::unique_ptr<Command> MakeOnlineCommand(CLI::App& parent);
// tessary uid ID: prints a source id derived from ID that nobody on the bus uses.
std::unique_ptr<Command> MakeUidCommand(CLI::App& parent);

} // namespace tool
