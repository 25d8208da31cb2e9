#include "blocks/QrSaturator.h"

#include "blocks/CpuFeatures.h"
#include "effect/EffectOpcodes.h"

#include <cmath>
#include <cstdio>

namespace {
const char* const kNames[QrSaturator::kNumParams] = {"Pre-gain",  "Asymmetry", "Hardness",
                                                     "Post-gain", "DC cut",    "Softness"};
const char* const kLabels[QrSaturator::kNumParams] = {"dB", "", "", "dB", "Hz", ""};

constexpr double kPi = 3.14159265358979323846;
constexpr double kMaxKnee = 0.95;

// Below this step of u from one sample to the next (|u[n] - u[n-1]|) the output is
// the mean of the curve at the step's two ends, (f(u[n-1]) + f(u[n])) / 2, instead of
// the antiderivative quotient. Both sides of the switch agree far below float
// resolution (6e-8 on a +-1 output):
// - the quotient divides a difference of two doubles of size |F| <= max(u^2/2, |u|)
//   with a rounding error of about 2.2e-16 |F|; at a step of 1e-5 that is 2.2e-11 |F|,
//   under 2.2e-8 even for |u| = 1000 (40 dB of pre-gain on a signal at +20 dBFS);
// - the mean at the ends misses the mean of f over the step by at most max|f''|
//   step^2 / 12 = step^2 / (24 (1 - k)), 8e-11 at a step of 1e-5 and the hardest knee
//   (and the curve at the midpoint by at most step^2 / (32 (1 - k)), 6e-11); the soft
//   curve's |f''| is at most 4/3, which keeps it under 1.2e-11.
constexpr double kMinStep = 1e-5;

// Where the soft curve reaches +-1 and stays.
constexpr double kSoftTop = 1.5;

using Shape = SaturatorShape;
using Stage = SaturatorStage;

Shape shapeFor(double k, double softness = 0.0) {
    Shape s;
    s.soft = !(softness > 0.0) ? 0.0 : (softness > 1.0 ? 1.0 : softness);
    s.hard = 1.0 - s.soft;
    s.k = !(k > 0.0) ? 0.0 : (k > kMaxKnee ? kMaxKnee : k);
    const double r = 1.0 - s.k;
    s.top = 2.0 - s.k;
    s.inv4 = 1.0 / (4.0 * r);
    s.inv12 = 1.0 / (12.0 * r);
    return s;
}

// The functions below are written without branches (min and max of the clamped
// magnitude), so that the block's loop over samples vectorises. With
//   c = min(|u|, top), d = max(c - k, 0)
// c is |u| held to the flat part's start and d how far into the knee c reaches.

// The knee curve: f(u) = sign(u) (c - d^2 / (4 (1 - k))). Its antiderivative
// F(u) = c^2 / 2 - d^3 / (12 (1 - k)) + (|u| - c): u^2 / 2 on the linear part, then
// u^2 / 2 - (|u| - k)^3 / (12 (1 - k)) through the knee, then rising by |u| - top from
// F(top) on the flat part. Even; continuous at both joints. A NaN passes through, so
// that whoever watches the output sees it.
//
// The soft curve, with m = min(|u|, 1.5): f(u) = sign(u) (m - 4 m^3 / 27), a cubic
// that bends from the first millivolt and meets +-1 at |u| = 1.5 with zero slope, so
// its harmonics grow steadily with the level (the third as the square of it) where
// the knee curve has none up to the knee. F(u) = m^2 / 2 - m^4 / 27 + (|u| - m). A
// polynomial, as cheap as the knee curve.
//
// The block's curve is hard x (knee curve) + soft x (soft curve), and so is its F.
template <bool kSoft> inline void shapeAt(const Shape& s, double u, double& F, double& f) {
    const double a = std::fabs(u);
    const double c = s.top < a ? s.top : a; // a NaN stays
    const double e = c - s.k;
    const double d = 0.5 * (e + std::fabs(e)); // max(e, 0), exactly
    const double d2 = d * d;
    F = 0.5 * c * c - d2 * d * s.inv12 + (a - c);
    f = std::copysign(c - d2 * s.inv4, u);
    if constexpr (kSoft) {
        constexpr double kCube = 4.0 / 27.0, kQuartic = 1.0 / 27.0;
        const double m = kSoftTop < a ? kSoftTop : a; // a NaN stays
        const double m2 = m * m;
        F = s.hard * F + s.soft * (0.5 * m2 - kQuartic * m2 * m2 + (a - m));
        f = s.hard * f + s.soft * std::copysign(m - kCube * m2 * m, u);
    }
}

inline double curveAt(const Shape& s, double u) {
    double F, f;
    shapeAt<true>(s, u, F, f);
    return f;
}

inline double antiderivativeAt(const Shape& s, double u) {
    double F, f;
    shapeAt<true>(s, u, F, f);
    return F;
}

// A 0..1 control as it acts: held within 0..1, NaN as 0.
double unit(float v) {
    if (!(v > 0.0f))
        return 0.0;
    return v > 1.0f ? 1.0 : static_cast<double>(v);
}

// Writes over or adds to one output sample.
template <bool kReplacing> inline void store(float* o, float v) {
    if constexpr (kReplacing)
        *o = v;
    else
        *o = *o + v;
}

// Samples per pass of runChannel: its scratch arrays live on the stack (4 kB).
constexpr int32_t kChunk = 128;

// One channel: the curve through its antiderivative, the DC cut when kCut, the
// post-gain; added to or written over the output. State comes in and goes out
// through the references, once.
// Each chunk of samples goes through u, then F(u) and f(u), then the mean of f over
// every step (none of them carries anything from one sample to the next, so all three
// vectorise); without the DC cut the mean's loop writes the post-gained output, with
// it the cut, the only recurrence, follows, then the post-gain (vectorised again).
// Fewer loops were measured slower: u with the curve in one loop spills registers
// (8% slower), the post-gain inside the recurrence loses its vectors (2-3%).
// Where the step is too small for the quotient (or NaN) the quotient is computed all
// the same and dropped by the select.
template <bool kReplacing, bool kCut, bool kSoft>
inline __attribute__((always_inline)) void channel(const float* in, float* out, int32_t frames,
                                                   const Stage& st, double& lastU, double& dcIn,
                                                   double& dcOut) {
    const Shape s = st.shape;
    const double pre = st.pre, bias = st.bias, offset = st.offset, post = st.post;
    const double pole = st.pole, pole2 = pole * pole, pole3 = pole2 * pole;
    const double pole4 = pole2 * pole2;
    double x1 = dcIn, y1 = dcOut;
    // Entry 0 of u, F and f is the previous chunk's last sample (for the first chunk,
    // the state).
    double u[kChunk + 1], F[kChunk + 1], f[kChunk + 1], y[kChunk];
    u[0] = lastU;
    shapeAt<kSoft>(s, u[0], F[0], f[0]);
    for (int32_t at = 0; at < frames; at += kChunk) {
        const int32_t n = frames - at < kChunk ? frames - at : kChunk;
        const float* x = in + at;
        for (int32_t i = 0; i < n; ++i)
            u[i + 1] = pre * static_cast<double>(x[i]) + bias;
        for (int32_t i = 0; i < n; ++i)
            shapeAt<kSoft>(s, u[i + 1], F[i + 1], f[i + 1]);
        float* o = out + at;
        for (int32_t i = 0; i < n; ++i) {
            // Below kMinStep (and where the step is NaN) the mean of the curve at the ends.
            const double step = u[i + 1] - u[i];
            const double mean = (F[i + 1] - F[i]) / step;
            const double ends = 0.5 * (f[i] + f[i + 1]);
            const bool big = std::fabs(step) > kMinStep;
            y[i] = (big ? mean : ends) - offset;
            if constexpr (!kCut)
                store<kReplacing>(o + i, static_cast<float>(post * y[i]));
        }
        if constexpr (kCut) {
            // h[i] = y[i] - y[i-1] + p h[i-1], four samples at a time: within a group each
            // h is the group's input differences run through the pole (w) plus p^(j+1)
            // times the last h before the group, so that only one multiply and one add
            // per group wait for the group before (the one-sample recurrence is bound by
            // the latency of its multiply-add, 2.5 times slower).
            int32_t i = 0;
            for (; i + 4 <= n; i += 4) {
                const double v0 = y[i] - x1, v1 = y[i + 1] - y[i];
                const double v2 = y[i + 2] - y[i + 1], v3 = y[i + 3] - y[i + 2];
                const double w1 = v1 + pole * v0;
                const double w2 = v2 + pole * w1;
                const double w3 = v3 + pole * w2;
                const double h0 = v0 + pole * y1, h1 = w1 + pole2 * y1;
                const double h2 = w2 + pole3 * y1, h3 = w3 + pole4 * y1;
                x1 = y[i + 3];
                y1 = h3;
                y[i] = h0; // this group's inputs are all read: its outputs take their place
                y[i + 1] = h1;
                y[i + 2] = h2;
                y[i + 3] = h3;
            }
            for (; i < n; ++i) {
                const double h = y[i] - x1 + pole * y1;
                x1 = y[i];
                y1 = h;
                y[i] = h;
            }
            // The post-gain outside the recurrence, where it vectorises.
            for (i = 0; i < n; ++i)
                store<kReplacing>(o + i, static_cast<float>(post * y[i]));
        } else {
            // Switched on later, the cut starts from the output as it was.
            x1 = y1 = y[n - 1];
        }
        u[0] = u[n];
        F[0] = F[n];
        f[0] = f[n];
    }
    lastU = u[0];
    dcIn = x1;
    dcOut = y1;
}

using Kernel = void (*)(const float*, float*, int32_t, const Stage&, double&, double&, double&);

template <bool kReplacing, bool kCut, bool kSoft>
void runChannel(const float* in, float* out, int32_t frames, const Stage& st, double& lastU,
                double& dcIn, double& dcOut) {
    channel<kReplacing, kCut, kSoft>(in, out, frames, st, lastU, dcIn, dcOut);
}

// The loop for one combination of the three switches, picked per block.
template <template <bool, bool, bool> class Pick> Kernel pick(bool replacing, bool cut, bool soft) {
    static constexpr Kernel table[8] = {
        Pick<false, false, false>::run, Pick<false, false, true>::run,
        Pick<false, true, false>::run,  Pick<false, true, true>::run,
        Pick<true, false, false>::run,  Pick<true, false, true>::run,
        Pick<true, true, false>::run,   Pick<true, true, true>::run};
    return table[(replacing ? 4 : 0) + (cut ? 2 : 0) + (soft ? 1 : 0)];
}

template <bool kReplacing, bool kCut, bool kSoft> struct Plain {
    static constexpr Kernel run = runChannel<kReplacing, kCut, kSoft>;
};

Kernel kernelFor(bool replacing, bool cut, bool soft) {
    return pick<Plain>(replacing, cut, soft);
}

#if QUORLE_X86_DISPATCH
// The same loop built for AVX2 where the processor has it: four doubles to a vector
// instead of two, 1.5 to 1.9 times the speed on the shipped models' settings. The
// arithmetic is the same operation for operation (no fused multiply-adds), so both
// builds give the same samples.
template <bool kReplacing, bool kCut, bool kSoft>
__attribute__((target("avx2"))) void runChannelAvx2(const float* in, float* out, int32_t frames,
                                                    const Stage& st, double& lastU, double& dcIn,
                                                    double& dcOut) {
    channel<kReplacing, kCut, kSoft>(in, out, frames, st, lastU, dcIn, dcOut);
}

template <bool kReplacing, bool kCut, bool kSoft> struct Avx2 {
    static constexpr Kernel run = runChannelAvx2<kReplacing, kCut, kSoft>;
};

// And for AVX-512 where the processor has it: eight doubles to a vector, the same
// operations again (measured 4-22 % faster per model at 2x on a Zen 4 EPYC).
template <bool kReplacing, bool kCut, bool kSoft>
__attribute__((target("avx512f"))) void
runChannelAvx512(const float* in, float* out, int32_t frames, const Stage& st, double& lastU,
                 double& dcIn, double& dcOut) {
    channel<kReplacing, kCut, kSoft>(in, out, frames, st, lastU, dcIn, dcOut);
}

template <bool kReplacing, bool kCut, bool kSoft> struct Avx512 {
    static constexpr Kernel run = runChannelAvx512<kReplacing, kCut, kSoft>;
};

// Asked once, while the library loads.
const bool kAvx2 = CpuFeatures::avx2();
const bool kAvx512 = kAvx2 && CpuFeatures::avx512();

Kernel kernelFor(bool replacing, bool cut, bool soft, bool avx2) {
    if (avx2 && kAvx512)
        return pick<Avx512>(replacing, cut, soft);
    return avx2 ? pick<Avx2>(replacing, cut, soft) : kernelFor(replacing, cut, soft);
}
#else
const bool kAvx2 = false;
Kernel kernelFor(bool replacing, bool cut, bool soft, bool) {
    return kernelFor(replacing, cut, soft);
}
#endif

// What hosts are told about this block.
constexpr EffectIdentity kIdentity{"qrsat", "Pellark", "pellark qrsat", 1000, 1};
} // namespace

