// Recordings of a real guitar for measuring: any file libsndfile reads, mixed to
// mono, resampled and brought to one RMS level, so that every take drives a model
// as a guitar at a sensible input level does. tools/measure/recordings.sh makes a
// folder of them from Debian's packages. Runs on the calling thread.
#pragma once

#include "tools/measure/Signals.h"

#include <string>
#include <vector>

namespace measure {

// The level every recording is brought to (dBFS RMS over the whole take).
constexpr double kRecordingDbfs = -21.0;

struct Recording {
    std::string name; // the file's name without its folder and extension
    Signal audio;     // mono, at the rate asked for, at kRecordingDbfs RMS
};

// The file at `path` as a Recording at `rate` Hz. Throws RenderError, one sentence
// naming the file, when it cannot be read or holds only silence.
Recording readRecording(const std::string& path, double rate);

// Every file of the folder `dir` whose name ends in .wav or .flac, sorted by name;
// `dir` may also name one file. Throws RenderError when there is none or one cannot
// be read.
std::vector<Recording> readRecordings(const std::string& dir, double rate);

} // namespace measure
