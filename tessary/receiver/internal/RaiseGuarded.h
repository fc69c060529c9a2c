#pragma once

#include "tessary/foundation/UnsafeDelegate.h"
#include "tessary/foundation/internal/ExceptionGuard.h"

#include <vector>

// Raises event on a wait server's thread under the crash guard: a handler that throws is
// dropped by its handler object and the next one runs; a fault, or anything else that gets out,
// is logged by the guard with failureLine, the handlers after it are skipped, and the caller
// carries on. The copy of the handler list lives outside the guard, so a fault that abandons
// the loop still leaves it to be destroyed.
template <typename T>
void RaiseGuarded(_tUnsafeDelegate<T>& event, const void* sender, T* args,
                  const char* failureLine) {
    std::vector<C11DelegateHandler<T>> handlers = event.Handlers();
    RunGuarded(
        [&] {
            for (auto& handler : handlers) {
                handler.Invoke(sender, args);
            }
        },
        failureLine);
}
