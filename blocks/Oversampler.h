// Oversampling around an effect for one channel: upsample() raises a block from the
// base rate to base x factor, downsample() brings the effect's output back. The
// factors are 1 (a plain copy, no latency), 2, 4 and 8, each a cascade of polyphase
// IIR halfband steps (blocks/AllpassHalfband.h), designed once when the library
// loads: the first step passes to 0.41 of the base rate and rejects at least 88 dB
// from 0.59 (six coefficients, 99 dB); the later ones, whose neighbouring images lie
// far away, pass to 0.5 and reject at least 88 dB from 1.5 (four coefficients,
// 117 dB) and from 3.5 (two, 94 dB) times the base rate.
//
// The phase is not linear: the round trip's delay is fractional and grows towards
// the top of the band. latency() is the whole number of base-rate samples nearest
// its delay at 0 Hz, each decimator's phase chosen (at load) to keep the phase up to
// a fifth of the base rate nearest that delay: 3 at factor 2 (2.74 at 0 Hz), 4 at 4
// (3.84) and 5 at 8 (4.87); tests/OversamplerTest.cpp states the measured alignment.
//
// Setup thread: construction allocates everything every factor needs. Audio thread:
// setFactor(), upsample(), downsample(), reset(), latencyFor() and delayFor()
// allocate nothing, take no lock and throw nothing.
#pragma once

#include "blocks/AllpassHalfband.h"

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

    // `n` base-rate samples in, n x factor out (`out` does not overlap `in`). Calls of
    // more than maxFrames() are run in pieces.
    void upsample(const float* in, int n, float* out);
    // n x factor samples in, `n` base-rate samples out.
    void downsample(const float* in, float* out, int n);
    // The round trip's delay in base-rate samples at the current factor.
    int latency() const { return latencyFor(mFactor); }
    // The same for any factor setFactor() takes (0 for others).
    static int latencyFor(int factor);
    // The round trip's group delay at 0 Hz in base-rate samples (0 for factor 1 and
    // factors setFactor() refuses).
    static double delayFor(int factor);
    // Silences every step's state.
    void reset();

    double baseRate() const { return mBaseRate; }
    int maxFrames() const { return mMaxFrames; }

  private:
    static int stages(int factor); // log2(factor)

    double mBaseRate;
    int mMaxFrames;
    int mFactor = 1;
    std::vector<AllpassHalfbandUp> mUp;     // step k: base x 2^k -> base x 2^(k+1)
    std::vector<AllpassHalfbandDown> mDown; // step k: base x 2^(k+1) -> base x 2^k
    std::vector<float> mBetween[2];         // between steps run one by one (not joined)
};
