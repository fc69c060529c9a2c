#include "tessary/foundation/internal/ExceptionGuard.h"

#include "tessary/external/Log.h"
#include "tessary/foundation/internal/ExceptionFilter.h"

#include <cxxabi.h>
#include <pthread.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <mutex>

namespace {

constexpr int kGuardedSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
constexpr int kSignalCount = sizeof kGuardedSignals / sizeof kGuardedSignals[0];

// A fault this close to the stack pointer is the stack running into its guard page.
constexpr uintptr_t kStackOverflowReach = uintptr_t{64} * 1024;

// What was installed before the guard's handler; written once, before the handler goes in.
struct sigaction g_PreviousActions[kSignalCount];
std::once_flag g_InstallOnce;

// One per active guard, on the guarding thread's stack. Everything the guard needs after the
// long jump lives here, in memory, so no register copy can be stale when sigsetjmp returns twice.
struct GuardFrame {
    sigjmp_buf Jump;
    GuardFrame* Previous;
    void (*Body)(void*);
    void* Context;
    const char* FailureLine;
    volatile uint32_t Code;
};

// Read by the signal handler: trivial types only, so no thread_local wrapper runs there.
thread_local GuardFrame* t_Frame = nullptr;
thread_local bool t_AltStackChecked = false;

// Owns the alternate signal stack that this thread's first guard set up, and takes it down
// before the memory goes when the thread ends.
class AltStack {
public:
    AltStack() = default;
    AltStack(const AltStack&) = delete;
    AltStack& operator=(const AltStack&) = delete;
    ~AltStack() {
        if (m_Memory == nullptr) {
            return;
        }
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
        std::free(m_Memory);
    }

    void Install() {
        stack_t current{};
        if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) {
            return; // the thread has one already (the application's or a sanitizer's)
        }
        const long minimum = sysconf(_SC_SIGSTKSZ);
        const size_t size =
            std::max<size_t>(size_t{64} * 1024, minimum > 0 ? 4 * size_t(minimum) : 0);
        void* memory = std::malloc(size);
        if (memory == nullptr) {
            return; // faults are still caught, only a stack overflow is not
        }
        stack_t mine{};
        mine.ss_sp = memory;
        mine.ss_size = size;
        if (sigaltstack(&mine, nullptr) != 0) {
            std::free(memory);
            return;
        }
        m_Memory = memory;
    }

private:
    void* m_Memory = nullptr;
};

void EnsureAltStack() {
    if (t_AltStackChecked) {
        return;
    }
    t_AltStackChecked = true;
    thread_local AltStack altStack;
    altStack.Install();
}

uintptr_t StackPointerOf(void* context) {
    const auto* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
    return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
#elif defined(__aarch64__)
    return static_cast<uintptr_t>(uc->uc_mcontext.sp);
#else
    (void)uc;
    return 0;
#endif
}

uint32_t CodeOf(int signal, const siginfo_t* info, void* context) {
    switch (signal) {
    case SIGSEGV: {
        const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
        const uintptr_t sp = StackPointerOf(context);
        const uintptr_t distance = address > sp ? address - sp : sp - address;
        if (sp != 0 && distance <= kStackOverflowReach) {
            return ExceptionCode::StackOverflow;
        }
        return ExceptionCode::AccessViolation;
    }
    case SIGBUS:
        return info->si_code == BUS_ADRALN ? ExceptionCode::DatatypeMisalignment
                                           : ExceptionCode::InPageError;
    case SIGFPE:
        switch (info->si_code) {
        case FPE_INTDIV:
            return ExceptionCode::IntDivideByZero;
        case FPE_INTOVF:
            return ExceptionCode::IntOverflow;
        case FPE_FLTDIV:
            return ExceptionCode::FltDivideByZero;
        case FPE_FLTOVF:
            return ExceptionCode::FltOverflow;
        case FPE_FLTUND:
            return ExceptionCode::FltUnderflow;
        case FPE_FLTRES:
            return ExceptionCode::FltInexactResult;
        case FPE_FLTSUB:
            return ExceptionCode::ArrayBoundsExceeded;
        default:
            return ExceptionCode::FltInvalidOperation;
        }
    default:
        return info->si_code == ILL_PRVOPC || info->si_code == ILL_PRVREG
                   ? ExceptionCode::PrivInstruction
                   : ExceptionCode::IllegalInstruction;
    }
}

