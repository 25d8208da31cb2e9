#include "tools/measure/RigMeasure.h"

#include "tools/QuietStreams.h"
#include "tools/measure/Curves.h"
#include "tools/measure/Lv2Timer.h"
#include "tools/measure/Metrics.h"
#include "tools/measure/Targets.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <memory>

namespace measure {

namespace t = targets;

namespace {

constexpr size_t kCoherenceFft = 4096;
constexpr double kShareLoHz = 40.0, kShareHiHz = 16000.0;
constexpr unsigned kPeerBlock = 512;
// The drives the ladder is judged at, as indices of targets::kRigDrives.
constexpr size_t kSoft = t::kRigLadderDrives[0], kHard = t::kRigLadderDrives[1];

// One frame's spectrum: Hann-windowed, FFTW's real transform.
class FrameFft {
  public:
    explicit FrameFft(size_t n)
        : mN(n), mIn(fftw_alloc_real(n)), mOut(fftw_alloc_complex(n / 2 + 1)),
          mPlan(fftw_plan_dft_r2c_1d(static_cast<int>(n), mIn, mOut, FFTW_ESTIMATE)), mWindow(n) {
        for (size_t i = 0; i < n; ++i)
            mWindow[i] =
                0.5 - 0.5 * std::cos(2.0 * M_PI * static_cast<double>(i) / static_cast<double>(n));
    }
    ~FrameFft() {
        fftw_destroy_plan(mPlan);
        fftw_free(mIn);
        fftw_free(mOut);
    }
    FrameFft(const FrameFft&) = delete;
    FrameFft& operator=(const FrameFft&) = delete;

    // The spectrum of x[0..n) (zeros past `available`).
    void run(const float* x, size_t available, std::vector<std::complex<double>>& bins) {
        for (size_t i = 0; i < mN; ++i)
            mIn[i] = i < available ? mWindow[i] * x[i] : 0.0;
        fftw_execute(mPlan);
        bins.resize(mN / 2 + 1);
        for (size_t k = 0; k < bins.size(); ++k)
            bins[k] = {mOut[k][0], mOut[k][1]};
    }

