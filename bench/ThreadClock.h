// The benchmarks' clock: CPU time of the calling thread, so that other work on a
// shared machine does not count.
#pragma once

#include <ctime>

// This thread's CPU time so far, seconds.
inline double threadSeconds() {
    timespec t = {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}
