#pragma once

#include "tools/Command.h"

#include <memory>

namespace tool {

// tessary demo: bus servers, a BLOB receiver and senders in this one process, every kind of
// exchange tried once and shown as a table. Exit status 0 only when every step passed.
std::unique_ptr<Command> MakeDemoCommand(CLI::App& parent);

} // namespace tool