QrSaturator::QrSaturator(HostCallback callback) : AudioEffectX(callback, 1, kNumParams) {
    setIdentity(kIdentity);
    setNumInputs(2);
    setNumOutputs(2);
    setUniqueID(fourCC('q', 'r', 's', 'a'));
    canMono(true);
    std::snprintf(programName, sizeof(programName), "Default");
    updateCoefficients();
    clearState();
}

QrSaturator::~QrSaturator() = default;

float QrSaturator::curve(float u, float k, float softness) {
    return static_cast<float>(curveAt(shapeFor(k, softness), u));
}

double QrSaturator::antiderivative(double u, double k, double softness) {
    return antiderivativeAt(shapeFor(k, softness), u);
}

void QrSaturator::updateCoefficients() {
    preGain = static_cast<float>(std::pow(10.0, (60.0 * unit(values[kPreGain]) - 20.0) / 20.0));
    postGain = static_cast<float>(std::pow(10.0, (60.0 * unit(values[kPostGain]) - 40.0) / 20.0));
    bias = 0.5 * unit(values[kAsymmetry]);
    knee = kMaxKnee * unit(values[kHardness]);
    softness = unit(values[kSoftness]);
    offset = curveAt(shapeFor(knee, softness), bias);
    const double corner = 40.0 * unit(values[kDcCut]); // Hz
    const double rate = sampleRate;
    dcCut = corner > 0.0 && rate > 0.0 && std::isfinite(rate);
    dcPole = dcCut ? std::exp(-2.0 * kPi * corner / rate) : 0.0;
    stage = Stage{shapeFor(knee, softness), preGain, bias, offset, postGain, dcPole};
}

