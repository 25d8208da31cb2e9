// Exact output, bit for bit: the models as first shipped (tests/reference-data) at the common
// rates, the IIR filter at several settings and rates, and the precision of the mixer and the
// averager. The hashes were recorded from the engine as first built; any change
// to the arithmetic (a fused multiply-add, a reordered sum, a wider type) shows.
#include "GraphTestUtil.h"

#include "blocks/QrIIRFilter.h"
#include "effect/MasterCallback.h"
#include "graph/AveragerAN.h"
#include "graph/MixerAudioNode.h"
#include "main/DataArchive.h"
#include "main/VorlixMac.h"
#include "tools/PluckedPhrase.h"

#include "OutputHash.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace {

// One model through the main effect as a kernel drives it, in blocks of 512.
std::vector<float> renderModel(int model, float rate) {
    gFxDir = QUORLE_REFERENCE_DATA_DIR;
    VorlixMac fx;
    fx.setSampleRate(rate);
    fx.init();
    fx.dispatcher(10, 0, 0, nullptr, rate);
    for (const auto& [index, value] : {std::pair{0, 0.7f}, {1, 0.6f}, {2, 0.3f}, {3, float(model)}})
        fx.setParameter(index, value);
    std::vector<float> in = pluckedPhrase(rate, 0.75);
    std::vector<float> out(in.size());
    for (size_t at = 0; at < in.size(); at += 512) {
        float* i = in.data() + at;
        float* o = out.data() + at;
        fx.process(&i, &o, static_cast<int32_t>(std::min<size_t>(512, in.size() - at)));
    }
    return out;
}

TEST(Golden, ShippedModelsAtTheCommonRates) {
    const float rates[] = {44100.0f, 48000.0f, 96000.0f, 192000.0f};
    const uint64_t hashes[][4] = {
        // by model, then rate
        {0xa2d5625c4f3676c5ull, 0x8a5789dae5268f43ull, 0x5c356923b08979d7ull,
         0x60464f9c73580b47ull},
        {0x31f4a9352ea916feull, 0xa8c4c5d2eea84348ull, 0xa4a90d24d8d86cb3ull,
         0x40aa74efca2f140eull},
        {0x8a24b56be70c80d9ull, 0x77640265a3dd62abull, 0x10bfe9f11ff4f33aull,
         0xa5990d194f82aaabull},
        {0x5bd9fe9dd80476e2ull, 0x3bf985bbd3b4cefbull, 0x8fe81b2a6a5f95d3ull,
         0xa2ea6934dcd81251ull},
    };
    for (int model = 0; model < 4; ++model)
        for (int r = 0; r < 4; ++r)
            EXPECT_EQ(hashOf(renderModel(model, rates[r])), hashes[model][r])
                << model << " at " << rates[r];
}

// An impulse, then noise from a fixed seed, -0.5..0.5.
std::vector<float> testSignal(size_t n) {
    std::vector<float> v(n);
    uint32_t seed = 99;
    for (size_t i = 1; i < n; ++i) {
        seed = seed * 1664525u + 1013904223u;
        v[i] = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
    }
    v[0] = 1.0f;
    return v;
}

TEST(Golden, IirFilterSettingsAndRates) {
    struct Case {
        const char* what;
        float rate;
        std::array<float, 7> controls; // order, type, passes, freq, alpha, k, post: 0..1
        uint64_t hash;
    };
    const Case cases[] = {
        {"low shelf", 44100.0f, {0, 0, 0.1, 0.3, 0.95, 0.8, 1}, 0x32bd0c0c4158dcb6ull},
        {"low shelf", 96000.0f, {0, 0, 0.1, 0.3, 0.95, 0.8, 1}, 0x87ceb2651a979403ull},
        {"high shelf", 48000.0f, {0, 1, 0.2, 0.6, 0.95, 0.25, 0.9}, 0x1bcab919c3aa1244ull},
        {"high shelf", 192000.0f, {0, 1, 0.2, 0.6, 0.95, 0.25, 0.9}, 0x45364a92919145e0ull},
        {"peak", 44100.0f, {1, 0, 0.4, 0.45, 0.9, 0.7, 1}, 0x43461c9d408c2228ull},
        {"peak", 96000.0f, {1, 0, 0.4, 0.45, 0.9, 0.7, 1}, 0x4e5f21e5e499ca2aull},
        {"notch", 48000.0f, {1, 0, 0.3, 0.2, 0.5, 0.1, 0.5}, 0x1ae4881f0dc5ecc6ull},
    };
    for (const Case& c : cases) {
        QrIIRFilter filter(masterCallback);
        filter.setSampleRate(c.rate);
        for (int i = 0; i < 7; ++i)
            filter.setParameter(i, c.controls[i]);
        std::vector<float> in = testSignal(4096), out(in.size());
        for (size_t at = 0; at < in.size(); at += 256) {
            float* i = in.data() + at;
            float* o = out.data() + at;
            filter.processReplacing(&i, &o, 256);
        }
        EXPECT_EQ(hashOf(out), c.hash) << c.what << " at " << c.rate << " Hz";
    }
}

TEST(Golden, MixerAddsInSinglePrecisionAveragerSumsInDoubleAndDividesInSingle) {
    // 0.1f x 3 + 0.1f x 11 rounds differently in single and in double precision.
    SlotTable slots;
    slots.slot(2)[0] = 3.0f;
    slots.slot(3)[0] = 11.0f;
    AudioNodeFX a, b;
    a.outBuffer = 2;
    b.outBuffer = 3;
    MixerAudioNode mixer;
    mixer.input = &a;
    mixer.input2 = &b;
    mixer.outBuffer = 4;
    mixer.params = {{0.1f, nullptr, 0, 0}, {0.1f, nullptr, 0, 1}};
    mixer.process(slots.buffers(), 1);
    const float got = slots.slot(4)[0];
    EXPECT_EQ(got, 1.40000010f);
    const double wide = static_cast<double>(0.1f) * 3.0 + static_cast<double>(0.1f) * 11.0;
    EXPECT_NE(static_cast<float>(wide), got) << "the case tells the precisions apart";

    // The averager: 2^24 + 1 + 1, which a float sum would lose both ones of.
    slots.slot(2)[0] = 16777216.0f;
    slots.slot(2)[1] = -1.0f;
    slots.slot(2)[2] = 1.0f;
    AveragerAN averager;
    averager.input = &a;
    averager.params.push_back({3.0f, nullptr, 0, 0});
    averager.process(slots.buffers(), 3);
    EXPECT_EQ(averager.sum, 16777218.0);
    EXPECT_EQ(averager.getParam(0), 5592406.0f); // 16777218f / 3f
}

} // namespace
