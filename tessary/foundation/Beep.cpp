#include "tessary/foundation/Beep.h"

#include "tessary/external/Log.h"

#include <unistd.h>

void Beep(unsigned long frequency, unsigned long duration) noexcept {
    try {
        _warning("Beep %lu Hz, %lu ms", frequency, duration);
    } catch (...) {
        // Out of memory while formatting: the bell below is all that is left.
    }
    if (isatty(STDERR_FILENO) == 1) {
        // write() rather than stdio: no buffer to flush, and safe after a fault.
        [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, "\a", 1);
    }
}
