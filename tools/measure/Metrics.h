// The quantities the targets are stated in, computed from signals and spectra:
// distortion and non-harmonic content of a tone, DC, levels, dynamic range,
// third-octave band levels, and the role a model's name gives it.
#pragma once

#include "tools/measure/Spectrum.h"

#include <cstddef>
#include <string>
#include <vector>

namespace measure {

// The level lowest reported: the dB of zero power.
constexpr double kFloorDb = -300.0;

double powerDb(double power);         // 10 log10, at least kFloorDb
double amplitudeDb(double amplitude); // 20 log10, at least kFloorDb

// A spectral component: frequency in Hz, level in dB re the fundamental.
struct Component {
    double hz;
    double dB;
};

// Total harmonic distortion of a tone of `f0` Hz: the power sum of harmonics 2, 3,
// ... below Nyquist re the fundamental, in dB.
double thdDb(const PowerSpectrum& s, double f0);
// Peak level in dBFS of the tone nearest `hz` (a sine's amplitude).
double tonePeakDbfs(const PowerSpectrum& s, double hz);
// Harmonic `n` of a tone of `f0` Hz re the fundamental, in dB.
double harmonicDb(const PowerSpectrum& s, double f0, int n);

// Bins a harmonic claims on either side of DC, f0, 2 f0, ... below Nyquist: twice
// the main lobe and two more, so a component found outside has a lobe of its own.
size_t harmonicGuardBins(const PowerSpectrum& s);
// The strongest components of the spectrum of a tone of `f0` Hz that are neither
// DC nor a harmonic (aliases, intermodulation, noise), strongest first, at most
// `count`, each its main lobe summed, in dB re the fundamental. Empty when every
// bin is guarded.
std::vector<Component> nonHarmonicPeaks(const PowerSpectrum& s, double f0, size_t count = 1);

// |mean| of n samples.
double dcOffset(const float* x, size_t n);
// RMS level of n samples in dBFS (0 dBFS = RMS 1).
double rmsDb(const float* x, size_t n);
// RMS level in dBFS of each whole frame of `frameSeconds`.
std::vector<double> frameRmsDb(const float* x, size_t n, double rate, double frameSeconds);
// The p-th percentile (0..100) of the values, interpolating linearly between ranks.
double percentile(std::vector<double> values, double p);
// The 95th minus the 10th percentile of the 50 ms RMS levels above `floorDbfs`, in
// dB; 0 when no frame is above the floor.
double dynamicRangeDb(const float* x, size_t n, double rate, double floorDbfs = -80.0);

// Centres of the third-octave bands 50 Hz x 2^(k/3), from `loHz` up to `hiHz`.
std::vector<double> thirdOctaveCentres(double loHz = 50.0, double hiHz = 12000.0);
// Power of each band (centre / 2^(1/6) .. centre x 2^(1/6), or as wide as
// `widthOctaves`) in dB.
std::vector<double> bandLevelsDb(const PowerSpectrum& s, const std::vector<double>& centres,
                                 double widthOctaves = 1.0 / 3.0);
// The levels less the level of their power sum: a spectrum's shape, whatever its level.
std::vector<double> shapeDb(std::vector<double> levelsDb);
// Mean absolute difference of two equally long lists of levels, dB.
double meanAbsoluteDifferenceDb(const std::vector<double>& a, const std::vector<double>& b);

// What a model is meant to do, from its name: "clean" in the name makes it a clean
// model, every other model drives; "octave"/"oct" an octave model; "lead", "high",
// "hi-gain" or "metal" a high-gain model.
struct ModelRole {
    bool clean = false;
    bool drive = false;
    bool octave = false;
    bool highGain = false;
};
ModelRole roleOf(const std::string& modelName);

} // namespace measure
