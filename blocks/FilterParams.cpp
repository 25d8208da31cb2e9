#include "blocks/FilterParams.h"

#include "blocks/ParamCalculator.h"

#include <cmath>

namespace {
constexpr float kPi = 3.14159265358979f;
constexpr float kReferenceRate = 44100.0f; // Hz; the frequency curve is defined at this rate
// Largest first-order coefficient: a pole at -0.99, rings at Nyquist for a few
// hundred samples at most.
constexpr float kMaxShelfC = 1.99f;
} // namespace

FilterParams::FilterParams() = default;

float FilterParams::GetNormalizedFreq() {
    float x = freq * 5.0f;
    double numerator = std::exp(static_cast<double>(x)) - 1.0;
    float denominator = std::exp(5.0f) - 1.0f;
    float quotient = static_cast<float>(numerator / denominator);
    return quotient * kReferenceRate / *sampleRate;
}

float FilterParams::GetBeta() {
    return std::cos(kPi * GetNormalizedFreq());
}

void FilterParams::setNormalizedFreq(float n) {
    SetFreq(std::log((std::exp(5.0f) - 1.0f) * n + 1.0f) / 5.0f);
}

void FilterParams::SetFreq(float f) {
    freq = f;
    float w = GetNormalizedFreq();
    if (order == 1) {
        // Reported by the "Alpha" parameter only; the shelf does not use it.
        alpha = static_cast<double>((1.0f - std::sin(w)) / std::cos(w));
    }
    if (order == 2) {
        float beta = GetBeta();
        float t = static_cast<float>(alpha * -beta + -beta);
        b0 = static_cast<float>(alpha);
        b1 = t;
        b2 = 1.0f;
        a0 = 1.0f;
        a1 = t;
        a2 = static_cast<float>(alpha);
    } else {
        // First-order allpass on the raw control: -1 at 0 Hz, +1 at Nyquist. Its
        // pole lies at 1 - c, so c is kept in 0..kMaxShelfC: below a 22 kHz rate
        // (or with a control outside 0..1) the corner would pass Nyquist and the
        // section would grow without bound. From 44.1 kHz up, c = freq <= 1.
        float c = kReferenceRate * freq / *sampleRate;
        if (!(c >= 0.0f))
            c = 0.0f; // negative or not a number
        else if (c > kMaxShelfC)
            c = kMaxShelfC;
        b0 = 1.0f - c;
        b1 = -1.0f;
        b2 = 0.0f;
        a0 = 1.0f;
        a1 = -(1.0f - c);
        a2 = 0.0f;
    }
}

namespace {

// Passes run two at a time: two sections' state and the coefficients fit the
// registers (four at a time spill and ran slower than one at a time; two at a
// time take 0.68 of the time of one at a time for four passes, measured in
// quorle_bench's BM_IIRFilter).
constexpr int32_t kGroup = 2;

struct Section {
    float b0, b1, b2, a1, a2; // allpass coefficients, shared by every pass
    float direct, shelved;    // weights of the section's input and allpass output
};

// Runs P consecutive passes sample by sample: each sample goes through all P
// sections before the next one enters, so the P recurrences overlap in the
// processor instead of running one block-long chain after another. Every section
// performs exactly the operations of a pass run on its own, in the same order.
// `gain` scales the last of these P passes when `lastHere`.
template <int P>
void runPasses(const Section& s, float (*slots)[FilterParams::kSlotSize], const float* src,
               float* out, int32_t frames, float gain, bool lastHere) {
    using F = FilterParams;
    const float b0 = s.b0, b1 = s.b1, b2 = s.b2, a1 = s.a1, a2 = s.a2;
    const float direct = s.direct, shelved = s.shelved;
    float x0[P], x1[P], x2[P], y0[P], y1[P], y2[P];
    for (int q = 0; q < P; ++q) {
        x0[q] = slots[q][F::kX];
        x1[q] = slots[q][F::kX + 1];
        x2[q] = slots[q][F::kX + 2];
        y0[q] = slots[q][F::kY];
        y1[q] = slots[q][F::kY + 1];
        y2[q] = slots[q][F::kY + 2];
    }
    for (int32_t i = 0; i < frames; ++i) {
        float v = src[i];
#pragma GCC unroll 4
        for (int q = 0; q < P; ++q) {
            const float x = v;
            const float y = b0 * x + b1 * x1[q] + b2 * x2[q] - a1 * y1[q] - a2 * y2[q];
            y2[q] = y1[q];
            y1[q] = y;
            v = 0.5f * (direct * x + shelved * y);
            if (q == P - 1 && lastHere)
                v = v * gain;
            x2[q] = x1[q];
            x1[q] = x;
            x0[q] = x;
            y0[q] = y;
        }
        out[i] = v;
    }
    for (int q = 0; q < P; ++q) {
        slots[q][F::kX] = x0[q];
        slots[q][F::kX + 1] = x1[q];
        slots[q][F::kX + 2] = x2[q];
        slots[q][F::kY] = y0[q];
        slots[q][F::kY + 1] = y1[q];
        slots[q][F::kY + 2] = y2[q];
    }
}

} // namespace

void FilterParams::process(float** inputs, float** outputs, int32_t sampleFrames) {
    float gainK = ParamCalculator::GetK(k);
    if (passes == 2)
        gainK = std::sqrt(gainK); // two sections together give K

    Section s;
    s.direct = 1.0f + gainK;
    s.shelved = (order == 2 || !highShelf) ? 1.0f - gainK : gainK - 1.0f;
    s.b0 = b0;
    s.b1 = b1;
    s.b2 = b2;
    s.a1 = a1;
    s.a2 = a2;
    float* out = outputs[0];

    // Passes go in groups of up to kGroup; a group reads the previous group's output.
    for (int32_t p = 0; p < passes;) {
        const int32_t group = passes - p < kGroup ? passes - p : kGroup;
        const float* src = p == 0 ? inputs[0] : out;
        const bool lastHere = p + group == passes;
        if (group == 2)
            runPasses<2>(s, history + p, src, out, sampleFrames, postGain, lastHere);
        else
            runPasses<1>(s, history + p, src, out, sampleFrames, postGain, lastHere);
        p += group;
    }
}
