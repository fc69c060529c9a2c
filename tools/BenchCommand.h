#pragma once

#include "tools/Command.h"

#include <memory>

namespace tool {

// tessary bench: senders on threads of their own against one receiver in this process,
// through an embedded bus or an existing one; prints rates, MB/s and latency percentiles.
// Exit status 0 only when every operation succeeded.
std::unique_ptr<Command> MakeBenchCommand(CLI::App& parent);

} // namespace tool
