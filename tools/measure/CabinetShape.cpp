#include "tools/measure/CabinetShape.h"

#include "tools/measure/Targets.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace measure {

namespace t = targets;

namespace {

constexpr double kReferenceHz = 1000.0;
constexpr double kPointsPerOctave = 48.0;
constexpr double kLowestHz = 20.0;
constexpr double kBandOctaves = 1.0 / 12.0;

// The power of each bin of `ir`, zero-padded to at least a second (bins of 1 Hz or
// less), DC to Nyquist.
std::vector<double> binPowers(const std::vector<float>& ir, double rate, double& binHz) {
    size_t n = 1;
    while (n < ir.size() || static_cast<double>(n) < rate)
        n *= 2;
    std::vector<double> in(n, 0.0);
    std::copy(ir.begin(), ir.end(), in.begin());
    std::vector<fftw_complex> out(n / 2 + 1);
    const fftw_plan plan =
        fftw_plan_dft_r2c_1d(static_cast<int>(n), in.data(), out.data(), FFTW_ESTIMATE);
    fftw_execute(plan);
    fftw_destroy_plan(plan);
    std::vector<double> power(out.size());
    for (size_t k = 0; k < out.size(); ++k)
        power[k] = out[k][0] * out[k][0] + out[k][1] * out[k][1];
    binHz = rate / static_cast<double>(n);
    return power;
}

// The mean power of the bins of the 1/12-octave band around `hz` (the nearest bin
// when the band holds none), in dB.
double bandDb(const std::vector<double>& power, double binHz, double hz) {
    const double half = std::pow(2.0, kBandOctaves / 2.0);
    const long last = static_cast<long>(power.size()) - 1;
    long first = std::clamp(static_cast<long>(std::ceil(hz / half / binHz)), 0L, last);
    long end = std::clamp(static_cast<long>(std::floor(hz * half / binHz)), 0L, last);
    if (end < first)
        first = end = std::clamp(std::lround(hz / binHz), 0L, last);
    double sum = 0.0;
    for (long k = first; k <= end; ++k)
        sum += power[static_cast<size_t>(k)];
    return 10.0 * std::log10(std::max(sum / static_cast<double>(end - first + 1), 1e-30));
}

std::string hzText(double hz) {
    return hz >= 1000.0 ? format("%.2f kHz", hz / 1000.0) : format("%.0f Hz", hz);
}

std::string peakText(double hz, double db) {
    return hzText(hz) + format(" %+.1f dB", db);
}

bool hasFeature(const CabinetShape& s) {
    return std::fabs(s.featureDb) >= t::kShapeFeatureMinDb;
}

// The row of figures of one response; judged when `judge`.
std::vector<Cell> shapeRow(const std::string& name, const CabinetShape& s, bool judge) {
    auto cell = [&](const std::string& text, bool pass) {
        return judge ? judged(text, pass) : Cell{text, Verdict::None};
    };
    return {
        {name, Verdict::None},
        cell(peakText(s.resonanceHz, s.resonanceDb), s.resonanceDb >= t::kShapeResonanceMinDb),
        cell(peakText(s.presenceHz, s.presenceDb),
             s.presenceDb >= t::kShapePresenceMinDb && s.presenceDb <= t::kShapePresenceMaxDb),
        cell(s.minus10Hz > 0 ? hzText(s.minus10Hz) : "none",
             s.minus10Hz >= t::kShapeMinus10LoHz && s.minus10Hz <= t::kShapeMinus10HiHz),
        {peakText(s.featureHz, s.featureDb) + (hasFeature(s) ? " (narrow)" : ""), Verdict::None},
    };
}

// "lo..hi" of one figure over `shapes`.
template <typename Figure>
std::string range(const std::vector<CabinetShape>& shapes, Figure figure, const char* pattern) {
    double lo = 1e300, hi = -1e300;
    size_t none = 0;
    for (const CabinetShape& s : shapes) {
        if (figure(s) == 0.0) {
            ++none;
            continue;
        }
        lo = std::min(lo, figure(s));
        hi = std::max(hi, figure(s));
    }
    return (none < shapes.size() ? format(pattern, lo, hi) : std::string("none")) +
           (none > 0 ? " (" + std::to_string(none) + " without)" : "");
}

} // namespace

std::vector<double> smoothedResponseDb(const std::vector<float>& ir, double rate,
                                       const std::vector<double>& hz) {
    double binHz = 1.0;
    const std::vector<double> power = binPowers(ir, rate, binHz);
    const double reference = bandDb(power, binHz, kReferenceHz);
    std::vector<double> db;
    for (double f : hz)
        db.push_back(bandDb(power, binHz, f) - reference);
    return db;
}

