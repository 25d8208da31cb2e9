// A short guitar-like DI phrase for demos and tests: plucked strings by
// Karplus-Strong synthesis (a noise burst in a delay line with a damped
// averaging loop), from a fixed seed so that every run gives the same samples.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

// Adds one plucked string from sample `at` to the end of `out`: a noise burst of
// `peak` in a delay line of `period` samples, its next random numbers from `seed`.
inline void addPluck(std::vector<float>& out, size_t at, size_t period, double peak,
                     uint32_t& seed) {
    std::vector<float> line(period);
    for (float& s : line) {
        seed = seed * 1664525u + 1013904223u;
        s = static_cast<float>(peak * ((seed >> 8) / 8388608.0 - 1.0));
    }
    size_t pos = 0;
    float previous = 0.0f;
    for (size_t n = at; n < out.size(); ++n) {
        float current = line[pos];
        out[n] += current;
        line[pos] = 0.996f * 0.5f * (current + previous); // damped two-point average
        previous = current;
        pos = pos + 1 == period ? 0 : pos + 1;
    }
}

inline std::vector<float> pluckedPhrase(double rate, double seconds = 4.0) {
    // (start s, fundamental Hz, peak) of each pluck: a riff on the low strings, then a chord.
    struct Pluck {
        double start, hz, peak;
    };
    const Pluck plucks[] = {{0.00, 82.41, 0.45},  {0.35, 98.00, 0.40},  {0.70, 110.00, 0.42},
                            {1.05, 123.47, 0.38}, {1.40, 146.83, 0.40}, {2.00, 82.41, 0.30},
                            {2.01, 123.47, 0.25}, {2.02, 164.81, 0.25}, {2.03, 207.65, 0.22},
                            {2.04, 246.94, 0.20}, {2.05, 329.63, 0.18}};
    std::vector<float> out(static_cast<size_t>(rate * seconds), 0.0f);
    uint32_t seed = 12345;
    for (const Pluck& p : plucks)
        addPluck(out, static_cast<size_t>(p.start * rate), static_cast<size_t>(rate / p.hz), p.peak,
                 seed);
    return out;
}
