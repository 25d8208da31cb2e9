// CPU cost of the LV2 plug-in, side by side with Calf Saturator as a reference:
// both loaded with lilv (Lv2Timer) and run over the plucked phrase at 44.1 kHz in
// blocks of 512 frames with their default controls, timed in CPU time of the
// calling thread (setup thread).
#pragma once

#include "tools/measure/Report.h"

#include <string>
#include <vector>

namespace measure {

// How long each plug-in is timed: passes of the 4 s phrase played over and over,
// after one untimed second; the median pass counts.
struct CpuRuns {
    int passes = 5;
    int phrasesPerPass = 5;
};

// x real time per channel (seconds of audio per channel per CPU second) of each of
// the `models` (indices) of the mono plug-in in `bundleDir`, in that order, at the
// `oversampling` factor (its port), and of Calf Saturator with its defaults. A
// figure that cannot be had (no lilv, no Calf, a plug-in that does not
// instantiate) is left out and `why` says why.
CpuFigures measureCpu(const std::string& bundleDir, const std::vector<size_t>& models,
                      unsigned oversampling, CpuRuns runs = {});

} // namespace measure
