// Speaker cabinets of our own design: a guitar speaker in its box, taken by a
// close microphone, described by a short text and rendered as an impulse response
// that the plug-in's cabinet stage convolves with. quorle-model pack renders each
// data/cabinets/NAME.txt into the data archive as cabinets/NAME.wav.
//
//   # 4x12-closed: tight, thumping lows, a barking upper mid, a dark top.
//   speakers = 4              1..4 speakers of one kind, one of them taken
//   resonance = 85            Hz, 40..200: the speaker's low resonance in its box
//   resonance_q = 1.3         0.3..3: above 0.7 a bump at the resonance
//   resonance_db = 8          dB, 0..20: the rise a valve amp's high output impedance
//                             gives at the speaker's impedance peak (a bump of Q 2
//                             at the resonance); 0: none
//   back = closed             closed or open
//   back_cut = 150            Hz, 40..400, open back only: its lows cancel below
//   breakup = 3200 4 2.5      Hz dB Q: a cone break-up mode, 500..8000 Hz, -24..+12 dB
//                             (< 0: a dip; a high Q makes it a narrow notch), Q
//                             0.5..20; 1 to 6 lines
//   rolloff = 4600            Hz, 3000..8000: where the cone stops radiating
//   rolloff_sections = 3      2 or 3 second-order sections (24 or 36 dB/octave)
//   mic_angle = 15            degrees off the axis, 0..90: darker further off
//   mic_distance = 2.5        cm from the cone, 0..30: an early reflection
//   reflection = 0.25         0..0.8: that reflection's level
//   detune = 4                percent, 0..10: how far the speakers differ
//   spread = 0.25             ms, 0..1: how much later the farthest speaker arrives
//   others = 0.45             0..1: each other speaker's level at the microphone
//   box_reflection = -0.3     -0.8..0.8: the sound off the box's back panel (or the
//                             room behind an open back) reaching the microphone
//                             through the cone, at this level (< 0: inverted); 0: none
//   box_delay = 1.6           ms, 0.2..5: how much later it arrives
//   box_tone = 1500           Hz, 300..8000: it is darker above this (a second-order
//                             low-pass)
//
// Lines are "key = value" or comments starting with "#"; speakers, resonance,
// resonance_q, back, at least one breakup and rolloff are required, the rest have
// the defaults below (resonance_db 0 and box_reflection 0 add nothing: a text
// without them sounds as it did before they existed).
#pragma once

#include <string>
#include <vector>

// One resonance of the cone breaking up.
struct BreakupPeak {
    double hz = 0; // 500..8000
    double db = 0; // -24..+12
    double q = 1;  // 0.5..20
};

struct CabinetDesign {
    int speakers = 1;
    double resonance = 0;   // Hz
    double resonanceQ = 0;  //
    double resonanceDb = 0; // the valve amp's rise at the resonance; 0: none
    bool openBack = false;  //
    double backCut = 0;     // Hz; 0: 1.5 x the resonance (open back only)
    std::vector<BreakupPeak> breakup;
    double rolloff = 0; // Hz
    int rolloffSections = 2;
    double micAngle = 0;    // degrees: a high shelf above 2.5 kHz of 3 - angle/10 dB
    double micDistance = 0; // cm: a reflection 2 x distance / (343 m/s) later; 0: none
    double reflection = 0.25;
    double detune = 3;   // percent
    double spread = 0.2; // ms
    double others = 0.5;
    double boxReflection = 0; // 0: none
    double boxDelay = 1.5;    // ms
    double boxTone = 2000;    // Hz
};

struct CabinetError {
    int line = 0; // 1-based; 0 for the text as a whole
    std::string message;
};

// The rate the data archive holds cabinets at (Hz).
constexpr int kArchiveCabinetRate = 48000;

// Reads a cabinet text. False, with the line and the reason, for an unknown key, a
// value that is not a number or is out of its range, a key set twice, a seventh
// breakup, back_cut with a closed back, or a required key missing (line 0).
bool readCabinetDesign(const std::string& text, CabinetDesign& design, CabinetError& error);

// The cabinet's impulse response at `rate` (16000..768000 Hz; empty otherwise):
// run until everything after its end is more than 80 dB under its peak, the peak
// at 0.5. Its biquads run at a multiple of `rate` of at least 176.4 kHz and are
// sampled down, so that the response is the same in Hz at every rate (the roll-off
// leaves nothing to fold back). Runs on the calling thread.
std::vector<float> cabinetResponse(const CabinetDesign& design, double rate);

// The gain (dB) of the impulse response `ir` at `hz`, for a rate of `rate`.
double responseDb(const std::vector<float>& ir, double rate, double hz);

// `ir` as a mono 32-bit float WAV file at `rate`; empty when it cannot be encoded.
std::string cabinetWav(const std::vector<float>& ir, int rate);
