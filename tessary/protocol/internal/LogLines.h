#pragma once

#include "tessary/external/Log.h"

// The blank line that frames traffic and longer operations in the log; it goes wherever the
// traffic lines go.
inline void LogEmptyLine() { ORVEX::Log::_XDWLog().NewLine(); }
