// model-demo: runs a plucked-string phrase through every model of the data
// archive and prints each model's output level.
//
//   model-demo [DATA_DIR]
//
// DATA_DIR holds quorle.data (default: the archive this build assembled).
#include "main/DataArchive.h"
#include "main/VorlixMac.h"
#include "tools/PluckedPhrase.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <memory>
#include <vector>

namespace {
double toDb(double v) {
    return v > 1e-12 ? 20.0 * std::log10(v) : -240.0;
}
} // namespace

int main(int argc, char** argv) {
    gFxDir = argc > 1 ? std::string(argv[1]) + "/" : std::string(QUORLE_DATA_DIR);
    const float rate = 44100.0f;
    const std::vector<float> phrase = pluckedPhrase(rate);

    auto effect = std::make_unique<VorlixMac>();
    try {
        effect->init();
    } catch (const std::exception&) {
        std::fprintf(stderr, "model-demo: no models in %squorle.data\n", gFxDir.c_str());
        return 1;
    }
    std::printf("%-16s %10s %10s\n", "model", "peak dBFS", "RMS dBFS");
    for (size_t m = 0; m < effect->modelNames.size(); ++m) {
        auto fresh = std::make_unique<VorlixMac>();
        fresh->init();
        fresh->dispatcher(10, 0, 0, nullptr, rate);
        fresh->setParameter(QrVorlixGeneric::kPreBass, 0.5f);
        fresh->setParameter(QrVorlixGeneric::kPostGain, 1.0f);
        if (!fresh->loadXmlZ(static_cast<int>(m))) {
            std::fprintf(stderr, "model-demo: model %s does not load\n",
                         effect->modelNames[m].c_str());
            return 1;
        }
        std::vector<float> out(phrase.size());
        double peak = 0.0, energy = 0.0;
        for (size_t at = 0; at < phrase.size(); at += 512) {
            int32_t frames = static_cast<int32_t>(std::min<size_t>(512, phrase.size() - at));
            float* in = const_cast<float*>(phrase.data()) + at;
            float* o = out.data() + at;
            fresh->process(&in, &o, frames);
        }
        for (float s : out) {
            peak = std::max(peak, static_cast<double>(std::fabs(s)));
            energy += static_cast<double>(s) * s;
        }
        std::string name = effect->modelNames[m];
        name = name.substr(0, name.size() - 4); // without ".xml"
        std::printf("%-16s %10.1f %10.1f\n", name.c_str(), toDb(peak),
                    toDb(std::sqrt(energy / static_cast<double>(out.size()))));
    }
    return 0;
}
