// Internal assumptions made checks in the debug build (-DVLM_DEBUG=1, also
// on in the sanitizer build that CI runs): a broken one stops the process
// with its place, as no input can be allowed to reach it. The release build
// compiles them away.
#pragma once

#include <cstdio>
#include <cstdlib>

#if defined(VLM_DEBUG) && VLM_DEBUG
#define VLM_ASSERT(cond)                                                                         \
    do {                                                                                         \
        if (!(cond)) [[unlikely]] {                                                              \
            std::fprintf(stderr, "vellum: internal check failed: %s (%s:%d)\n", #cond, __FILE__, \
                         __LINE__);                                                              \
            std::abort();                                                                        \
        }                                                                                        \
    } while (0)
#else
#define VLM_ASSERT(cond) ((void)0)
#endif
