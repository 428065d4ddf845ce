#pragma once
// A property every input must keep: a broken one stops the run at once, and
// libFuzzer keeps the input that broke it.

#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            __builtin_trap();                                                                                          \
    } while (false)
