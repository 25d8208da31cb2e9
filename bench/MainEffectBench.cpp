// The main effect on each shipped model: x_realtime is seconds of 44.1 kHz audio
// processed per second of CPU for one channel. BM_ModelSwitch times one model
// switch (archive read, parse, graph build, presets), the cost a host pays on its
// render thread when the model parameter changes.
#include "bench/BenchUtil.h"
#include "main/DataArchive.h"
#include "main/VorlixMac.h"
#include "tools/PluckedPhrase.h"

#include <memory>
#include <vector>

namespace {

std::unique_ptr<VorlixMac> makeEffect(int model) {
    gFxDir = QUORLE_DATA_DIR;
    auto fx = std::make_unique<VorlixMac>();
    fx->init();
    fx->dispatcher(10, 0, 0, nullptr, 44100.0f);
    fx->loadXmlZ(model);
    return fx;
}

void BM_Process(benchmark::State& state) {
    const int model = static_cast<int>(state.range(0));
    const int32_t frames = static_cast<int32_t>(state.range(1));
    auto fx = makeEffect(model);
    const std::vector<float> phrase = pluckedPhrase(44100.0, 1.0);
    std::vector<float> in(phrase.begin(), phrase.begin() + frames), out(in.size());
    float* i = in.data();
    float* o = out.data();
    for (auto _ : state) {
        fx->process(&i, &o, frames);
        benchmark::ClobberMemory();
    }
    state.SetLabel(fx->modelNames[static_cast<size_t>(model)]);
    reportRealtime(state, frames, 44100.0);
}
BENCHMARK(BM_Process)->ArgsProduct({{0, 1, 2, 3}, {64, 512, 1156}});

void BM_ModelSwitch(benchmark::State& state) {
    auto fx = makeEffect(0);
    int model = 0;
    for (auto _ : state) {
        model = (model + 1) % 4;
        fx->setParameter(QrVorlixGeneric::kModel, static_cast<float>(model));
    }
}
BENCHMARK(BM_ModelSwitch)->Unit(benchmark::kMicrosecond);

} // namespace
