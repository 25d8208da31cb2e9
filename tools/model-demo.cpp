// model-demo: loads the plug-in from its bundle as a host would, renders a
// plucked-string phrase through every model it lists, and prints each model's
// output level.
//
//   model-demo [BUNDLE_DIR]
//
// BUNDLE_DIR holds quorle.so and quorle.data (default: the bundle this build made).
#include "tools/PluckedPhrase.h"
#include "tools/PluginHost.h"

#include <cmath>
#include <cstdio>
#include <vector>

namespace {
double toDb(double v) {
    return v > 1e-12 ? 20.0 * std::log10(v) : -240.0;
}
constexpr double kRate = 44100.0;
constexpr UInt32 kBlock = 512;
} // namespace

int main(int argc, char** argv) {
    const std::string bundle = argc > 1 ? argv[1] : QUORLE_BUNDLE_DIR;
    const std::vector<float> phrase = pluckedPhrase(kRate);

    PluginHost probe;
    std::string error;
    if (!probe.load(bundle, error)) {
        std::fprintf(stderr, "model-demo: %s\n", error.c_str());
        return 1;
    }
    if (OSStatus status = probe.start(kRate, 1, kBlock)) {
        std::fprintf(stderr, "model-demo: the unit does not start: status %d (%s)\n",
                     static_cast<int>(status), statusName(status));
        return 1;
    }
    const std::vector<std::string> models = probe.modelNames();
    std::printf("%-16s %10s %10s\n", "model", "peak dBFS", "RMS dBFS");
    for (size_t m = 0; m < models.size(); ++m) {
        PluginHost host; // a fresh unit per model, so no state carries over
        if (!host.load(bundle, error) || host.start(kRate, 1, kBlock) != noErr) {
            std::fprintf(stderr, "model-demo: %s\n", error.c_str());
            return 1;
        }
        host.setParameter(1, 1.0f); // post gain: full
        host.setParameter(3, static_cast<float>(m));
        std::vector<float> out(phrase.size());
        for (size_t at = 0; at < phrase.size(); at += kBlock) {
            const UInt32 frames = static_cast<UInt32>(std::min<size_t>(kBlock, phrase.size() - at));
            const float* in = phrase.data() + at;
            float* o = out.data() + at;
            if (OSStatus status = host.render(&in, &o, frames)) {
                std::fprintf(stderr, "model-demo: render failed: status %d (%s)\n",
                             static_cast<int>(status), statusName(status));
                return 1;
            }
        }
        double peak = 0.0, energy = 0.0;
        for (float s : out) {
            peak = std::max(peak, static_cast<double>(std::fabs(s)));
            energy += static_cast<double>(s) * s;
        }
        std::printf("%-16s %10.1f %10.1f\n", models[m].c_str(), toDb(peak),
                    toDb(std::sqrt(energy / static_cast<double>(out.size()))));
    }
    return 0;
}
