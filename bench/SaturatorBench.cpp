// The saturator block with the settings of the shipped models' saturator presets,
// fed a plucked guitar phrase at the level it has at the block's input, in blocks of
// 512 at 88.2 kHz (44.1 kHz oversampled twice, as the plug-in runs it by default).
// x_realtime is seconds of audio at that rate processed per second of CPU, for one
// channel. Each iteration takes the next block of a one-second phrase, so the curve
// sees the signal's real mix of linear, knee and flat samples.
#include "bench/BenchUtil.h"
#include "blocks/QrSaturator.h"
#include "effect/MasterCallback.h"
#include "tools/PluckedPhrase.h"

#include <iterator>
#include <vector>

namespace {

constexpr double kRate = 88200.0;
constexpr int32_t kFrames = 512;

// The parameters (0..1) of the presets in data/presets/<name>.txt.
struct Preset {
    const char* name;
    float preGain, asymmetry, hardness, postGain, dcCut, softness;
};
const Preset kPresets[] = {
    {"clean_amp", 0.1167f, 0.0000f, 0.5263f, 0.8833f, 0.2500f, 1.0000f},
    {"edge_amp", 0.4333f, 0.2000f, 0.5263f, 0.5417f, 0.2500f, 0.7000f},
    {"crunch_amp", 0.4500f, 0.6000f, 0.3158f, 0.6833f, 0.2500f, 0.5000f},
    {"lead_stage1", 0.9667f, 0.4000f, 0.0000f, 0.4000f, 0.0000f, 0.0000f},
    {"lead_stage2", 0.4333f, 0.0000f, 0.0000f, 0.6333f, 0.2500f, 0.0000f},
    {"hg_stage1", 0.8500f, 0.6000f, 0.0000f, 0.4833f, 0.0000f, 0.0000f},
    {"hg_stage2", 0.6000f, 0.2000f, 0.2105f, 0.4667f, 0.0000f, 0.6000f},
    {"hg_stage3", 0.5000f, 0.0000f, 0.0000f, 0.3667f, 0.2500f, 0.0000f},
    {"oct_fuzz", 1.0000f, 0.0000f, 0.0000f, 0.5667f, 0.0000f, 0.0000f},
    {"oct_dc", 0.5000f, 0.0000f, 0.0000f, 0.5667f, 0.2500f, 0.0000f},
};

void BM_Saturator(benchmark::State& state) {
    const Preset& p = kPresets[state.range(0)];
    QrSaturator sat(masterCallback);
    sat.setSampleRate(static_cast<float>(kRate));
    sat.setParameter(QrSaturator::kPreGain, p.preGain);
    sat.setParameter(QrSaturator::kAsymmetry, p.asymmetry);
    sat.setParameter(QrSaturator::kHardness, p.hardness);
    sat.setParameter(QrSaturator::kPostGain, p.postGain);
    sat.setParameter(QrSaturator::kDcCut, p.dcCut);
    sat.setParameter(QrSaturator::kSoftness, p.softness);
    std::vector<float> phrase = pluckedPhrase(kRate, 1.0);
    phrase.resize(phrase.size() / kFrames * kFrames);
    std::vector<float> out(kFrames);
    float* o = out.data();
    size_t at = 0;
    for (auto _ : state) {
        float* i = phrase.data() + at;
        sat.processReplacing(&i, &o, kFrames);
        benchmark::ClobberMemory();
        at = at + kFrames == phrase.size() ? 0 : at + kFrames;
    }
    state.SetLabel(p.name);
    reportRealtime(state, kFrames, kRate);
}
BENCHMARK(BM_Saturator)->DenseRange(0, static_cast<int>(std::size(kPresets)) - 1);

} // namespace
