// How a model behaves as the playing changes: distortion against input level (the
// breakup), a single plucked string and how fast its envelope decays (the sustain).
#pragma once

#include "tools/measure/Renderer.h"

#include <cstddef>
#include <vector>

namespace measure {

// The lowest THD a breakup curve reports, dB: below it a model counts as clean.
constexpr double kBreakupFloorDb = -100.0;

// Input levels of the breakup sweep, dBFS peak: -42 up to -3 in 3 dB steps.
std::vector<double> breakupLevels();

// THD (dB, at least kBreakupFloorDb) of a 1 kHz sine at each of `levelsDbfs` through
// model `model` at `drive`, the other controls at their defaults; each level rendered
// on a fresh unit. Throws RenderError.
std::vector<double> thdAgainstLevel(const Renderer& renderer, size_t model, double rate,
                                    float drive, const std::vector<double>& levelsDbfs);

// One plucked string of `hz` (the phrase's Karplus-Strong string), `seconds` long,
// scaled so that its peak is at `peakDbfs`.
Signal pluck(double rate, double hz, double peakDbfs, double seconds);

// RMS level in dBFS of each whole frame of `frameSeconds`, at least -200.
std::vector<double> envelopeDb(const Signal& x, double rate, double frameSeconds = 0.05);

// How fast the envelope falls between `fromSeconds` and `toSeconds`, dB per second
// (positive when it decays): the least-squares slope of the 50 ms frame levels.
double decayDbPerSecond(const Signal& x, double rate, double fromSeconds, double toSeconds);

} // namespace measure
