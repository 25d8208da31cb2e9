// Measures one model on every target (tools/measure/Targets.h) by rendering the
// test signals through it; the numbers, not yet judged.
#pragma once

#include "tools/measure/Metrics.h"
#include "tools/measure/Renderer.h"

#include <array>
#include <optional>
#include <string>

namespace measure {

struct ModelMeasurements {
    std::string name;
    ModelRole role;
    Component alias;                 // strongest non-harmonic component of the 9 kHz tone
    double dc = 0.0;                 // |mean| of the output
    std::array<double, 4> thdDb{};   // at targets::kThdDrives
    std::optional<double> sustainDb; // dynamic range lost; high-gain models only
    std::optional<double> octaveDb;  // 440 Hz re 220 Hz; octave models only
    double loudnessDbfs = 0.0;    // RMS of the phrase at defaults through the model's own cabinet
    double loudnessReDryDb = 0.0; // the same re the dry phrase's RMS
    double ratesMaxDb = 0.0;      // largest band difference from 48 kHz
    double ratesWorstHz = 0.0;    // ... in the band centred here
    double ratesWorstRate = 0.0;  // ... at this rate
    std::array<double, 3> bassLowDb{};            // 80 Hz level at targets::kBassSettings, dBFS
    std::array<double, 3> bassMidDb{};            // 1 kHz level at targets::kBassSettings, dBFS
    std::vector<double> shapeDb;                  // octave bands of the phrase re their total
    double ladderThdDb = 0.0;                     // THD at the gain ladder's level and drive
    std::array<double, 2> breakupStepDb{};        // largest rise per step, at kBreakupDrives
    std::optional<std::array<double, 2>> sweepDb; // 80 Hz, 5 kHz moved; clean models
    std::optional<double> fuzzOddDb;              // H3..H9 re fundamental, quiet; octave models
    std::optional<double> fuzzSlope;              // output dB per input dB; octave models
    std::optional<double> fuzzOctaveDb;           // H2 when loud and hard; octave models
    std::optional<double> decayRatio; // decay rate re the dry string's; high-gain models
};

// Measures model `model` at `rate` Hz (the rate comparison always runs at 44.1, 48
// and 96 kHz). Throws RenderError when the plug-in fails.
ModelMeasurements measureModel(const Renderer& renderer, size_t model, double rate);

// Samples of a tone measurement at `rate`: kSettleSeconds, then a power of two of
// at least `analysisSeconds`.
struct ToneSpan {
    size_t settle;
    size_t analysis;
    double seconds() const;
    double rate;
};
ToneSpan toneSpan(double rate, double analysisSeconds = 1.0);

// The spectrum of the analysed part of a rendered tone.
PowerSpectrum toneSpectrum(const Signal& output, const ToneSpan& span);

} // namespace measure
