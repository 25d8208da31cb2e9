// The clipper building block, measured on audio where the behaviour shows there.
#include "blocks/QrClipper.h"
#include "effect/MasterCallback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Buffer = std::vector<float>;
using P = QrClipper::Param;

Buffer run(QrClipper& c, const Buffer& in) {
    Buffer out(in.size(), 12345.0f);
    float* i = const_cast<float*>(in.data());
    float* o = out.data();
    c.processReplacing(&i, &o, static_cast<int32_t>(in.size()));
    return out;
}

Buffer noise(size_t n, float amplitude, uint32_t seed) {
    std::mt19937 gen(seed);
    Buffer b(n);
    for (auto& s : b)
        s = amplitude * static_cast<float>(static_cast<double>(gen()) / 2147483648.0 - 1.0);
    return b;
}

std::string display(QrClipper& c, int32_t index) {
    char text[kTextSize] = "untouched";
    c.getParameterDisplay(index, text);
    return text;
}

void set(QrClipper& c, float pre, float pos, float neg, float post, float time) {
    const float values[] = {pre, pos, neg, post, time};
    for (int32_t i = 0; i < 5; ++i)
        c.setParameter(i, values[i]);
}

// The averaging window as it shows on audio, 0 for hard clipping. At unity gains and
// levels +0.5 / -0.25, a fresh detector fed -1 hard-clips to -0.25 at once; a window of
// L samples holds the mean at k/L after k samples and first gives exactly -0.5 at L.
int32_t measuredWindow(QrClipper& c) {
    const float levels[] = {0.0625f, 0.5f, 0.25f, 0.0625f}; // the window stays as it is
    for (int32_t i = 0; i < 4; ++i)
        c.setParameter(i, levels[i]);
    const Buffer out = run(c, Buffer(300, -1.0f));
    if (out[0] == -0.25f)
        return out == Buffer(300, -0.25f) ? 0 : -1;
    for (size_t i = 0; i < out.size(); ++i)
        if (out[i] == -0.5f)
            return static_cast<int32_t>(i + 1);
    return -1;
}

struct HostLog {
    std::vector<std::tuple<AEffect*, int32_t, int32_t, intptr_t, void*, float>> automated;
    int pinQuestions = 0;
    bool secondInputConnected = false;
} gHost;

intptr_t recordingHost(AEffect* e, int32_t opcode, int32_t index, intptr_t value, void* ptr,
                       float opt) {
    if (opcode == 0)
        gHost.automated.emplace_back(e, opcode, index, value, ptr, opt);
    if (opcode != 4)
        return 0;
    ++gHost.pinQuestions;
    return index == 0 || gHost.secondInputConnected ? 0 : 1; // 0: connected
}

TEST(Clipper, DefaultsHardClipToHalfAndDisplayUnity) {
    QrClipper c(masterCallback);
    const Buffer in = noise(400, 1.5f, 1);
    const Buffer out = run(c, in);
    for (size_t i = 0; i < in.size(); ++i)
        ASSERT_EQ(out[i], std::min(0.5f, std::max(-0.5f, in[i]))) << i;
    const char* texts[] = {"1.000000", "0.500000", "0.500000", "1.000000", "0.00 ms"};
    const char* names[] = {"Pre-gain", "Clip positive", "Clip negative", "Post-gain",
                           "Average time"};
    char text[kTextSize];
    for (int32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(display(c, i), texts[i]);
        c.getParameterName(i, text);
        EXPECT_STREQ(text, names[i]);
        c.getParameterLabel(i, text);
        EXPECT_STREQ(text, "");
    }
    set(c, 0.125f, 0.25f, 0.75f, 0.1875f, 0.0f); // x2 in, x3 out
    EXPECT_EQ(display(c, P::kPreGain), "2.000000");
    EXPECT_EQ(display(c, P::kPostGain), "3.000000");
    EXPECT_EQ(run(c, {0.1f, 0.2f, -0.25f, -0.5f}), Buffer({0.6f, 0.75f, -1.5f, -2.25f}));
}

TEST(Clipper, HardClipComparisonsAreStrictAndThePositiveLevelComesFirst) {
    QrClipper c(masterCallback);
    set(c, 0.0625f, 0.3f, 0.7f, 0.0625f, 0.0f);
    EXPECT_EQ(run(c, {0.3f, -0.7f}), Buffer({0.3f, -0.7f})); // at the levels: unchanged
    // A level of zero tells > from >= by the sign of a zero sample: -0 is not above +0
    // and passes as -0 (>= would give the level, +0); likewise +0 against -clipNeg = -0.
    c.setParameter(P::kClipPos, 0.0f);
    EXPECT_TRUE(std::signbit(run(c, {-0.0f})[0]));
    set(c, 0.0625f, 0.5f, 0.0f, 0.0625f, 0.0f);
    EXPECT_FALSE(std::signbit(run(c, {0.0f})[0]));
    // Crossed levels (-clipNeg = 0.3 above clipPos = 0.1): above 0.1 gives 0.1.
    set(c, 0.0625f, 0.1f, -0.3f, 0.0625f, 0.0f);
    EXPECT_EQ(run(c, {0.2f, 0.05f, -1.0f}), Buffer({0.1f, 0.3f, 0.3f}));
}

