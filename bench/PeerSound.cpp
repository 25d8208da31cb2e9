// How quorle's models sound beside the guitar processors Debian packages, measured
// in one run through one small lilv host (tools/measure/Lv2Timer), every plug-in at
// 48 kHz, mono, in blocks of 512, each test signal on a fresh instance:
//   ladder   THD of 1 kHz at -18 dBFS;
//   breakup  THD of 1 kHz from -42 to -3 dBFS in 3 dB steps (floor -100 dB): the
//            largest rise in one step, and the THD at -42, -24 and -6 dBFS;
//   sustain  a plucked E3 of -12 dBFS peak: the output's decay rate (dB/s over
//            0.3..2.0 s) re the dry string's;
//   fuzz     220 Hz at -36 dBFS: harmonics 3..9 re the fundamental; the output's
//            RMS slope in dB per input dB from -36 to -6 dBFS; H2 at -6 dBFS;
//   bass     -24 dBFS tones at 80 Hz and 5 kHz, moved as the bass (or tone) control
//            goes from its minimum to its maximum, where the plug-in has one;
//   shape    octave bands 63 Hz..8 kHz of the plucked phrase's output re their
//            total, and "distinct": the mean absolute difference from the nearest
//            other plug-in's shape; each recording given adds such a column.
// quorle's models run at drive 0.5 with the other controls at their defaults; the
// peers at their defaults.
//
//   peer-sound [--markdown] BUNDLE_DIR [RECORDING ...]
//
// Recordings are any file libsndfile reads, mixed to mono, resampled to 48 kHz and
// brought to -21 dBFS RMS. Exit status 0 when every quorle row was measured, 1
// when one was not, 2 on a usage error or a recording that cannot be read.
#include "tools/measure/Curves.h"
#include "tools/measure/Lv2Timer.h"
#include "tools/measure/Metrics.h"
#include "tools/measure/ModelMeasure.h"
#include "tools/measure/Recordings.h"
#include "tools/measure/Report.h"
#include "tools/measure/Signals.h"
#include "tools/measure/Spectrum.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace {

using measure::Cell;
using measure::Lv2Timer;
using measure::PortSetting;
using measure::PowerSpectrum;
using measure::Signal;

constexpr const char* kMonoUri = "http://pellark.invalid/plugins/quorle#mono";
constexpr double kRate = 48000.0;
constexpr unsigned kBlock = 512;
constexpr float kQuorleDrive = 0.5f;

constexpr double kLadderHz = 1000.0, kLadderDbfs = -18.0;
constexpr double kBreakupHz = 1000.0;
constexpr double kPluckHz = 164.81, kPluckDbfs = -12.0, kPluckSeconds = 2.5;
constexpr double kDecayFrom = 0.3, kDecayTo = 2.0;
constexpr double kFuzzHz = 220.0, kFuzzQuietDbfs = -36.0, kFuzzLoudDbfs = -6.0;
constexpr double kBassLowHz = 80.0, kBassHighHz = 5000.0, kBassDbfs = -24.0;
constexpr double kBassAnalysisSeconds = 0.5;
constexpr std::array<double, 8> kBands = {63.0,   125.0,  250.0,  500.0,
                                          1000.0, 2000.0, 4000.0, 8000.0};
constexpr std::array<double, 3> kBreakupShown = {-42.0, -24.0, -6.0}; // dBFS

// A control moved from `low` to `high` for the bass figure.
struct Knob {
    std::string symbol;
    float low, high;
};

struct Subject {
    std::string label, setting;
    Lv2Timer* host;
    std::string uri;
    std::vector<PortSetting> settings;
    std::optional<Knob> bass;
    bool quorle = false;
};

struct Figures {
    double ladderDb = 0.0;
    std::vector<double> breakupDb; // at measure::breakupLevels()
    double sustainRatio = 0.0;
    double fuzzOddDb = 0.0, fuzzSlope = 0.0, fuzzOctaveDb = 0.0;
    std::optional<std::array<double, 2>> bassDb; // 80 Hz, 5 kHz moved
    std::vector<std::vector<double>> shapes;     // the phrase's, then each recording's
};

// A plug-in that would not render, and why.
struct NoRender {
    std::string why;
};

