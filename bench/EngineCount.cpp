// One channel as a host drives it, for counting its instructions under callgrind
// (reproducible where timings on a shared machine are not):
//   valgrind --tool=callgrind --toggle-collect='hostBlock*'
//            engine-count FACTOR BLOCK [SECONDS [MODEL]]
// builds a ChannelEngine at 44.1 kHz on the shipped archive at oversampling FACTOR
// (1, 2, 4 or 8) for host blocks of BLOCK frames, plays the shipped model MODEL (0 by
// default) and runs SECONDS (1 by default) of the plucked phrase through it, each
// block as a host's run() does: the controls handed on, then the block processed.
// Prints the model, the frames run, a hash of every output sample's bits (to check
// that a change leaves the output as it was) and, outside callgrind, the blocks'
// speed as seconds of audio per second of this thread's CPU time; instructions per
// sample are callgrind's count divided by the frames. The engine is built and warmed up (one block)
// before the counted blocks, so construction is not counted.
#include "bench/BenchEngine.h"
#include "bench/ThreadClock.h"
#include "main/ChannelEngine.h"
#include "main/DataArchive.h"
#include "tools/PluckedPhrase.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

// The per-block work a host does: not inlined, so that callgrind can count it alone.
__attribute__((noinline)) void hostBlock(ChannelEngine& engine, const float* in, float* out,
                                         uint32_t frames) {
    engine.setControls(0.7f, 0.6f, 0.3f);
    engine.process(in, out, frames);
}

int main(int argc, char** argv) {
    const int factor = argc > 1 ? std::atoi(argv[1]) : 2;
    const uint32_t block = argc > 2 ? static_cast<uint32_t>(std::atoi(argv[2])) : 64;
    const double seconds = argc > 3 ? std::atof(argv[3]) : 1.0;
    const int model = argc > 4 ? std::atoi(argv[4]) : 0;
    if (!Oversampler::isValidFactor(factor) || block < 1 || block > 8192 || !(seconds > 0.0)) {
        std::fprintf(stderr, "usage: engine-count FACTOR BLOCK [SECONDS [MODEL]]\n");
        return 2;
    }
    constexpr double kRate = 44100.0;
    ChannelEngine engine(
        benchEngineSetup(kRate, block, factor, model, DataArchive::readDirectory(QUORLE_DATA_DIR)));
    if (model < 0 || model >= engine.models()) {
        std::fprintf(stderr, "engine-count: no model %d in the archive\n", model);
        return 2;
    }
    const std::vector<float> phrase = pluckedPhrase(kRate, seconds + 0.5);
    const size_t frames = static_cast<size_t>(kRate * seconds) / block * block;
    std::vector<float> out(block);
    engine.setControls(0.7f, 0.6f, 0.3f);
    engine.process(phrase.data(), out.data(), block); // warm-up, not counted
    // Blocks go to a buffer of about 64k frames, hashed whenever it is full, between
    // reads of this thread's CPU clock.
    const size_t span = block * std::max<size_t>(1, 65536 / block);
    std::vector<float> heard(span);
    uint64_t hash = 14695981039346656037ull; // FNV-1a over the output's bits
    double cpu = 0.0;
    for (size_t at = 0; at < frames;) {
        const size_t n = std::min(span, frames - at);
        const double before = threadSeconds();
        for (size_t done = 0; done < n; done += block)
            hostBlock(engine, phrase.data() + block + at + done, heard.data() + done, block);
        cpu += threadSeconds() - before;
        for (size_t i = 0; i < n; ++i) {
            uint32_t bits;
            std::memcpy(&bits, &heard[i], sizeof bits);
            hash = (hash ^ bits) * 1099511628211ull;
        }
        at += n;
    }
    std::printf("%s: factor %d, block %u, %zu frames, output %016llx, %.0fx real time\n",
                engine.modelNames().at(static_cast<size_t>(model)).c_str(), factor, block, frames,
                static_cast<unsigned long long>(hash), static_cast<double>(frames) / kRate / cpu);
    return 0;
}
