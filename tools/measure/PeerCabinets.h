// Speaker cabinets of other plug-ins, to measure ours beside: guitarix's
// gx_cabinet, every cabinet its Cab Model control offers, played an impulse by our
// own LV2 host (Lv2Timer). Runs on the calling thread; loads plug-ins.
#pragma once

#include <string>
#include <vector>

namespace measure {

struct PeerCabinet {
    std::string name; // the Cab Model control's label, e.g. "4x12"
    std::vector<float> ir;
};

// gx_cabinet's impulse response for each value of its Cab Model control (its
// "Off" left out), the other controls at their defaults, at `rate` Hz: an impulse
// played after a second of silence (for the cabinet to load), and the half second
// of output from it on. Empty when guitarix (or lilv) is not installed or the
// plug-in does not start.
std::vector<PeerCabinet> gxCabinetResponses(double rate);

} // namespace measure
