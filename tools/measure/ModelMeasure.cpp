#include "tools/measure/ModelMeasure.h"

#include "tools/measure/Targets.h"

#include <cmath>

namespace measure {

namespace t = targets;

double ToneSpan::seconds() const {
    return static_cast<double>(settle + analysis) / rate;
}

ToneSpan toneSpan(double rate, double analysisSeconds) {
    return {static_cast<size_t>(std::llround(t::kSettleSeconds * rate)),
            powerOfTwoAtLeast(static_cast<size_t>(std::ceil(analysisSeconds * rate))), rate};
}

PowerSpectrum toneSpectrum(const Signal& output, const ToneSpan& span) {
    return PowerSpectrum(output.data() + span.settle, span.analysis, span.rate, Window::Kaiser);
}

namespace {

// A tone of `hz` at `dBFS` through the model, analysed.
PowerSpectrum measureTone(const Renderer& r, size_t model, const Controls& c, double rate,
                          double hz, double dBFS,
                          double analysisSeconds = t::kToneAnalysisSeconds) {
    const ToneSpan span = toneSpan(rate, analysisSeconds);
    return toneSpectrum(r.render(model, c, sine(rate, hz, dBFS, span.seconds()), rate), span);
}

// Third-octave levels of the phrase's output re its input at `rate`; the phrase is
// the same music at every rate (made once, resampled), so that only the model's
// own dependence on the rate shows, not that of the synthesiser.
std::vector<double> phraseResponse(const Renderer& r, size_t model, double rate,
                                   const std::vector<double>& centres) {
    const Signal in = samePhrase(rate);
    const Signal out = r.render(model, Controls{}, in, rate);
    const size_t fft = powerOfTwoAtLeast(static_cast<size_t>(rate / 3.0));
    const std::vector<double> inLevels =
        bandLevelsDb(PowerSpectrum::averaged(in.data(), in.size(), rate, fft), centres);
    std::vector<double> levels =
        bandLevelsDb(PowerSpectrum::averaged(out.data(), out.size(), rate, fft), centres);
    for (size_t b = 0; b < levels.size(); ++b)
        levels[b] -= inLevels[b];
    return levels;
}

void measureRates(const Renderer& r, size_t model, ModelMeasurements& m) {
    const std::vector<double> centres = thirdOctaveCentres(t::kRatesLoHz, t::kRatesHiHz);
    const std::vector<double> reference = phraseResponse(r, model, t::kRatesReference, centres);
    for (double rate : t::kRates) {
        if (rate == t::kRatesReference)
            continue;
        const std::vector<double> levels = phraseResponse(r, model, rate, centres);
        for (size_t b = 0; b < centres.size(); ++b) {
            const double difference = std::fabs(levels[b] - reference[b]);
            if (difference > m.ratesMaxDb) {
                m.ratesMaxDb = difference;
                m.ratesWorstHz = centres[b];
                m.ratesWorstRate = rate;
            }
        }
    }
}

} // namespace

ModelMeasurements measureModel(const Renderer& r, size_t model, double rate) {
    ModelMeasurements m;
    m.name = r.modelNames().at(model);
    m.role = roleOf(m.name);
    Controls full;
    full.drive = 1.0f;

    const PowerSpectrum alias = measureTone(r, model, full, rate, t::kAliasHz, t::kAliasDbfs);
    const std::vector<Component> peaks = nonHarmonicPeaks(alias, t::kAliasHz, 1);
    m.alias = peaks.empty() ? Component{0.0, kFloorDb} : peaks.front();

    const Signal dc = r.render(model, full, sine(rate, t::kDcHz, t::kDcDbfs, t::kDcSeconds), rate);
    const size_t lastSecond = static_cast<size_t>(std::llround(rate));
    m.dc = dcOffset(dc.data() + dc.size() - lastSecond, lastSecond);

    for (size_t i = 0; i < t::kThdDrives.size(); ++i) {
        Controls c;
        c.drive = t::kThdDrives[i];
        m.thdDb[i] = thdDb(measureTone(r, model, c, rate, t::kThdHz, t::kThdDbfs), t::kThdHz);
    }

    const Signal in = phrase(rate);
    const Signal out = r.render(model, Controls{}, in, rate);
    m.loudnessDbfs = rmsDb(out.data(), out.size());
    if (m.role.highGain)
        m.sustainDb = dynamicRangeDb(in.data(), in.size(), rate, t::kSustainFloorDbfs) -
                      dynamicRangeDb(out.data(), out.size(), rate, t::kSustainFloorDbfs);

    if (m.role.octave) {
        Controls c;
        c.drive = t::kOctaveDrive;
        const PowerSpectrum s = measureTone(r, model, c, rate, t::kOctaveHz, t::kOctaveDbfs);
        m.octaveDb = harmonicDb(s, t::kOctaveHz, 2);
    }

    measureRates(r, model, m);

    for (size_t i = 0; i < t::kBassSettings.size(); ++i) {
        Controls c;
        c.bass = t::kBassSettings[i];
        m.bassLowDb[i] = tonePeakDbfs(
            measureTone(r, model, c, rate, t::kBassLowHz, t::kBassDbfs, 0.5), t::kBassLowHz);
        m.bassMidDb[i] = tonePeakDbfs(
            measureTone(r, model, c, rate, t::kBassMidHz, t::kBassDbfs, 0.5), t::kBassMidHz);
    }
    return m;
}

} // namespace measure
