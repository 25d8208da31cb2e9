// One 2x step of the oversampler: a polyphase IIR halfband, two parallel chains of
// first-order allpass sections in z^2,
//   H(z) = (A0(z^2) + z^-1 A1(z^2)) / 2,   each section (a + z^-2) / (1 + a z^-2),
// run at the lower rate as an interpolator (AllpassHalfbandUp) or a decimator
// (AllpassHalfbandDown): one multiply per coefficient per lower-rate sample, the two
// chains side by side in one register (AVX2 encodings where the processor has them,
// chosen at load; the same bits in every build). Its phase is not linear: the delay
// is a few samples, fractional, and grows towards the band edge
// (allpassHalfbandDelay() gives it at 0 Hz).
//
// Setup thread: designAllpassHalfband() and the constructors. Audio thread:
// process(), reset() and setPhase() allocate nothing, take no lock, throw nothing.
#pragma once

#include <vector>

constexpr int kMaxAllpassCoefficients = 16;

// The elliptic halfband of the fewest coefficients, an even count (the chains run
// side by side, so an odd count costs as much as the next even one) of at most
// kMaxAllpassCoefficients, that rejects at least `rejectionDb` over its stopband;
// computed in double precision. `transition` is the width of the transition band as
// a fraction of the higher rate, 0 < transition < 0.5: the passband ends at 0.25 -
// transition / 2, the stopband starts at 0.25 + transition / 2. Sorted ascending;
// A0 takes the 1st, 3rd, 5th..., A1 the 2nd, 4th.... Throws std::invalid_argument
// when the transition is out of range or the rejection needs more coefficients.
std::vector<double> designAllpassHalfband(double rejectionDb, double transition);

// |H| in dB at `frequency` (a fraction of the higher rate, 0 .. 0.5).
double allpassHalfbandGainDb(const std::vector<double>& coefficients, double frequency);
// The worst rejection in dB (positive) over the stopband of `transition`.
double allpassHalfbandRejectionDb(const std::vector<double>& coefficients, double transition);
// The group delay at 0 Hz in samples of the higher rate (the interpolator's, and the
// decimator's at phase 0).
double allpassHalfbandDelay(const std::vector<double>& coefficients);

class AllpassHalfbandUp;
class AllpassHalfbandDown;

// Two or three consecutive steps as one filter (steps[k + 1]'s lower rate is
// steps[k]'s higher one): each lower-rate sample runs up through every step, or down
// through every step, in registers, with the same float operations in the same order
// as the steps' process() calls one after another, so the same bits. `n` counts
// samples at steps[0]'s lower rate (in for the interpolators, out for the
// decimators). False, with nothing done, when no joined kernel fits the steps'
// coefficient counts (those of the oversampler's cascade have one); the caller then
// runs the steps one by one. Audio thread, as process(): allocates nothing, takes no
// lock, throws nothing.
bool processJoined(AllpassHalfbandUp* steps, int count, const float* in, int n, float* out);
bool processJoined(AllpassHalfbandDown* steps, int count, const float* in, int n, float* out);

// The filters take a design as designAllpassHalfband() gives it (an even count of 2
// to 16 coefficients; anything else throws std::invalid_argument).
class AllpassHalfbandUp {
  public:
    explicit AllpassHalfbandUp(const std::vector<double>& coefficients);
    // `n` samples in, 2n out (`out` does not overlap `in`).
    void process(const float* in, int n, float* out);
    void reset();

  private:
    friend bool processJoined(AllpassHalfbandUp*, int, const float*, int, float*);
    void (*mKernel)(const float*, float*, const float*, int, float*);
    int mSections;
    float mCoefficients[kMaxAllpassCoefficients];   // A0's and A1's section k side by side
    float mState[kMaxAllpassCoefficients + 2] = {}; // the chains' last inputs and outputs
};

class AllpassHalfbandDown {
  public:
    explicit AllpassHalfbandDown(const std::vector<double>& coefficients);
    // 2n samples in, `n` out (`out` may be `in`).
    void process(const float* in, int n, float* out);
    void reset();
    // 0: A0 takes the even inputs, A1 the odd ones, its output added to the next
    // output, and the delay is allpassHalfbandDelay(); 1: A0 takes the odd inputs, A1
    // the even ones of the same pair, and the delay is one input sample less. Clears
    // the state too.
    void setPhase(int phase);

  private:
    friend bool processJoined(AllpassHalfbandDown*, int, const float*, int, float*);
    void (*mKernel[2])(const float*, float*, const float*, int, float*);
    int mSections;
    int mPhase = 0;
    float mCoefficients[kMaxAllpassCoefficients];
    float mState[kMaxAllpassCoefficients + 3] = {}; // the chains', then A1's held output
};
