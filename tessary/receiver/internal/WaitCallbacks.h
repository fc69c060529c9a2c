#pragma once

#include "tessary/external/EventArgs.h"

#include <cstdint>
#include <functional>

// The callables through which a wait server reports to its wait task, and the task to its
// receiver. They run on the wait server's thread.
using WaitMessageCallback = std::function<void(uint32_t command, const void* sender,
                                               EventArgs_BUSMessage* args)>;
using WaitBLOBCallback =
    std::function<void(uint32_t command, const void* sender, EventArgs_BUSBLOB* args)>;
using WaitNullCallback = std::function<void(const void* sender, EventArgs_Null* args)>;
using WaitIntCallback = std::function<void(const void* sender, EventArgs_Int* args)>;
