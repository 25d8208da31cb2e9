// Which wider instruction sets the vectorised blocks may use. One binary serves every
// x86-64 processor: a block builds its AVX2 path (a function marked
// __attribute__((target("avx2")))) only where QUORLE_X86_DISPATCH is 1, and takes it only
// when CpuFeatures::avx2() is true. Every compiler that understands those attributes
// (GCC and clang) builds the same paths, so the fuzzing build runs the code the release
// build runs.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUORLE_X86_DISPATCH 1
#else
#define QUORLE_X86_DISPATCH 0
#endif

namespace CpuFeatures {

// Any thread: true when this processor runs AVX2 (false where QUORLE_X86_DISPATCH is
// 0). The processor is asked once, on the first call; the blocks make that call from
// their static initialisers while the library loads, so the audio thread only ever
// reads the stored answer (no lock, no first-use initialisation).
inline bool avx2() {
#if QUORLE_X86_DISPATCH
    static const bool answer = [] {
        __builtin_cpu_init(); // static initialisers may run before the runtime's own
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return answer;
#else
    return false;
#endif
}

// Any thread: true when this processor and its operating system run AVX-512F (false
// where QUORLE_X86_DISPATCH is 0), asked as avx2() is. Valgrind reports a processor
// without it, so its tools run the AVX2 paths.
inline bool avx512() {
#if QUORLE_X86_DISPATCH
    static const bool answer = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") != 0;
    }();
    return answer;
#else
    return false;
#endif
}

} // namespace CpuFeatures
