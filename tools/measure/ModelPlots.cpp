#include "tools/measure/ModelPlots.h"

#include "tools/measure/Curves.h"
#include "tools/measure/Metrics.h"
#include "tools/measure/ModelMeasure.h"
#include "tools/measure/Plot.h"
#include "tools/measure/Targets.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace measure {

namespace t = targets;

namespace {

constexpr size_t kAliasMarks = 5;        // strongest non-harmonic components labelled
constexpr size_t kSpectrumPoints = 2000; // a spectrum is drawn as the maxima of this many spans
constexpr double kNoiseDbfs = -40.0;     // RMS of the frequency-response noise
constexpr double kNoiseSeconds = 4.0;
constexpr double kPointsPerOctave = 24.0;
constexpr double kTransferHz = 200.0;     // low, so the filters pass it whole
constexpr double kTransferSeconds = 0.05; // measured after kSettleSeconds
constexpr size_t kTransferPoints = 48;    // input peaks 0.01..1, evenly spaced
constexpr float kTransferDrives[] = {0.5f, 1.0f};
constexpr float kBreakupDrives[] = {0.25f, 0.5f, 0.75f, 1.0f};
constexpr float kAllBreakupDrive = 0.5f;
constexpr double kPluckHz = 164.81; // E3
constexpr double kPluckDbfs = -12.0, kPluckSeconds = 2.5;
constexpr float kPluckDrive = 0.75f;
constexpr double kEnvelopeFrame = 0.05;            // seconds
constexpr double kDecayFrom = 0.3, kDecayTo = 2.0; // seconds
constexpr double kEnvelopeLowestDb = -80.0;        // lowest a sustain plot shows
constexpr Colour kDryColour = {0.0, 0.0, 0.0};
constexpr double kLevelStepSeconds = 0.25, kLevelMeasureSeconds = 0.1;

std::string label(const char* pattern, double a, double b) {
    char text[96];
    std::snprintf(text, sizeof(text), pattern, a, b);
    return text;
}

void write(const PlotSpec& plot, const std::string& path, std::vector<std::string>& written) {
    std::string error;
    if (!writePng(plot, path, error))
        throw std::runtime_error(error);
    written.push_back(path);
}

PlotSeries thdAgainstDrive(const Renderer& r, size_t model, double rate) {
    PlotSeries s{"", {}, {}, PlotSeries::Style::LineAndDots};
    const ToneSpan span = toneSpan(rate);
    const Signal in = sine(rate, t::kThdHz, t::kThdDbfs, span.seconds());
    for (int step = 1; step <= 8; ++step) {
        Controls c;
        c.drive = static_cast<float>(step / 8.0);
        s.x.push_back(c.drive);
        s.y.push_back(thdDb(toneSpectrum(r.render(model, c, in, rate), span), t::kThdHz));
    }
    return s;
}

PlotSpec thdFrame(const std::string& title) {
    PlotSpec plot;
    plot.title = title;
    plot.xLabel = "drive";
    plot.yLabel = "THD (dB)";
    plot.xMin = 0.0;
    plot.xMax = 1.05;
    return plot;
}

PlotSpec thdPlot(const Renderer& r, size_t model, double rate, const std::string& name) {
    PlotSpec plot = thdFrame(name + ": THD of 1 kHz at -12 dBFS");
    plot.series.push_back(thdAgainstDrive(r, model, rate));
    return plot;
}

PlotSpec aliasPlot(const Renderer& r, size_t model, double rate, const std::string& name) {
    Controls c;
    c.drive = 1.0f;
    const ToneSpan span = toneSpan(rate);
    const PowerSpectrum s = toneSpectrum(
        r.render(model, c, sine(rate, t::kAliasHz, t::kAliasDbfs, span.seconds()), rate), span);
    const double fundamental = powerDb(s.tonePower(t::kAliasHz));
    PlotSpec plot;
    plot.title = name + ": 9 kHz at -6 dBFS, drive 1; harmonics grey, aliases red";
    plot.xLabel = "frequency (kHz)";
    plot.yLabel = "dB re fundamental (tone level)";
    plot.xMin = 0.0;
    plot.xMax = rate / 2000.0;
    plot.yMin = -180.0;
    plot.yMax = 10.0;
    PlotSeries line{"spectrum", {}, {}, PlotSeries::Style::Line};
    const size_t span_ = std::max<size_t>(1, s.bins() / kSpectrumPoints);
    for (size_t k = 0; k < s.bins(); k += span_) {
        double peak = 0.0;
        for (size_t j = k; j < std::min(s.bins(), k + span_); ++j)
            peak = std::max(peak, s.power(j));
        line.x.push_back(s.frequency(static_cast<double>(k)) / 1000.0);
        line.y.push_back(powerDb(peak * s.noiseBandwidthBins()) - fundamental);
    }
    plot.series.push_back(line);
    // Listed in the legend only: the marks' colour.
    plot.series.push_back({label("non-harmonic, %.0f strongest", kAliasMarks, 0),
                           {},
                           {},
                           PlotSeries::Style::Dots,
                           kMarkRed});
    plot.hLines.push_back({t::kAliasMaxDb, label("limit %.0f dB", t::kAliasMaxDb, 0)});
    // The aliases first: their labels get the places nearest their marks.
    for (const Component& p : nonHarmonicPeaks(s, t::kAliasHz, kAliasMarks))
        plot.marks.push_back({p.hz / 1000.0, p.dB, label("%.2f kHz %.0f dB", p.hz / 1000.0, p.dB)});
    for (int n = 1; n * t::kAliasHz < rate / 2.0; ++n)
        plot.marks.push_back({n * t::kAliasHz / 1000.0,
                              n == 1 ? 0.0 : harmonicDb(s, t::kAliasHz, n),
                              n == 1 ? std::string("f0") : "H" + std::to_string(n),
                              PlotMark::Kind::Tick, kMarkGrey});
    return plot;
}

// The small-signal gain of `model` at `bass` from -40 dBFS noise, smoothed to
// kPointsPerOctave points from loHz to hiHz.
PlotSeries responseAt(const Renderer& r, size_t model, double rate, float bass, double loHz,
                      double hiHz) {
    const Signal in = whiteNoise(rate, kNoiseDbfs, kNoiseSeconds);
    const size_t fft = powerOfTwoAtLeast(static_cast<size_t>(rate / 2.0)); // bins under 1.5 Hz
    Controls c;
    c.bass = bass;
    const Signal out = r.render(model, c, in, rate);
    const TransferMagnitude h = transferMagnitude(in.data(), out.data(), in.size(), rate, fft);
    PlotSeries s{"", {}, {}, PlotSeries::Style::Line};
    // Smoothed: the mean power gain of the bins within half a point's spacing, or
    // where no bin falls that close, the power gain interpolated between bins.
    const double half = std::pow(2.0, 0.5 / kPointsPerOctave);
    for (double f = loHz; f <= hiHz * 1.0001; f *= std::pow(2.0, 1.0 / kPointsPerOctave)) {
        const size_t lo = static_cast<size_t>(std::ceil(f / half / h.binHz));
        const size_t hi =
            std::min(h.gain.size() - 1, static_cast<size_t>(std::floor(f * half / h.binHz)));
        double sum = 0.0;
        size_t count = 0;
        for (size_t k = lo; k <= hi; ++k, ++count)
            sum += h.gain[k] * h.gain[k];
        if (count == 0) {
            const double at = f / h.binHz;
            const size_t below = std::min(h.gain.size() - 2, static_cast<size_t>(at));
            const double t = at - static_cast<double>(below);
            sum = (1.0 - t) * h.gain[below] * h.gain[below] +
                  t * h.gain[below + 1] * h.gain[below + 1];
            count = 1;
        }
        s.x.push_back(f);
        s.y.push_back(powerDb(sum / static_cast<double>(count)));
    }
    return s;
}

PlotSpec responseFrame(const std::string& title, double rate) {
    PlotSpec plot;
    plot.title = title;
    plot.xLabel = "frequency (Hz)";
    plot.yLabel = "gain (dB)";
    plot.logX = true;
    plot.xMin = 20.0;
    plot.xMax = std::min(20000.0, rate / 2.0);
    return plot;
}

PlotSpec responsePlot(const Renderer& r, size_t model, double rate, const std::string& name) {
    PlotSpec plot = responseFrame(name + ": response to -40 dBFS noise", rate);
    for (float bass : t::kBassSettings) {
        plot.series.push_back(responseAt(r, model, rate, bass, plot.xMin, plot.xMax));
        plot.series.back().label = label("bass %.1f", bass, 0);
    }
    return plot;
}

// The static curve at `drive`: for each input peak A, the largest output sample of a
// settled sine of peak A at x = A and the smallest at x = -A, from -1 to 1.
PlotSeries staticCurve(const Renderer& r, size_t model, double rate, float drive) {
    const size_t settle = static_cast<size_t>(std::llround(t::kSettleSeconds * rate));
    std::vector<double> peaks(kTransferPoints), highest(kTransferPoints), lowest(kTransferPoints);
    Controls c;
    c.drive = drive;
    for (size_t i = 0; i < kTransferPoints; ++i) {
        peaks[i] = 0.01 + 0.99 * static_cast<double>(i) / (kTransferPoints - 1);
        const Signal out = r.render(
            model, c,
            sine(rate, kTransferHz, amplitudeDb(peaks[i]), t::kSettleSeconds + kTransferSeconds),
            rate);
        const auto settled = out.begin() + static_cast<long>(std::min(settle, out.size()));
        const auto range = std::minmax_element(settled, out.end());
        highest[i] = settled == out.end() ? 0.0 : *range.second;
        lowest[i] = settled == out.end() ? 0.0 : *range.first;
    }
    PlotSeries s{label("drive %.1f", drive, 0), {}, {}, PlotSeries::Style::Line};
    for (size_t i = kTransferPoints; i-- > 0;) {
        s.x.push_back(-peaks[i]);
        s.y.push_back(lowest[i]);
    }
    for (size_t i = 0; i < kTransferPoints; ++i) {
        s.x.push_back(peaks[i]);
        s.y.push_back(highest[i]);
    }
    return s;
}

PlotSpec transferPlot(const Renderer& r, size_t model, double rate, const std::string& name) {
    PlotSpec plot;
    plot.title = name + ": static curve, output peak against 200 Hz sine peak";
    plot.xLabel = "input peak (negative: the negative half)";
    plot.yLabel = "output peak";
    plot.xMin = -1.05;
    plot.xMax = 1.05;
    double top = 0.0;
    for (float drive : kTransferDrives) {
        plot.series.push_back(staticCurve(r, model, rate, drive));
        for (double y : plot.series.back().y)
            top = std::max(top, std::fabs(y));
    }
    top = top > 0.0 ? top * 1.1 : 1.0;
    plot.yMin = -top;
    plot.yMax = top;
    plot.series.push_back(
        {"output = input", {-1.0, 1.0}, {-1.0, 1.0}, PlotSeries::Style::Line, kMarkGrey, true});
    plot.legend = LegendPlace::BottomRight;
    return plot;
}

PlotSpec levelPlot(const Renderer& r, size_t model, double rate, const std::string& name) {
    std::vector<double> levels;
    for (double dB = -60.0; dB <= 0.0; dB += 3.0)
        levels.push_back(dB);
    const Signal out =
        r.render(model, Controls{}, steppedSine(rate, 1000.0, levels, kLevelStepSeconds), rate);
    PlotSpec plot;
    plot.title = name + ": 1 kHz sine, defaults";
    plot.xLabel = "input level (dBFS peak)";
    plot.yLabel = "output RMS (dBFS)";
    PlotSeries s{"", {}, {}, PlotSeries::Style::LineAndDots};
    const size_t step = static_cast<size_t>(std::llround(kLevelStepSeconds * rate));
    const size_t measured = static_cast<size_t>(std::llround(kLevelMeasureSeconds * rate));
    for (size_t i = 0; i < levels.size(); ++i) {
        s.x.push_back(levels[i]);
        s.y.push_back(rmsDb(out.data() + (i + 1) * step - measured, measured));
    }
    plot.series.push_back(s);
    return plot;
}

PlotSeries breakupAt(const Renderer& r, size_t model, double rate, float drive) {
    const std::vector<double> levels = breakupLevels();
    return {"", levels, thdAgainstLevel(r, model, rate, drive, levels),
            PlotSeries::Style::LineAndDots};
}

PlotSpec breakupFrame(const std::string& title) {
    PlotSpec plot;
    plot.title = title;
    plot.xLabel = "input level (dBFS peak)";
    plot.yLabel = "THD (dB; -100: -100 or less)";
    plot.xMin = -43.5;
    plot.xMax = -1.5;
    plot.yMin = kBreakupFloorDb - 3.0;
    return plot;
}

// Room above the highest point, which the floor set as the lowest would leave none.
void roomAbove(PlotSpec& plot) {
    double highest = kBreakupFloorDb;
    for (const PlotSeries& s : plot.series)
        for (double y : s.y)
            if (std::isfinite(y))
                highest = std::max(highest, y);
    plot.yMax = highest + 5.0;
}

PlotSpec breakupPlot(const Renderer& r, size_t model, double rate, const std::string& name) {
    PlotSpec plot = breakupFrame(name + ": THD of 1 kHz against input level");
    for (float drive : kBreakupDrives) {
        plot.series.push_back(breakupAt(r, model, rate, drive));
        plot.series.back().label = label("drive %.2f", drive, 0);
    }
    roomAbove(plot);
    plot.legend = LegendPlace::BottomRight;
    return plot;
}

Signal dryPluck(double rate) {
    return pluck(rate, kPluckHz, kPluckDbfs, kPluckSeconds);
}

// The envelope of `x` in dB re its level at kDecayFrom seconds (between the two
// frames around it), labelled `name` with its decay rate.
PlotSeries envelopeOf(const Signal& x, double rate, const std::string& name) {
    const std::vector<double> env = envelopeDb(x, rate, kEnvelopeFrame);
    PlotSeries s{"", {}, {}, PlotSeries::Style::Line};
    char text[160];
    std::snprintf(text, sizeof(text), "%s: %.1f dB/s", name.c_str(),
                  decayDbPerSecond(x, rate, kDecayFrom, kDecayTo));
    s.label = text;
    const double at = kDecayFrom / kEnvelopeFrame - 0.5; // in frames, from the first middle
    const size_t below = static_cast<size_t>(std::max(0.0, at));
    double reference = 0.0;
    if (below + 1 < env.size()) {
        const double t = at - static_cast<double>(below);
        reference = (1.0 - t) * env[below] + t * env[below + 1];
    } else if (!env.empty())
        reference = env.back();
    for (size_t i = 0; i < env.size(); ++i) {
        s.x.push_back((static_cast<double>(i) + 0.5) * kEnvelopeFrame);
        s.y.push_back(env[i] - reference);
    }
    return s;
}

PlotSpec sustainFrame(const std::string& title) {
    PlotSpec plot;
    plot.title = title;
    plot.xLabel = "time (s)";
    plot.yLabel = "50 ms level (dB re the level at 0.3 s)";
    plot.xMin = 0.0;
    plot.xMax = kPluckSeconds;
    plot.legend = LegendPlace::BottomLeft;
    return plot;
}

// Keeps the lowest envelope levels (a string long faded) from squeezing the curves.
void limitEnvelopeRange(PlotSpec& plot) {
    double lowest = 0.0, highest = 0.0;
    for (const PlotSeries& s : plot.series)
        for (double y : s.y) {
            lowest = std::min(lowest, y);
            highest = std::max(highest, y);
        }
    plot.yMin = std::max(kEnvelopeLowestDb, lowest - 3.0);
    plot.yMax = highest + 3.0;
}

PlotSpec sustainPlot(const Renderer& r, size_t model, double rate, const std::string& name) {
    PlotSpec plot = sustainFrame(name + ": plucked E3 at -12 dBFS, decay fitted 0.3..2 s");
    const Signal dry = dryPluck(rate);
    Controls c;
    c.drive = kPluckDrive;
    plot.series.push_back(
        envelopeOf(r.render(model, c, dry, rate), rate, label("drive %.2f", kPluckDrive, 0)));
    plot.series.push_back(envelopeOf(dry, rate, "dry"));
    plot.series.back().colour = kDryColour;
    plot.series.back().dashed = true;
    limitEnvelopeRange(plot);
    return plot;
}

} // namespace

