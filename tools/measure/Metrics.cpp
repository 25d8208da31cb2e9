#include "tools/measure/Metrics.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>
#include <utility>

namespace measure {

double powerDb(double power) {
    return power > 0.0 ? std::max(kFloorDb, 10.0 * std::log10(power)) : kFloorDb;
}

double amplitudeDb(double amplitude) {
    return powerDb(amplitude * amplitude);
}

double thdDb(const PowerSpectrum& s, double f0) {
    const double nyquist = s.rate() / 2.0;
    double harmonics = 0.0;
    for (int n = 2; n * f0 < nyquist; ++n)
        harmonics += s.tonePower(n * f0);
    return powerDb(harmonics) - powerDb(s.tonePower(f0));
}

double tonePeakDbfs(const PowerSpectrum& s, double hz) {
    return powerDb(2.0 * s.tonePower(hz));
}

double harmonicDb(const PowerSpectrum& s, double f0, int n) {
    return powerDb(s.tonePower(n * f0)) - powerDb(s.tonePower(f0));
}

size_t harmonicGuardBins(const PowerSpectrum& s) {
    return 2 * s.lobeBins() + 2;
}

std::vector<Component> nonHarmonicPeaks(const PowerSpectrum& s, double f0, size_t count) {
    const long bins = static_cast<long>(s.bins());
    const long guard = static_cast<long>(harmonicGuardBins(s));
    const long lobe = static_cast<long>(s.lobeBins());
    std::vector<bool> open(s.bins(), true);
    auto shut = [&](long centre, long halfWidth) {
        for (long k = std::max(0L, centre - halfWidth); k <= std::min(bins - 1, centre + halfWidth);
             ++k)
            open[static_cast<size_t>(k)] = false;
    };
    shut(0, guard);
    for (int n = 1; n * f0 < s.rate() / 2.0; ++n)
        shut(static_cast<long>(s.binOf(n * f0)), guard);

    // Local maxima among the open bins, each with the power of its lobe, strongest first.
    const std::vector<double>& p = s.powers();
    std::vector<std::pair<double, long>> maxima;
    for (long k = 0; k < bins; ++k) {
        if (!open[static_cast<size_t>(k)])
            continue;
        const double left = k > 0 ? p[static_cast<size_t>(k - 1)] : -1.0;
        const double right = k + 1 < bins ? p[static_cast<size_t>(k + 1)] : -1.0;
        if (p[static_cast<size_t>(k)] >= left && p[static_cast<size_t>(k)] >= right)
            maxima.emplace_back(s.binSum(k - lobe, k + lobe), k);
    }
    std::sort(maxima.begin(), maxima.end(), std::greater<>());

    const double fundamental = powerDb(s.tonePower(f0));
    std::vector<Component> found;
    std::vector<long> taken;
    for (const auto& [power, k] : maxima) {
        if (found.size() >= count)
            break;
        // One component per lobe: a maximum on the skirt of a stronger one is part of it.
        if (std::any_of(taken.begin(), taken.end(),
                        [&, k = k](long t) { return std::labs(t - k) <= 2 * lobe; }))
            continue;
        taken.push_back(k);
        // The peak between bins, by a parabola through the dB of its neighbours.
        double offset = 0.0;
        if (k > 0 && k + 1 < bins) {
            const double a = powerDb(p[static_cast<size_t>(k - 1)]);
            const double b = powerDb(p[static_cast<size_t>(k)]);
            const double c = powerDb(p[static_cast<size_t>(k + 1)]);
            const double curve = a - 2.0 * b + c;
            if (curve < 0.0)
                offset = std::clamp(0.5 * (a - c) / curve, -0.5, 0.5);
        }
        found.push_back(
            {s.frequency(static_cast<double>(k) + offset), powerDb(power) - fundamental});
    }
    return found;
}

double dcOffset(const float* x, size_t n) {
    if (n == 0)
        return 0.0;
    double sum = 0.0;
    for (size_t i = 0; i < n; ++i)
        sum += x[i];
    return std::fabs(sum / static_cast<double>(n));
}

double rmsDb(const float* x, size_t n) {
    if (n == 0)
        return kFloorDb;
    double sum = 0.0;
    for (size_t i = 0; i < n; ++i)
        sum += static_cast<double>(x[i]) * x[i];
    return powerDb(sum / static_cast<double>(n));
}

std::vector<double> frameRmsDb(const float* x, size_t n, double rate, double frameSeconds) {
    const size_t frame =
        std::max<size_t>(1, static_cast<size_t>(std::llround(frameSeconds * rate)));
    std::vector<double> levels;
    for (size_t at = 0; at + frame <= n; at += frame)
        levels.push_back(rmsDb(x + at, frame));
    return levels;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const double rank = std::clamp(p, 0.0, 100.0) / 100.0 * static_cast<double>(values.size() - 1);
    const size_t below = static_cast<size_t>(std::floor(rank));
    const size_t above = std::min(below + 1, values.size() - 1);
    const double t = rank - static_cast<double>(below);
    return values[below] + t * (values[above] - values[below]);
}

double dynamicRangeDb(const float* x, size_t n, double rate, double floorDbfs) {
    std::vector<double> levels;
    for (double level : frameRmsDb(x, n, rate, 0.05))
        if (level > floorDbfs)
            levels.push_back(level);
    if (levels.empty())
        return 0.0;
    return percentile(levels, 95.0) - percentile(levels, 10.0);
}

std::vector<double> thirdOctaveCentres(double loHz, double hiHz) {
    std::vector<double> centres;
    for (int k = -60; k <= 60; ++k) {
        const double centre = 50.0 * std::pow(2.0, k / 3.0);
        if (centre >= loHz * (1.0 - 1e-9) && centre <= hiHz)
            centres.push_back(centre);
    }
    return centres;
}

std::vector<double> bandLevelsDb(const PowerSpectrum& s, const std::vector<double>& centres,
                                 double widthOctaves) {
    const double edge = std::pow(2.0, widthOctaves / 2.0);
    std::vector<double> levels;
    for (double c : centres)
        levels.push_back(powerDb(s.bandPower(c / edge, c * edge)));
    return levels;
}

std::vector<double> shapeDb(std::vector<double> levelsDb) {
    double total = 0.0;
    for (double l : levelsDb)
        total += std::pow(10.0, l / 10.0);
    const double totalDb = powerDb(total);
    for (double& l : levelsDb)
        l -= totalDb;
    return levelsDb;
}

double meanAbsoluteDifferenceDb(const std::vector<double>& a, const std::vector<double>& b) {
    const size_t n = std::min(a.size(), b.size());
    double sum = 0.0;
    for (size_t i = 0; i < n; ++i)
        sum += std::fabs(a[i] - b[i]);
    return n ? sum / static_cast<double>(n) : 0.0;
}

ModelRole roleOf(const std::string& modelName) {
    std::string name = modelName;
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto has = [&](const char* word) { return name.find(word) != std::string::npos; };
    ModelRole role;
    role.clean = has("clean");
    role.drive = !role.clean;
    role.octave = has("oct");
    role.highGain = has("lead") || has("high") || has("hi-gain") || has("metal");
    return role;
}

} // namespace measure
