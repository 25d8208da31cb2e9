// filter-response: prints the magnitude response of the equaliser building block
// for a given setting, measured by running the real filter on sine tones.
//
//   filter-response [--rate HZ] ORDER TYPE PASSES FREQUENCY ALPHA K POSTGAIN
//
// The seven values are the filter's normalised parameters in index order (0..1;
// post gain is a linear factor, 0..10). The response is printed at the ISO
// third-octave centres from 20 Hz up to the highest one below Nyquist.
#include "blocks/QrIIRFilter.h"
#include "effect/MasterCallback.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const double kCentres[] = {20,   25,   31.5, 40,   50,   63,    80,    100,   125,  160,  200,
                           250,  315,  400,  500,  630,  800,   1000,  1250,  1600, 2000, 2500,
                           3150, 4000, 5000, 6300, 8000, 10000, 12500, 16000, 20000};

int usage(const char* why) {
    std::fprintf(stderr,
                 "filter-response: %s\n"
                 "usage: filter-response [--rate HZ] ORDER TYPE PASSES FREQUENCY ALPHA K POSTGAIN\n"
                 "  ORDER..K are the filter's 0..1 controls, POSTGAIN a linear factor 0..10,\n"
                 "  HZ the sample rate (8000..384000, default 44100).\n",
                 why);
    return 2;
}

bool parseNumber(const char* text, double low, double high, double& out) {
    char* end = nullptr;
    double v = std::strtod(text, &end);
    if (end == text || *end != 0 || !std::isfinite(v) || v < low || v > high)
        return false;
    out = v;
    return true;
}

// Gain of a fresh filter at one frequency: settle for a second, then project the
// output onto the tone over a whole number of periods.
double measureGain(const float controls[7], float rate, double hz) {
    QrIIRFilter filter(masterCallback);
    filter.setSampleRate(rate);
    for (int i = 0; i < 7; ++i)
        filter.setParameter(i, controls[i]);

    const int settle = static_cast<int>(rate);
    const double periods = std::ceil(0.25 * hz);
    const int measure = static_cast<int>(std::lround(periods * rate / hz));
    std::vector<float> buffer(static_cast<size_t>(settle + measure));
    const double step = 2.0 * M_PI * hz / rate;
    for (size_t n = 0; n < buffer.size(); ++n)
        buffer[n] = static_cast<float>(0.5 * std::sin(step * static_cast<double>(n)));

    float* channel = buffer.data();
    const int block = 512;
    for (int start = 0; start < static_cast<int>(buffer.size()); start += block) {
        float* at = channel + start;
        int frames = std::min(block, static_cast<int>(buffer.size()) - start);
        filter.processReplacing(&at, &at, frames);
    }

    double re = 0.0, im = 0.0;
    for (int n = settle; n < settle + measure; ++n) {
        re += buffer[n] * std::sin(step * n);
        im += buffer[n] * std::cos(step * n);
    }
    double amplitude = 2.0 * std::sqrt(re * re + im * im) / measure;
    return amplitude / 0.5;
}

} // namespace

int main(int argc, char** argv) {
    double rate = 44100.0;
    int first = 1;
    if (argc > 1 && std::strcmp(argv[1], "--rate") == 0) {
        if (argc < 3 || !parseNumber(argv[2], 8000.0, 384000.0, rate))
            return usage("--rate needs a sample rate between 8000 and 384000");
        first = 3;
    }
    if (argc - first != 7)
        return usage("expected seven parameter values");

    float controls[7];
    for (int i = 0; i < 7; ++i) {
        double v = 0.0;
        double high = i == QrIIRFilter::kPostGain ? 10.0 : 1.0;
        if (!parseNumber(argv[first + i], 0.0, high, v)) {
            char why[96];
            std::snprintf(why, sizeof(why), "parameter %d (\"%s\") is not a number in 0..%g", i,
                          argv[first + i], high);
            return usage(why);
        }
        controls[i] = static_cast<float>(v);
    }

    QrIIRFilter shown(masterCallback);
    shown.setSampleRate(static_cast<float>(rate));
    for (int i = 0; i < 7; ++i)
        shown.setParameter(i, controls[i]);
    std::printf("sample rate %.0f Hz\n", rate);
    for (int i = 0; i < 7; ++i) {
        char name[kTextSize] = "", display[kTextSize] = "";
        shown.getParameterName(i, name);
        shown.getParameterDisplay(i, display);
        std::printf("  %-13s %-10s (%g)\n", name, display, controls[i]);
    }
    std::printf("\n  frequency    gain\n");
    for (double hz : kCentres) {
        if (hz >= rate / 2.0)
            break;
        double gain = measureGain(controls, static_cast<float>(rate), hz);
        double dB = gain > 1e-10 ? 20.0 * std::log10(gain) : -200.0;
        std::printf("  %7.1f Hz  %+7.2f dB\n", hz, dB);
    }
    return 0;
}
