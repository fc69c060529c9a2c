#pragma once

#include "tessary/external/Log.h"

#include <cxxabi.h>

#include <cstdint>
#include <exception>
#include <type_traits>

// Runs the body of an exported operation so that nothing it throws (out of memory, mostly)
// reaches the application: the exception is logged and the operation answers failure.
template <typename R, typename F>
R NoThrow(uint32_t instance, const char* operation, R failure, F&& body) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& e) {
        _error("[%d] %s failed with an exception : %s", instance, operation, e.what());
    } catch (...) {
        _error("[%d] %s failed with an unknown exception", instance, operation);
    }
    return failure;
}

template <typename F> void NoThrow(uint32_t instance, const char* operation, F&& body) {
    try {
        body();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& e) {
        _error("[%d] %s failed with an exception : %s", instance, operation, e.what());
    } catch (...) {
        _error("[%d] %s failed with an unknown exception", instance, operation);
    }
}
