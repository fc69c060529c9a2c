#include "tessary/foundation/internal/ExceptionGuard.h"

#include "tessary/external/internal/LogCapture.h"
#include "tessary/foundation/internal/ExceptionFilter.h"
#include "tests/support/RawFault.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using ORVEX::Log::Level;
using ORVEX::Log::LogCapture;

namespace {

volatile int g_Sink = 0;
volatile bool g_Stop = false;

TESSARY_RAW_FAULT void DivideByZero() {
    volatile int zero = 0;
    volatile int numerator = 1;
    g_Sink = numerator / zero;
}

TESSARY_RAW_FAULT void IllegalInstruction() {
    __builtin_trap();
}

TESSARY_RAW_FAULT void Recurse(int depth) {
    volatile unsigned char pad[512];
    pad[0] = static_cast<unsigned char>(depth);
    if (!g_Stop) {
        Recurse(depth + 1);
    }
    g_Sink = pad[0];
}

void OverflowStack() {
    Recurse(0);
}

void ThrowRuntimeError() {
    throw std::runtime_error("boom");
}

struct FaultCase {
    const char* Label;
    void (*Fault)();
    const char* NameLine; // null for a C++ exception, which the filter does not name
};

const std::string kFailureLine = "Exception at GuardTest";

// The lines a caught fault leaves, with their levels: the filter's, the beep, then the guard's
// own. A C++ exception adds a debug line with its text first, which is not counted here.
void ExpectFilterLines(const LogCapture& capture, const char* nameLine) {
    std::vector<std::pair<Level, std::string>> lines;
    for (const auto& line : capture.Lines()) {
        if (line.text.rfind("C++ exception", 0) != 0) {
            lines.emplace_back(line.level, line.text);
        }
    }
    std::vector<std::pair<Level, std::string>> expected = {{Level::Debug, ""},
                                                           {Level::Fatal, "Enter ExceptionFilter."}};
    if (nameLine != nullptr) {
        expected.emplace_back(Level::Error, nameLine);
    }
    expected.emplace_back(Level::Warning, "Beep 1000 Hz, 1000 ms");
    expected.emplace_back(Level::Fatal, kFailureLine);
    EXPECT_EQ(lines, expected);
}

// Test listings name a case rather than dump its bytes.
void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.Label; }

// A fault on a worker thread is the server case's (AbstractServerTest); one in a guard within
// a guarded thread, the receivers' faulting handlers'.
class FaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultTest, IsLoggedByNameAndTheThreadCarriesOn) {
#if defined(TESSARY_SANITIZED)
    if (GetParam().Fault == &OverflowStack) {
        GTEST_SKIP() << "sanitizers keep their own watch on the stack";
    }
#endif
    LogCapture capture;
    bool resumed = false;
    EXPECT_FALSE(RunGuarded([&] { GetParam().Fault(); }, kFailureLine.c_str()));
    ExpectFilterLines(capture, GetParam().NameLine);

    // The signal mask was restored: the same fault is caught again, and normal work goes on.
    capture.Clear();
    EXPECT_FALSE(RunGuarded([&] { GetParam().Fault(); }));
    EXPECT_TRUE(capture.Has(GetParam().NameLine ? GetParam().NameLine : "C++ exception : boom"));
    EXPECT_TRUE(RunGuarded([&] { resumed = true; }));
    EXPECT_TRUE(resumed);
}

INSTANTIATE_TEST_SUITE_P(
    ExceptionGuard, FaultTest,
    ::testing::Values(FaultCase{"NullPointer", &DereferenceNull, "exception_access_violation\t\t"},
                      FaultCase{"IntegerDivide", &DivideByZero, "exception_int_divide_by_zero\t"},
                      FaultCase{"Trap", &IllegalInstruction, "exception_illegal_instruction\t"},
                      FaultCase{"StackOverflow", &OverflowStack, "exception_stack_overflow\t\t"},
                      FaultCase{"CppException", &ThrowRuntimeError, nullptr}),
    [](const auto& param) { return std::string(param.param.Label); });

TEST(ExceptionGuardTest, AnUnknownCodeIsLoggedWithoutAName) {
    LogCapture capture;
    EXPECT_EQ(ExceptionFilter(0x12345678), 1);
    EXPECT_EQ(capture.Texts(),
              (std::vector<std::string>{"", "Enter ExceptionFilter.", "Beep 1000 Hz, 1000 ms"}));
}

// Outside a guard a fault goes where it would go without one: to a handler installed before
// the guard's (a death test runs in a fresh process, so the guard's handlers come after the
// test's own), or to the default action.
TEST(ExceptionGuardDeathTest, OutsideAGuardTheFaultGoesWhereItWouldWithoutOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto faultAfterAGuard = [] {
        if (RunGuarded(&DereferenceNull)) {
            _exit(1);
        }
        DereferenceNull();
    };
    EXPECT_DEATH(faultAfterAGuard(), "");
    EXPECT_EXIT(
        {
            struct sigaction action {};
            action.sa_handler = [](int) { _exit(42); };
            sigemptyset(&action.sa_mask);
            sigaction(SIGSEGV, &action, nullptr);
            faultAfterAGuard();
        },
        ::testing::ExitedWithCode(42), "");
}

} // namespace
