#pragma once

#include "tools/Command.h"

#include <memory>

namespace tool {

// tessary send / post / forward TARGET COMMAND [TEXT]: one message (or a file as a BLOB) to a
// target. Exit status 0 only when the bus (post, forward) or the target (send) accepted it.
std::unique_ptr<Command> MakeSendCommand(CLI::App& parent);
std::unique_ptr<Command> MakePostCommand(CLI::App& parent);
std::unique_ptr<Command> MakeForwardCommand(CLI::App& parent);

} // namespace tool
