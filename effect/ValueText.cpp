// Value-to-text operations of AudioEffect. Every text fits in 8 characters plus
// the terminator; digits are truncated, never rounded.
#include "effect/AudioEffect.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {
constexpr int kBudget = 8; // characters, counting sign, digits and point
}

void AudioEffect::float2string(float value, char* text) {
    double v = value;
    if (std::isnan(v)) {
        std::strcpy(text, "NaN");
        return;
    }

    // Sign (strictly negative only, so -0.0 prints as 0) and the point count first.
    bool negative = v < 0.0;
    int count = 1;
    if (negative) {
        v = -v;
        ++count;
    }

    // The integer part must fit whole beside the point: 9999999. and -999999. are the
    // largest that do. Anything longer would lose its leading digits, so it is "Huge!".
    const double largest = negative ? 999999.0 : 9999999.0;
    if (std::floor(v) > largest) {
        std::strcpy(text, "Huge!");
        return;
    }

    // Integer digits, least significant first, then reversed into place.
    char digits[kBudget];
    int numDigits = 0;
    double x = std::floor(v);
    do {
        digits[numDigits++] = static_cast<char>('0' + static_cast<int>(std::fmod(x, 10.0)));
        x /= 10.0;
        ++count;
    } while (x >= 1.0 && count < kBudget);

    char* out = text;
    if (negative)
        *out++ = '-';
    while (numDigits > 0)
        *out++ = digits[--numDigits];
    *out++ = '.';

    // Fraction digits fill the rest of the budget.
    int n = kBudget - count;
    double m = std::fmod(v, 1.0) * std::pow(10.0, n);
    for (int i = n - 1; i >= 0; --i) {
        int digit = 0;
        if (m > 0.0) {
            digit = static_cast<int>(std::fmod(m, 10.0));
            m /= 10.0;
        }
        out[i] = static_cast<char>('0' + digit);
    }
    out[n] = 0;
}

void AudioEffect::dB2string(float value, char* text) {
    if (value <= 0.0f) {
        std::strcpy(text, "-oo");
        return;
    }
    float2string(static_cast<float>(20.0 * std::log10(static_cast<double>(value))), text);
}

void AudioEffect::Hz2string(float samples, char* text) {
    if (samples == 0.0f)
        float2string(0.0f, text);
    else
        float2string(getSampleRate() / samples, text);
}

void AudioEffect::ms2string(float samples, char* text) {
    float2string(static_cast<float>(samples * 1000.0 / getSampleRate()), text);
}

void AudioEffect::long2string(int32_t value, char* text) {
    if (value > 99999999) {
        std::strcpy(text, "Huge!");
        return;
    }
    char wide[16];
    std::snprintf(wide, sizeof(wide), "%7d", static_cast<int>(value));
    std::memcpy(text, wide, kBudget);
    text[kBudget] = 0;
}