void QrSaturator::setParameter(int32_t index, float value) {
    if (index >= 0 && index < kNumParams) {
        const double before = bias;
        values[index] = value;
        updateCoefficients();
        // A new bias moves the previous u with it: the step into the next sample is the
        // signal's own, not a jump of the bias.
        for (double& u : lastU)
            u += bias - before;
    }
    if (hostCallback)
        hostCallback(&effectRecord, kHostParameterAutomated, index, 0, nullptr, value);
}

float QrSaturator::getParameter(int32_t index) {
    return index >= 0 && index < kNumParams ? values[index] : 0.0f;
}

void QrSaturator::setSampleRate(float rate) {
    sampleRate = rate;
    updateCoefficients();
}

void QrSaturator::setBlockSizeAndSampleRate(int32_t frames, float rate) {
    blockSize = frames;
    setSampleRate(rate);
}

void QrSaturator::run(float** inputs, float** outputs, int32_t sampleFrames, bool replacing) {
    if (!inputs || !outputs)
        return;
    const int32_t channels = isInputConnected(1) ? 2 : 1;
    const Kernel kernel = kernelFor(replacing, dcCut, softness > 0.0, kAvx2);
    for (int32_t c = 0; c < channels; ++c) {
        if (!inputs[c] || !outputs[c])
            continue;
        kernel(inputs[c], outputs[c], sampleFrames, stage, lastU[c], dcIn[c], dcOut[c]);
    }
}

