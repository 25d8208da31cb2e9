// The saturator building block, measured on audio: harmonic levels against the bare
// curve, aliasing against the bare curve, DC, and the path for tiny steps of u.
#include "blocks/QrSaturator.h"
#include "effect/MasterCallback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <vector>

namespace {

using Buffer = std::vector<float>;
using P = QrSaturator::Param;
constexpr double kPi = 3.14159265358979323846;
constexpr double kRate = 48000.0;

double dB(double amplitude) {
    return 20.0 * std::log10(amplitude);
}

// A control for a gain in dB: pre-gain spans -20..+40 dB, post-gain -40..+20 dB.
float preGainFor(double db) {
    return static_cast<float>((db + 20.0) / 60.0);
}

struct Setting {
    double preDb; // pre-gain
    float asymmetry, hardness, dcCut;
    float softness = 0.0f;
};

void apply(QrSaturator& s, const Setting& set) {
    s.setSampleRate(static_cast<float>(kRate));
    s.setParameter(P::kPreGain, preGainFor(set.preDb));
    s.setParameter(P::kAsymmetry, set.asymmetry);
    s.setParameter(P::kHardness, set.hardness);
    s.setParameter(P::kDcCut, set.dcCut);
    s.setParameter(P::kSoftness, set.softness);
}

Buffer sine(double hz, double amplitude, size_t n) {
    Buffer x(n);
    for (size_t i = 0; i < n; ++i)
        x[i] = static_cast<float>(amplitude *
                                  std::sin(2.0 * kPi * hz * static_cast<double>(i) / kRate));
    return x;
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
        QrSaturator s(masterCallback);
        apply(s, set);
        const Buffer out = render(s, sine(100.0, 0.5, 72000));

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
            QrSaturator s(masterCallback);
            apply(s, {20.0, 0.0f, 0.95f, 0.25f, softness});
            const Buffer out = render(s, sine(1000.0, std::pow(10.0, level / 20.0), 9600));
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
    QrSaturator s(masterCallback);
    apply(s, set);
    const Buffer in = sine(9000.0, 0.5, 9600);
    const Buffer shaped = render(s, in), bare = plainCurve(in, set);
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
        QrSaturator s(masterCallback);
        apply(s, {6.0, 1.0f, 0.5f, dcCut});
        const Buffer out = render(s, sine(1000.0, 0.5, 96000));
        double sum = 0.0;
        for (size_t i = 48000; i < out.size(); ++i)
            sum += out[i];
        return sum / 48000.0;
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
        QrSaturator s(masterCallback);
        apply(s, set);
        const auto n = static_cast<size_t>(6.0 / du);
        Buffer in(n);
        for (size_t i = 0; i < n; ++i)
            in[i] = static_cast<float>((-3.0 + du * static_cast<double>(i) - b) / g);
        const Buffer out = render(s, in);
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
    QrSaturator poisoned(masterCallback), fresh(masterCallback);
    apply(poisoned, {12.0, 0.5f, 0.5f, 0.25f});
    apply(fresh, {12.0, 0.5f, 0.5f, 0.25f});
    Buffer bad = sine(440.0, 0.5, 960);
    bad[100] = NAN;
    bad[300] = INFINITY;
    render(poisoned, bad);
    poisoned.clearState();
    const Buffer tone = sine(440.0, 0.5, 960);
    EXPECT_EQ(render(poisoned, tone), render(fresh, tone));
}

} // namespace
