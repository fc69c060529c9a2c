#pragma once

#include "tools/Command.h"

#include <memory>

namespace tool {

// tessary listen ID: a receiver that prints what reaches it and answers, until Ctrl-C,
// SIGTERM or --count messages and BLOBs.
std::unique_ptr<Command> MakeListenCommand(CLI::App& parent);

} // namespace tool