void QrSaturator::process(float** inputs, float** outputs, int32_t sampleFrames) {
    run(inputs, outputs, sampleFrames, false);
}

void QrSaturator::processReplacing(float** inputs, float** outputs, int32_t sampleFrames) {
    run(inputs, outputs, sampleFrames, true);
}

void QrSaturator::setProgramName(char* name) {
    if (name)
        std::snprintf(programName, sizeof(programName), "%s", name);
}

void QrSaturator::getProgramName(char* name) {
    if (name)
        std::snprintf(name, kTextSize, "%s", programName);
}

void QrSaturator::getParameterLabel(int32_t index, char* label) {
    if (!label)
        return;
    label[0] = 0;
    if (index >= 0 && index < kNumParams)
        std::snprintf(label, kTextSize, "%s", kLabels[index]);
}

void QrSaturator::getParameterDisplay(int32_t index, char* text) {
    if (!text)
        return;
    const double corner = 40.0 * unit(values[kDcCut]);
    switch (index) {
    case kPreGain:
        std::snprintf(text, kTextSize, "%.1f", 60.0 * unit(values[kPreGain]) - 20.0);
        break;
    case kAsymmetry: std::snprintf(text, kTextSize, "%.3f", bias); break;
    case kHardness: std::snprintf(text, kTextSize, "%.3f", knee); break;
    case kSoftness: std::snprintf(text, kTextSize, "%.3f", softness); break;
    case kPostGain:
        std::snprintf(text, kTextSize, "%.1f", 60.0 * unit(values[kPostGain]) - 40.0);
        break;
    case kDcCut:
        if (corner > 0.0)
            std::snprintf(text, kTextSize, "%.1f", corner);
        else
            std::snprintf(text, kTextSize, "off");
        break;
    default: break;
    }
}

void QrSaturator::getParameterName(int32_t index, char* text) {
    if (text && index >= 0 && index < kNumParams)
        std::snprintf(text, kTextSize, "%s", kNames[index]);
}

void QrSaturator::clearState() {
    for (int32_t c = 0; c < kMaxChannels; ++c) {
        lastU[c] = bias; // as if silence had been playing
        dcIn[c] = 0.0;
        dcOut[c] = 0.0;
    }
}
