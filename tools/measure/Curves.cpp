#include "tools/measure/Curves.h"

#include "tools/PluckedPhrase.h"
#include "tools/measure/Metrics.h"
#include "tools/measure/ModelMeasure.h"

#include <algorithm>
#include <cmath>

namespace measure {

namespace {
constexpr double kBreakupHz = 1000.0;
constexpr double kEnvelopeFloorDb = -200.0;
} // namespace

std::vector<double> breakupLevels() {
    std::vector<double> levels;
    for (int dB = -42; dB <= -3; dB += 3)
        levels.push_back(dB);
    return levels;
}

std::vector<double> thdAgainstLevel(const Renderer& renderer, size_t model, double rate,
                                    float drive, const std::vector<double>& levelsDbfs) {
    const ToneSpan span = toneSpan(rate);
    Controls controls;
    controls.drive = drive;
    std::vector<double> thd;
    for (double level : levelsDbfs) {
        const Signal in = sine(rate, kBreakupHz, level, span.seconds());
        const double dB =
            thdDb(toneSpectrum(renderer.render(model, controls, in, rate), span), kBreakupHz);
        thd.push_back(std::max(kBreakupFloorDb, dB));
    }
    return thd;
}

Signal pluck(double rate, double hz, double peakDbfs, double seconds) {
    Signal out(static_cast<size_t>(std::max(0.0, rate * seconds)), 0.0f);
    if (out.empty() || !(hz > 0.0))
        return out;
    uint32_t seed = 12345;
    addPluck(out, 0, std::max<size_t>(2, static_cast<size_t>(rate / hz)), 1.0, seed);
    float peak = 0.0f;
    for (float s : out)
        peak = std::max(peak, std::fabs(s));
    const float gain = peak > 0.0f ? static_cast<float>(amplitudeOf(peakDbfs)) / peak : 0.0f;
    for (float& s : out)
        s *= gain;
    return out;
}

std::vector<double> envelopeDb(const Signal& x, double rate, double frameSeconds) {
    std::vector<double> levels = frameRmsDb(x.data(), x.size(), rate, frameSeconds);
    for (double& l : levels)
        l = std::max(kEnvelopeFloorDb, l);
    return levels;
}

double decayDbPerSecond(const Signal& x, double rate, double fromSeconds, double toSeconds) {
    constexpr double kFrame = 0.05;
    const std::vector<double> env = envelopeDb(x, rate, kFrame);
    double n = 0, st = 0, sl = 0, stt = 0, stl = 0;
    for (size_t i = 0; i < env.size(); ++i) {
        const double t = (static_cast<double>(i) + 0.5) * kFrame; // the frame's middle
        if (t < fromSeconds || t > toSeconds)
            continue;
        n += 1;
        st += t;
        sl += env[i];
        stt += t * t;
        stl += t * env[i];
    }
    const double denominator = n * stt - st * st;
    if (n < 2 || denominator <= 0.0)
        return 0.0;
    return -(n * stl - st * sl) / denominator;
}

} // namespace measure
