#include "tools/measure/ModelMeasure.h"

#include "tools/measure/Curves.h"
#include "tools/measure/Targets.h"

#include <algorithm>
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

// Harmonics first..last of a tone of `f0` together, dB re the fundamental.
double harmonicsDb(const PowerSpectrum& s, double f0, int first, int last) {
    double sum = 0.0;
    for (int n = first; n <= last && n * f0 < s.rate() / 2.0; ++n)
        sum += std::pow(10.0, harmonicDb(s, f0, n) / 10.0);
    return powerDb(sum);
}

void measureCharacter(const Renderer& r, size_t model, double rate, ModelMeasurements& m) {
    Controls drive;
    drive.drive = t::kDistinctDrive;
    const Signal in = samePhrase(rate);
    const Signal out = r.render(model, drive, in, rate);
    const std::vector<double> centres(t::kDistinctBands.begin(), t::kDistinctBands.end());
    const size_t fft = powerOfTwoAtLeast(static_cast<size_t>(rate / 3.0));
    m.shapeDb = shapeDb(
        bandLevelsDb(PowerSpectrum::averaged(out.data(), out.size(), rate, fft), centres, 1.0));

    Controls ladder;
    ladder.drive = t::kLadderDrive;
    m.ladderThdDb =
        thdDb(measureTone(r, model, ladder, rate, t::kLadderHz, t::kLadderDbfs), t::kLadderHz);

    for (size_t i = 0; i < t::kBreakupDrives.size(); ++i) {
        const std::vector<double> thd =
            thdAgainstLevel(r, model, rate, t::kBreakupDrives[i], breakupLevels());
        for (size_t k = 1; k < thd.size(); ++k)
            m.breakupStepDb[i] = std::max(m.breakupStepDb[i], thd[k] - thd[k - 1]);
    }

    if (m.role.clean) {
        std::array<double, 2> moved{};
        const double hz[2] = {t::kBassLowHz, t::kSweepHighHz};
        for (int k = 0; k < 2; ++k) {
            Controls lo, hi;
            lo.bass = 0.0f;
            hi.bass = 1.0f;
            moved[k] =
                tonePeakDbfs(measureTone(r, model, hi, rate, hz[k], t::kSweepDbfs, 0.5), hz[k]) -
                tonePeakDbfs(measureTone(r, model, lo, rate, hz[k], t::kSweepDbfs, 0.5), hz[k]);
        }
        m.sweepDb = moved;
    }

    if (m.role.octave) {
        Controls c;
        c.drive = t::kFuzzDrive;
        const PowerSpectrum quiet = measureTone(r, model, c, rate, t::kFuzzHz, t::kFuzzQuietDbfs);
        const PowerSpectrum loud = measureTone(r, model, c, rate, t::kFuzzHz, t::kFuzzLoudDbfs);
        m.fuzzOddDb = harmonicsDb(quiet, t::kFuzzHz, 3, 9);
        m.fuzzSlope =
            (powerDb(loud.bandPower(0.0, rate / 2.0)) - powerDb(quiet.bandPower(0.0, rate / 2.0))) /
            (t::kFuzzLoudDbfs - t::kFuzzQuietDbfs);
        c.drive = t::kFuzzHardDrive;
        m.fuzzOctaveDb =
            harmonicDb(measureTone(r, model, c, rate, t::kFuzzHz, t::kFuzzLoudDbfs), t::kFuzzHz, 2);
    }

    if (m.role.highGain) {
        const Signal string = pluck(rate, t::kDecayHz, t::kDecayDbfs, t::kDecaySeconds);
        Controls c;
        c.drive = t::kDecayDrive;
        const double dry = decayDbPerSecond(string, rate, t::kDecayFrom, t::kDecayTo);
        const double wet =
            decayDbPerSecond(r.render(model, c, string, rate), rate, t::kDecayFrom, t::kDecayTo);
        m.decayRatio = dry > 0.0 ? wet / dry : 0.0;
    }
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
    const Signal played = r.render(model, Controls{}, in, rate, r.ownCabinet(model));
    m.loudnessDbfs = rmsDb(played.data(), played.size());
    m.loudnessReDryDb = m.loudnessDbfs - rmsDb(in.data(), in.size());
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
    measureCharacter(r, model, rate, m);

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
