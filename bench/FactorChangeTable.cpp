// The table of what an oversampling change does to the sound (bench/FactorChangeMeasure.h)
// over every change between 1x, 2x, 4x and 8x, for a 220 Hz sine at -12 dBFS
// (changed 0.3 s in) and the plucked phrase (changed 0.5 s in, as a note rings,
// and 1.0 s in, 50 ms before the next pluck), through every shipped model at its
// default controls, no cabinet:
//
//   factor-change [--model N] [--rate HZ] [--block FRAMES]
//
// Each cell is the worst over the models (and the phrase's two moments), the model
// named. Exit status 1 when a cell misses a target (a dip deeper than -3 dB, a step
// ratio above 1.5), 2 on a bad option.
#include "bench/FactorChangeMeasure.h"
#include "main/DataArchive.h"
#include "tools/PluckedPhrase.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace {

struct Worst {
    factorchange::Figures figures;
    int dipModel = -1, stepModel = -1;
    void add(const factorchange::Figures& f, int model) {
        figures.riseDb = std::max(figures.riseDb, f.riseDb);
        if (dipModel < 0 || f.dipDb < figures.dipDb) {
            figures.dipDb = f.dipDb;
            dipModel = model;
        }
        if (stepModel < 0 || f.stepRatio > figures.stepRatio) {
            figures.stepRatio = f.stepRatio;
            stepModel = model;
        }
    }
};

int usage() {
    std::fprintf(stderr, "usage: factor-change [--model N] [--rate HZ] [--block FRAMES]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    int only = -1;
    double rate = 44100.0;
    long block = 512;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (!std::strcmp(argv[i], "--model") && hasValue)
            only = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--rate") && hasValue)
            rate = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--block") && hasValue)
            block = std::atol(argv[++i]);
        else
            return usage();
    }
    if (!(rate >= ChannelEngine::kMinRate && rate <= ChannelEngine::kMaxRate) || block < 1 ||
        block > 8192)
        return usage();
    const uint32_t frames = static_cast<uint32_t>(block);
    EngineSetup setup;
    setup.rate = rate;
    setup.maxFrames = frames;
    setup.prepareAll = false;
    setup.archive = DataArchive::readDirectory(QUORLE_DATA_DIR);
    std::vector<std::string> names;
    try {
        names = ChannelEngine(setup).modelNames();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "factor-change: the archive in %s does not play: %s\n",
                     QUORLE_DATA_DIR, e.what());
        return 2;
    }
    const int models = static_cast<int>(names.size());
    if (only >= models)
        return usage();

    // Each change moment a whole number of blocks in.
    auto blocksIn = [&](double seconds) {
        return static_cast<size_t>(seconds * rate) / frames * frames;
    };
    const std::vector<float> sine = factorchange::sine(220.0, 0.25, rate, 0.5);
    const std::vector<float> phrase = pluckedPhrase(rate, 1.2);
    const int factors[] = {1, 2, 4, 8};
    std::printf("Oversampling changes at %.0f Hz, host blocks of %u frames, %s: the deepest "
                "5 ms RMS dip under the steady output (dB) and the largest sample step over "
                "the steady one's, each the worst model's; the largest rise over the louder "
                "steady output (dB).\n\n",
                rate, frames, only >= 0 ? names[static_cast<size_t>(only)].c_str() : "every model");
    std::printf(
        "| change | sine dip | sine step | phrase dip | phrase step | rise: sine, phrase |\n");
    std::printf("|---|---|---|---|---|---|\n");
    bool met = true;
    for (int from : factors) {
        for (int to : factors) {
            if (from == to)
                continue;
            Worst sineWorst, phraseWorst;
            for (int m = 0; m < models; ++m) {
                if (only >= 0 && m != only)
                    continue;
                setup.startModel = m;
                sineWorst.add(factorchange::measure(setup, sine, from, to, blocksIn(0.3), frames),
                              m);
                for (double at : {0.5, 1.0})
                    phraseWorst.add(
                        factorchange::measure(setup, phrase, from, to, blocksIn(at), frames), m);
            }
            met = met && sineWorst.figures.meetsTargets() && phraseWorst.figures.meetsTargets();
            auto name = [&](int m) {
                const std::string& n = names[static_cast<size_t>(m)];
                return n.substr(0, n.rfind(".xml"));
            };
            std::printf(
                "| %dx -> %dx | %.1f (%s) | %.2f (%s) | %.1f (%s) | %.2f (%s) | %.1f, %.1f |\n",
                from, to, sineWorst.figures.dipDb, name(sineWorst.dipModel).c_str(),
                sineWorst.figures.stepRatio, name(sineWorst.stepModel).c_str(),
                phraseWorst.figures.dipDb, name(phraseWorst.dipModel).c_str(),
                phraseWorst.figures.stepRatio, name(phraseWorst.stepModel).c_str(),
                sineWorst.figures.riseDb, phraseWorst.figures.riseDb);
        }
    }
    std::printf("\ntargets: dip no deeper than %.0f dB, step ratio at most %.1f: %s\n",
                factorchange::kDipTargetDb, factorchange::kStepTarget, met ? "met" : "MISSED");
    return met ? 0 : 1;
}
