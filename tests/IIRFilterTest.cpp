// The equaliser building block, measured on audio.
#include "blocks/IirCascade.h"
#include "blocks/QrIIRFilter.h"
#include "effect/MasterCallback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Buffer = std::vector<float>;
using F = QrIIRFilter;

void run(QrIIRFilter& f, const Buffer& in, Buffer& out) {
    out.resize(in.size());
    float* i = const_cast<float*>(in.data());
    float* o = out.data();
    f.processReplacing(&i, &o, static_cast<int32_t>(in.size()));
}

Buffer sine(double hz, double rate, size_t n) {
    Buffer b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<float>(0.5 * std::sin(2.0 * M_PI * hz * i / rate));
    return b;
}

// Settled gain at `hz`: one second to settle, then a projection onto the tone.
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

// Settled gain at 0 Hz (a constant input) or at Nyquist (alternating samples).
double edgeGain(QrIIRFilter& f, bool nyquist) {
    Buffer in(20000), out;
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = nyquist && i % 2 ? -0.25f : 0.25f;
    run(f, in, out);
    return std::fabs(out.back()) / 0.25;
}

void configure(QrIIRFilter& f, float order, float type, float passes, float freq, float k,
               float post = 1.0f) {
    const float values[] = {order, type, passes, freq, k, post};
    const int32_t indices[] = {F::kOrder, F::kType, F::kPasses, F::kFrequency, F::kK, F::kPostGain};
    for (int32_t i = 0; i < 6; ++i)
        f.setParameter(indices[i], values[i]);
}

