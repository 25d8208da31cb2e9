// lv2-oracle: the long run of the LV2 plug-in's random host (bench/Lv2Oracle.h).
//
//   lv2-oracle [STEPS [FIRST-SEED]]
//
// Seeded sequences of up to 1000 steps, the worker's kind following the seed, until
// STEPS steps (10^6 unless given) have been taken; every divergence is printed with
// its seed and steps, then the count of steps and divergences by kind of worker.
// Exits 1 when any sequence diverged.
#include "bench/Lv2Oracle.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    using namespace lv2oracle;
    const long total = argc > 1 ? std::atol(argv[1]) : 1000000;
    uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000;
    const quorletest::Lv2Library library;
    if (!library.mono || !library.stereo) {
        std::fprintf(stderr, "lv2-oracle: the plug-in's library could not be opened\n");
        return 2;
    }
    long done = 0, steps[kModes] = {}, diverged[kModes] = {};
    const auto start = std::chrono::steady_clock::now();
    for (; done < total; ++seed) {
        const Mode mode = static_cast<Mode>(seed % kModes);
        Oracle oracle(seed % 2 ? library.stereo : library.mono, mode, seed);
        const std::string wrong = oracle.run(1000);
        done += oracle.step;
        steps[mode] += oracle.step;
        if (!wrong.empty()) {
            ++diverged[mode];
            std::printf("%s\n\n", wrong.c_str());
            std::fflush(stdout);
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    long divergences = 0;
    for (int m = 0; m < kModes; ++m) {
        std::printf("%-10s %8ld steps, %ld sequences diverged\n", kModeNames[m], steps[m],
                    diverged[m]);
        divergences += diverged[m];
    }
    std::printf("%ld steps in %.0f s (%.0f steps/s), %ld sequences diverged\n", done, seconds,
                done / seconds, divergences);
    return divergences ? 1 : 0;
}
