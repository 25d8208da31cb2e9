// The equaliser and saturator building blocks, measured on audio. The saturator:
// harmonic levels against the bare curve, aliasing against the bare curve, DC, and
// the path for tiny steps of u.
#include "blocks/IirCascade.h"
#include "blocks/QrIIRFilter.h"
#include "blocks/QrSaturator.h"
#include "effect/MasterCallback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <complex>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Buffer = std::vector<float>;
using F = QrIIRFilter;
using P = QrSaturator::Param;
constexpr double kPi = 3.14159265358979323846;
constexpr double kRate = 48000.0;

Buffer sine(double hz, double amplitude, size_t n, double rate = kRate) {
    Buffer x(n);
    for (size_t i = 0; i < n; ++i)
        x[i] = static_cast<float>(amplitude *
                                  std::sin(2.0 * kPi * hz * static_cast<double>(i) / rate));
    return x;
}

void run(QrIIRFilter& f, const Buffer& in, Buffer& out) {
    out.resize(in.size());
    float* i = const_cast<float*>(in.data());
    float* o = out.data();
    f.processReplacing(&i, &o, static_cast<int32_t>(in.size()));
}

// Settled gain at `hz`: one second to settle, then a projection onto the tone.
double gainAt(QrIIRFilter& f, double hz) {
    const double rate = f.getSampleRate();
    const size_t settle = static_cast<size_t>(rate);
    const size_t measure = static_cast<size_t>(std::lround(std::ceil(0.25 * hz) * rate / hz));
    Buffer in = sine(hz, 0.5, settle + measure, rate), out;
    run(f, in, out);
    double re = 0, im = 0;
    for (size_t n = settle; n < settle + measure; ++n) {
        re += out[n] * std::sin(2.0 * kPi * hz * n / rate);
        im += out[n] * std::cos(2.0 * kPi * hz * n / rate);
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
    const Buffer in = sine(440.0, 0.5, 4096, 44100.0);
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
    const Buffer in = sine(900.0, 0.5, 1024, 44100.0);
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
    Buffer in = sine(700.0, 0.5, 1500, 44100.0);
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

std::vector<std::pair<int32_t, float>> gAutomated;
intptr_t automationHost(AEffect*, int32_t opcode, int32_t index, intptr_t, void*, float opt) {
    if (opcode == 0)
        gAutomated.emplace_back(index, opt);
    return opcode == 4 && index != 0; // only the first input connected
}

TEST(IIRFilter, EverySetReachesTheHostTextsAreBoundedAndDisplaysFollowTheControls) {
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
    // The frequency shown is the control's, whatever the rate.
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

double dB(double amplitude) {
    return 20.0 * std::log10(amplitude);
}

struct Setting {
    double preDb; // pre-gain
    float asymmetry, hardness, dcCut;
    float softness = 0.0f;
};

void apply(QrSaturator& s, const Setting& set) {
    s.setSampleRate(static_cast<float>(kRate));
    s.setParameter(P::kPreGain, static_cast<float>((set.preDb + 20.0) / 60.0)); // -20..+40 dB
    s.setParameter(P::kAsymmetry, set.asymmetry);
    s.setParameter(P::kHardness, set.hardness);
    s.setParameter(P::kDcCut, set.dcCut);
    s.setParameter(P::kSoftness, set.softness);
}

// Through the block in blocks of 480 samples.
Buffer render(QrSaturator& s, const Buffer& in) {
    Buffer out(in.size());
    for (size_t at = 0; at < in.size(); at += 480) {
        float* i = const_cast<float*>(in.data()) + at;
        float* o = out.data() + at;
        s.processReplacing(&i, &o, static_cast<int32_t>(std::min<size_t>(480, in.size() - at)));
    }
    return out;
}

// Through a fresh block set to `set`.
Buffer through(const Setting& set, const Buffer& in) {
    QrSaturator s(masterCallback);
    apply(s, set);
    return render(s, in);
}

// The bare curve, sample by sample, as the block shapes u = g x + b without anti-aliasing.
Buffer plainCurve(const Buffer& in, const Setting& set) {
    const double g = std::pow(10.0, set.preDb / 20.0);
    const double b = 0.5 * set.asymmetry;
    const float k = 0.95f * set.hardness;
    const float offset = QrSaturator::curve(static_cast<float>(b), k, set.softness);
    Buffer out(in.size());
    for (size_t i = 0; i < in.size(); ++i)
        out[i] = QrSaturator::curve(static_cast<float>(g * in[i] + b), k, set.softness) - offset;
    return out;
}

// Amplitude of the component that makes `cycles` whole cycles in x[from .. from + n).
template <typename T>
double amplitude(const std::vector<T>& x, size_t from, size_t n, long cycles) {
    std::complex<double> sum = 0.0;
    for (size_t j = 0; j < n; ++j) {
        const double phase =
            2.0 * kPi *
            static_cast<double>((cycles * static_cast<long>(j)) % static_cast<long>(n)) /
            static_cast<double>(n);
        sum += static_cast<double>(x[from + j]) * std::polar(1.0, -phase);
    }
    return 2.0 * std::abs(sum) / static_cast<double>(n);
}

TEST(Saturator, HarmonicLevelsOfA100HzSineAreThoseOfTheCurve) {
    // 100 Hz, 0.5 peak; one second measured after half a second of settling (the DC cut's
    // 10 Hz corner costs the fundamental 0.04 dB and H2 0.01 dB). The reference is the
    // bare curve over one period on a grid of 2^16 points.
    const Setting settings[] = {{12.0, 0.0f, 0.5f, 0.25f},
                                {6.0, 0.6f, 0.3f, 0.25f},
                                {12.0, 0.0f, 0.5f, 0.25f, 1.0f},
                                {6.0, 0.6f, 0.9f, 0.25f, 0.4f}};
    for (const Setting& set : settings) {
        const Buffer out = through(set, sine(100.0, 0.5, 72000));

        const size_t grid = 1 << 16; // one period of a sine of kRate / grid Hz
        const Buffer period = plainCurve(sine(kRate / grid, 0.5, grid), set);
        for (long h : {1L, 2L, 3L, 5L}) {
            const double got = dB(amplitude(out, 24000, 48000, 100 * h));
            const double want = dB(amplitude(period, 0, grid, h));
            if (h == 2 && set.asymmetry == 0.0f) // a symmetric curve makes no even harmonics
                EXPECT_LT(got, -110.0);
            else
                EXPECT_NEAR(got, want, 0.5) << "H" << h << " asymmetry " << set.asymmetry;
        }
    }
}

TEST(Saturator, SoftnessMakesDistortionRiseSteadilyWithTheLevel) {
    // THD of 1 kHz (H2..H9) as the level rises in 3 dB steps, through a stage with a hard
    // knee (0.9). Alone the knee curve is clean up to the knee and then jumps; with
    // softness the distortion grows from the smallest level by a few dB per step.
    auto thdSweep = [](float softness) {
        std::vector<double> thd;
        for (double level = -42.0; level <= -3.0; level += 3.0) {
            const Buffer out = through({20.0, 0.0f, 0.95f, 0.25f, softness},
                                       sine(1000.0, std::pow(10.0, level / 20.0), 9600));
            double harmonics = 0.0;
            for (long h = 2; h <= 9; ++h)
                harmonics += std::pow(amplitude(out, 4800, 4800, 100 * h), 2.0);
            thd.push_back(std::max(-100.0, 10.0 * std::log10(harmonics + 1e-300) -
                                               dB(amplitude(out, 4800, 4800, 100))));
        }
        return thd;
    };
    auto biggestStep = [](const std::vector<double>& thd) {
        double step = 0.0;
        for (size_t i = 1; i < thd.size(); ++i)
            step = std::max(step, thd[i] - thd[i - 1]);
        return step;
    };
    const std::vector<double> knee = thdSweep(0.0f), soft = thdSweep(1.0f), half = thdSweep(0.5f);
    EXPECT_EQ(knee.front(), -100.0);
    EXPECT_GT(biggestStep(knee), 30.0);
    EXPECT_GT(soft.front(), -100.0);
    EXPECT_LE(biggestStep(soft), 8.0); // the third harmonic grows 6 dB a step
    EXPECT_GT(soft.back() - soft.front(), 50.0);
    EXPECT_GT(half.front(), -100.0);
    EXPECT_LT(biggestStep(half), biggestStep(knee) - 10.0);
    // The blended antiderivative is that of the blended curve.
    for (double u : {-3.0, -0.7, 0.05, 0.9, 1.6, 40.0}) {
        const double h = 1e-6;
        const double slope = (QrSaturator::antiderivative(u + h, 0.5, 0.3) -
                              QrSaturator::antiderivative(u - h, 0.5, 0.3)) /
                             (2.0 * h);
        EXPECT_NEAR(slope, QrSaturator::curve(static_cast<float>(u), 0.5f, 0.3f), 1e-6) << u;
    }
}

TEST(Saturator, AntiderivativeShapingFoldsBackLessThanTheBareCurve) {
    // 9 kHz driven hard (+20 dB into the curve: a rounded square wave). Every component
    // lands on a 10 Hz bin of a 0.1 s window; all but DC and the harmonics below Nyquist
    // (9 and 18 kHz) are aliases. The strongest is the third harmonic folded from 27 to
    // 21 kHz, which the one-sample mean can only take down by sinc(27/48), 5.1 dB (5.1
    // measured); the aliases in the audible band fold from higher harmonics, which the
    // mean takes down further: the strongest of them drops by 11.8 dB.
    const Setting set{20.0, 0.0f, 0.5f, 0.25f};
    const Buffer in = sine(9000.0, 0.5, 9600);
    const Buffer shaped = through(set, in), bare = plainCurve(in, set);
    // The strongest alias below `topBin`, in dB below the fundamental.
    auto strongestAlias = [](const Buffer& x, long topBin) {
        double worst = 0.0;
        for (long bin = 1; bin < topBin; ++bin)
            if (bin != 900 && bin != 1800)
                worst = std::max(worst, amplitude(x, 4800, 4800, bin));
        return dB(worst) - dB(amplitude(x, 4800, 4800, 900));
    };
    const double bareAll = strongestAlias(bare, 2400), bareAudible = strongestAlias(bare, 2000);
    EXPECT_LT(strongestAlias(shaped, 2400), bareAll - 4.5) << "up to 24 kHz";
    EXPECT_LT(strongestAlias(shaped, 2000), bareAudible - 10.0) << "up to 20 kHz";
}

TEST(Saturator, TheDcCutTakesOffTheDcThatAsymmetryMakes) {
    // 1 kHz through the most asymmetric bias; the mean of the second second.
    auto meanOfLastSecond = [](float dcCut) {
        const Buffer out = through({6.0, 1.0f, 0.5f, dcCut}, sine(1000.0, 0.5, 96000));
        return std::accumulate(out.begin() + 48000, out.end(), 0.0) / 48000.0;
    };
    const double cut = meanOfLastSecond(0.25f), uncut = meanOfLastSecond(0.0f);
    EXPECT_LE(std::fabs(cut), 1e-4);
    EXPECT_GT(std::fabs(uncut), 1e-2);
}

TEST(Saturator, TinyStepsReadTheCurveAndBadInputIsForgottenOnClear) {
    const Setting set{12.0, 0.5f, 0.5f, 0.0f}; // no DC cut: the output is the curve's
    const double g = std::pow(10.0, 12.0 / 20.0), b = 0.25;
    const float k = 0.475f;
    const double offset = QrSaturator::curve(0.25f, k);
    // Ramps of u across all three parts of the curve, in steps below the switch to the
    // midpoint (4e-6) and above it (2e-5, where a quotient of float antiderivatives
    // would be off by 1e-2): either way the output is the curve at the step's midpoint.
    for (double du : {4e-6, 2e-5}) {
        const auto n = static_cast<size_t>(6.0 / du);
        Buffer in(n);
        for (size_t i = 0; i < n; ++i)
            in[i] = static_cast<float>((-3.0 + du * static_cast<double>(i) - b) / g);
        const Buffer out = through(set, in);
        double worst = 0.0;
        for (size_t i = 1; i < n; ++i) {
            const double mid = 0.5 * (g * in[i - 1] + g * in[i]) + b;
            const double want = QrSaturator::curve(static_cast<float>(mid), k) - offset;
            const double error = std::fabs(out[i] - want);
            if (!(error <= worst)) // a NaN stays
                worst = error;
        }
        EXPECT_LT(worst, 1e-6) << du;
    }
    // The antiderivative is continuous at both joints, and even.
    for (double at : {0.475, 2.0 - 0.475})
        EXPECT_NEAR(QrSaturator::antiderivative(at - 1e-12, 0.475),
                    QrSaturator::antiderivative(at + 1e-12, 0.475), 1e-11);
    EXPECT_EQ(QrSaturator::antiderivative(-1.7, 0.3), QrSaturator::antiderivative(1.7, 0.3));

    // A NaN and an infinity reach the block: after clearState it sounds as a fresh one.
    QrSaturator poisoned(masterCallback);
    apply(poisoned, {12.0, 0.5f, 0.5f, 0.25f});
    Buffer bad = sine(440.0, 0.5, 960);
    bad[100] = NAN;
    bad[300] = INFINITY;
    render(poisoned, bad);
    poisoned.clearState();
    const Buffer tone = sine(440.0, 0.5, 960);
    EXPECT_EQ(render(poisoned, tone), through({12.0, 0.5f, 0.5f, 0.25f}, tone));
}

} // namespace
