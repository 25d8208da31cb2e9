// Test signals for measuring the plug-in: mono float audio at a given rate. Levels
// are in dBFS of the peak for tones (0 dBFS = amplitude 1) and of the RMS for noise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace measure {

using Signal = std::vector<float>;

// Amplitude of a level in dB: 10^(dB/20).
double amplitudeOf(double dB);

// `seconds` of a sine of `hz` with peak level `dBFS`, starting at phase 0.
Signal sine(double rate, double hz, double dBFS, double seconds);

// A sine of `hz` held at each of `levelsDbfs` for `stepSeconds` in turn, phase
// continuous across the steps.
Signal steppedSine(double rate, double hz, const std::vector<double>& levelsDbfs,
                   double stepSeconds);

// A sustained chord of string-like notes: each of `hz` with its harmonics below
// `topHz` (and below half the rate), harmonic k at `dBFS` - 20 log10 k (the partials
// of a sawtooth), all starting at phase 0, `seconds` long.
Signal chord(double rate, const std::vector<double>& hz, double dBFS, double topHz, double seconds);

// White noise, uniform in amplitude, with RMS level `dBFS`, from a fixed seed.
Signal whiteNoise(double rate, double dBFS, double seconds, uint32_t seed = 1);

// The plucked-guitar phrase (tools/PluckedPhrase.h) synthesised at `rate`.
Signal phrase(double rate);
// `x` played over and over for `frames` samples (empty when `x` is).
Signal repeated(const Signal& x, size_t frames);
// `x` taken from `fromRate` to `toRate` (Hz) by a high-quality offline resampler.
Signal resampled(const Signal& x, double fromRate, double toRate);
// The plucked phrase as made at 48 kHz, resampled to `rate`: the same music at
// every rate, where phrase(rate) synthesises a slightly different one per rate.
Signal samePhrase(double rate);

// The smallest power of two not below `n`.
size_t powerOfTwoAtLeast(size_t n);

} // namespace measure
