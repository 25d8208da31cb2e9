// Moving average of magnitude over the last N samples of the input node's slot.
// Output parameter 0 is the mean magnitude; every other output parameter is 1.
//
// The window N comes in one of two forms:
// - samples: input parameter 0 (default 1), truncated to whole samples. A change of N
//   restarts the window from silence and allocates a new ring on that block; that is
//   the one allocation a graph makes while running.
// - milliseconds (setWindowMs, a model's `ms` attribute): N = round(ms x rate / 1000)
//   at the node's running rate (Hz, 44100 until setSampleRate gives one), bounded to
//   1..kMaxAverageSamples. prepare() reserves the ring for the window at the highest
//   rate an effect can run at, kMaxRunningRate (capacityForMs samples); a rate change
//   then only moves N within that ring, restarting the window from silence, and
//   allocates nothing.
//
// The running sum makes each sample O(1) whatever N.
#pragma once

#include "graph/AudioNodeProcessor.h"

class AveragerAN : public AudioNodeProcessor {
  public:
    // Longest window: four seconds at 192 kHz (samples).
    static constexpr int32_t kMaxAverageSamples = 4 * 192000;
    // Highest rate an effect runs at: 384 kHz oversampled 8 times (Hz).
    static constexpr double kMaxRunningRate = 3072000.0;
    // Rate assumed until one is given (Hz).
    static constexpr float kDefaultRate = 44100.0f;

    AveragerAN() = default;
    ~AveragerAN() override;

    // Audio thread, once per block.
    void process(float*** buffers, int sampleFrames) override;
    // Setup thread, before the first block: sizes the window (and, for a window in
    // milliseconds, reserves its ring), so that a freshly built graph does not
    // allocate while it runs.
    void prepare();
    float getParam(int index) override;
    // Setup thread, between blocks: the rate the node runs at (Hz). A window in
    // milliseconds follows it within its ring. A rate that is not a positive finite
    // number is ignored.
    void setSampleRate(float rate) override;
    // Setup thread, while building: the window in milliseconds (a positive finite
    // number); allocates nothing until prepare().
    void setWindowMs(double ms);
    // Sets the window length in samples. A length outside 1..kMaxAverageSamples,
    // or one whose ring cannot be allocated, keeps the current window (or starts a
    // one-sample window when there is none yet).
    void setAverageSamples(int n);
    // Empties the window (zero ring, sum and position); its length stays.
    void clearState();

    // The window for `ms` milliseconds at `rate` Hz, in samples, 1..kMaxAverageSamples.
    static int32_t samplesForMs(double ms, double rate);
    // The ring a window of `ms` milliseconds reserves: its length at kMaxRunningRate.
    static int32_t capacityForMs(double ms) { return samplesForMs(ms, kMaxRunningRate); }

    int32_t averageSamples = 0;
    int32_t ringPos = 0;
    float* ring = nullptr; // owned, `capacity` entries, the first averageSamples in use
    int32_t capacity = 0;
    double sum = 0.0;
    double windowMs = 0.0;     // ms; 0: the window is input parameter 0, in samples
    float rate = kDefaultRate; // Hz

  private:
    // Moves a millisecond window to the current rate within the ring; allocates nothing.
    void followRate();
};
