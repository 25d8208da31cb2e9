// Pictures of the shipped cabinets, written as PNG files into a directory:
//   cabinets-levelled.png  every cabinet's response as the cabinet stage plays it:
//                          loaded from the bundle's archive and levelled, in dB
//   <model>-cabinets.png   the plucked phrase through the model at its defaults,
//                          third-octave band levels without a cabinet and through
//                          each cabinet, each labelled with its RMS level
// Runs on the calling thread.
#pragma once

#include "tools/measure/CabinetMeasure.h"
#include "tools/measure/Plot.h"

#include <string>
#include <vector>

namespace measure {

// The gain of the impulse response `ir` (at `rate`) from `loHz` to `hiHz`,
// `pointsPerOctave` points an octave, in dB; re its gain at `referenceHz` unless
// that is 0.
PlotSeries responseCurve(const std::vector<float>& ir, double rate, double loHz, double hiHz,
                         double pointsPerOctave, double referenceHz = 0.0);

// Writes cabinets-levelled.png and one <model>-cabinets.png per entry of `levels`
// into `dir` (which must exist) and returns their paths; throws std::runtime_error
// when a picture cannot be written.
std::vector<std::string> plotCabinets(const ShippedCabinets& cabinets,
                                      const std::vector<CabinetLevels>& levels,
                                      const std::string& dir);

} // namespace measure