CabinetShape cabinetShape(const std::vector<float>& ir, double rate) {
    CabinetShape s;
    bool sound = false;
    for (float x : ir)
        sound = sound || (std::isfinite(x) && x != 0.0f);
    if (!sound || !(rate >= 16000.0))
        return s;
    std::vector<double> hz;
    for (double f = kLowestHz; f < 0.45 * rate; f *= std::pow(2.0, 1.0 / kPointsPerOctave))
        hz.push_back(f);
    const std::vector<double> db = smoothedResponseDb(ir, rate, hz);
    const auto neighbours =
        static_cast<size_t>(std::lround(t::kShapeFeatureNeighbourOctaves * kPointsPerOctave));
    s.resonanceDb = s.presenceDb = -1e300;
    size_t presence = 0;
    for (size_t i = 0; i < hz.size(); ++i) {
        if (hz[i] >= t::kShapeResonanceLoHz && hz[i] <= t::kShapeResonanceHiHz &&
            db[i] > s.resonanceDb) {
            s.resonanceHz = hz[i];
            s.resonanceDb = db[i];
        }
        if (hz[i] >= t::kShapePresenceLoHz && hz[i] <= t::kShapePresenceHiHz &&
            db[i] > s.presenceDb) {
            s.presenceHz = hz[i];
            s.presenceDb = db[i];
            presence = i;
        }
        if (hz[i] >= t::kShapeFeatureLoHz && hz[i] <= t::kShapeFeatureHiHz && i >= neighbours &&
            i + neighbours < hz.size()) {
            const double lo = db[i - neighbours], hi = db[i + neighbours];
            const double notch = std::min(lo, hi) - db[i], peak = db[i] - std::max(lo, hi);
            if (notch > std::fabs(s.featureDb)) {
                s.featureHz = hz[i];
                s.featureDb = -notch;
            }
            if (peak > std::fabs(s.featureDb)) {
                s.featureHz = hz[i];
                s.featureDb = peak;
            }
        }
    }
    // Where the top falls 10 dB under 1 kHz: between two grid points, in log frequency.
    for (size_t i = presence + 1; i < hz.size() && presence > 0; ++i)
        if (db[i] <= -10.0) {
            const double k = (db[i - 1] + 10.0) / (db[i - 1] - db[i]);
            s.minus10Hz = hz[i - 1] * std::pow(hz[i] / hz[i - 1], k);
            break;
        }
    return s;
}

Table judgeCabinetShapes(const std::vector<NamedResponse>& ours, double oursRate,
                         const std::vector<NamedResponse>& peers, double peersRate,
                         const std::string& peerSource) {
    Table table;
    table.columns = {"Cabinet", "Resonance", "Presence", "-10 dB point", "Notch or peak"};
    size_t featured = 0;
    for (const NamedResponse& r : ours) {
        const CabinetShape s = cabinetShape(r.ir, oursRate);
        featured += hasFeature(s) ? 1 : 0;
        table.rows.push_back(shapeRow(r.name, s, true));
    }
    const bool enough = static_cast<double>(featured) >=
                        t::kShapeFeatureMinShare * static_cast<double>(ours.size());
    table.rows.push_back({{"cabinets with a narrow one", Verdict::None},
                          {"", Verdict::None},
                          {"", Verdict::None},
                          {"", Verdict::None},
                          judged(std::to_string(featured) + " of " + std::to_string(ours.size()),
                                 enough && !ours.empty())});
    table.notes.push_back(
        format(
            "Cabinet shape: each response 1/12-octave smoothed, 0 dB at 1 kHz; a resonance of at "
            "least %+.0f dB in 70..200 Hz, a presence peak of %+.0f",
            t::kShapeResonanceMinDb, t::kShapePresenceMinDb) +
        format("..%+.0f dB in 1.8..4.5 kHz, the -10 dB point above it in "
               "%.1f",
               t::kShapePresenceMaxDb, t::kShapeMinus10LoHz / 1000.0) +
        format("..%.1f kHz; at least half of the cabinets with a notch or "
               "peak of %.0f dB or more in 0.5..8 kHz, re the points a third "
               "of an octave either side.",
               t::kShapeMinus10HiHz / 1000.0, t::kShapeFeatureMinDb));
    if (peers.empty())
        return table;
    std::vector<CabinetShape> shapes;
    size_t peersFeatured = 0;
    for (const NamedResponse& r : peers) {
        shapes.push_back(cabinetShape(r.ir, peersRate));
        peersFeatured += hasFeature(shapes.back()) ? 1 : 0;
        table.rows.push_back(shapeRow(peerSource + ": " + r.name, shapes.back(), false));
    }
    table.notes.push_back(
        peerSource + " (not judged): resonance " +
        range(
            shapes, [](const CabinetShape& s) { return s.resonanceHz; }, "%.0f..%.0f Hz") +
        range(
            shapes, [](const CabinetShape& s) { return s.resonanceDb; }, " %+.1f..%+.1f dB") +
        "; presence " +
        range(
            shapes, [](const CabinetShape& s) { return s.presenceHz / 1000.0; }, "%.2f..%.2f kHz") +
        range(
            shapes, [](const CabinetShape& s) { return s.presenceDb; }, " %+.1f..%+.1f dB") +
        "; -10 dB point " +
        range(
            shapes, [](const CabinetShape& s) { return s.minus10Hz / 1000.0; }, "%.2f..%.2f kHz") +
        "; " + std::to_string(peersFeatured) + " of " + std::to_string(peers.size()) +
        " with a narrow notch or peak.");
    return table;
}

} // namespace measure