std::string fileSafe(const std::string& name) {
    std::string safe = name;
    for (char& c : safe)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_')
            c = '_';
    return safe;
}

std::vector<std::string> plotModel(const Renderer& r, size_t model, double rate,
                                   const std::string& dir) {
    const std::string& name = r.modelNames().at(model);
    const std::string base = dir + "/" + fileSafe(name);
    std::vector<std::string> written;
    write(thdPlot(r, model, rate, name), base + "-thd.png", written);
    write(aliasPlot(r, model, rate, name), base + "-alias.png", written);
    write(responsePlot(r, model, rate, name), base + "-response.png", written);
    write(transferPlot(r, model, rate, name), base + "-transfer.png", written);
    write(levelPlot(r, model, rate, name), base + "-level.png", written);
    write(breakupPlot(r, model, rate, name), base + "-breakup.png", written);
    write(sustainPlot(r, model, rate, name), base + "-sustain.png", written);
    return written;
}

std::vector<std::string> plotAllModels(const Renderer& r, double rate, const std::string& dir) {
    const std::vector<std::string>& names = r.modelNames();
    PlotSpec breakup =
        breakupFrame(label("THD of 1 kHz against input level, drive %.1f", kAllBreakupDrive, 0));
    PlotSpec thd = thdFrame("THD of 1 kHz at -12 dBFS");
    PlotSpec response = responseFrame("response to -40 dBFS noise, bass 0.5", rate);
    PlotSpec sustain = sustainFrame(
        label("plucked E3 at -12 dBFS, drive %.2f, decay fitted 0.3..2 s", kPluckDrive, 0));
    const Signal dry = dryPluck(rate);
    Controls pluckControls;
    pluckControls.drive = kPluckDrive;
    for (size_t m = 0; m < names.size(); ++m) {
        breakup.series.push_back(breakupAt(r, m, rate, kAllBreakupDrive));
        thd.series.push_back(thdAgainstDrive(r, m, rate));
        response.series.push_back(responseAt(r, m, rate, 0.5f, response.xMin, response.xMax));
        for (PlotSpec* plot : {&breakup, &thd, &response})
            plot->series.back().label = names[m];
        sustain.series.push_back(envelopeOf(r.render(m, pluckControls, dry, rate), rate, names[m]));
    }
    roomAbove(breakup);
    sustain.series.push_back(envelopeOf(dry, rate, "dry"));
    sustain.series.back().colour = kDryColour;
    sustain.series.back().dashed = true;
    limitEnvelopeRange(sustain);
    std::vector<std::string> written;
    write(breakup, dir + "/all-breakup.png", written);
    write(thd, dir + "/all-thd.png", written);
    write(response, dir + "/all-response.png", written);
    write(sustain, dir + "/all-sustain.png", written);
    return written;
}

} // namespace measure
