#include "platform/Threads.h"

#include <pthread.h>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#define QUORLE_HAS_MXCSR 1
// MXCSR bit 15 flushes denormal results to zero, bit 6 reads denormal inputs as zero.
constexpr uint32_t kFlushAndZeroDenormals = 0x8040;
#endif

namespace {

// pthread_t is an integer on some systems and a pointer on others.
template <typename T> uintptr_t toWord(T value) {
    if constexpr (std::is_pointer_v<T>)
        return reinterpret_cast<uintptr_t>(value);
    else
        return static_cast<uintptr_t>(value);
}

} // namespace

DenormalGuard::DenormalGuard() : saved(currentFloatModes()) {
#ifdef QUORLE_HAS_MXCSR
    _mm_setcsr(saved | kFlushAndZeroDenormals);
#endif
}

DenormalGuard::~DenormalGuard() {
#ifdef QUORLE_HAS_MXCSR
    _mm_setcsr(saved);
#endif
}

uint32_t currentFloatModes() {
#ifdef QUORLE_HAS_MXCSR
    return _mm_getcsr();
#else
    return 0;
#endif
}

uintptr_t currentThreadId() {
    return toWord(pthread_self());
}
