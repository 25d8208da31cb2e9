// A harness's own assertion: a broken promise of the product ends the run with
// a message, so that libFuzzer keeps the input and the regression runner fails.
// The message also goes where the sanitizers report, which is where libFuzzer's
// output stays when the plug-in's own standard error is closed (-close_fd_mask=3).
#pragma once

#include <cstdio>
#include <cstdlib>

extern "C" void __sanitizer_report_error_summary(const char* summary) __attribute__((weak));

#define FUZZ_CHECK(condition, what)                                                                \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            char message[512];                                                                     \
            std::snprintf(message, sizeof(message), "%s:%d: %s (%s)", __FILE__, __LINE__, what,    \
                          #condition);                                                             \
            std::fprintf(stderr, "%s\n", message);                                                 \
            if (__sanitizer_report_error_summary)                                                  \
                __sanitizer_report_error_summary(message);                                         \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)
