#include "blocks/QrSaturator.h"

#include <cmath>
#include <cstdio>

namespace {
const char* const kNames[QrSaturator::kNumParams] = {"Pre-gain", "Asymmetry", "Hardness",
                                                     "Post-gain", "DC cut"};
const char* const kLabels[QrSaturator::kNumParams] = {"dB", "", "", "dB", "Hz"};

constexpr double kPi = 3.14159265358979323846;
constexpr double kMaxKnee = 0.95;

// Below this step of u from one sample to the next (|u[n] - u[n-1]|) the curve is
// read at the midpoint instead of through the antiderivative quotient. Both sides
// of the switch agree far below float resolution (6e-8 on a +-1 output):
// - the quotient divides a difference of two doubles of size |F| <= max(u^2/2, |u|)
//   with a rounding error of about 2.2e-16 |F|; at a step of 1e-5 that is 2.2e-11 |F|,
//   under 2.2e-8 even for |u| = 1000 (40 dB of pre-gain on a signal at +20 dBFS);
// - the midpoint misses the mean of f over the step by at most max|f''| step^2 / 24
//   = step^2 / (48 (1 - k)), 4e-11 at a step of 1e-5 and the hardest knee.
constexpr double kMinStep = 1e-5;

// The curve's constants for one knee.
struct Shape {
    double k;        // knee, 0..kMaxKnee
    double top;      // 2 - k: where the curve reaches +-1
    double inv4;     // 1 / (4 (1 - k))
    double inv12;    // 1 / (12 (1 - k))
    double flatFrom; // F(top)
};

Shape shapeFor(double k) {
    Shape s;
    s.k = !(k > 0.0) ? 0.0 : (k > kMaxKnee ? kMaxKnee : k);
    const double r = 1.0 - s.k;
    s.top = 2.0 - s.k;
    s.inv4 = 1.0 / (4.0 * r);
    s.inv12 = 1.0 / (12.0 * r);
    s.flatFrom = 0.5 * s.top * s.top - (2.0 / 3.0) * r * r;
    return s;
}

// f(u). A NaN passes through, so that whoever watches the output sees it.
inline double curveAt(const Shape& s, double u) {
    const double a = std::fabs(u);
    if (!(a > s.k))
        return u;
    double m = 1.0;
    if (a < s.top) {
        const double d = a - s.k;
        m = a - d * d * s.inv4;
    }
    return u < 0.0 ? -m : m;
}

// F(u): u^2 / 2 on the linear part, then u^2 / 2 - (|u| - k)^3 / (12 (1 - k)) through
// the knee, then rising by |u| - top from F(top) on the flat part. Even; continuous
// at both joints.
inline double antiderivativeAt(const Shape& s, double u) {
    const double a = std::fabs(u);
    if (!(a > s.k))
        return 0.5 * a * a;
    if (a < s.top) {
        const double d = a - s.k;
        return 0.5 * a * a - d * d * d * s.inv12;
    }
    return s.flatFrom + (a - s.top);
}

// A 0..1 control as it acts: held within 0..1, NaN as 0.
double unit(float v) {
    if (!(v > 0.0f))
        return 0.0;
    return v > 1.0f ? 1.0 : static_cast<double>(v);
}

// Everything one block of one channel needs besides its state.
struct Stage {
    Shape shape;
    double pre, bias, offset, post, pole;
};

// One channel: the curve through its antiderivative, the DC cut when kCut, the
// post-gain; added to or written over the output. State comes in and goes out
// through the references, once.
template <bool kReplacing, bool kCut>
void runChannel(const float* in, float* out, int32_t frames, const Stage& st, double& lastU,
                double& dcIn, double& dcOut) {
    const Shape s = st.shape;
    const double pre = st.pre, bias = st.bias, offset = st.offset, post = st.post;
    const double pole = st.pole;
    double u0 = lastU, x1 = dcIn, y1 = dcOut;
    double fu0 = antiderivativeAt(s, u0);
    for (int32_t i = 0; i < frames; ++i) {
        const double u1 = pre * static_cast<double>(in[i]) + bias;
        const double fu1 = antiderivativeAt(s, u1);
        const double step = u1 - u0;
        double y;
        if (step > kMinStep || step < -kMinStep)
            y = (fu1 - fu0) / step;
        else
            y = curveAt(s, 0.5 * (u0 + u1)); // also where the step is NaN
        y = y - offset;
        if constexpr (kCut) {
            const double h = y - x1 + pole * y1;
            x1 = y;
            y1 = h;
            y = h;
        } else {
            x1 = y;
            y1 = y; // switched on later, the cut starts from the output as it was
        }
        const auto o = static_cast<float>(post * y);
        if constexpr (kReplacing)
            out[i] = o;
        else
            out[i] = out[i] + o;
        u0 = u1;
        fu0 = fu1;
    }
    lastU = u0;
    dcIn = x1;
    dcOut = y1;
}
} // namespace

QrSaturator::QrSaturator(HostCallback callback) : AudioEffectX(callback, 1, kNumParams) {
    setNumInputs(2);
    setNumOutputs(2);
    setUniqueID(fourCC('q', 'r', 's', 'a'));
    canMono(true);
    std::snprintf(programName, sizeof(programName), "Default");
    updateCoefficients();
    clearState();
}

QrSaturator::~QrSaturator() = default;

float QrSaturator::curve(float u, float k) {
    return static_cast<float>(curveAt(shapeFor(k), u));
}

double QrSaturator::antiderivative(double u, double k) {
    return antiderivativeAt(shapeFor(k), u);
}

void QrSaturator::updateCoefficients() {
    preGain = static_cast<float>(std::pow(10.0, (60.0 * unit(values[kPreGain]) - 20.0) / 20.0));
    postGain = static_cast<float>(std::pow(10.0, (60.0 * unit(values[kPostGain]) - 40.0) / 20.0));
    bias = 0.5 * unit(values[kAsymmetry]);
    knee = kMaxKnee * unit(values[kHardness]);
    offset = curveAt(shapeFor(knee), bias);
    const double corner = 40.0 * unit(values[kDcCut]); // Hz
    const double rate = sampleRate;
    dcCut = corner > 0.0 && rate > 0.0 && std::isfinite(rate);
    dcPole = dcCut ? std::exp(-2.0 * kPi * corner / rate) : 0.0;
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
        hostCallback(&effectRecord, 0, index, 0, nullptr, value);
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
    const Stage stage{shapeFor(knee), preGain, bias, offset, postGain, dcPole};
    auto kernel = replacing ? (dcCut ? runChannel<true, true> : runChannel<true, false>)
                            : (dcCut ? runChannel<false, true> : runChannel<false, false>);
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

int32_t QrSaturator::getPlugCategory() {
    return 1;
}

bool QrSaturator::getEffectName(char* name) {
    std::snprintf(name, kTextSize, "qrsat");
    return true;
}

bool QrSaturator::getVendorString(char* text) {
    std::snprintf(text, kTextSize, "Pellark");
    return true;
}

bool QrSaturator::getProductString(char* text) {
    std::snprintf(text, kTextSize, "pellark qrsat");
    return true;
}

int32_t QrSaturator::getVendorVersion() {
    return 1000;
}

void QrSaturator::clearState() {
    for (int32_t c = 0; c < kMaxChannels; ++c) {
        lastU[c] = bias; // as if silence had been playing
        dcIn[c] = 0.0;
        dcOut[c] = 0.0;
    }
}