TEST(Clipper, AveragingComparisonIsStrict) {
    // A window of 2 whose mean lands exactly on the level: the sample passes as it is,
    // where scaling it by level / mean would change it.
    const float level = 0.7f;
    float a = 0, b = 0;
    for (int k = 1; k < 1400; ++k) {
        b = static_cast<float>(k) * 0.001f;
        a = 2.0f * level - b;
        if ((a + b) / 2.0f == level && b / level * level != b)
            break;
    }
    ASSERT_TRUE((a + b) / 2.0f == level && b / level * level != b);
    QrClipper c(masterCallback);
    c.setSampleRate(2000.0f);
    set(c, 0.0625f, level, 0.5f, 0.0625f, 1.0f); // 2 samples
    EXPECT_EQ(run(c, {a, b}), Buffer({a, b}));
}

TEST(Clipper, AveragingSettlesAtThePositiveLevel) {
    QrClipper c(masterCallback);
    set(c, 0.25f, 0.5f, 0.01f, 0.0625f, 0.5f); // x4, 22 samples; clipNeg plays no part
    // 4 x 0.25 = 1: the mean climbs by 1/22 a sample; above 0.5 it scales to 0.5 / mean.
    Buffer out = run(c, Buffer(60, 0.25f));
    for (size_t i = 0; i < 60; ++i) {
        if (i < 11 || i >= 21)
            EXPECT_EQ(out[i], i < 11 ? 1.0f : 0.5f) << i;
        else
            EXPECT_FLOAT_EQ(out[i], 11.0f / static_cast<float>(i + 1)) << i;
    }
    Buffer in(40);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = i % 2 ? -0.25f : 0.25f;
    out = run(c, in);
    for (size_t i = 0; i < out.size(); ++i)
        EXPECT_EQ(out[i], i % 2 ? -0.5f : 0.5f);
    // Silence yields exact zeros while the mean is still high.
    EXPECT_EQ(run(c, Buffer(20, 0.0f)), Buffer(20, 0.0f));
    // Below the level only the gains act, whatever the negative level.
    set(c, 0.125f, 0.4f, 0.01f, 0.1875f, 1.0f); // x2, x3, 44 samples
    out = run(c, Buffer(100, -0.8f));
    EXPECT_NEAR(out.back(), -1.2f, 1e-6f);
    out = run(c, Buffer(100, -0.15f));
    EXPECT_FLOAT_EQ(out.back(), -0.9f);
}

TEST(Clipper, AveragingIsALevelDependentGainOnASine) {
    // Window and period of 100 samples: once the window is full the mean is
    // A x mean|sin|, so above the level the sine comes out at level / mean|sin|
    // whatever its amplitude A; below the level it passes untouched.
    double meanAbs = 0;
    for (int n = 0; n < 100; ++n)
        meanAbs += std::fabs(std::sin(2.0 * M_PI * n / 100.0)) / 100.0;
    for (double amplitude : {0.75, 1.0, 2.0, 8.0}) {
        QrClipper c(masterCallback);
        c.setParameter(P::kAverageTime, 3.0f); // 132 -> 100 samples
        Buffer in(1000);
        for (size_t i = 0; i < in.size(); ++i)
            in[i] = static_cast<float>(amplitude * std::sin(2.0 * M_PI * i / 100.0));
        const Buffer out = run(c, in);
        if (amplitude * meanAbs < 0.5) {
            EXPECT_EQ(out, in) << amplitude; // peaks of 0.75 pass: no hard clip
            continue;
        }
        for (size_t i = 100; i < out.size(); ++i)
            ASSERT_NEAR(out[i], std::sin(2.0 * M_PI * i / 100.0) * 0.5 / meanAbs, 2e-5) << i;
    }
}

