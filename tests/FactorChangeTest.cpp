// What an oversampling change sounds like (bench/FactorChangeMeasure.h): a 220 Hz
// sine at -12 dBFS (changed 0.3 s in) and the plucked phrase (0.5 s in, as a note
// rings, and 1.0 s in, just before the next pluck) through every shipped model at
// its default controls, over every change between 1x, 2x, 4x and 8x, at 44.1 kHz
// in host blocks of 512 frames. Against renders at either factor throughout, no
// 5 ms window falls more than 3 dB under the quieter or rises more than 1.5 dB over
// the louder (a fade through silence fell 20 dB; an equal-power crossfade rose
// 3.4 dB), and no sample steps more than 1.5 times as far as the steady renders'
// largest step (equal power stepped 1.41 times). The sanitizer build, unoptimised,
// judges the brightest model and the fuzz alone.
#include "bench/FactorChangeMeasure.h"
#include "main/DataArchive.h"
#include "main/VorlixMac.h"
#include "tools/PluckedPhrase.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr double kRiseTargetDb = 1.5;

TEST(FactorChange, EveryChangeKeepsTheLevelWithoutAStep) {
    constexpr double kRate = 44100.0;
    constexpr uint32_t kBlock = 512;
    gFxDir = std::string(QUORLE_BUNDLE_DIR) + "/";
    EngineSetup setup;
    setup.rate = kRate;
    setup.maxFrames = kBlock;
    setup.prepareAll = false;
    setup.archive = DataArchive::readDirectory(gFxDir);
    const int models = ChannelEngine(setup).models();
    ASSERT_EQ(models, 6);
#ifdef QUORLE_ASAN
    const std::vector<int> judged = {1, 5};
#else
    const std::vector<int> judged = {0, 1, 2, 3, 4, 5};
#endif
    auto blocksIn = [](double seconds) {
        return static_cast<size_t>(seconds * kRate) / kBlock * kBlock;
    };
    struct Signal {
        const char* name;
        std::vector<float> samples;
        std::vector<size_t> changes;
    };
    const Signal signals[] = {
        {"sine", factorchange::sine(220.0, 0.25, kRate, 0.5), {blocksIn(0.3)}},
        {"phrase", pluckedPhrase(kRate, 1.2), {blocksIn(0.5), blocksIn(1.0)}},
    };
    int judgedChanges = 0;
    for (int model : judged) {
        setup.startModel = model;
        for (int from : {1, 2, 4, 8}) {
            for (int to : {1, 2, 4, 8}) {
                if (from == to)
                    continue;
                for (const Signal& signal : signals) {
                    for (size_t at : signal.changes) {
                        SCOPED_TRACE(testing::Message()
                                     << "model " << model << ", " << from << "x to " << to << "x, "
                                     << signal.name << " at frame " << at);
                        const factorchange::Figures f =
                            factorchange::measure(setup, signal.samples, from, to, at, kBlock);
                        EXPECT_GE(f.dipDb, factorchange::kDipTargetDb);
                        EXPECT_LE(f.riseDb, kRiseTargetDb);
                        EXPECT_LE(f.stepRatio, factorchange::kStepTarget);
                        ++judgedChanges;
                    }
                }
            }
        }
    }
    EXPECT_EQ(judgedChanges, static_cast<int>(judged.size()) * 12 * 3);
}

} // namespace
