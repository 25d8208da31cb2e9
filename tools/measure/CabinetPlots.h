// Pictures of the shipped cabinets, written as PNG files into a directory:
//   cabinets-levelled.png  every cabinet's response as the cabinet stage plays it:
//                          loaded from the bundle's archive and levelled, in dB
//   <model>-cabinets.png   the plucked phrase through the model at its defaults,
//                          third-octave band levels without a cabinet and through
//                          each cabinet, each labelled with its RMS level
//   cabinets-vs-peers.png  our cabinets' responses in colour beside another
//                          plug-in's in light grey, 1/12-octave smoothed, 0 dB at 1 kHz
// Runs on the calling thread.
#pragma once

#include "tools/measure/CabinetMeasure.h"
#include "tools/measure/CabinetShape.h"
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

// Writes cabinets-vs-peers.png into `dir`: `ours` (at `rate`) in colour, `peers`
// (at `peersRate`, named `peerSource` in the title) in light grey; returns its path
// or throws std::runtime_error when it cannot be written.
std::string plotCabinetsBesidePeers(const std::vector<NamedResponse>& ours, double rate,
                                    const std::vector<NamedResponse>& peers, double peersRate,
                                    const std::string& peerSource, const std::string& dir);

} // namespace measure