TEST(Clipper, WindowLengthsOnAudioAndInTheDisplay) {
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        float rate, value;
        int32_t window; // as measured, 0 for hard clipping
        const char* text;
    } cases[] = {
        {44100, 0.0f, 0, "0.00 ms"},   {44100, 0.01f, 0, "0.00 ms"}, // 0.44 samples
        {44100, 0.03f, 0, "0.02 ms"},                                // 1.32: one sample
        {44100, 0.06f, 2, "0.05 ms"},                                // 2.65: cut, not rounded
        {44100, 0.5f, 22, "0.50 ms"},  {48000, 1.0f, 48, "1.00 ms"},
        {44100, 2.26f, 99, "2.24 ms"}, {1000, 100.0f, 100, "100.00 ms"},
        {44100, 3.0f, 100, "2.27 ms"}, {44100, 1e6f, 100, "2.27 ms"},
        {44100, inf, 100, "2.27 ms"},  {44100, NAN, 100, "2.27 ms"},
        {44100, -1.0f, 0, "0.00 ms"},  {44100, -inf, 0, "0.00 ms"},
    };
    for (const auto& k : cases) {
        QrClipper c(masterCallback);
        c.setSampleRate(k.rate);
        c.setParameter(P::kAverageTime, k.value);
        EXPECT_EQ(display(c, P::kAverageTime), k.text) << k.value << " at " << k.rate;
        const float back = c.getParameter(P::kAverageTime); // the time as set, not bounded
        EXPECT_TRUE(std::isnan(k.value) ? std::isnan(back)
                                        : back == k.value || std::fabs(back - k.value) <= 1e-6f)
            << k.value;
        EXPECT_EQ(measuredWindow(c), k.window) << k.value << " at " << k.rate;
    }
}

TEST(Clipper, DisplayFollowsTheSampleRateButTheWindowDoesNot) {
    QrClipper c(masterCallback);
    c.setParameter(P::kAverageTime, 0.5f);
    EXPECT_EQ(display(c, P::kAverageTime), "0.50 ms");
    c.getAeffect()->dispatcher(c.getAeffect(), 10, 0, 0, nullptr, 48000.0f); // set the rate
    EXPECT_EQ(display(c, P::kAverageTime), "0.46 ms");
    EXPECT_EQ(measuredWindow(c), 22);
    c.setParameter(P::kAverageTime, 0.5f); // set again at the new rate
    EXPECT_EQ(display(c, P::kAverageTime), "0.50 ms");
    EXPECT_EQ(measuredWindow(c), 24);
}

TEST(Clipper, AveragerReturnsTheMeanIncludingTheCurrentSample) {
    QrClipper c(masterCallback);
    c.setSampleRate(4000.0f);
    c.setParameter(P::kAverageTime, 1.0f); // 4 samples
    const float in[] = {1, -1, 2, 0, 0, -0.0f}, mean[] = {0.25f, 0.5f, 1, 1, 0.75f, 0.5f};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(c.averager(in[i]), mean[i]) << i;
    c.setParameter(P::kAverageTime, 1.0f); // clears the window
    EXPECT_EQ(c.averager(4.0f), 1.0f);
}

TEST(Clipper, ProcessAddsAndProcessReplacingOverwrites) {
    for (float time : {0.0f, 0.5f}) {
        QrClipper a(masterCallback), b(masterCallback);
        a.setParameter(P::kAverageTime, time);
        b.setParameter(P::kAverageTime, time);
        const Buffer in = noise(256, 1.0f, 3), replaced = run(a, in);
        Buffer added(in.size(), 0.25f);
        float* i = const_cast<float*>(in.data());
        float* o = added.data();
        b.process(&i, &o, static_cast<int32_t>(in.size()));
        for (size_t n = 0; n < in.size(); ++n)
            ASSERT_EQ(added[n], 0.25f + replaced[n]) << n;
    }
}

TEST(Clipper, ChannelsFollowTheSecondInputAndShareOneDetector) {
    gHost = HostLog{};
    QrClipper mono(recordingHost);
    Buffer in = {2.0f, -2.0f}, out = {9.0f, 9.0f};
    float* ins[2] = {in.data(), nullptr}; // a second channel would crash
    float* outs[2] = {out.data(), nullptr};
    mono.processReplacing(ins, outs, 2);
    mono.process(ins, outs, 0);
    EXPECT_EQ(out, Buffer({0.5f, -0.5f}));
    EXPECT_EQ(gHost.pinQuestions, 2); // asked once per call

    gHost.secondInputConnected = true;
    QrClipper stereo(recordingHost), one(masterCallback);
    set(stereo, 0.0625f, 0.3f, 0.5f, 0.0625f, 0.5f);
    set(one, 0.0625f, 0.3f, 0.5f, 0.0625f, 0.5f);
    const Buffer left = noise(100, 1.0f, 5), right = noise(100, 1.0f, 6);
    Buffer outL(100), outR(100);
    float* ins2[2] = {const_cast<float*>(left.data()), const_cast<float*>(right.data())};
    float* outs2[2] = {outL.data(), outR.data()};
    stereo.processReplacing(ins2, outs2, 100);
    // The same as one channel fed the left block, then the right one.
    EXPECT_EQ(run(one, left), outL);
    EXPECT_EQ(run(one, right), outR);
}

