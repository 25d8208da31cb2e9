// The sound of the whole rig on recorded guitar, beside the Debian amplifiers:
// how loud each model plays at its defaults through its own cabinet, how much of
// its output is distortion (the gain ladder on real notes), how much fizz it leaves
// at 4-8 kHz with and without a speaker, and whether it shortens a low note's
// decay. Rendered by the plug-in as a host renders it; the peers through lilv.
// Runs on the calling thread.
#pragma once

#include "tools/measure/CabinetMeasure.h"
#include "tools/measure/Recordings.h"
#include "tools/measure/Renderer.h"
#include "tools/measure/Report.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace measure {

// The part of `out` that no linear time-invariant filter of `in` explains, re all
// of `out` (dB): the output's power weighted by one minus the coherence of input
// and output, bin by bin (Welch, 4096-point Hann frames), summed over 40 Hz to
// 16 kHz. A filter reads near -inf; harmonics, intermodulation and a gain that
// follows the playing all count.
double nonlinearShareDb(const Signal& in, const Signal& out, double rate);

// The long-term power of `x` in loHz..hiHz re its power in refLoHz..refHiHz (dB).
double bandRatioDb(const Signal& x, double rate, double loHz, double hiHz, double refLoHz,
                   double refHiHz);

// The takes a rig is measured on: the recordings, and apart from them the one
// whose name holds "low-note", a single low note left to ring.
struct Takes {
    std::vector<Recording> played; // riffs, chords, single notes
    std::optional<Recording> lowNote;
};
Takes sortTakes(std::vector<Recording> recordings);

struct RigFigures {
    std::string model;
    std::string cabinet; // the model's own; "" for none
    // RMS re the dry input's at the default controls through the model's own
    // cabinet: the plucked phrase, then each played take.
    std::vector<double> levelReDryDb;
    // nonlinearShareDb at each of targets::kRigDrives (no cabinet), the mean over the
    // played takes.
    std::array<double, 4> nonlinearDb{};
    // bandRatioDb 4-8 kHz re 0.2-2 kHz at drive 1, the mean over the played takes:
    // without a cabinet, and through the peer amplifier's cabinet (nullopt when that
    // peer is not installed).
    double fizzDb = 0.0;
    std::optional<double> fizzPeerCabinetDb;
    // The same through each cabinet of the bundle's archive, levelled as the plug-in
    // plays it (the drive-1 output convolved offline), in the archive's order.
    std::vector<double> fizzThroughDb;
    // The low note's decay (dB/s) at the default controls, without a cabinet, re the
    // dry note's (a ratio above 1: it dies faster); nullopt without the take.
    std::optional<double> lowDecayRatio;
};

// A peer amplifier's fizz on the same takes (bandRatioDb as above), or why not.
struct PeerFizz {
    std::string label;
    std::optional<double> fizzDb;
    std::string why;
};

struct RigMeasurements {
    std::vector<RigFigures> models;
    PeerFizz withCabinet;    // gx_amp at its maximum through its own cabinet
    PeerFizz withoutCabinet; // gxmetal_amp at its maximum
    std::vector<std::string> takes;
    std::vector<std::string> cabinets; // the bundle's, as fizzThroughDb lists them
};

// Every model of `renderer` (oversampling as it is set), at `rate` Hz, each through
// its own cabinet (Renderer::ownCabinet); the fizz also through each of `cabinets`
// when given. Throws RenderError.
RigMeasurements measureRig(const Renderer& renderer, const Takes& takes, double rate,
                           const ShippedCabinets* cabinets = nullptr);

// The rig targets (targets::kRig*), one row per model.
Table judgeRig(const RigMeasurements& rig);

} // namespace measure
