// The cabinet convolver alone on the shipped cabinets, for counting its
// instructions under callgrind (reproducible where timings are not):
//   valgrind --tool=callgrind --toggle-collect='Convolver::process*'
//            convolver-count [BLOCK [SECONDS [CABINET]]]
// runs every shipped cabinet (or the one named) at 48 kHz through one convolver each, in host
// blocks of BLOCK frames (64 by default) for SECONDS of noise (2 by default), and prints the
// cabinets' lengths and the frames run. Instructions per sample are callgrind's count divided by
// the frames printed (all the cabinets together).
#include "main/CabinetLoad.h"
#include "main/DataArchive.h"

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    const uint32_t block = argc > 1 ? static_cast<uint32_t>(std::atoi(argv[1])) : 64;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 2.0;
    if (block < 1 || block > Convolver::kMaxFrames || !(seconds > 0.0)) {
        std::fprintf(stderr, "usage: convolver-count [BLOCK 1..8192 [SECONDS [CABINET]]]\n");
        return 2;
    }
    const auto archive = DataArchive::readDirectory(QUORLE_DATA_DIR);
    const size_t frames = static_cast<size_t>(48000.0 * seconds) / block * block;
    std::mt19937 random(5);
    std::uniform_real_distribution<float> uniform(-0.5f, 0.5f);
    std::vector<float> in(frames), out(block);
    for (float& v : in)
        v = uniform(random);

    size_t total = 0;
    for (const std::string& name : archive->cabinetNames()) {
        if (argc > 3 && name != argv[3])
            continue;
        std::string error;
        const auto response = cabinet::load(*archive, name, 48000.0, error);
        if (!response) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        const auto conv = cabinet::convolverFor(*response, 0, block);
        for (size_t at = 0; at < frames; at += block)
            conv->process(in.data() + at, out.data(), block);
        std::printf("%s: %zu taps, %zu frames\n", name.c_str(), conv->length(), frames);
        total += frames;
    }
    std::printf("%zu frames in all, block %u\n", total, block);
    return 0;
}