std::string display(QrIIRFilter& f, int32_t index) {
    char text[kTextSize] = "";
    f.getParameterDisplay(index, text);
    return text;
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

TEST(IIRFilter, FirstOrderShelvesAndPassCounts) {
    const double K = std::exp(1.8); // k = 0.8
    // Type, frequency, passes, gain at 0 Hz, gain at Nyquist. Two passes give the same
    // overall gain as one (each section uses the square root of K); four apply K four
    // times. At frequency 0 the allpass passes its input: the low shelf is flat at 1,
    // the high shelf flat at K.
    const double K4 = K * K * K * K;
    const std::tuple<float, float, float, double, double> cases[] = {
        {0.0f, 0.3f, 0.1f, K, 1.0}, {1.0f, 0.3f, 0.1f, 1.0, K},  {0.0f, 0.3f, 0.2f, K, 1.0},
        {1.0f, 0.3f, 0.2f, 1.0, K}, {0.0f, 0.3f, 0.4f, K4, 1.0}, {0.0f, 0.0f, 0.1f, 1.0, 1.0},
        {1.0f, 0.0f, 0.1f, K, K},
    };
    for (auto [type, freq, passes, dc, nyquist] : cases) {
        QrIIRFilter f(masterCallback);
        configure(f, 0.0f, type, passes, freq, 0.8f);
        EXPECT_NEAR(edgeGain(f, false), dc, 1e-3 * dc) << type << " " << freq << " " << passes;
        EXPECT_NEAR(edgeGain(f, true), nyquist, 1e-3 * nyquist) << type << " " << freq;
    }
}

TEST(IIRFilter, SecondOrderPeaksAtTheCentreWithGainK) {
    for (float rate : {44100.0f, 96000.0f}) {
        QrIIRFilter f(masterCallback);
        f.setSampleRate(rate);
        configure(f, 1.0f, 0.0f, 0.1f, 0.5f, 0.75f);
        const double centre = f.params.GetNormalizedFreq() * rate * 0.5;
        EXPECT_NEAR(gainAt(f, centre), std::exp(1.5), 0.01 * std::exp(1.5)) << rate;
        EXPECT_NEAR(gainAt(f, 20.0), 1.0, 0.02) << rate; // far below the peak
    }
}

TEST(IIRFilter, WithEitherTypeAtOrderTwoTheOutputIsTheSame) {
    const Buffer in = sine(900.0, 44100.0, 1024);
    QrIIRFilter a(masterCallback), c(masterCallback);
    configure(a, 1.0f, 0.0f, 0.3f, 0.45f, 0.9f, 0.9f);
    configure(c, 1.0f, 1.0f, 0.3f, 0.45f, 0.9f, 0.9f); // order 2 has no shelf type
    Buffer whole, typed;
    run(a, in, whole);
    run(c, in, typed);
    EXPECT_EQ(whole, typed);
    EXPECT_EQ(display(c, F::kType), "N/A");
}

TEST(IIRFilter, PassCountStaysWithinTheHistory) {
    QrIIRFilter f(masterCallback);
    const std::pair<float, int32_t> cases[] = {{0.0f, 0},  {0.45f, 4}, {1.0f, 10}, {1.99f, 19},
                                               {5.0f, 20}, {-3.0f, 0}, {NAN, 0}};
    for (auto [value, passes] : cases) {
        f.setParameter(F::kPasses, value);
        EXPECT_EQ(f.params.passes, passes) << value;
    }
    // No passes write nothing; twenty run over the whole history without going past it.
    Buffer in(128, 0.5f), out(128, -7.0f);
    run(f, in, out);
    EXPECT_EQ(out, Buffer(128, -7.0f));
    f.setParameter(F::kPasses, 2.0f);
    run(f, in, out);
    EXPECT_TRUE(std::isfinite(out.back()));
}

TEST(IIRFilter, OrderIsTheIntegerPartOfTheControlPlusOneAndAHalf) {
    // Control, order (shown), value returned; beyond the int range the order is held
    // at its ends.
    const std::tuple<float, int32_t, float> cases[] = {
        {0.0f, 1, 0.0f},
        {0.4f, 1, 0.0f},
        {0.5f, 2, 1.0f},
        {1.0f, 2, 1.0f},
        {2.0f, 3, 2.0f},
        {7.0f, 8, 7.0f},
        {-1.0f, 0, -1.0f},
        {-7.0f, -5, -6.0f},
        {NAN, 1, 0.0f},
        {1e30f, INT32_MAX, 2147483646.0f},
        {-1e30f, INT32_MIN, -2147483649.0f},
    };
    for (auto [value, order, returned] : cases) {
        QrIIRFilter f(masterCallback);
        f.setParameter(F::kOrder, value);
        EXPECT_EQ(f.params.order, order) << value;
        EXPECT_EQ(display(f, F::kOrder), std::to_string(order)) << value;
        EXPECT_EQ(f.getParameter(F::kOrder), returned) << value;
    }
}

TEST(IIRFilter, OrdersOtherThanTwoRunTheFirstOrderShelfOnEveryPath) {
    Buffer in = sine(700.0, 44100.0, 1500);
    for (size_t i = 0; i < in.size(); i += 7)
        in[i] = -in[i]; // and some highs
    const IirCascade::Level levels[] = {IirCascade::Level::kScalar, IirCascade::best()};
    for (float type : {0.0f, 1.0f})
        for (float passes : {0.1f, 0.2f, 0.5f}) {
            // Order 1 as the reference, filter by filter at the narrowest level.
            const IirCascade::Level before = IirCascade::setLevel(IirCascade::Level::kScalar);
            QrIIRFilter shelf(masterCallback);
            configure(shelf, 0.0f, type, passes, 0.4f, 0.85f, 0.9f);
            Buffer want;
            run(shelf, in, want);
            for (float order : {2.0f, -1.0f, 7.0f, -1e30f})
                for (IirCascade::Level level : levels) {
                    IirCascade::setLevel(level);
                    // Alpha is kept, but the shelf does not read it.
                    QrIIRFilter alone(masterCallback), chained(masterCallback);
                    for (QrIIRFilter* f : {&alone, &chained}) {
                        configure(*f, order, type, passes, 0.4f, 0.85f, 0.9f);
                        f->setParameter(F::kAlpha, 0.3f);
                    }
                    EXPECT_EQ(display(alone, F::kType), "N/A");
                    Buffer got;
                    run(alone, in, got);
                    EXPECT_EQ(got, want) << order << " " << type << " " << passes;
                    // The product's path: equalisers gathered into one cascade.
                    Buffer cascaded(in.size());
                    CascadeChain chain(static_cast<int32_t>(in.size()));
                    chain.add(chained.params, in.data(), cascaded.data());
                    chain.flush();
                    EXPECT_EQ(cascaded, want) << order << " " << type << " " << passes;
                }
            IirCascade::setLevel(before);
        }
}

TEST(IIRFilter, DisplaysTheFrequencyAndTheDerivedAlpha) {
    QrIIRFilter f(masterCallback);
    f.setParameter(F::kFrequency, 0.5f);
    EXPECT_EQ(display(f, F::kFrequency), "1672");
    f.setSampleRate(96000.0f);
    EXPECT_EQ(display(f, F::kFrequency), "1672"); // the same control, whatever the rate
    f.setParameter(F::kOrder, 0.0f);
    EXPECT_EQ(display(f, F::kType), "low shelf"); // until a type is set
    // Order 1: alpha is derived from the frequency and cannot be set.
    f.setParameter(F::kFrequency, 0.5f);
    const float derived = f.getParameter(F::kAlpha);
    EXPECT_NE(derived, 0.95f);
    f.setParameter(F::kAlpha, 0.2f);
    EXPECT_EQ(f.getParameter(F::kAlpha), derived);
    EXPECT_EQ(display(f, F::kAlpha), "N/A");
}

std::vector<std::pair<int32_t, float>> gAutomated;
intptr_t automationHost(AEffect*, int32_t opcode, int32_t index, intptr_t, void*, float opt) {
    if (opcode == 0)
        gAutomated.emplace_back(index, opt);
    return opcode == 4 && index != 0; // only the first input connected
}

TEST(IIRFilter, EverySetReachesTheHostAndTextsAreBounded) {
    gAutomated.clear();
    QrIIRFilter f(automationHost);
    f.setParameter(F::kK, 0.6f);
    f.setParameter(9, 0.1f); // changes nothing, still reported
    EXPECT_EQ(gAutomated, (std::vector<std::pair<int32_t, float>>{{F::kK, 0.6f}, {9, 0.1f}}));
    f.resume();
    EXPECT_EQ(f.params.channels, 1); // the second input is not connected
    char text[kTextSize];
    std::string longName(100, 'x');
    f.setProgramName(longName.data());
    f.getProgramName(text);
    EXPECT_EQ(std::string(text), std::string(31, 'x'));
}

} // namespace
