#include "tools/measure/ModelPlots.h"

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
constexpr double kTransferHz = 100.0;
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

PlotSpec thdPlot(const Renderer& r, size_t model, double rate, const std::string& name) {
    PlotSpec plot;
    plot.title = name + ": THD of 1 kHz at -12 dBFS";
    plot.xLabel = "drive";
    plot.yLabel = "THD (dB)";
    plot.xMin = 0.0;
    plot.xMax = 1.05;
    PlotSeries s{"", {}, {}, PlotSeries::Style::LineAndDots};
    const ToneSpan span = toneSpan(rate);
    const Signal in = sine(rate, t::kThdHz, t::kThdDbfs, span.seconds());
    for (int step = 1; step <= 8; ++step) {
        Controls c;
        c.drive = static_cast<float>(step / 8.0);
        s.x.push_back(c.drive);
        s.y.push_back(thdDb(toneSpectrum(r.render(model, c, in, rate), span), t::kThdHz));
    }
    plot.series.push_back(s);
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
    plot.title = name + ": 9 kHz at -6 dBFS, drive 1";
    plot.xLabel = "frequency (kHz)";
    plot.yLabel = "dB re fundamental (tone level)";
    plot.xMin = 0.0;
    plot.xMax = rate / 2000.0;
    plot.yMin = -180.0;
    plot.yMax = 10.0;
    PlotSeries line{"", {}, {}, PlotSeries::Style::Line};
    const size_t span_ = std::max<size_t>(1, s.bins() / kSpectrumPoints);
    for (size_t k = 0; k < s.bins(); k += span_) {
        double peak = 0.0;
        for (size_t j = k; j < std::min(s.bins(), k + span_); ++j)
            peak = std::max(peak, s.power(j));
        line.x.push_back(s.frequency(static_cast<double>(k)) / 1000.0);
        line.y.push_back(powerDb(peak * s.noiseBandwidthBins()) - fundamental);
    }
    plot.series.push_back(line);
    for (const Component& p : nonHarmonicPeaks(s, t::kAliasHz, kAliasMarks))
        plot.marks.push_back({p.hz / 1000.0, p.dB, label("%.2f kHz %.0f dB", p.hz / 1000.0, p.dB)});
    return plot;
}

PlotSpec responsePlot(const Renderer& r, size_t model, double rate, const std::string& name) {
    PlotSpec plot;
    plot.title = name + ": response to -40 dBFS noise";
    plot.xLabel = "frequency (Hz)";
    plot.yLabel = "gain (dB)";
    plot.logX = true;
    plot.xMin = 20.0;
    plot.xMax = std::min(20000.0, rate / 2.0);
    const Signal in = whiteNoise(rate, kNoiseDbfs, kNoiseSeconds);
    const size_t fft = powerOfTwoAtLeast(static_cast<size_t>(rate / 2.0)); // bins under 1.5 Hz
    for (float bass : t::kBassSettings) {
        Controls c;
        c.bass = bass;
        const Signal out = r.render(model, c, in, rate);
        const TransferMagnitude h = transferMagnitude(in.data(), out.data(), in.size(), rate, fft);
        PlotSeries s{label("bass %.1f", bass, 0), {}, {}, PlotSeries::Style::Line};
        // Smoothed: the mean power gain of the bins within half a point's spacing, or
        // where no bin falls that close, the power gain interpolated between bins.
        const double half = std::pow(2.0, 0.5 / kPointsPerOctave);
        for (double f = plot.xMin; f <= plot.xMax * 1.0001;
             f *= std::pow(2.0, 1.0 / kPointsPerOctave)) {
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
        plot.series.push_back(s);
    }
    return plot;
}

PlotSpec transferPlot(const Renderer& r, size_t model, double rate, const std::string& name) {
    const Signal in = sine(rate, kTransferHz, 0.0, 0.5);
    const Signal out = r.render(model, Controls{}, in, rate);
    PlotSpec plot;
    plot.title = name + ": last cycle of 100 Hz at 0 dBFS, drive 0.5";
    plot.xLabel = "input";
    plot.yLabel = "output";
    plot.xMin = -1.05;
    plot.xMax = 1.05;
    PlotSeries s{"", {}, {}, PlotSeries::Style::Line};
    const size_t cycle = static_cast<size_t>(std::llround(rate / kTransferHz));
    for (size_t i = in.size() - cycle - 1; i < in.size(); ++i) {
        s.x.push_back(in[i]);
        s.y.push_back(out[i]);
    }
    plot.series.push_back(s);
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
    return written;
}

} // namespace measure
