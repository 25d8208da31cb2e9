// Pictures of the rig on recorded guitar (RigMeasure.h), for data/README.md:
//   rig-ladder.png  the non-linear share against drive, each model, on the takes
//   rig-fizz.png    each model's fizz at drive 1 without a cabinet, through each
//                   shipped cabinet and through the peer's, the peers' limits drawn
#pragma once

#include "tools/measure/RigMeasure.h"

#include <string>
#include <vector>

namespace measure {

// Writes the pictures into `dir`; the paths written. Throws std::runtime_error when
// one cannot be written.
std::vector<std::string> plotRig(const RigMeasurements& rig, const std::string& dir);

} // namespace measure
