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
    float preGain, asymmetry, hardness, postGain, dcCut;
};
const Preset kPresets[] = {
    {"clean_amp", 0.3333f, 0.1000f, 0.9474f, 0.6667f, 0.25f},  // 0 dB, k 0.90
    {"edge_amp", 0.4667f, 0.2000f, 0.3158f, 0.6000f, 0.25f},   // +8 dB, k 0.30
    {"crunch_amp", 0.5667f, 0.3000f, 0.2105f, 0.5333f, 0.25f}, // +14 dB, k 0.20
    {"lead_stage1", 0.5333f, 0.2000f, 0.0000f, 0.6667f, 0.0f}, // +12 dB, k 0, no cut
    {"lead_stage2", 0.4667f, 0.0000f, 0.2105f, 0.5000f, 0.25f},
    {"hg_stage1", 0.4500f, 0.3000f, 0.0000f, 0.6667f, 0.0f}, // +7 dB
    {"hg_stage2", 0.4667f, 0.1000f, 0.0000f, 0.6667f, 0.0f},
    {"hg_stage3", 0.4000f, 0.0000f, 0.3158f, 0.5000f, 0.25f}, // +4 dB
    {"oct_fuzz", 0.5333f, 0.2000f, 0.2105f, 0.5000f, 0.25f},
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