[[noreturn]] void usage(const std::string& problem) {
    if (!problem.empty())
        std::fprintf(stderr, "peer-sound: %s\n", problem.c_str());
    std::fprintf(stderr, "usage: peer-sound [--markdown] BUNDLE_DIR [RECORDING ...]\n");
    std::exit(2);
}

// `input` through a fresh instance of `s`, `extra` set after its own settings.
Signal render(const Subject& s, const Signal& input, const std::vector<PortSetting>& extra = {}) {
    std::vector<PortSetting> settings = s.settings;
    settings.insert(settings.end(), extra.begin(), extra.end());
    auto plugin = s.host->open(s.uri, settings, input, kRate, kBlock, Lv2Timer::Start::Fresh);
    if (plugin->state() != measure::TimedPlugin::State::Ready)
        throw NoRender{plugin->why()};
    Signal out = plugin->render();
    if (out.size() != input.size())
        throw NoRender{"failed: has no audio output"};
    return out;
}

PowerSpectrum tone(const Subject& s, double hz, double dBFS, double analysisSeconds = 1.0,
                   const std::vector<PortSetting>& extra = {}) {
    const measure::ToneSpan span = measure::toneSpan(kRate, analysisSeconds);
    return measure::toneSpectrum(render(s, measure::sine(kRate, hz, dBFS, span.seconds()), extra),
                                 span);
}

std::vector<double> shapeOf(const Subject& s, const Signal& input) {
    const Signal out = render(s, input);
    const size_t fft = measure::powerOfTwoAtLeast(static_cast<size_t>(kRate / 3.0));
    const std::vector<double> centres(kBands.begin(), kBands.end());
    return measure::shapeDb(measure::bandLevelsDb(
        PowerSpectrum::averaged(out.data(), out.size(), kRate, fft), centres, 1.0));
}

Figures measureSubject(const Subject& s, const std::vector<Signal>& recordings) {
    Figures f;
    f.ladderDb = measure::thdDb(tone(s, kLadderHz, kLadderDbfs), kLadderHz);
    for (double level : measure::breakupLevels())
        f.breakupDb.push_back(std::max(measure::kBreakupFloorDb,
                                       measure::thdDb(tone(s, kBreakupHz, level), kBreakupHz)));

    const Signal string = measure::pluck(kRate, kPluckHz, kPluckDbfs, kPluckSeconds);
    const double dry = measure::decayDbPerSecond(string, kRate, kDecayFrom, kDecayTo);
    const double wet = measure::decayDbPerSecond(render(s, string), kRate, kDecayFrom, kDecayTo);
    f.sustainRatio = dry > 0.0 ? wet / dry : 0.0;

    const PowerSpectrum quiet = tone(s, kFuzzHz, kFuzzQuietDbfs);
    const PowerSpectrum loud = tone(s, kFuzzHz, kFuzzLoudDbfs);
    double odd = 0.0; // harmonics 3..9 below Nyquist, power re the fundamental
    for (int n = 3; n <= 9 && n * kFuzzHz < kRate / 2.0; ++n)
        odd += std::pow(10.0, measure::harmonicDb(quiet, kFuzzHz, n) / 10.0);
    f.fuzzOddDb = measure::powerDb(odd);
    f.fuzzSlope = (measure::powerDb(loud.bandPower(0.0, kRate / 2.0)) -
                   measure::powerDb(quiet.bandPower(0.0, kRate / 2.0))) /
                  (kFuzzLoudDbfs - kFuzzQuietDbfs);
    f.fuzzOctaveDb = measure::harmonicDb(loud, kFuzzHz, 2);

    if (s.bass) {
        std::array<double, 2> moved{};
        const double hz[2] = {kBassLowHz, kBassHighHz};
        for (int k = 0; k < 2; ++k) {
            auto level = [&](float value) {
                return measure::tonePeakDbfs(
                    tone(s, hz[k], kBassDbfs, kBassAnalysisSeconds, {{s.bass->symbol, value}}),
                    hz[k]);
            };
            moved[k] = level(s.bass->high) - level(s.bass->low);
        }
        f.bassDb = moved;
    }

    f.shapes.push_back(shapeOf(s, measure::samePhrase(kRate)));
    for (const Signal& recording : recordings)
        f.shapes.push_back(shapeOf(s, recording));
    return f;
}

