// One 2x step of the oversampler: a linear-phase halfband FIR (a Kaiser-windowed
// sinc of 4m - 1 taps, cut at a quarter of the higher rate) run polyphase, as an
// interpolator (HalfbandUp) or a decimator (HalfbandDown). Only the m distinct
// side coefficients are multiplied; the centre tap is a plain delay.
//
// Delays, in samples of the higher rate: the interpolator 2m - 1, the decimator
// 2m - 1 - phase (phase 0 or 1 picks which input of each pair is its newest).
//
// Setup thread: construction allocates the state for `maxInput` input samples per
// call. Audio thread: process(), reset() and setPhase() allocate nothing.
#pragma once

#include <vector>

// The m side coefficients (taps at odd distances 2m-1, .. 3, 1 from the centre,
// farthest first), summing to 1/4 so that the DC gain is exactly 1. `beta` is the
// Kaiser window's shape (about 0.1102 * (attenuation dB - 8.7)).
std::vector<float> designHalfband(int m, double beta);

// The side taps both filters run, for i in [0, n):
//   acc[i] = gain[0] (w[i + 2 taps - 1] + w[i]) + ... + gain[taps - 1] (w[i + taps] +
//            w[i + taps - 1]),
// summed from j = 0 up, w holding n + 2 taps - 1 samples; then, where `centre` is
// not null, acc[i] + 0.5 centre[i] (the decimator's centre tap). acc is neither w nor
// centre. halfbandSideTaps runs the widest build the processor has (AVX2 or SSE2,
// chosen at load), the baseline one the SSE2 build; both give the same bits as the
// plain loop. Audio thread.
void halfbandSideTaps(const float* gain, int taps, const float* w, const float* centre, float* acc,
                      int n);
void halfbandSideTapsBaseline(const float* gain, int taps, const float* w, const float* centre,
                              float* acc, int n);

class HalfbandUp {
  public:
    HalfbandUp(const std::vector<float>& side, int maxInput);
    // `n` samples in (n <= maxInput), 2n out.
    void process(const float* in, int n, float* out);
    void reset();
    int delay() const { return 2 * mTaps - 1; }

  private:
    int mTaps;                // m
    std::vector<float> mGain; // side coefficients x 2, farthest first
    std::vector<float> mWork; // 2m - 1 past inputs, then the new ones
    std::vector<float> mAcc;  // one tile of the filtered phase
};

class HalfbandDown {
  public:
    HalfbandDown(const std::vector<float>& side, int maxOutput);
    // 2n samples in (n <= maxOutput), n out.
    void process(const float* in, int n, float* out);
    void reset();
    // 0: output i is centred on input 2i - (2m - 1); 1: on input 2i + 1 - (2m - 1).
    // Clears the state too.
    void setPhase(int phase);
    int delay() const { return 2 * mTaps - 1 - mPhase; }

  private:
    int mTaps;
    int mPhase = 0;
    std::vector<float> mGain;   // side coefficients, farthest first
    std::vector<float> mSide;   // the inputs on the side taps: 2m - 1 past, then new
    std::vector<float> mCentre; // the inputs on the centre tap: m past, then new
};
