// The small graph blocks and the oversampler, one channel, blocks of 512 at 44.1 kHz
// fed a plucked guitar phrase: the clipper (hard and averaging), the averager, the
// mixer, the delay, and the oversampler's round trip (up, then down) at 2, 4 and 8.
// x_realtime is seconds of base-rate audio processed per second of CPU.
#include "bench/BenchUtil.h"
#include "blocks/ADelay.h"
#include "blocks/Oversampler.h"
#include "blocks/QrClipper.h"
#include "effect/MasterCallback.h"
#include "graph/AveragerAN.h"
#include "graph/MixerAudioNode.h"
#include "tools/PluckedPhrase.h"

#include <vector>

namespace {

constexpr double kRate = 44100.0;
constexpr int32_t kFrames = 512;

// A second of the phrase, whole blocks of it, taken one block per iteration.
struct Phrase {
    std::vector<float> samples;
    size_t at = 0;
    Phrase() : samples(pluckedPhrase(kRate, 1.0)) {
        samples.resize(samples.size() / kFrames * kFrames);
    }
    float* next() {
        float* p = samples.data() + at;
        at = at + kFrames == samples.size() ? 0 : at + kFrames;
        return p;
    }
};

// Arg: average time in ms (0: hard clip), as the clipper's parameter 4.
void BM_Clipper(benchmark::State& state) {
    QrClipper clip(masterCallback);
    clip.setSampleRate(static_cast<float>(kRate));
    clip.setParameter(QrClipper::kPreGain, 0.0875f); // the octave presets' settings
    clip.setParameter(QrClipper::kClipPos, 0.3f);
    clip.setParameter(QrClipper::kClipNeg, 0.0f);
    clip.setParameter(QrClipper::kAverageTime, static_cast<float>(state.range(0)));
    Phrase phrase;
    std::vector<float> out(kFrames);
    float* o = out.data();
    for (auto _ : state) {
        float* i = phrase.next();
        clip.processReplacing(&i, &o, kFrames);
        benchmark::ClobberMemory();
    }
    reportRealtime(state, kFrames, kRate);
}
BENCHMARK(BM_Clipper)->Arg(0)->Arg(1);

// The graph nodes read and write slots of a table of one-channel buffer lists.
struct Slots {
    std::vector<float> data[3];
    float* lists[3][1];
    float** table[3];
    Slots() {
        for (int s = 0; s < 3; ++s) {
            data[s].assign(kFrames, 0.0f);
            lists[s][0] = data[s].data();
            table[s] = lists[s];
        }
    }
};

// Arg: window in samples.
void BM_Averager(benchmark::State& state) {
    Slots slots;
    AudioNode source;
    source.outBuffer = 0;
    AveragerAN avg;
    avg.input = &source;
    avg.setAverageSamples(static_cast<int>(state.range(0)));
    Phrase phrase;
    for (auto _ : state) {
        slots.lists[0][0] = phrase.next();
        avg.process(slots.table, kFrames);
        benchmark::DoNotOptimize(avg.sum);
    }
    reportRealtime(state, kFrames, kRate);
}
BENCHMARK(BM_Averager)->Arg(441);

void BM_Mixer(benchmark::State& state) {
    Slots slots;
    AudioNode a, b;
    a.outBuffer = 0;
    b.outBuffer = 1;
    MixerAudioNode mix;
    mix.input = &a;
    mix.input2 = &b;
    mix.outBuffer = 2;
    mix.params.push_back({0.5f, nullptr, 0, 0});
    mix.params.push_back({0.25f, nullptr, 0, 1});
    Phrase phrase;
    slots.data[1] = std::vector<float>(phrase.samples.begin(), phrase.samples.begin() + kFrames);
    for (auto _ : state) {
        slots.lists[0][0] = phrase.next();
        mix.process(slots.table, kFrames);
        benchmark::ClobberMemory();
    }
    reportRealtime(state, kFrames, kRate);
}
BENCHMARK(BM_Mixer);

// Arg: delay control, 0..1000 = 0..200 ms.
void BM_Delay(benchmark::State& state) {
    ADelay delay(masterCallback);
    delay.setSampleRate(static_cast<float>(kRate));
    delay.setDelay(static_cast<float>(state.range(0)) / 1000.0f);
    Phrase phrase;
    std::vector<float> out(kFrames);
    float* o = out.data();
    for (auto _ : state) {
        float* i = phrase.next();
        delay.processReplacing(&i, &o, kFrames);
        benchmark::ClobberMemory();
    }
    reportRealtime(state, kFrames, kRate);
}
BENCHMARK(BM_Delay)->Arg(1)->Arg(50);

// Arg: factor. Up to the oversampled rate and straight back down.
void BM_Oversampler(benchmark::State& state) {
    const int factor = static_cast<int>(state.range(0));
    Oversampler over(kRate, kFrames);
    over.setFactor(factor);
    Phrase phrase;
    std::vector<float> high(static_cast<size_t>(kFrames) * factor), out(kFrames);
    for (auto _ : state) {
        over.upsample(phrase.next(), kFrames, high.data());
        over.downsample(high.data(), out.data(), kFrames);
        benchmark::ClobberMemory();
    }
    reportRealtime(state, kFrames, kRate);
}
BENCHMARK(BM_Oversampler)->Arg(2)->Arg(4)->Arg(8);

} // namespace
