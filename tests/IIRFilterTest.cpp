// The equaliser building block, measured on audio.
#include "blocks/ParamCalculator.h"
#include "blocks/QrIIRFilter.h"
#include "effect/MasterCallback.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Buffer = std::vector<float>;

void run(QrIIRFilter& f, const Buffer& in, Buffer& out) {
    out.resize(in.size());
    float* i = const_cast<float*>(in.data());
    float* o = out.data();
    f.processReplacing(&i, &o, static_cast<int32_t>(in.size()));
}

Buffer sine(double hz, double rate, size_t n, double amplitude = 0.5) {
    Buffer b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<float>(amplitude * std::sin(2.0 * M_PI * hz * i / rate));
    return b;
}

// Steady-state gain at `hz`: one second to settle, then a projection onto the tone.
double gainAt(QrIIRFilter& f, double hz) {
    const double rate = f.getSampleRate();
    const size_t settle = static_cast<size_t>(rate);
    const size_t measure = static_cast<size_t>(std::lround(std::ceil(0.25 * hz) * rate / hz));
    Buffer in = sine(hz, rate, settle + measure), out;
    run(f, in, out);
    double re = 0, im = 0;
    for (size_t n = settle; n < settle + measure; ++n) {
        re += out[n] * std::sin(2.0 * M_PI * hz * n / rate);
        im += out[n] * std::cos(2.0 * M_PI * hz * n / rate);
    }
    return 2.0 * std::hypot(re, im) / measure / 0.5;
}

// Gain at 0 Hz: a constant input, read after the filter has settled.
double gainAtDc(QrIIRFilter& f) {
    Buffer in(20000, 0.25f), out;
    run(f, in, out);
    return out.back() / 0.25;
}

// Gain at Nyquist: alternating samples.
double gainAtNyquist(QrIIRFilter& f) {
    Buffer in(20000), out;
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = (i % 2) ? -0.25f : 0.25f;
    run(f, in, out);
    return std::fabs(out.back()) / 0.25;
}

void configure(QrIIRFilter& f, float order, float type, float passes, float freq, float k,
               float post = 1.0f) {
    f.setParameter(QrIIRFilter::kOrder, order);
    f.setParameter(QrIIRFilter::kType, type);
    f.setParameter(QrIIRFilter::kPasses, passes);
    f.setParameter(QrIIRFilter::kFrequency, freq);
    f.setParameter(QrIIRFilter::kK, k);
    f.setParameter(QrIIRFilter::kPostGain, post);
}

TEST(ParamCalculator, GainAndFrequencyCurves) {
    EXPECT_NEAR(ParamCalculator::GetK(0.0f), 0.049787, 1e-6);
    EXPECT_EQ(ParamCalculator::GetK(0.5f), 1.0f);
    EXPECT_NEAR(ParamCalculator::GetK(1.0f), 20.085537, 1e-5);
    EXPECT_NEAR(ParamCalculator::GetFrequency(1.0f), 1.0, 1e-6);
    EXPECT_NEAR(ParamCalculator::GetFrequency(0.5f) * 22050.0, 1672.6, 0.1);
    for (float p : {0.1f, 0.25f, 0.5f, 0.9f})
        EXPECT_NEAR(ParamCalculator::GetKFreq(ParamCalculator::GetFrequency(p)), p, 1e-5);
}

TEST(IIRFilter, DefaultGainPassesTheSignalTimesPostGain) {
    const Buffer in = sine(440.0, 44100.0, 4096);
    for (float order : {0.0f, 1.0f})
        for (float type : {0.0f, 1.0f})
            for (float freq : {0.0f, 0.3f, 0.9f}) {
                QrIIRFilter f(masterCallback);
                configure(f, order, type, 0.4f, freq, 0.5f, 0.7f);
                Buffer out;
                run(f, in, out);
                for (size_t i = 0; i < in.size(); ++i)
                    ASSERT_FLOAT_EQ(out[i], in[i] * 0.7f) << "order " << order << " i " << i;
            }
}

TEST(IIRFilter, FirstOrderShelvesAtTheBandEdges) {
    const float k = 0.8f; // K = e^1.8
    const double K = std::exp(1.8);
    QrIIRFilter low(masterCallback);
    configure(low, 0.0f, 0.0f, 0.1f, 0.3f, k);
    EXPECT_NEAR(gainAtDc(low), K, 1e-3 * K);
    EXPECT_NEAR(gainAtNyquist(low), 1.0, 1e-3);

    QrIIRFilter high(masterCallback);
    configure(high, 0.0f, 1.0f, 0.1f, 0.3f, k);
    EXPECT_NEAR(gainAtDc(high), 1.0, 1e-3);
    EXPECT_NEAR(gainAtNyquist(high), K, 1e-3 * K);
}

