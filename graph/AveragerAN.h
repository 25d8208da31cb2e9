// Moving average of magnitude over the last N samples of the input node's slot.
// N is input parameter 0 (default 1), truncated to whole samples. Output parameter
// 0 is the mean magnitude; every other output parameter is 1.
//
// The running sum makes each sample O(1) whatever N. A change of N restarts the
// window from silence and allocates a new ring on that block; that is the one
// allocation a graph makes while running.
#pragma once

#include "graph/AudioNodeProcessor.h"

class AveragerAN : public AudioNodeProcessor {
  public:
    // Longest window: four seconds at 192 kHz (samples).
    static constexpr int32_t kMaxAverageSamples = 4 * 192000;

    AveragerAN() = default;
    ~AveragerAN() override;

    void process(float*** buffers, int sampleFrames) override;
    // Sizes the window from input parameter 0 ahead of the first block, so that a
    // freshly built graph does not allocate while it runs.
    void prepare();
    float getParam(int index) override;
    // Sets the window length in samples. A length outside 1..kMaxAverageSamples,
    // or one whose ring cannot be allocated, keeps the current window (or starts a
    // one-sample window when there is none yet).
    void setAverageSamples(int n);
    // Empties the window (zero ring, sum and position); its length stays.
    void clearState();

    int32_t averageSamples = 0;
    int32_t ringPos = 0;
    float* ring = nullptr; // owned, averageSamples entries
    double sum = 0.0;
};
