// The main effect on each shipped model: x_realtime is seconds of 44.1 kHz audio
// processed per second of CPU for one channel. BM_ModelSwitch times one model
// switch (archive read, parse, graph build, presets), the cost a host pays on its
// render thread when loadXmlZ() switches the model. BM_Render and BM_SwitchingRender
// compare a plain render call with one that switches to a prepared graph (install,
// state cleared, the first piece of the crossfade with both graphs running), as the
// unit's kernels switch: the models taken in turn, each call timed alone. BM_Stereo
// compares two channels run as a pair with the two run one after the other.
#include "bench/BenchUtil.h"
#include "effect/EffectOpcodes.h"
#include "main/DataArchive.h"
#include "main/VorlixMac.h"
#include "tools/PluckedPhrase.h"

#include <chrono>
#include <memory>
#include <vector>

namespace {

std::unique_ptr<VorlixMac> makeEffect(int model) {
    gFxDir = QUORLE_DATA_DIR;
    auto fx = std::make_unique<VorlixMac>();
    fx->init();
    fx->dispatcher(kOpSetSampleRate, 0, 0, nullptr, 44100.0f);
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

// Two channels of one model as a stereo unit runs them: processed as a pair (the
// equaliser cascades side by side in the lanes) or, with range(2) 0, one after the
// other. x_realtime is per channel.
void BM_Stereo(benchmark::State& state) {
    const int model = static_cast<int>(state.range(0));
    const int32_t frames = static_cast<int32_t>(state.range(1));
    const bool paired = state.range(2) != 0;
    auto left = makeEffect(model), right = makeEffect(model);
    const std::vector<float> phrase = pluckedPhrase(44100.0, 1.0);
    std::vector<float> a(phrase.begin(), phrase.begin() + frames);
    std::vector<float> b(phrase.begin() + frames, phrase.begin() + 2 * frames);
    float* l = a.data();
    float* r = b.data();
    for (auto _ : state) {
        if (!paired || !QrVorlixGeneric::processPair(*left, l, *right, r, frames)) {
            left->process(&l, &l, frames);
            right->process(&r, &r, frames);
        }
        benchmark::ClobberMemory();
    }
    state.SetLabel(left->modelNames[static_cast<size_t>(model)] + (paired ? " paired" : " apart"));
    reportRealtime(state, 2 * frames, 44100.0);
}
BENCHMARK(BM_Stereo)->ArgsProduct({{0, 1, 2, 3, 4, 5}, {512}, {0, 1}});

void BM_ModelSwitch(benchmark::State& state) {
    auto fx = makeEffect(0);
    int model = 0;
    for (auto _ : state) {
        model = (model + 1) % 4;
        fx->setParameter(QrVorlixGeneric::kModel, static_cast<float>(model));
    }
}
BENCHMARK(BM_ModelSwitch)->Unit(benchmark::kMicrosecond);

// One render call of state.range(0) frames, the six shipped models in turn: with
// `switching`, each call first switches to the next model's prepared graph; without,
// the next model is installed outside the timed call. Either way the fade of the
// call before is ended outside it, so every timed call starts from the same place.
void renderCalls(benchmark::State& state, bool switching) {
    const int32_t frames = static_cast<int32_t>(state.range(0));
    auto fx = makeEffect(0);
    std::vector<std::unique_ptr<PreparedGraph>> bank;
    for (size_t i = 0; i < fx->modelNames.size(); ++i)
        bank.push_back(fx->prepare(static_cast<int>(i)));
    const std::vector<float> phrase = pluckedPhrase(44100.0, 1.0);
    std::vector<float> in(phrase.begin() + 22050, phrase.begin() + 22050 + frames), out(in.size());
    float* i = in.data();
    float* o = out.data();
    size_t model = 0;
    fx->install(bank[model].get());
    for (int warm = 0; warm < 8; ++warm)
        fx->process(&i, &o, frames);
    for (auto _ : state) {
        const size_t next = (model + 1) % bank.size();
        if (!switching)
            fx->install(bank[next].get());
        const auto start = std::chrono::steady_clock::now();
        if (switching)
            fx->switchTo(bank[next].get());
        fx->process(&i, &o, frames);
        benchmark::ClobberMemory();
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        if (switching)
            fx->install(bank[next].get()); // ends the fade
        model = next;
    }
}

void BM_Render(benchmark::State& state) {
    renderCalls(state, false);
}
BENCHMARK(BM_Render)->Arg(64)->Arg(512)->UseManualTime();

void BM_SwitchingRender(benchmark::State& state) {
    renderCalls(state, true);
}
BENCHMARK(BM_SwitchingRender)->Arg(64)->Arg(512)->UseManualTime();

} // namespace
