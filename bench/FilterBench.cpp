// The equaliser block at the pass counts presets use, and beyond; x_realtime is
// seconds of 44.1 kHz audio processed per second of CPU, for one channel. The third
// argument is the cascade's instruction level: 0 plain floats, 1 SSE2 (four lanes),
// 2 AVX2 (eight lanes; held to SSE2 on a processor without it).
#include "bench/BenchUtil.h"
#include "blocks/IirCascade.h"
#include "blocks/QrIIRFilter.h"
#include "effect/MasterCallback.h"

#include <cmath>
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
BENCHMARK(BM_IIRFilter)->ArgsProduct({{64, 512}, {1, 2, 4, 8, 20}, {0, 1, 2}});
