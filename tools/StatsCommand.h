#pragma once

#include "tools/Command.h"

#include <memory>

namespace tool {

// tessary stats: a running tessary-busd's figures, read from its metrics endpoint.
std::unique_ptr<Command> MakeStatsCommand(CLI::App& parent);

} // namespace tool
