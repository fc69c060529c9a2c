#pragma once

#include "tessary/Export.h"

// The audible alarm raised when a handler throws or a guarded body faults. There is no speaker
// to drive here, so the beep is a warning line (frequency and duration kept for the reader)
// plus the terminal bell when stderr is a terminal. Never throws; callable from catch blocks.
TESSARY_EXPORT void Beep(unsigned long frequency, unsigned long duration) noexcept;
