#include "tools/measure/CabinetPlots.h"

#include "tools/CabinetModel.h"
#include "tools/measure/Metrics.h"
#include "tools/measure/ModelPlots.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace measure {

namespace {

constexpr double kLowHz = 20.0, kHighHz = 20000.0; // the responses' range
constexpr double kPointsPerOctave = 48.0;
constexpr double kBandsLowHz = 31.0, kBandsHighHz = 16200.0; // the phrase's bands: 31.5 Hz..16 kHz
constexpr double kBandsShownDb = 50.0; // below the loudest band, the bands shown
constexpr Colour kPlainColour = {0.0, 0.0, 0.0};
constexpr Colour kPeerColour = {0.80, 0.80, 0.80};
constexpr double kSmoothedLowHz = 40.0, kSmoothedHighHz = 16000.0;

// `ir`'s 1/12-octave smoothed response (0 dB at 1 kHz), 48 points an octave.
PlotSeries smoothedCurve(const std::vector<float>& ir, double rate, const std::string& label) {
    PlotSeries curve(label);
    for (double f = kSmoothedLowHz; f <= std::min(kSmoothedHighHz, 0.45 * rate);
         f *= std::pow(2.0, 1.0 / kPointsPerOctave))
        curve.x.push_back(f);
    curve.y = smoothedResponseDb(ir, rate, curve.x);
    return curve;
}

void write(const PlotSpec& plot, const std::string& path, std::vector<std::string>& written) {
    std::string error;
    if (!writePng(plot, path, error))
        throw std::runtime_error(error);
    written.push_back(path);
}

std::string rateText(double rate) {
    return std::to_string(static_cast<long>(std::lround(rate))) + " Hz";
}

PlotSpec levelledPlot(const ShippedCabinets& c) {
    PlotSpec plot;
    plot.title = "shipped cabinets as the stage plays them: levelled, at " + rateText(c.rate);
    plot.xLabel = "frequency (Hz)";
    plot.yLabel = "gain (dB)";
    plot.logX = true;
    plot.xMin = kLowHz;
    plot.xMax = std::min(kHighHz, c.rate / 2.0);
    plot.yMin = -50.0;
    plot.yMax = 15.0;
    plot.legend = LegendPlace::BottomLeft;
    for (size_t i = 0; i < c.names.size(); ++i) {
        plot.series.push_back(responseCurve(c.responses[i].channels.at(0), c.rate, plot.xMin,
                                            plot.xMax, kPointsPerOctave));
        plot.series.back().label = c.names[i];
    }
    return plot;
}

// The third-octave levels of `x` (dBFS) as a curve, labelled with its RMS level.
PlotSeries bandsOf(const Signal& x, double rate, const std::string& name) {
    const std::vector<double> centres = thirdOctaveCentres(kBandsLowHz, kBandsHighHz);
    const size_t fft = powerOfTwoAtLeast(static_cast<size_t>(rate / 3.0));
    const std::vector<double> levels =
        bandLevelsDb(PowerSpectrum::averaged(x.data(), x.size(), rate, fft), centres);
    char label[160];
    std::snprintf(label, sizeof label, "%s: %.1f dBFS", name.c_str(), rmsDb(x.data(), x.size()));
    return PlotSeries(label, centres, levels, PlotSeries::Style::LineAndDots);
}

PlotSpec modelPlot(const ShippedCabinets& c, const CabinetLevels& l) {
    PlotSpec plot;
    plot.title = l.model + " through each cabinet: the plucked phrase, third-octave bands";
    plot.xLabel = "frequency (Hz)";
    plot.yLabel = "band level (dBFS)";
    plot.logX = true;
    plot.xMin = kBandsLowHz / 1.2;
    plot.xMax = kBandsHighHz * 1.2;
    plot.legend = LegendPlace::BottomLeft;
    for (size_t i = 0; i < c.names.size() && i < l.wet.size(); ++i)
        plot.series.push_back(bandsOf(l.wet[i], c.rate, c.names[i]));
    plot.series.push_back(bandsOf(l.plain, c.rate, "no cabinet"));
    plot.series.back().colour = kPlainColour;
    plot.series.back().dashed = true;
    double loudest = kFloorDb;
    for (const PlotSeries& s : plot.series)
        for (double y : s.y)
            loudest = std::max(loudest, y);
    plot.yMax = loudest + 3.0;
    plot.yMin = loudest - kBandsShownDb;
    return plot;
}

} // namespace

PlotSeries responseCurve(const std::vector<float>& ir, double rate, double loHz, double hiHz,
                         double pointsPerOctave, double referenceHz) {
    PlotSeries curve;
    const double reference = referenceHz > 0.0 ? responseDb(ir, rate, referenceHz) : 0.0;
    for (double f = loHz; f <= hiHz * 1.0001; f *= std::pow(2.0, 1.0 / pointsPerOctave)) {
        curve.x.push_back(f);
        curve.y.push_back(responseDb(ir, rate, f) - reference);
    }
    return curve;
}

std::string plotCabinetsBesidePeers(const std::vector<NamedResponse>& ours, double rate,
                                    const std::vector<NamedResponse>& peers, double peersRate,
                                    const std::string& peerSource, const std::string& dir) {
    PlotSpec plot;
    plot.title = "our cabinets (colour) beside " + peerSource + "'s " +
                 std::to_string(peers.size()) + " (grey): 1/12-octave smoothed, 0 dB at 1 kHz";
    plot.xLabel = "frequency (Hz)";
    plot.yLabel = "gain (dB)";
    plot.logX = true;
    plot.xMin = kSmoothedLowHz;
    plot.xMax = kSmoothedHighHz;
    plot.yMin = -40.0;
    plot.yMax = 25.0;
    plot.legend = LegendPlace::BottomLeft;
    for (size_t i = 0; i < peers.size(); ++i) {
        plot.series.push_back(
            smoothedCurve(peers[i].ir, peersRate, i == 0 ? peerSource + " (each)" : ""));
        plot.series.back().colour = kPeerColour;
    }
    // Ours in colours of their own, whatever their place after the peers.
    constexpr Colour kOurs[] = {{0.12, 0.47, 0.71}, {1.00, 0.50, 0.05}, {0.17, 0.63, 0.17},
                                {0.84, 0.15, 0.16}, {0.58, 0.40, 0.74}, {0.55, 0.34, 0.29},
                                {0.89, 0.47, 0.76}, {0.09, 0.75, 0.81}};
    for (size_t i = 0; i < ours.size(); ++i) {
        plot.series.push_back(smoothedCurve(ours[i].ir, rate, ours[i].name));
        plot.series.back().colour = kOurs[i % (sizeof kOurs / sizeof kOurs[0])];
    }
    std::vector<std::string> written;
    write(plot, dir + "/cabinets-vs-peers.png", written);
    return written.back();
}

std::vector<std::string> plotCabinets(const ShippedCabinets& cabinets,
                                      const std::vector<CabinetLevels>& levels,
                                      const std::string& dir) {
    std::vector<std::string> written;
    write(levelledPlot(cabinets), dir + "/cabinets-levelled.png", written);
    for (const CabinetLevels& l : levels)
        write(modelPlot(cabinets, l), dir + "/" + fileSafe(l.model) + "-cabinets.png", written);
    return written;
}

} // namespace measure
