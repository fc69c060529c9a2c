#pragma once

#include <cstdint>

// Exception codes the guard reports. Processor faults are given the operating system's
// published codes, so log lines name them the same way on every platform.
namespace ExceptionCode {
constexpr uint32_t AccessViolation = 0xC0000005;
constexpr uint32_t GuardPage = 0x80000001;
constexpr uint32_t DatatypeMisalignment = 0x80000002;
constexpr uint32_t Breakpoint = 0x80000003;
constexpr uint32_t SingleStep = 0x80000004;
constexpr uint32_t InPageError = 0xC0000006;
constexpr uint32_t InvalidHandle = 0xC0000008;
constexpr uint32_t IllegalInstruction = 0xC000001D;
constexpr uint32_t NoncontinuableException = 0xC0000025;
constexpr uint32_t InvalidDisposition = 0xC0000026;
constexpr uint32_t ArrayBoundsExceeded = 0xC000008C;
constexpr uint32_t FltDenormalOperand = 0xC000008D;
constexpr uint32_t FltDivideByZero = 0xC000008E;
constexpr uint32_t FltInexactResult = 0xC000008F;
constexpr uint32_t FltInvalidOperation = 0xC0000090;
constexpr uint32_t FltOverflow = 0xC0000091;
constexpr uint32_t FltStackCheck = 0xC0000092;
constexpr uint32_t FltUnderflow = 0xC0000093;
constexpr uint32_t IntDivideByZero = 0xC0000094;
constexpr uint32_t IntOverflow = 0xC0000095;
constexpr uint32_t PrivInstruction = 0xC0000096;
constexpr uint32_t StackOverflow = 0xC00000FD;
// A C++ exception; it has no name in the filter's table.
constexpr uint32_t CppException = 0xE06D7363;
} // namespace ExceptionCode

// Logs a crash that a guard caught: an empty debug line, the fatal "Enter ExceptionFilter."
// line, the code's name (with its trailing tabs) as an error line when the code is known, and a
// beep. Answers 1: the guarded body is abandoned in every case.
int ExceptionFilter(uint32_t code) noexcept;

// The code's name followed by its tabs, or nullptr for a code without a name.
const char* ExceptionCodeName(uint32_t code) noexcept;
