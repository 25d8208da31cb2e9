#include "tools/measure/Signals.h"

#include <samplerate.h>

#include "tools/PluckedPhrase.h"

#include <algorithm>
#include <cmath>

namespace measure {

namespace {
constexpr double kTwoPi = 6.283185307179586476925286766559;
}

double amplitudeOf(double dB) {
    return std::pow(10.0, dB / 20.0);
}

Signal sine(double rate, double hz, double dBFS, double seconds) {
    return steppedSine(rate, hz, {dBFS}, seconds);
}

Signal steppedSine(double rate, double hz, const std::vector<double>& levelsDbfs,
                   double stepSeconds) {
    const size_t step = static_cast<size_t>(std::llround(stepSeconds * rate));
    Signal out(step * levelsDbfs.size());
    const double w = kTwoPi * hz / rate;
    for (size_t s = 0; s < levelsDbfs.size(); ++s) {
        const double a = amplitudeOf(levelsDbfs[s]);
        for (size_t i = s * step; i < (s + 1) * step; ++i)
            out[i] = static_cast<float>(a * std::sin(w * static_cast<double>(i)));
    }
    return out;
}

Signal chord(double rate, const std::vector<double>& hz, double dBFS, double topHz,
             double seconds) {
    Signal out(static_cast<size_t>(std::llround(seconds * rate)), 0.0f);
    const double top = std::min(topHz, rate / 2.0);
    for (double f : hz)
        for (int k = 1; k * f < top; ++k) {
            const double a = amplitudeOf(dBFS) / k, w = kTwoPi * k * f / rate;
            for (size_t i = 0; i < out.size(); ++i)
                out[i] += static_cast<float>(a * std::sin(w * static_cast<double>(i)));
        }
    return out;
}

Signal whiteNoise(double rate, double dBFS, double seconds, uint32_t seed) {
    Signal out(static_cast<size_t>(std::llround(seconds * rate)));
    // Uniform on [-a, a] has RMS a / sqrt(3).
    const double a = amplitudeOf(dBFS) * std::sqrt(3.0);
    for (float& s : out) {
        seed = seed * 1664525u + 1013904223u;
        s = static_cast<float>(a * ((seed >> 8) / 8388608.0 - 1.0));
    }
    return out;
}

Signal phrase(double rate) {
    return pluckedPhrase(rate);
}

Signal repeated(const Signal& x, size_t frames) {
    Signal out;
    if (x.empty())
        return out;
    out.reserve(frames);
    while (out.size() < frames)
        out.insert(out.end(), x.begin(), x.begin() + std::min(x.size(), frames - out.size()));
    return out;
}

Signal resampled(const Signal& x, double fromRate, double toRate) {
    if (fromRate == toRate || x.empty())
        return x;
    const double ratio = toRate / fromRate;
    Signal out(static_cast<size_t>(std::ceil(static_cast<double>(x.size()) * ratio)) + 1);
    SRC_DATA data = {};
    data.data_in = x.data();
    data.input_frames = static_cast<long>(x.size());
    data.data_out = out.data();
    data.output_frames = static_cast<long>(out.size());
    data.src_ratio = ratio;
    if (src_simple(&data, SRC_SINC_BEST_QUALITY, 1) != 0)
        return {};
    out.resize(static_cast<size_t>(data.output_frames_gen));
    return out;
}

Signal samePhrase(double rate) {
    constexpr double kPhraseRate = 48000.0;
    return resampled(phrase(kPhraseRate), kPhraseRate, rate);
}

size_t powerOfTwoAtLeast(size_t n) {
    size_t p = 1;
    while (p < n)
        p <<= 1;
    return p;
}

} // namespace measure