const struct sigaction* PreviousActionOf(int signal) {
    for (int i = 0; i < kSignalCount; ++i) {
        if (kGuardedSignals[i] == signal) {
            return &g_PreviousActions[i];
        }
    }
    return nullptr;
}

// A fault outside every guard: hand it to whoever had the signal before, or let the default
// action end the process as it would have without the guard.
void PassOn(int signal, siginfo_t* info, void* context) {
    const struct sigaction* previous = PreviousActionOf(signal);
    if (previous != nullptr) {
        if ((previous->sa_flags & SA_SIGINFO) != 0 && previous->sa_sigaction != nullptr) {
            previous->sa_sigaction(signal, info, context);
            return;
        }
        if ((previous->sa_flags & SA_SIGINFO) == 0 && previous->sa_handler != SIG_DFL &&
            previous->sa_handler != SIG_IGN) {
            previous->sa_handler(signal);
            return;
        }
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    // A fault of an instruction repeats on return and now meets the default action; a signal
    // sent by someone has to be sent again.
    if (info == nullptr || info->si_code <= 0) {
        raise(signal);
    }
}

void OnFault(int signal, siginfo_t* info, void* context) {
    GuardFrame* frame = t_Frame;
    // si_code > 0: raised by the kernel for an instruction of this thread, not sent by kill().
    if (frame != nullptr && info != nullptr && info->si_code > 0) {
        frame->Code = CodeOf(signal, info, context);
        siglongjmp(frame->Jump, 1);
    }
    PassOn(signal, info, context);
}

// The kernel blocks a signal while its handler runs; a long jump out of the handler leaves it
// blocked, and a second fault of the same kind would then end the process.
void UnblockGuardedSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kGuardedSignals) {
        sigaddset(&set, signal);
    }
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void InstallHandlers() {
    for (int i = 0; i < kSignalCount; ++i) {
        sigaction(kGuardedSignals[i], nullptr, &g_PreviousActions[i]);
    }
    for (int signal : kGuardedSignals) {
        struct sigaction action {};
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    }
}

// Answers 0 when the body returned, the C++ exception code when it threw.
uint32_t CallCatching(GuardFrame& frame) {
    try {
        frame.Body(frame.Context);
        return 0;
    } catch (abi::__forced_unwind&) {
        t_Frame = frame.Previous;
        throw;
    } catch (const std::exception& e) {
        try {
            _debug("C++ exception : %s", e.what());
        } catch (...) {
            // Logging failed too; the filter still reports the exception.
        }
    } catch (...) {
    }
    return ExceptionCode::CppException;
}

} // namespace

bool RunGuardedCall(void (*body)(void*), void* context, const char* failureLine) {
    std::call_once(g_InstallOnce, InstallHandlers);
    EnsureAltStack();

    GuardFrame frame;
    frame.Previous = t_Frame;
    frame.Body = body;
    frame.Context = context;
    frame.FailureLine = failureLine;
    frame.Code = 0;
    // The signal mask is not saved (that would cost a system call on every guarded call);
    // only the rare long jump out of the handler unblocks the faulting signal again.
    if (sigsetjmp(frame.Jump, 0) == 0) {
        t_Frame = &frame;
        frame.Code = CallCatching(frame);
    } else {
        UnblockGuardedSignals();
    }
    t_Frame = frame.Previous;
    if (frame.Code == 0) {
        return true;
    }
    ExceptionFilter(frame.Code);
    if (frame.FailureLine != nullptr) {
        _fatal("%s", frame.FailureLine);
    }
    return false;
}
