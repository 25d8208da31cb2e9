// What each model is measured on and what it must reach: the test signals' levels
// and frequencies and the limits, in one place for the measurement, the verdicts
// and the documentation.
#pragma once

#include <array>

namespace measure::targets {

constexpr double kDefaultRate = 48000.0;     // Hz
constexpr double kSettleSeconds = 0.25;      // rendered before any analysis starts
constexpr double kToneAnalysisSeconds = 1.0; // at least; rounded up to a power of two

// Alias: a 9 kHz sine at -6 dBFS, drive 1; the strongest non-harmonic component
// re the fundamental at most -50 dB.
constexpr double kAliasHz = 9000.0;
constexpr double kAliasDbfs = -6.0;
constexpr double kAliasMaxDb = -50.0;

// DC: a 1 kHz sine at -12 dBFS, drive 1, 2 s; |mean| of the last second at most 1e-4.
constexpr double kDcHz = 1000.0;
constexpr double kDcDbfs = -12.0;
constexpr double kDcSeconds = 2.0;
constexpr double kDcMax = 1e-4;

// THD against drive: a 1 kHz sine at -12 dBFS at each drive.
constexpr double kThdHz = 1000.0;
constexpr double kThdDbfs = -12.0;
constexpr std::array<float, 4> kThdDrives = {0.25f, 0.5f, 0.75f, 1.0f};
constexpr double kThdMinStepDb = 0.5;          // drive models: rise at every step
constexpr double kThdMinRiseDb = 6.0;          // drive models: lowest to highest drive
constexpr double kThdMinRiseHighGainDb = 12.0; // high-gain models
constexpr double kCleanMaxThdDb = -60.0;       // clean models at drive 0.25 and 0.5

// Sustain (high-gain models): the phrase's dynamic range (95th minus 10th
// percentile of the 50 ms RMS levels above -80 dBFS) shrinks by at least 6 dB.
constexpr double kSustainFloorDbfs = -80.0;
constexpr double kSustainMinDb = 6.0;

// Octave (octave models): a 220 Hz sine at -12 dBFS, drive 0.5; 440 Hz at least
// -6 dB re 220 Hz.
constexpr double kOctaveHz = 220.0;
constexpr double kOctaveDbfs = -12.0;
constexpr float kOctaveDrive = 0.5f;
constexpr double kOctaveMinDb = -6.0;

// Loudness: the phrase at the default controls through the model's own cabinet
// (the one the plug-in plays by default): its RMS within 3 dB of the dry phrase's,
// and the loudest model at most 3 dB above the quietest.
constexpr double kLoudnessMaxReDryDb = 3.0;
constexpr double kLoudnessMaxSpreadDb = 3.0;

// Rates: the phrase's third-octave spectrum (50 Hz..12 kHz) re the input's, at
// 44.1 and 96 kHz, within 1.5 dB of that at 48 kHz.
constexpr std::array<double, 3> kRates = {44100.0, 48000.0, 96000.0};
constexpr double kRatesReference = 48000.0;
constexpr double kRatesLoHz = 50.0;
constexpr double kRatesHiHz = 12000.0;
constexpr double kRatesMaxDb = 1.5;

// Bass: small sines (-40 dBFS) at 80 Hz and 1 kHz at bass 0, 0.5 and 1: 80 Hz
// rises and falls at least 4 dB from bass 0.5, 1 kHz moves at most 3 dB each way.
// (The fixed stage's low shelf cuts less than it boosts; with 1 kHz and 5 kHz held
// still, its cut at 80 Hz reaches about 5 dB.)
constexpr double kBassLowHz = 80.0;
constexpr double kBassMidHz = 1000.0;
constexpr double kBassDbfs = -40.0;
constexpr std::array<float, 3> kBassSettings = {0.0f, 0.5f, 1.0f};
constexpr double kBassMinMoveDb = 4.0;
constexpr double kBassMaxMidMoveDb = 3.0;

// Distinct: the phrase at drive 0.5; its octave-band levels (63 Hz..8 kHz) re their
// total; every drive model's mean absolute difference from its nearest other drive
// model (clean models aside) at least 3 dB.
constexpr std::array<double, 8> kDistinctBands = {63.0,   125.0,  250.0,  500.0,
                                                  1000.0, 2000.0, 4000.0, 8000.0};
constexpr float kDistinctDrive = 0.5f;
constexpr double kDistinctMinDb = 3.0;

// Gain ladder: THD of 1 kHz at -18 dBFS, drive 0.5; the drive models that are
// neither clean nor octave models, in the archive's order, each at least 2 dB above
// the one before.
constexpr double kLadderHz = 1000.0;
constexpr double kLadderDbfs = -18.0;
constexpr float kLadderDrive = 0.5f;
constexpr double kLadderMinStepDb = 2.0;

// Breakup: THD of 1 kHz from -42 to -3 dBFS in 3 dB steps (floor -100 dB, see
// Curves.h) at each drive; no step rises more than 12 dB.
constexpr std::array<float, 2> kBreakupDrives = {0.5f, 1.0f};
constexpr double kBreakupMaxStepDb = 12.0;

// Bass sweep (clean models): -24 dBFS tones at 80 Hz and 5 kHz, drive 0.5; bass 0 to
// 1 moves 80 Hz by 8..20 dB and 5 kHz by at most 3 dB.
constexpr double kSweepDbfs = -24.0;
constexpr double kSweepHighHz = 5000.0;
constexpr double kSweepMinLowDb = 8.0;
constexpr double kSweepMaxLowDb = 20.0;
constexpr double kSweepMaxHighDb = 3.0;

// Fuzz (octave models): 220 Hz at -36 dBFS, drive 0.5: harmonics 3..9 together at
// least -30 dB re the fundamental; the output's RMS rises at most 0.7 dB per dB of
// input from -36 to -6 dBFS (drive 0.5); at -6 dBFS and drive 1 the octave (H2) at
// least -10 dB.
constexpr double kFuzzHz = 220.0;
constexpr double kFuzzQuietDbfs = -36.0;
constexpr double kFuzzLoudDbfs = -6.0;
constexpr float kFuzzDrive = 0.5f;
constexpr float kFuzzHardDrive = 1.0f;
constexpr double kFuzzMinOddDb = -30.0;
constexpr double kFuzzMaxSlope = 0.7;
constexpr double kFuzzMinOctaveDb = -10.0;

// Decay (high-gain models): a plucked E3 of -12 dBFS peak at drive 0.75 fades
// (0.3..2.0 s) at most 0.6 times as fast as the dry string.
constexpr double kDecayHz = 164.81;
constexpr double kDecayDbfs = -12.0;
constexpr float kDecayDrive = 0.75f;
constexpr double kDecaySeconds = 2.5;
constexpr double kDecayFrom = 0.3, kDecayTo = 2.0;
constexpr double kDecayMaxRatio = 0.6;

// Cabinet level: the plucked phrase (made at 48 kHz, resampled) through each model at
// its defaults and then each shipped cabinet (loaded and levelled as the plug-in
// loads it); for every model the loudest cabinet's RMS at most 1.5 dB above the
// quietest's.
constexpr double kCabinetSpreadMaxDb = 1.5;

// Cabinet switching: a sustained chord (G major on a 50 Hz fundamental, so that a
// 20 ms window holds whole periods; each note a sawtooth's partials up to 5 kHz, its
// fundamental at -24 dBFS, the chord's peak -6.9 dBFS) through the channel engine
// with a model at its defaults and cabinet A; at kSwitchAtSeconds cabinet B is
// offered (A or B may be off), and kSwitchAfterSeconds more are played. The
// output's band above 6 kHz (an 8th-order Butterworth high-pass), where every
// shipped cabinet has rolled off and a click stands out, in 20 ms windows sliding
// by a sample: the loudest window from kSwitchSteadySeconds before the change to
// the end at most 3 dB above the steady level of the louder sound (the mean square
// of the last kSwitchSteadySeconds before the change, and of the last at the end).
// (Above 2 kHz the chord's steady sound hides a change without a crossfade: it
// reads at most 1.1 dB over there.)
constexpr std::array<double, 4> kSwitchChordHz = {100.0, 150.0, 200.0, 250.0};
constexpr double kSwitchChordDbfs = -24.0;
constexpr double kSwitchChordTopHz = 5000.0;
constexpr double kSwitchBandHz = 6000.0;
constexpr double kSwitchWindowSeconds = 0.02;
constexpr double kSwitchAtSeconds = 0.6;
constexpr double kSwitchAfterSeconds = 0.6;
constexpr double kSwitchSteadySeconds = 0.2;
constexpr double kSwitchMaxExcessDb = 3.0;

// CPU: x real time per channel of the phrase at 44.1 kHz, block 512, through the
// LV2 plug-in; the slowest model at least twice Calf Saturator's.
constexpr double kCpuRate = 44100.0;
constexpr unsigned kCpuBlock = 512;
constexpr double kCpuMinRatio = 2.0;

// The rig on recorded guitar (quorle-model measure --rig DIR; RigMeasure.h):
// at the default controls through its own cabinet each model's RMS within 3 dB of
// the dry input's on the phrase and on every take, the models' means at most 3 dB
// apart; the non-linear share at drive 0.5 and 1 rising by at least 2 dB a step
// along the ladder (a high-gain model after another at least as distorted); at
// drive 1 the fizz (4-8 kHz re 0.2-2 kHz) at most 4 dB above gxmetal_amp at its
// maximum without a cabinet, and through gx_cabinet's 4x12 at most 4 dB above
// gx_amp at its maximum through that cabinet, its own; a low note's decay at the
// defaults no faster than dry.
constexpr double kRigLevelMaxReDryDb = 3.0;
constexpr double kRigLevelSpreadMaxDb = 3.0;
constexpr std::array<float, 4> kRigDrives = {0.25f, 0.5f, 0.75f, 1.0f}; // measured
constexpr std::array<size_t, 2> kRigLadderDrives = {1, 3};              // judged: drives 0.5 and 1
constexpr double kRigLadderMinStepDb = 2.0;
constexpr double kRigFizzLoHz = 4000.0, kRigFizzHiHz = 8000.0;
constexpr double kRigFizzRefLoHz = 200.0, kRigFizzRefHiHz = 2000.0;
constexpr double kRigFizzMaxAboveDb = 4.0;
constexpr double kRigDecayMaxRatio = 1.0;
constexpr const char* kRigPeerAmpUri = "http://guitarix.sourceforge.net/plugins/gx_amp#GUITARIX";
constexpr const char* kRigPeerMetalUri =
    "http://guitarix.sourceforge.net/plugins/gxmetal_amp#metal_amp";
constexpr const char* kRigPeerCabinetUri =
    "http://guitarix.sourceforge.net/plugins/gx_cabinet#CABINET";
constexpr float kRigPeerCabinetModel = 0.0f; // 4x12, gx_amp's own by default

// Cabinet shape: each shipped cabinet's impulse response, 1/12-octave smoothed, 0 dB
// at 1 kHz (CabinetShape.h): a low resonance of at least +3 dB somewhere in 70..200
// Hz; a presence peak of +3..+12 dB in 1.8..4.5 kHz; the -10 dB point (the first
// frequency above the presence peak 10 dB under 1 kHz) in 5.0..8.5 kHz; and at
// least half of the cabinets with a narrow notch or peak of 6 dB or more in 0.5..8
// kHz (a point that far below, or above, both points a third of an octave away).
constexpr double kShapeResonanceLoHz = 70.0, kShapeResonanceHiHz = 200.0;
constexpr double kShapeResonanceMinDb = 3.0;
constexpr double kShapePresenceLoHz = 1800.0, kShapePresenceHiHz = 4500.0;
constexpr double kShapePresenceMinDb = 3.0, kShapePresenceMaxDb = 12.0;
constexpr double kShapeMinus10LoHz = 5000.0, kShapeMinus10HiHz = 8500.0;
constexpr double kShapeFeatureLoHz = 500.0, kShapeFeatureHiHz = 8000.0;
constexpr double kShapeFeatureMinDb = 6.0;
constexpr double kShapeFeatureNeighbourOctaves = 1.0 / 3.0;
constexpr double kShapeFeatureMinShare = 0.5;

} // namespace measure::targets
