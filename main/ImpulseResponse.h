// A player's impulse responses (a speaker cabinet, a room) for the cabinet stage:
// read from a sound file or from bytes in memory, then made ready for convolution
// at the engine's rate, resampled and levelled.
// Any thread but the audio thread; everything here allocates.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

struct ImpulseResponse {
    double rate = 0.0;                        // Hz
    std::vector<std::vector<float>> channels; // 1 or 2, equally long
};

namespace impulse {

constexpr double kMaxSeconds = 2.0;         // the longest response taken, at its own rate
constexpr int kMinRate = 8000;              // Hz
constexpr int kMaxRate = 384000;            // Hz
constexpr size_t kMaxChannels = 2;          // mono or stereo
constexpr size_t kMaxPathBytes = 4095;      // a path of 4096 bytes or more is refused
constexpr size_t kMaxFileBytes = 32u << 20; // 2 s of 64-bit stereo at 384 kHz is 12.3 MB
constexpr double kBandLowHz = 125.0;        // centre of the lowest octave band levelled
constexpr double kBandHighHz = 8000.0;      // centre of the highest
constexpr double kMaxPeakGain = 16.0; // +24 dB: the most a levelled response raises any frequency

// A sound file libsndfile reads (WAV, FLAC, AIFF, Ogg...). The path is opened once,
// without blocking; what is not a regular file of 1 to kMaxFileBytes bytes is refused
// before anything is decoded, and so is a response of 0 frames, longer than
// kMaxSeconds at its own rate, with a NaN or infinite sample, of more than two
// channels, at a rate outside kMinRate..kMaxRate, or silent (every sample 0). A
// response of one sample is a plain gain and is taken. Samples of integer files are
// scaled to -1..1. On a refusal: nullopt, and `error` is one sentence naming the file;
// on success `error` is emptied. Throws std::bad_alloc.
std::optional<ImpulseResponse> readFile(const std::string& path, std::string& error);

// The bytes readFile() decodes, read as it reads them (nullopt, with its sentence in
// `error`, when it would refuse the file unread): for a caller that checks a file
// and hands the very bytes it checked to another reader (readBytes).
std::optional<std::string> fileBytes(const std::string& path, std::string& error);

// The same from the bytes of a file already in memory (an entry of the data
// archive); `name` names it in the sentence.
std::optional<ImpulseResponse> readBytes(const std::string& bytes, const std::string& name,
                                         std::string& error);

// The response at `rate` (kMinRate..kMaxRate), channels kept, levelled:
//  - resampled by libsamplerate's best sinc converter, lasting as long as before
//    (frames * rate / ir.rate, rounded). Sample 0 stays at time 0, adding no delay:
//    the converter's ringing before it is dropped, which for a response starting at
//    full level on its first sample is an error 36 dB below its level (0.22 dB at
//    most up to 15 kHz from 96 to 48 kHz; from 44.1 to 96 kHz 0.5 dB up to 8 kHz,
//    2 dB at 14 kHz where the response is 27 dB down). A one-sample response stays
//    one sample: a plain gain at any rate.
//  - scaled so that its power gain, averaged over the octave bands centred on
//    125 Hz..8 kHz (kBandLowHz..kBandHighHz, those above half the rate left out), is
//    0 dB. Measured with tools/PluckedPhrase.h at 48 kHz through a bright (+12 dB
//    shelf at 2 kHz), a dark (1.5 kHz low-pass), a one-sample and a room-like
//    (0.25 s decay) response, the output levels lie within 0.9 dB, where unit
//    energy spreads them over 12.5 dB and the bands 125 Hz..4 kHz over 3.2 dB. A
//    stereo response takes one gain, from the mean of its channels, so that its
//    image stays.
//  - but never so far that any frequency is raised above kMaxPeakGain (a response
//    passing almost nothing of the guitar's band).
// A response that readFile() would refuse, a rate outside the range, or a response
// whose resampled samples overflow the float range or cannot be levelled gives an
// empty response (no channels), and then `why`, when given, says why in words that
// follow "FILE: " ("resampled from 8000 to 48000 Hz, its samples grow beyond the
// largest a float holds"). Throws std::bad_alloc.
ImpulseResponse prepared(const ImpulseResponse& ir, double rate, std::string* why = nullptr);

} // namespace impulse
