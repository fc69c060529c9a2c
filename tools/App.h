#pragma once

namespace tool {

// The whole tool: parses the command line and runs the subcommand given. Answers the exit
// status: 0 success, 1 a failed operation, 2 a command line that does not parse.
int RunTool(int argc, char** argv);

} // namespace tool