TEST(IIRFilter, FirstOrderAtZeroFrequencyPassesOrScalesByK) {
    const Buffer in = sine(1000.0, 44100.0, 512);
    const float K = ParamCalculator::GetK(0.2f);
    QrIIRFilter low(masterCallback), high(masterCallback);
    configure(low, 0.0f, 0.0f, 0.1f, 0.0f, 0.2f);
    configure(high, 0.0f, 1.0f, 0.1f, 0.0f, 0.2f);
    Buffer outLow, outHigh;
    run(low, in, outLow);
    run(high, in, outHigh);
    for (size_t i = 0; i < in.size(); ++i) {
        ASSERT_NEAR(outLow[i], in[i], 1e-6);
        ASSERT_NEAR(outHigh[i], in[i] * K, 1e-5);
    }
}

TEST(IIRFilter, PassCountSetsTheOverallGain) {
    const double K = std::exp(6.0 * (0.25 - 0.5));
    auto dcGain = [](float passes) {
        QrIIRFilter f(masterCallback);
        configure(f, 0.0f, 0.0f, passes, 0.3f, 0.25f);
        return gainAtDc(f);
    };
    EXPECT_NEAR(dcGain(0.1f), K, 1e-3 * K);
    EXPECT_NEAR(dcGain(0.2f), K, 1e-3 * K); // two sections of sqrt(K) each
    EXPECT_NEAR(dcGain(0.4f), K * K * K * K, 1e-3 * K * K * K * K);
}

TEST(IIRFilter, SecondOrderPeaksAtTheCentreWithGainK) {
    for (float rate : {44100.0f, 96000.0f}) {
        QrIIRFilter f(masterCallback);
        f.setSampleRate(rate);
        configure(f, 1.0f, 0.0f, 0.1f, 0.5f, 0.75f);
        const double centre = f.params.GetNormalizedFreq() * rate * 0.5;
        const double K = std::exp(1.5);
        EXPECT_NEAR(gainAt(f, centre), K, 0.01 * K) << rate;
        QrIIRFilter g(masterCallback);
        g.setSampleRate(rate);
        configure(g, 1.0f, 0.0f, 0.1f, 0.5f, 0.75f);
        EXPECT_NEAR(gainAt(g, 20.0), 1.0, 0.02) << rate; // far below the peak
    }
}

TEST(IIRFilter, SecondOrderIgnoresTheShelfType) {
    const Buffer in = sine(900.0, 44100.0, 2048);
    QrIIRFilter a(masterCallback), b(masterCallback);
    configure(a, 1.0f, 0.0f, 0.3f, 0.45f, 0.9f);
    configure(b, 1.0f, 1.0f, 0.3f, 0.45f, 0.9f);
    Buffer outA, outB;
    run(a, in, outA);
    run(b, in, outB);
    EXPECT_EQ(outA, outB);
    char text[kTextSize];
    b.getParameterDisplay(QrIIRFilter::kType, text);
    EXPECT_STREQ(text, "N/A");
}

TEST(IIRFilter, InPlaceMatchesSeparateBuffers) {
    const Buffer in = sine(3000.0, 44100.0, 1000);
    QrIIRFilter a(masterCallback), b(masterCallback);
    configure(a, 1.0f, 0.0f, 0.4f, 0.6f, 0.1f, 0.9f);
    configure(b, 1.0f, 0.0f, 0.4f, 0.6f, 0.1f, 0.9f);
    Buffer separate, inPlace = in;
    run(a, in, separate);
    float* p = inPlace.data();
    b.process(&p, &p, static_cast<int32_t>(inPlace.size()));
    EXPECT_EQ(separate, inPlace);
}

TEST(IIRFilter, BlockSplitDoesNotChangeTheOutput) {
    const Buffer in = sine(250.0, 44100.0, 1024);
    QrIIRFilter a(masterCallback), b(masterCallback);
    configure(a, 1.0f, 0.0f, 0.3f, 0.3f, 0.9f);
    configure(b, 1.0f, 0.0f, 0.3f, 0.3f, 0.9f);
    Buffer whole, pieces(in.size());
    run(a, in, whole);
    for (size_t start = 0; start < in.size(); start += 100) {
        float* i = const_cast<float*>(in.data()) + start;
        float* o = pieces.data() + start;
        b.process(&i, &o, static_cast<int32_t>(std::min<size_t>(100, in.size() - start)));
    }
    EXPECT_EQ(whole, pieces);
}

TEST(IIRFilter, ZeroPassesWriteNothing) {
    QrIIRFilter f(masterCallback);
    configure(f, 1.0f, 0.0f, 0.0f, 0.5f, 0.9f);
    Buffer in(64, 1.0f), out(64, -7.0f);
    float* i = in.data();
    float* o = out.data();
    f.process(&i, &o, 64);
    EXPECT_EQ(out, Buffer(64, -7.0f));
}

TEST(IIRFilter, PassCountStaysWithinTheHistory) {
    QrIIRFilter f(masterCallback);
    const std::pair<float, int32_t> cases[] = {{0.0f, 0},  {0.45f, 4}, {1.0f, 10}, {1.99f, 19},
                                               {5.0f, 20}, {-3.0f, 0}, {NAN, 0}};
    for (auto [value, passes] : cases) {
        f.setParameter(QrIIRFilter::kPasses, value);
        EXPECT_EQ(f.params.passes, passes) << value;
    }
    // Twenty passes run over the whole history without going past it.
    f.setParameter(QrIIRFilter::kPasses, 2.0f);
    Buffer in(128, 0.5f), out;
    run(f, in, out);
    EXPECT_TRUE(std::isfinite(out.back()));
    EXPECT_EQ(f.getParameter(QrIIRFilter::kPasses), 2.0f);
}

