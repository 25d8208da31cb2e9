#include "tools/measure/PeerCabinets.h"

#include "tools/QuietStreams.h"
#include "tools/measure/Lv2Timer.h"

#include <algorithm>
#include <cmath>

namespace measure {

namespace {

constexpr const char* kGxCabinetUri = "http://guitarix.sourceforge.net/plugins/gx_cabinet#CABINET";
constexpr const char* kGxModelPort = "c_model";
constexpr double kLoadSeconds = 1.0;     // silence before the impulse
constexpr double kResponseSeconds = 0.5; // kept from the impulse on
constexpr unsigned kBlock = 256;

} // namespace

std::vector<PeerCabinet> gxCabinetResponses(double rate) {
    std::vector<PeerCabinet> peers;
    if (!(rate >= 8000.0 && rate <= 768000.0))
        return peers;
    Lv2Timer host;
    const auto models = host.scalePoints(kGxCabinetUri, kGxModelPort);
    const auto at = static_cast<size_t>(kLoadSeconds * rate);
    Signal impulse(at + static_cast<size_t>(kResponseSeconds * rate), 0.0f);
    impulse[at] = 1.0f;
    for (const auto& [value, label] : models) {
        if (label == "Off")
            continue;
        const auto plugin = host.open(kGxCabinetUri, {{kGxModelPort, value}}, impulse, rate, kBlock,
                                      Lv2Timer::Start::Fresh);
        if (!plugin || plugin->state() != TimedPlugin::State::Ready)
            return {};
        Signal out;
        {
            QuietStreams quiet; // guitarix reports its block length as it plays
            out = plugin->render();
        }
        if (out.size() <= at)
            return {};
        PeerCabinet peer{label, Signal(out.begin() + static_cast<long>(at), out.end())};
        bool finite = true;
        for (float x : peer.ir)
            finite = finite && std::isfinite(x);
        if (finite)
            peers.push_back(std::move(peer));
    }
    return peers;
}

} // namespace measure
