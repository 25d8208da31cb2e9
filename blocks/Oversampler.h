// Oversampling around an effect for one channel: upsample() raises a block from the
// base rate to base x factor, downsample() brings the effect's output back. The
// factors are 1 (a plain copy, no latency), 2, 4 and 8, each a cascade of halfband
// steps (blocks/Halfband.h): the first step carries the steep filter, the later ones,
// whose neighbouring images lie far away, are short.
//
// The round trip delays by latency() base-rate samples, a whole number at every
// factor (each decimator's phase is chosen so), so a host can compensate it exactly.
//
// Setup thread: construction allocates everything every factor needs. Audio thread:
// setFactor(), upsample(), downsample() and reset() allocate nothing, take no lock
// and throw nothing.
#pragma once

#include "blocks/Halfband.h"

#include <vector>

class Oversampler {
  public:
    static constexpr int kMaxFactor = 8;

    // `baseRate` in Hz (> 0), `maxFrames` base-rate frames per call (1 .. INT_MAX /
    // 8). Anything else throws std::invalid_argument. Starts at factor 1.
    Oversampler(double baseRate, int maxFrames);

    // 1, 2, 4 or 8; false for anything else, the factor unchanged. Clears the state.
    bool setFactor(int factor);
    int factor() const { return mFactor; }
    // True for the factors setFactor() takes.
    static bool isValidFactor(long factor);

    // `n` base-rate samples in, n x factor out. Calls of more than maxFrames() are
    // run in pieces.
    void upsample(const float* in, int n, float* out);
    // n x factor samples in, `n` base-rate samples out.
    void downsample(const float* in, float* out, int n);
    // The round trip's delay in base-rate samples at the current factor.
    int latency() const { return latencyFor(mFactor); }
    // The same for any factor setFactor() takes (0 for others); allocates nothing.
    static int latencyFor(int factor);
    // Silences every step's state.
    void reset();

    double baseRate() const { return mBaseRate; }
    int maxFrames() const { return mMaxFrames; }

  private:
    static int stages(int factor); // log2(factor)
    // The decimator phases (bit k for step k) that make a cascade of `count` steps
    // delay by a whole number of base-rate samples; that number in `latency`.
    static int choosePhases(int count, int& latency);

    double mBaseRate;
    int mMaxFrames;
    int mFactor = 1;
    std::vector<HalfbandUp> mUp;     // step k: base x 2^k -> base x 2^(k+1)
    std::vector<HalfbandDown> mDown; // step k: base x 2^(k+1) -> base x 2^k
    std::vector<float> mBetween[2];  // the rates between the first and the last step
};