TEST(IIRFilter, ParametersReadBackAndDisplay) {
    QrIIRFilter f(masterCallback);
    char text[kTextSize];
    f.setParameter(QrIIRFilter::kFrequency, 0.5f);
    f.getParameterDisplay(QrIIRFilter::kFrequency, text);
    EXPECT_STREQ(text, "1672");
    f.setSampleRate(96000.0f);
    f.getParameterDisplay(QrIIRFilter::kFrequency, text);
    EXPECT_STREQ(text, "1672");

    EXPECT_EQ(f.getParameter(QrIIRFilter::kOrder), 1.0f); // order 2 by default
    f.getParameterDisplay(QrIIRFilter::kAlpha, text);
    EXPECT_STREQ(text, "0.950000");
    f.getParameterDisplay(QrIIRFilter::kPasses, text);
    EXPECT_STREQ(text, "4");
    f.setParameter(QrIIRFilter::kOrder, 0.49f);
    f.getParameterDisplay(QrIIRFilter::kOrder, text);
    EXPECT_STREQ(text, "1");
    f.setParameter(QrIIRFilter::kOrder, 7.0f); // out of range stays a valid order
    EXPECT_EQ(f.params.order, 2);
    f.setParameter(QrIIRFilter::kOrder, -7.0f);
    EXPECT_EQ(f.params.order, 1);

    f.getParameterDisplay(QrIIRFilter::kType, text);
    EXPECT_STREQ(text, "low shelf"); // starts as a low shelf
    f.setParameter(QrIIRFilter::kType, 0.7f);
    f.getParameterDisplay(QrIIRFilter::kType, text);
    EXPECT_STREQ(text, "high shelf");

    // Order 1: alpha is derived from the frequency and cannot be set.
    f.setParameter(QrIIRFilter::kFrequency, 0.5f);
    const float derived = f.getParameter(QrIIRFilter::kAlpha);
    EXPECT_NE(derived, 0.95f);
    f.setParameter(QrIIRFilter::kAlpha, 0.2f);
    EXPECT_EQ(f.getParameter(QrIIRFilter::kAlpha), derived);
    f.getParameterDisplay(QrIIRFilter::kAlpha, text);
    EXPECT_STREQ(text, "N/A");

    f.setParameter(QrIIRFilter::kK, 0.25f);
    f.getParameterDisplay(QrIIRFilter::kK, text);
    EXPECT_STREQ(text, "0.250000");
    std::strcpy(text, "kept");
    f.getParameterDisplay(7, text);
    f.getParameterName(7, text);
    EXPECT_STREQ(text, "kept");
    EXPECT_EQ(f.getParameter(7), 0.0f);
    f.getParameterName(QrIIRFilter::kPasses, text);
    EXPECT_STREQ(text, "Nr of passes");
}

std::vector<std::pair<int32_t, float>> gAutomated;
intptr_t automationHost(AEffect*, int32_t opcode, int32_t index, intptr_t, void*, float opt) {
    if (opcode == 0)
        gAutomated.emplace_back(index, opt);
    return opcode == 4 && index != 0;
}

TEST(IIRFilter, EverySetReachesTheHostAndIdentityHolds) {
    gAutomated.clear();
    QrIIRFilter f(automationHost);
    f.setParameter(QrIIRFilter::kK, 0.6f);
    f.setParameter(9, 0.1f); // changes nothing, still reported
    ASSERT_EQ(gAutomated.size(), 2u);
    EXPECT_EQ(gAutomated[1], std::make_pair(9, 0.1f));

    AEffect* e = f.getAeffect();
    EXPECT_EQ(e->uniqueId, fourCC('q', 'r', 'i', 'i'));
    EXPECT_EQ(e->numInputs, 2);
    EXPECT_EQ(e->numOutputs, 2);
    EXPECT_EQ(e->flags & kFlagCanMono, kFlagCanMono);
    char text[kTextSize];
    EXPECT_EQ(e->dispatcher(e, 45, 0, 0, text, 0.0f), 1);
    EXPECT_STREQ(text, "qriir");
    EXPECT_EQ(e->dispatcher(e, 48, 0, 0, text, 0.0f), 1);
    EXPECT_STREQ(text, "pellark qriir");
    EXPECT_EQ(e->dispatcher(e, 35, 0, 0, nullptr, 0.0f), 1);
    EXPECT_EQ(e->dispatcher(e, 49, 0, 0, nullptr, 0.0f), 1000);

    f.resume();
    EXPECT_EQ(f.params.channels, 1); // the second input is not connected
    f.getProgramName(text);
    EXPECT_STREQ(text, "Default");
    std::string longName(100, 'x');
    f.setProgramName(longName.data());
    f.getProgramName(text);
    EXPECT_EQ(std::string(text), std::string(31, 'x'));
}

} // namespace
