// The shape of a speaker cabinet's response, as a player hears it in a cabinet: a
// low resonance, a presence peak, where the top falls away, and the narrow notches
// and peaks of a cone breaking up. Read off the response 1/12-octave smoothed (the
// power of the bins of each band averaged), 0 dB at 1 kHz, and judged against
// targets::kShape*. Runs on the calling thread.
#pragma once

#include "tools/measure/Report.h"

#include <string>
#include <vector>

namespace measure {

// 1/12-octave smoothed gain of the impulse response `ir` at `rate`, in dB re its
// smoothed gain at 1 kHz, at `hz` (each within 10 Hz..rate/2).
std::vector<double> smoothedResponseDb(const std::vector<float>& ir, double rate,
                                       const std::vector<double>& hz);

struct CabinetShape {
    double resonanceHz = 0, resonanceDb = 0; // the highest point in the resonance range
    double presenceHz = 0, presenceDb = 0;   // the highest point in the presence range
    double minus10Hz = 0; // first frequency above the presence peak 10 dB under 1 kHz; 0: none
    // The narrow feature standing farthest from its neighbourhood in the break-up
    // range: how far a point lies below (a notch, < 0) or above (a peak) both points
    // a third of an octave either side of it.
    double featureHz = 0, featureDb = 0;
};
// Empty figures (all 0) for an empty or silent response.
CabinetShape cabinetShape(const std::vector<float>& ir, double rate);

struct NamedResponse {
    std::string name;
    std::vector<float> ir;
};
// One row per cabinet of `ours`, each target judged, and a note on how many have a
// narrow feature (targets::kShapeFeatureMinShare); then, when `peers` is not empty,
// one row per peer with the same figures, not judged, headed by `peerSource`.
Table judgeCabinetShapes(const std::vector<NamedResponse>& ours, double oursRate,
                         const std::vector<NamedResponse>& peers, double peersRate,
                         const std::string& peerSource);

} // namespace measure
