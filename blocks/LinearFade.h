// The one fade every change of sound uses (a model switch, a player's archive, an
// oversampling change): linear gains over kFadeMs. A crossfade mixes two sounds of
// the same input, largely in phase, so equal-gain (linear) mixing is never louder
// than the louder of them. Audio thread; allocates nothing.
#pragma once

#include <cmath>
#include <cstdint>

namespace fade {

// Length of every fade, in milliseconds.
constexpr double kFadeMs = 20.0;

// Samples a fade of `ms` lasts at `rate` Hz: at least 1, at most 10^9.
inline int32_t samplesFor(double rate, double ms = kFadeMs) {
    const double samples = std::round(ms * rate / 1000.0);
    if (!(samples >= 1.0))
        return 1;
    return samples < 1e9 ? static_cast<int32_t>(samples) : 1000000000;
}

// The gain of the sound fading in at sample `at` (0-based) of a fade `length`
// samples long: rises by 1/length a sample and is exactly 1 on the last sample.
inline float gainAt(int32_t at, int32_t length) {
    return static_cast<float>(at + 1) / static_cast<float>(length);
}

// Mixes `from` (fading out) into `to` (fading in) over `n` samples starting at
// sample `at` of the fade: to[i] = from[i] * (1 - g) + to[i] * g.
inline void crossfade(const float* from, float* to, int32_t n, int32_t at, int32_t length) {
    for (int32_t i = 0; i < n; ++i) {
        const float g = gainAt(at + i, length);
        to[i] = from[i] * (1.0f - g) + to[i] * g;
    }
}

// Scales `io` by a gain falling (`rising` false: 1 - g) or rising (g) over `n`
// samples starting at sample `at` of the fade.
inline void ramp(float* io, int32_t n, int32_t at, int32_t length, bool rising) {
    for (int32_t i = 0; i < n; ++i) {
        const float g = gainAt(at + i, length);
        io[i] *= rising ? g : 1.0f - g;
    }
}

} // namespace fade
