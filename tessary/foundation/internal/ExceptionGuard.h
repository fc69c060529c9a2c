#pragma once

#include <memory>
#include <type_traits>

// The crash guard that worker threads and event relays run application code under.
//
// RunGuarded(body, failureLine) calls body on the calling thread and answers true when it
// returned normally. When body throws a C++ exception, or raises a processor fault (SIGSEGV,
// SIGBUS, SIGFPE or SIGILL sent by the kernel for an instruction of this thread), the body is
// abandoned at that point, ExceptionFilter logs the crash with the code's name, failureLine
// (when not null) is logged as a fatal line, and the answer is false. The thread carries on.
//
// What a caller must know:
// - A fault leaves body by a long jump: destructors of body's frames do not run, so locks it held
//   stay held and memory it owned leaks. Keep guarded bodies free of locks the caller needs.
// - Guards nest; the innermost one takes a fault.
// - Outside every guard a fault behaves as if the guard did not exist: the handler that was in
//   place before the first guard (or the default action) gets it.
// - The first guard of a process installs the fault handlers; the first guard of a thread gives
//   that thread an alternate signal stack (unless it has one), so a stack overflow is caught too.
//   A handler the application installs later for these signals replaces the guard's.
// - Thread cancellation (abi::__forced_unwind) passes through; nothing else leaves a guard.
bool RunGuardedCall(void (*body)(void*), void* context, const char* failureLine = nullptr);

template <typename F> bool RunGuarded(F&& body, const char* failureLine = nullptr) {
    using Body = std::remove_reference_t<F>;
    void* context = const_cast<void*>(static_cast<const void*>(std::addressof(body)));
    return RunGuardedCall([](void* callable) { (*static_cast<Body*>(callable))(); }, context,
                          failureLine);
}
