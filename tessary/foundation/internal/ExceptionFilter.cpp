#include "tessary/foundation/internal/ExceptionFilter.h"

#include "tessary/external/Log.h"
#include "tessary/foundation/Beep.h"

namespace {

struct NamedCode {
    uint32_t Code;
    // The tabs belong to the logged text: they line the names up in a log viewer.
    const char* Name;
};

constexpr NamedCode kNamedCodes[] = {
    {ExceptionCode::AccessViolation, "exception_access_violation\t\t"},
    {ExceptionCode::GuardPage, "exception_guard_page\t\t\t"},
    {ExceptionCode::DatatypeMisalignment, "exception_datatype_misalignment\t"},
    {ExceptionCode::Breakpoint, "exception_breakpoint\t\t\t"},
    {ExceptionCode::SingleStep, "exception_single_step\t\t\t"},
    {ExceptionCode::InPageError, "exception_in_page_error\t\t\t"},
    {ExceptionCode::InvalidHandle, "exception_invalid_handle\t\t"},
    {ExceptionCode::IllegalInstruction, "exception_illegal_instruction\t"},
    {ExceptionCode::NoncontinuableException, "exception_noncontinuable_exception"},
    {ExceptionCode::InvalidDisposition, "exception_invalid_disposition\t"},
    {ExceptionCode::ArrayBoundsExceeded, "exception_array_bounds_exceeded\t"},
    {ExceptionCode::FltDenormalOperand, "exception_flt_denormal_operand\t"},
    {ExceptionCode::FltDivideByZero, "exception_flt_divide_by_zero\t"},
    {ExceptionCode::FltInexactResult, "exception_flt_inexact_result\t"},
    {ExceptionCode::FltInvalidOperation, "exception_flt_invalid_operation\t"},
    {ExceptionCode::FltOverflow, "exception_flt_overflow\t\t\t"},
    {ExceptionCode::FltStackCheck, "exception_flt_stack_check\t\t"},
    {ExceptionCode::FltUnderflow, "exception_flt_underflow\t\t\t"},
    {ExceptionCode::IntDivideByZero, "exception_int_divide_by_zero\t"},
    {ExceptionCode::IntOverflow, "exception_int_overflow\t\t\t"},
    {ExceptionCode::PrivInstruction, "exception_priv_instruction\t\t"},
    {ExceptionCode::StackOverflow, "exception_stack_overflow\t\t"},
};

} // namespace

const char* ExceptionCodeName(uint32_t code) noexcept {
    for (const NamedCode& named : kNamedCodes) {
        if (named.Code == code) {
            return named.Name;
        }
    }
    return nullptr;
}

int ExceptionFilter(uint32_t code) noexcept {
    try {
        _debug("%s", "");
        _fatal("Enter ExceptionFilter.");
        if (const char* name = ExceptionCodeName(code)) {
            _error("%s", name);
        }
    } catch (...) {
        // The log itself failed (out of memory after a fault); the beep still tells.
    }
    Beep(1000, 1000);
    return 1;
}