TEST(Clipper, EverySetReachesTheHostAndOtherIndicesChangeNothing) {
    gHost = HostLog{};
    QrClipper c(recordingHost);
    const std::pair<int32_t, float> sets[] = {{0, 0.1f}, {3, 0.4f},  {4, 0.5f},
                                              {5, 0.6f}, {99, 0.7f}, {-1, 0.8f}};
    for (auto [index, value] : sets)
        c.setParameter(index, value);
    ASSERT_EQ(gHost.automated.size(), std::size(sets));
    for (size_t n = 0; n < std::size(sets); ++n)
        EXPECT_EQ(gHost.automated[n], std::make_tuple(c.getAeffect(), 0, sets[n].first, intptr_t{0},
                                                      nullptr, sets[n].second));
    EXPECT_EQ(c.getParameter(0), 0.1f);
    EXPECT_EQ(c.getParameter(3), 0.4f);
    for (int32_t index : {5, 1000, -1}) {
        EXPECT_EQ(c.getParameter(index), 0.0f);
        EXPECT_EQ(display(c, index), "untouched");
        char text[kTextSize] = "untouched";
        c.getParameterName(index, text);
        EXPECT_STREQ(text, "untouched");
    }
}

TEST(Clipper, IdentityAndBoundedTexts) {
    QrClipper c(masterCallback);
    AEffect* e = c.getAeffect();
    EXPECT_EQ(e->uniqueId, 0x7172636C); // "qrcl"
    EXPECT_EQ(e->numInputs, 2);
    EXPECT_EQ(e->numOutputs, 2);
    EXPECT_EQ(e->numParams, 5);
    EXPECT_EQ(e->numPrograms, 1);
    EXPECT_EQ(e->flags & kFlagCanMono, kFlagCanMono);
    char text[kTextSize];
    const std::pair<int32_t, const char*> strings[] = {
        {45, "qrclip"}, {47, "Pellark"}, {48, "pellark qrclip"}, {5, "Default"}};
    for (auto [opcode, expected] : strings) {
        e->dispatcher(e, opcode, 0, 0, text, 0.0f);
        EXPECT_STREQ(text, expected);
    }
    EXPECT_EQ(e->dispatcher(e, 45, 0, 0, text, 0.0f), 1);
    EXPECT_EQ(e->dispatcher(e, 49, 0, 0, nullptr, 0.0f), 1000);
    EXPECT_EQ(e->dispatcher(e, 35, 0, 0, nullptr, 0.0f), 1);

    // Huge values keep every display within the text buffer.
    set(c, 1e37f, -3e38f, 1.0f, 1.0f, 100.0f);
    c.setSampleRate(1e-30f);
    for (int32_t index = 0; index < 5; ++index) {
        char wide[2 * kTextSize];
        std::memset(wide, '#', sizeof(wide));
        c.getParameterDisplay(index, wide);
        EXPECT_EQ(std::string(wide + kTextSize, kTextSize), std::string(kTextSize, '#'));
    }
}

TEST(Clipper, ProgramNameCopiesAreBounded) {
    // The clipper in a larger block whose bytes after the object must stay as they were.
    alignas(QrClipper) unsigned char block[sizeof(QrClipper) + 64];
    std::memset(block, 0xA5, sizeof(block));
    auto* c = new (block) QrClipper(masterCallback);
    char text[kTextSize];
    for (size_t length : {31u, 32u, 200u}) {
        std::string name(length, 'n');
        c->setProgramName(name.data());
        c->getProgramName(text);
        EXPECT_EQ(std::string(text), std::string(31, 'n')) << length;
    }
    c->~QrClipper();
    for (size_t n = sizeof(QrClipper); n < sizeof(block); ++n)
        ASSERT_EQ(block[n], 0xA5) << n - sizeof(QrClipper);
}

TEST(Clipper, ShrinkingTheWindowKeepsTheSumTheSumOfTheWindow) {
    // The write position at 30 is beyond a new window of 22: it restarts at 0, so no
    // magnitude from outside the window stays in the sum and a constant still settles.
    QrClipper c(masterCallback);
    c.setParameter(P::kAverageTime, 1.2f); // 52 samples
    run(c, Buffer(30, 1.0f));
    c.setParameter(P::kAverageTime, 0.5f); // 22 samples
    EXPECT_EQ(measuredWindow(c), 22);
    EXPECT_EQ(run(c, Buffer(100, 1.0f)), Buffer(100, 0.5f));
}

} // namespace
