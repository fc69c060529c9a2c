#pragma once

// Real processor faults for the tests of the guards that catch them; the sanitizers' own checks
// would stop these earlier, so they are left out here.
#define TESSARY_RAW_FAULT __attribute__((noinline, no_sanitize("address", "undefined")))

TESSARY_RAW_FAULT inline void DereferenceNull() {
    volatile int* volatile pointer = nullptr;
    *pointer = 1;
}
