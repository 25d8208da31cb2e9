// The equaliser block at the pass counts presets use, and beyond; x_realtime is
// seconds of 44.1 kHz audio processed per second of CPU, for one channel. The third
// argument is the cascade's instruction level: 0 plain floats, 1 SSE2 (four lanes),
// 2 AVX2 (eight lanes; held to SSE2 on a processor without it).
#include "bench/BenchUtil.h"
#include "blocks/IirCascade.h"
#include "blocks/QrIIRFilter.h"
#include "blocks/QrSaturator.h"
#include "effect/MasterCallback.h"

#include <cmath>
#include <initializer_list>
#include <memory>
#include <vector>

static void BM_IIRFilter(benchmark::State& state) {
    const int32_t frames = static_cast<int32_t>(state.range(0));
    QrIIRFilter filter(masterCallback);
    filter.setParameter(QrIIRFilter::kPasses, static_cast<float>(state.range(1)) / 10.0f);
    filter.setParameter(QrIIRFilter::kFrequency, 0.4f);
    filter.setParameter(QrIIRFilter::kK, 0.7f);
    std::vector<float> buffer(static_cast<size_t>(frames));
    for (size_t i = 0; i < buffer.size(); ++i)
        buffer[i] = 0.3f * std::sin(0.05f * static_cast<float>(i));
    float* p = buffer.data();
    const IirCascade::Level before =
        IirCascade::setLevel(static_cast<IirCascade::Level>(state.range(2)));
    for (auto _ : state) {
        filter.processReplacing(&p, &p, frames);
        benchmark::ClobberMemory();
    }
    IirCascade::setLevel(before);
    reportRealtime(state, frames, 44100.0);
}
BENCHMARK(BM_IIRFilter)->ArgsProduct({{64, 512}, {1, 2, 4, 8, 20}, {0, 1, 2, 3}});

// First-order shelves of the given pass counts, as a model's equalisers.
static std::vector<std::unique_ptr<QrIIRFilter>> shelves(std::initializer_list<int> passes) {
    std::vector<std::unique_ptr<QrIIRFilter>> filters;
    for (int p : passes) {
        filters.push_back(std::make_unique<QrIIRFilter>(masterCallback));
        filters.back()->setParameter(QrIIRFilter::kOrder, 0.0f);
        filters.back()->setParameter(QrIIRFilter::kPasses, (static_cast<float>(p) + 0.5f) / 10.0f);
        filters.back()->setParameter(QrIIRFilter::kFrequency, 0.4f);
    }
    return filters;
}

// The fixed stage (three bass passes, one treble pass) and two one-pass equalisers
// at a model's head, each writing its own buffer as the main effect's slots do,
// gathered into one cascade; the third argument the instruction level as above.
static void BM_ToneStageCascade(benchmark::State& state) {
    const int32_t frames = static_cast<int32_t>(state.range(0));
    const auto filters = shelves({3, 1, 1, 1});
    std::vector<std::vector<float>> slots(5, std::vector<float>(static_cast<size_t>(frames)));
    for (size_t i = 0; i < slots[0].size(); ++i)
        slots[0][i] = 0.3f * std::sin(0.05f * static_cast<float>(i));
    const IirCascade::Level before =
        IirCascade::setLevel(static_cast<IirCascade::Level>(state.range(1)));
    for (auto _ : state) {
        CascadeChain chain(frames);
        for (size_t f = 0; f < filters.size(); ++f)
            chain.add(filters[f]->params, slots[f].data(), slots[f + 1].data());
        chain.flush();
        benchmark::ClobberMemory();
    }
    IirCascade::setLevel(before);
    reportRealtime(state, frames, 44100.0);
}
BENCHMARK(BM_ToneStageCascade)->ArgsProduct({{512}, {0, 1, 2}});

// What fusing a model's waves across its saturator could gain at most (one fused
// program per model): 3-crunch's layout at 2x (512 frames, 1024 oversampled), a
// 7-section cascade, a saturator, a 2-section cascade. Layout 0 runs them as the
// engine does, three passes; 1 runs the nine sections as one cascade and the
// saturator over the whole block (what a fused wave would cost if its rounds were
// free; not the model's sound); 2 the same with the saturator in rounds of four
// samples, as a wave handing on its lanes' rounds would call it. The third argument
// is the instruction level as above.
static void BM_FusionBound(benchmark::State& state) {
    constexpr int32_t kFrames = 1024;
    const int layout = static_cast<int>(state.range(0));
    const auto filters = shelves({3, 2, 1, 1, 1, 1});
    QrSaturator saturator(masterCallback);
    saturator.setSampleRate(88200.0f);
    saturator.setParameter(QrSaturator::kPreGain, 0.6f);
    std::vector<float> in(kFrames), a(kFrames), b(kFrames), out(kFrames);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = 0.3f * std::sin(0.05f * static_cast<float>(i));
    CascadeCarry carry;
    const IirCascade::Level before =
        IirCascade::setLevel(static_cast<IirCascade::Level>(state.range(1)));
    for (auto _ : state) {
        float* pa = a.data();
        float* pb = b.data();
        {
            CascadeChain chain(kFrames, &carry);
            for (size_t f = 0; f < 4; ++f)
                chain.add(filters[f]->params, f == 0 ? in.data() : a.data(), a.data(), f > 0);
            if (layout > 0)
                for (size_t f = 4; f < 6; ++f)
                    chain.add(filters[f]->params, a.data(), a.data(), true);
        }
        if (layout == 2) {
            for (int32_t at = 0; at < kFrames; at += 4) {
                float* x = pa + at;
                float* y = pb + at;
                saturator.processReplacing(&x, &y, 4);
            }
        } else {
            saturator.processReplacing(&pa, &pb, kFrames);
        }
        if (layout == 0) {
            CascadeChain chain(kFrames, &carry);
            chain.add(filters[4]->params, b.data(), out.data());
            chain.add(filters[5]->params, out.data(), out.data(), true);
        }
        benchmark::ClobberMemory();
    }
    IirCascade::setLevel(before);
    reportRealtime(state, kFrames / 2, 44100.0);
}
BENCHMARK(BM_FusionBound)->ArgsProduct({{0, 1, 2}, {2, 3}});
