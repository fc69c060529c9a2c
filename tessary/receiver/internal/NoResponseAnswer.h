#pragma once

#include "tessary/external/EventArgs.h"

#include <cstdint>

// The error answer for a command that no handler takes: an error line naming the message
// ("[<message id>] <hook> <source> --> <target> of <command (name)>"), result code 1, and as
// reply text the JSON object {"ErrorComment" : "Unknown command <command (name>"}. A null
// record is left alone. hook is the operation's name as the log shows it.
void AnswerNoResponse(const char* hook, EventArgs_BUSMessage* e);