  private:
    size_t mN;
    double* mIn;
    fftw_complex* mOut;
    fftw_plan mPlan;
    std::vector<double> mWindow;
};

double mean(const std::vector<double>& v) {
    double sum = 0.0;
    for (double x : v)
        sum += x;
    return v.empty() ? 0.0 : sum / static_cast<double>(v.size());
}

// The fizz figure of one signal.
double fizzOf(const Signal& x, double rate) {
    return bandRatioDb(x, rate, t::kRigFizzLoHz, t::kRigFizzHiHz, t::kRigFizzRefLoHz,
                       t::kRigFizzRefHiHz);
}

// `input` through a fresh instance of the installed plug-in `uri`; empty, with the
// reason, when it is not installed or does not render.
Signal peerRender(Lv2Timer& host, const std::string& uri, const std::vector<PortSetting>& settings,
                  const Signal& input, double rate, std::string& why) {
    const QuietStreams quiet; // guitarix prints its block sizes
    auto plugin = host.open(uri, settings, input, rate, kPeerBlock, Lv2Timer::Start::Fresh);
    if (plugin->state() != TimedPlugin::State::Ready) {
        why = plugin->why();
        return {};
    }
    Signal out = plugin->render();
    if (out.size() != input.size()) {
        why = "renders no audio";
        return {};
    }
    return out;
}

// A peer's fizz over the played takes.
PeerFizz peerFizz(Lv2Timer& host, const std::string& label, const std::string& uri,
                  const std::vector<PortSetting>& settings, const Takes& takes, double rate) {
    PeerFizz peer{label, std::nullopt, ""};
    std::vector<double> figures;
    for (const Recording& take : takes.played) {
        const Signal out = peerRender(host, uri, settings, take.audio, rate, peer.why);
        if (out.empty())
            return peer;
        figures.push_back(fizzOf(out, rate));
    }
    peer.fizzDb = mean(figures);
    return peer;
}

// A model's level over the takes: the mean of their levels re dry (dB).
double takesLevelDb(const RigFigures& f) {
    return f.levelReDryDb.size() < 2
               ? 0.0
               : mean(std::vector<double>(f.levelReDryDb.begin() + 1, f.levelReDryDb.end()));
}

double spreadOf(const std::vector<double>& v) {
    return v.empty()
               ? 0.0
               : *std::max_element(v.begin(), v.end()) - *std::min_element(v.begin(), v.end());
}

} // namespace

double nonlinearShareDb(const Signal& in, const Signal& out, double rate) {
    const size_t n = std::min(in.size(), out.size());
    FrameFft fft(kCoherenceFft);
    const size_t bins = kCoherenceFft / 2 + 1;
    std::vector<double> sxx(bins), syy(bins);
    std::vector<std::complex<double>> sxy(bins), x, y;
    const size_t hop = kCoherenceFft / 2;
    for (size_t at = 0; at == 0 || at + kCoherenceFft <= n; at += hop) {
        const size_t available = std::min(kCoherenceFft, n - std::min(n, at));
        fft.run(in.data() + at, available, x);
        fft.run(out.data() + at, available, y);
        for (size_t k = 0; k < bins; ++k) {
            sxx[k] += std::norm(x[k]);
            syy[k] += std::norm(y[k]);
            sxy[k] += std::conj(x[k]) * y[k];
        }
    }
    const double binHz = rate / static_cast<double>(kCoherenceFft);
    double total = 0.0, unexplained = 0.0;
    for (size_t k = 0; k < bins; ++k) {
        const double hz = binHz * static_cast<double>(k);
        if (hz < kShareLoHz || hz > kShareHiHz)
            continue;
        total += syy[k];
        const double explained = sxx[k] > 0.0 ? std::norm(sxy[k]) / sxx[k] : 0.0;
        unexplained += std::max(0.0, syy[k] - explained);
    }
    return total > 0.0 ? powerDb(unexplained / total) : kFloorDb;
}

double bandRatioDb(const Signal& x, double rate, double loHz, double hiHz, double refLoHz,
                   double refHiHz) {
    const PowerSpectrum s = PowerSpectrum::averaged(x.data(), x.size(), rate, kCoherenceFft);
    return powerDb(s.bandPower(loHz, hiHz)) - powerDb(s.bandPower(refLoHz, refHiHz));
}

Takes sortTakes(std::vector<Recording> recordings) {
    Takes takes;
    for (Recording& r : recordings) {
        if (!takes.lowNote && r.name.find("low-note") != std::string::npos)
            takes.lowNote = std::move(r);
        else
            takes.played.push_back(std::move(r));
    }
    return takes;
}

RigMeasurements measureRig(const Renderer& renderer, const Takes& takes, double rate,
                           const ShippedCabinets* cabinets) {
    RigMeasurements rig;
    if (cabinets)
        rig.cabinets = cabinets->names;
    for (const Recording& take : takes.played)
        rig.takes.push_back(take.name);
    if (takes.lowNote)
        rig.takes.push_back(takes.lowNote->name + " (decay)");

    Lv2Timer installed;
    const Signal phrase = samePhrase(rate);
    const Controls defaults;
    double dryDecay = 0.0;
    if (takes.lowNote)
        dryDecay = decayDbPerSecond(takes.lowNote->audio, rate, t::kDecayFrom, t::kDecayTo);

    for (size_t m = 0; m < renderer.modelNames().size(); ++m) {
        RigFigures f;
        f.model = renderer.modelNames()[m];
        f.cabinet = renderer.ownCabinet(m);
        auto levelReDry = [&](const Signal& dry) {
            const Signal wet = renderer.render(m, defaults, dry, rate, f.cabinet);
            return rmsDb(wet.data(), wet.size()) - rmsDb(dry.data(), dry.size());
        };
        f.levelReDryDb.push_back(levelReDry(phrase));
        std::array<std::vector<double>, t::kRigDrives.size()> shares;
        std::vector<double> fizz, fizzPeer;
        std::vector<std::vector<double>> through(rig.cabinets.size());
        std::string why;
        for (const Recording& take : takes.played) {
            f.levelReDryDb.push_back(levelReDry(take.audio));
            Signal loud;
            for (size_t d = 0; d < t::kRigDrives.size(); ++d) {
                Controls driven = defaults;
                driven.drive = t::kRigDrives[d];
                Signal out = renderer.render(m, driven, take.audio, rate);
                shares[d].push_back(nonlinearShareDb(take.audio, out, rate));
                if (d + 1 == t::kRigDrives.size())
                    loud = std::move(out);
            }
            fizz.push_back(fizzOf(loud, rate));
            for (size_t c = 0; c < through.size(); ++c)
                through[c].push_back(fizzOf(throughCabinet(loud, cabinets->responses[c]), rate));
            const Signal speaker =
                peerRender(installed, t::kRigPeerCabinetUri, {{"c_model", t::kRigPeerCabinetModel}},
                           loud, rate, why);
            if (!speaker.empty())
                fizzPeer.push_back(fizzOf(speaker, rate));
        }
        for (size_t d = 0; d < shares.size(); ++d)
            f.nonlinearDb[d] = mean(shares[d]);
        for (const std::vector<double>& c : through)
            f.fizzThroughDb.push_back(mean(c));
        f.fizzDb = mean(fizz);
        if (!fizzPeer.empty() && fizzPeer.size() == takes.played.size())
            f.fizzPeerCabinetDb = mean(fizzPeer);
        if (takes.lowNote && dryDecay > 0.0)
            f.lowDecayRatio =
                decayDbPerSecond(renderer.render(m, defaults, takes.lowNote->audio, rate), rate,
                                 t::kDecayFrom, t::kDecayTo) /
                dryDecay;
        rig.models.push_back(std::move(f));
    }
    rig.withCabinet = peerFizz(installed, "gx_amp", t::kRigPeerAmpUri,
                               {{"Drive", 1.0f}, {"MasterGain", -12.0f}}, takes, rate);
    rig.withoutCabinet =
        peerFizz(installed, "gxmetal_amp", t::kRigPeerMetalUri, {{"DRIVE", 20.0f}}, takes, rate);
    return rig;
}

Table judgeRig(const RigMeasurements& rig) {
    Table table;
    table.columns = {
        "Model",  "Cabinet",          "Level re dry (phrase; takes)", "Non-linear 0.5 / 1",
        "Ladder", "Fizz, no cabinet", "Fizz, peer's cabinet",         "Low note decay"};
    // The models' levels on the phrase and their mean over the takes, for the spreads.
    std::vector<double> onPhrase, onTakes;
    for (const RigFigures& f : rig.models) {
        onPhrase.push_back(f.levelReDryDb.empty() ? 0.0 : f.levelReDryDb.front());
        onTakes.push_back(takesLevelDb(f));
    }
    const double phraseSpread = spreadOf(onPhrase), takesSpread = spreadOf(onTakes);
    const RigFigures* before = nullptr;
    for (const RigFigures& f : rig.models) {
        const ModelRole role = roleOf(f.model);
        std::vector<Cell> row = {{f.model, Verdict::None},
                                 {f.cabinet.empty() ? "none" : f.cabinet, Verdict::None}};
        const double phrase = f.levelReDryDb.empty() ? 0.0 : f.levelReDryDb.front();
        const std::vector<double> each(f.levelReDryDb.begin() + (f.levelReDryDb.empty() ? 0 : 1),
                                       f.levelReDryDb.end());
        const double takes = takesLevelDb(f);
        row.push_back(judged(each.empty() ? format("%+.1f", phrase)
                                          : format("%+.1f; %+.1f (%+.1f..%+.1f)", phrase, takes,
                                                   *std::min_element(each.begin(), each.end()),
                                                   *std::max_element(each.begin(), each.end())),
                             std::fabs(phrase) <= t::kRigLevelMaxReDryDb &&
                                 std::fabs(takes) <= t::kRigLevelMaxReDryDb));
        row.push_back(
            {format("%.1f / %.1f dB", f.nonlinearDb[kSoft], f.nonlinearDb[kHard]), Verdict::None});
        // The ladder: the drive models that are neither clean nor octave models, each
        // more distorted than the one before by a step, a high-gain model after
        // another at least as distorted.
        if (role.drive && !role.octave) {
            if (before) {
                const bool bothHigh = roleOf(before->model).highGain && role.highGain;
                const double need = bothHigh ? 0.0 : t::kRigLadderMinStepDb;
                const double step = std::min(f.nonlinearDb[kSoft] - before->nonlinearDb[kSoft],
                                             f.nonlinearDb[kHard] - before->nonlinearDb[kHard]);
                row.push_back(judged(format("%+.1f dB", step), step >= need));
            } else {
                row.push_back(kNotApplicable);
            }
            before = &f;
        } else {
            row.push_back(kNotApplicable);
        }
        if (role.drive && rig.withoutCabinet.fizzDb)
            row.push_back(
                judged(format("%.1f dB (%+.1f)", f.fizzDb, f.fizzDb - *rig.withoutCabinet.fizzDb),
                       f.fizzDb <= *rig.withoutCabinet.fizzDb + t::kRigFizzMaxAboveDb));
        else
            row.push_back({format("%.1f dB", f.fizzDb), Verdict::None});
        if (role.drive && f.fizzPeerCabinetDb && rig.withCabinet.fizzDb)
            row.push_back(
                judged(format("%.1f dB (%+.1f)", *f.fizzPeerCabinetDb,
                              *f.fizzPeerCabinetDb - *rig.withCabinet.fizzDb),
                       *f.fizzPeerCabinetDb <= *rig.withCabinet.fizzDb + t::kRigFizzMaxAboveDb));
        else
            row.push_back(f.fizzPeerCabinetDb
                              ? Cell{format("%.1f dB", *f.fizzPeerCabinetDb), Verdict::None}
                              : kNotApplicable);
        if (f.lowDecayRatio)
            row.push_back(judged(format("x%.2f", *f.lowDecayRatio),
                                 *f.lowDecayRatio <= t::kRigDecayMaxRatio));
        else
            row.push_back(kNotApplicable);
        table.rows.push_back(row);
    }
    table.rows.push_back(
        {{"all", Verdict::None},
         kNotApplicable,
         judged(format("spread %.1f; %.1f dB", phraseSpread, takesSpread),
                phraseSpread <= t::kRigLevelSpreadMaxDb && takesSpread <= t::kRigLevelSpreadMaxDb),
         kNotApplicable,
         kNotApplicable,
         kNotApplicable,
         kNotApplicable,
         kNotApplicable});
    std::string takes;
    for (const std::string& name : rig.takes)
        takes += (takes.empty() ? "" : ", ") + name;
    table.notes.push_back("Takes (each at " + format("%.0f", kRecordingDbfs) +
                          " dBFS RMS): " + takes + ".");
    auto peerNote = [&](const PeerFizz& p, const char* how) {
        table.notes.push_back(p.fizzDb
                                  ? format("%s %s: fizz %.1f dB.", p.label.c_str(), how, *p.fizzDb)
                                  : p.label + " " + how + ": " + p.why + ".");
    };
    peerNote(rig.withCabinet, "at its maximum (Drive 1, master -12 dB, which keeps its output "
                              "from clipping) through its own cabinet (4x12)");
    peerNote(rig.withoutCabinet, "at its maximum (DRIVE 20)");
    table.notes.push_back(format(
        "Level: RMS re the dry input at the default controls through the model's own cabinet, "
        "on the phrase and the mean over the takes each within %.0f dB; the models at most %.0f "
        "dB apart on the phrase and on the takes. Non-linear: the share of "
        "the output no linear filter of the input explains (no cabinet), drives %.2g / %.2g, the "
        "mean over the takes; the ladder's steps at least %.0f dB (a high-gain model after "
        "another at least as distorted). Fizz: %.0f-%.0f kHz re %.1f-%.0f kHz at drive 1, at "
        "most %.0f dB above the peer. Low note: its decay re dry at most x%.2f.",
        t::kRigLevelMaxReDryDb, t::kRigLevelSpreadMaxDb, t::kRigDrives[kSoft], t::kRigDrives[kHard],
        t::kRigLadderMinStepDb, t::kRigFizzLoHz / 1000.0, t::kRigFizzHiHz / 1000.0,
        t::kRigFizzRefLoHz / 1000.0, t::kRigFizzRefHiHz / 1000.0, t::kRigFizzMaxAboveDb,
        t::kRigDecayMaxRatio));
    return table;
}

} // namespace measure