// The file at `path` as measure::readRecording reads it (mono, kRate, -21 dBFS RMS);
// exits on a file that cannot be read or holds only silence.
Signal recording(const std::string& path) {
    try {
        return measure::readRecording(path, kRate).audio;
    } catch (const measure::RenderError& e) {
        usage(e.what());
    }
}

std::string baseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::string number(double v, const char* format = "%.1f") {
    if (std::fabs(v) < 0.05)
        v = 0.0; // no "-0.0"
    char text[32];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    bool markdown = false;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--markdown")
            markdown = true;
        else if (a == "--help" || a == "-h")
            usage("");
        else if (a.size() > 1 && a[0] == '-')
            usage("unknown option \"" + a + "\"");
        else
            positional.push_back(a);
    }
    if (positional.empty())
        usage("needs the bundle directory");
    const std::vector<std::string> paths(positional.begin() + 1, positional.end());
    std::vector<Signal> recordings;
    for (const std::string& path : paths)
        recordings.push_back(recording(path));

    Lv2Timer own(positional.front()), installed;
    std::vector<Subject> subjects;
    const Knob quorleBass{"bass", 0.0f, 1.0f};
    const auto models = own.scalePoints(kMonoUri, "model");
    if (models.empty()) // not in the bundle: one row says why
        subjects.push_back({"quorle", "-", &own, kMonoUri, {}, quorleBass, true});
    for (const auto& [model, name] : models)
        subjects.push_back({"quorle " + name,
                            "drive 0.5",
                            &own,
                            kMonoUri,
                            {{"model", model}, {"drive", kQuorleDrive}},
                            quorleBass,
                            true});
    subjects.push_back({"Calf Saturator",
                        "defaults",
                        &installed,
                        "http://calf.sourceforge.net/plugins/Saturator",
                        {},
                        std::nullopt});
    subjects.push_back({"guitarix amp",
                        "defaults",
                        &installed,
                        "http://guitarix.sourceforge.net/plugins/gx_amp#GUITARIX",
                        {},
                        Knob{"Bass", 0.0f, 1.0f}});
    subjects.push_back({"guitarix metal amp",
                        "defaults",
                        &installed,
                        "http://guitarix.sourceforge.net/plugins/gxmetal_amp#metal_amp",
                        {},
                        Knob{"TONE", 0.0f, 1.0f}});
    subjects.push_back({"guitarix fuzz face",
                        "defaults",
                        &installed,
                        "http://guitarix.sourceforge.net/plugins/gx_fuzzface_#_fuzzface_",
                        {},
                        std::nullopt});
    subjects.push_back(
        {"ZamTube", "defaults", &installed, "urn:zamaudio:ZamTube", {}, Knob{"bass", 0.0f, 10.0f}});

    std::vector<std::optional<Figures>> figures(subjects.size());
    std::vector<std::string> failures;
    bool allQuorle = true;
    const auto started = std::chrono::steady_clock::now();
    for (size_t i = 0; i < subjects.size(); ++i) {
        try {
            figures[i] = measureSubject(subjects[i], recordings);
        } catch (const NoRender& e) {
            failures.push_back(subjects[i].label + ": " + e.why);
            allQuorle = allQuorle && !subjects[i].quorle;
        }
        const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - started;
        std::fprintf(stderr, "peer-sound: %s done, %.0f s\n", subjects[i].label.c_str(),
                     spent.count());
    }

    // Mean absolute difference of shape `k` of row `i` from the nearest other row's,
    // and that row's label after it when `named`.
    auto distinct = [&](size_t i, size_t k, bool named) {
        double nearest = std::numeric_limits<double>::infinity();
        size_t which = i;
        for (size_t j = 0; j < subjects.size(); ++j) {
            if (j == i || !figures[j])
                continue;
            const double d =
                measure::meanAbsoluteDifferenceDb(figures[i]->shapes[k], figures[j]->shapes[k]);
            if (d < nearest) {
                nearest = d;
                which = j;
            }
        }
        if (which == i)
            return std::string("-");
        return number(nearest) + (named ? " (" + subjects[which].label + ")" : "");
    };

    measure::Table sound, shape;
    sound.columns = {"Plug-in", "Setting",    "Ladder THD", "Breakup step",   "THD -42",
                     "THD -24", "THD -6",     "Sustain",    "Fuzz H3..9",     "Fuzz slope",
                     "Fuzz H2", "Bass 80 Hz", "Bass 5 kHz", "Distinct phrase"};
    for (const std::string& path : paths)
        sound.columns.push_back("Distinct " + baseName(path));
    shape.columns = {"Plug-in", "Setting"};
    for (double hz : kBands)
        shape.columns.push_back(hz < 1000.0 ? number(hz, "%.0f Hz")
                                            : number(hz / 1000.0, "%g kHz"));

    const std::vector<double> levels = measure::breakupLevels();
    for (size_t i = 0; i < subjects.size(); ++i) {
        std::vector<Cell> row = {{subjects[i].label}, {subjects[i].setting}};
        std::vector<Cell> bands = row;
        if (!figures[i]) {
            row.resize(sound.columns.size(), {"-"});
            row[2] = {"not measured"};
            bands.resize(shape.columns.size(), {"-"});
            sound.rows.push_back(row);
            shape.rows.push_back(bands);
            continue;
        }
        const Figures& f = *figures[i];
        double step = 0.0;
        for (size_t k = 1; k < f.breakupDb.size(); ++k)
            step = std::max(step, f.breakupDb[k] - f.breakupDb[k - 1]);
        row.push_back({number(f.ladderDb)});
        row.push_back({number(step)});
        for (double shown : kBreakupShown) {
            const auto at = std::find(levels.begin(), levels.end(), shown);
            row.push_back({at == levels.end()
                               ? std::string("-")
                               : number(f.breakupDb[static_cast<size_t>(at - levels.begin())])});
        }
        row.push_back({number(f.sustainRatio, "%.2f")});
        row.push_back({number(f.fuzzOddDb)});
        row.push_back({number(f.fuzzSlope, "%.2f")});
        row.push_back({number(f.fuzzOctaveDb)});
        row.push_back({f.bassDb ? number((*f.bassDb)[0], "%+.1f") : "-"});
        row.push_back({f.bassDb ? number((*f.bassDb)[1], "%+.1f") : "-"});
        for (size_t k = 0; k < f.shapes.size(); ++k)
            row.push_back({distinct(i, k, k == 0)});
        for (double dB : f.shapes.front())
            bands.push_back({number(dB)});
        sound.rows.push_back(row);
        shape.rows.push_back(bands);
    }
    sound.notes = {
        "48 kHz, mono, blocks of 512, a fresh instance per signal. Ladder: THD (dB) of 1 kHz at "
        "-18 dBFS. Breakup: THD of 1 kHz from -42 to -3 dBFS in 3 dB steps (floor -100 dB), the "
        "largest rise in one step (dB) and the THD at -42, -24 and -6 dBFS. Sustain: decay rate "
        "(0.3..2.0 s) of a plucked E3 at -12 dBFS peak re the dry string's. Fuzz: 220 Hz at -36 "
        "dBFS, harmonics 3..9 re the fundamental (dB); output dB per input dB from -36 to -6 dBFS; "
        "H2 re the fundamental at -6 dBFS (dB). Bass: -24 dBFS tones moved (dB) from the bass "
        "control's minimum to its maximum (quorle bass 0..1, guitarix amp Bass 0..1, guitarix "
        "metal amp TONE 0..1, ZamTube bass 0..10). Distinct: mean absolute difference (dB) of the "
        "octave-band shape (63 Hz..8 kHz) from the nearest other plug-in's (named for the "
        "phrase), on the plucked phrase and on each recording (mono, 48 kHz, -21 dBFS RMS)."};
    sound.notes.insert(sound.notes.end(), failures.begin(), failures.end());
    shape.notes = {
        "Octave-band levels of the plucked phrase's output re the bands' power sum, dB."};
    const std::string text =
        markdown ? measure::formatMarkdown(sound) + "\n" + measure::formatMarkdown(shape)
                 : measure::formatText(sound) + "\n" + measure::formatText(shape);
    std::fputs(text.c_str(), stdout);
    return allQuorle ? 0 : 1;
}
