#include "blocks/FilterParams.h"

#include "blocks/IirCascade.h"
#include "blocks/ParamCalculator.h"

#include <cmath>
#include <cstring>

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
        // Reported by the "Alpha" parameter only; the shelf does not use it. Other
        // orders that run the shelf (neither 1 nor 2) keep the alpha last set.
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
        // Every order but 2: the first-order allpass on the raw control, -1 at 0 Hz
        // and +1 at Nyquist. Its pole lies at 1 - c, so c is kept in 0..kMaxShelfC:
        // below a 22 kHz rate (or with a control outside 0..1) the corner would pass
        // Nyquist and the section would grow without bound. From 44.1 kHz up,
        // c = freq <= 1.
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

static_assert(FilterParams::kY == IirCascade::kStateY && FilterParams::kX == IirCascade::kStateX,
              "the cascade reads the history where FilterParams keeps it");

int32_t FilterParams::sections(CascadeSection* out, float* tap) {
    const int32_t n = passes < 0 ? 0 : passes > kMaxPasses ? kMaxPasses : passes;
    uint32_t kBits;
    std::memcpy(&kBits, &k, sizeof kBits);
    const bool two = n == 2;
    const bool flipped = order != 2 && highShelf;
    if (!weighted || kBits != weightedK || two != weightedTwo || flipped != weightedFlipped) {
        float gainK = ParamCalculator::GetK(k);
        if (two)
            gainK = std::sqrt(gainK); // two sections together give K
        direct = 1.0f + gainK;
        shelved = flipped ? gainK - 1.0f : 1.0f - gainK;
        weightedK = kBits;
        weightedTwo = two;
        weightedFlipped = flipped;
        weighted = true;
    }
    for (int32_t p = 0; p < n; ++p) {
        CascadeSection& s = out[p];
        s.b0 = b0;
        s.b1 = b1;
        s.b2 = b2;
        s.a1 = a1;
        s.a2 = a2;
        s.direct = direct;
        s.shelved = shelved;
        s.gain = 1.0f;
        s.state = history[p];
        s.tap = nullptr;
    }
    if (n > 0) {
        out[n - 1].gain = postGain;
        out[n - 1].tap = tap;
    }
    return n;
}

void FilterParams::process(float** inputs, float** outputs, int32_t sampleFrames) {
    // The passes overlap in vector lanes (blocks/IirCascade), bit for bit as one
    // after another.
    CascadeSection s[kMaxPasses];
    const int32_t n = sections(s, outputs[0]);
    IirCascade::run(s, n, inputs[0], sampleFrames);
}
