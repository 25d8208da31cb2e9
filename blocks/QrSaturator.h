// The saturator building block (effect kind "sat"): a smooth, optionally
// asymmetric soft clipper with first-order antiderivative anti-aliasing, a DC cut
// behind it and a post-gain.
//
// Per channel and sample: u = g x + b, y = f(u) - f(b) (the static offset of the
// bias taken off at once), then a one-pole DC-blocking high-pass, then the post-gain.
// f blends two curves, (1 - s) knee(u) + s soft(u). The knee curve is linear up to the
// knee k and bends quadratically into +-1 (continuous slope):
//   |u| <= k:         knee = u
//   k < |u| < 2 - k:  knee = sign(u) (|u| - (|u| - k)^2 / (4 (1 - k)))
//   |u| >= 2 - k:     knee = sign(u)
// The soft curve u - 4 u^3 / 27 (up to |u| = 1.5, then +-1) bends from the smallest
// signal on, so its harmonics rise steadily with the level, as a valve stage's do,
// where the knee curve is clean up to the knee and then breaks up within a few dB.
// It is applied through its antiderivative F: y[n] = (F(u[n]) - F(u[n-1])) /
// (u[n] - u[n-1]), the mean of f over the straight line from u[n-1] to u[n], which
// keeps most of what a sampled curve would fold back below the Nyquist frequency.
//
// Six 0..1 parameters, stored and reported as set; values outside 0..1 (NaN as 0)
// act as the nearest end:
//   0 Pre-gain:  g = 60 p - 20 dB       (default 1/3: 0 dB)
//   1 Asymmetry: b = 0.5 p              (default 0: symmetric)
//   2 Hardness:  k = 0.95 p             (default 0.5)
//   3 Post-gain: 60 p - 40 dB           (default 2/3: 0 dB)
//   4 DC cut:    corner 40 p Hz, 0 off  (default 0.25: 10 Hz), at the running rate
//   5 Softness:  s = p                  (default 0: the knee curve alone)
// Up to two channels, each with its own state. Processing allocates nothing, takes
// no lock and throws nothing; where a step of u is too small for the quotient (a
// constant input, or a NaN from a non-finite one) the output is the mean of f at the
// step's two ends, and clearState() forgets whatever a non-finite input left in the
// state.
#pragma once

#include "blocks/StateClearing.h"
#include "effect/AudioEffectX.h"

// The curve's constants for one knee and softness.
struct SaturatorShape {
    double k;     // knee, 0..0.95
    double top;   // 2 - k: where the curve reaches +-1
    double inv4;  // 1 / (4 (1 - k))
    double inv12; // 1 / (12 (1 - k))
    double soft;  // weight of the soft curve, 0..1
    double hard;  // 1 - soft: weight of the knee curve
};

// Everything one block of one channel runs on besides its state.
struct SaturatorStage {
    SaturatorShape shape;
    double pre;    // linear pre-gain
    double bias;   // added after the pre-gain
    double offset; // f(bias)
    double post;   // linear post-gain
    double pole;   // the DC cut's one-pole coefficient
};

class QrSaturator : public AudioEffectX, public StateClearing {
  public:
    enum Param { kPreGain, kAsymmetry, kHardness, kPostGain, kDcCut, kSoftness, kNumParams };
    static constexpr int32_t kMaxChannels = 2;

    explicit QrSaturator(HostCallback callback);
    ~QrSaturator() override;

    // Setup or audio thread, between blocks.
    void setParameter(int32_t index, float value) override;
    float getParameter(int32_t index) override;
    // Audio thread. process() adds to the output, processReplacing() overwrites it.
    void process(float** inputs, float** outputs, int32_t sampleFrames) override;
    void processReplacing(float** inputs, float** outputs, int32_t sampleFrames) override;
    // Setup thread: the DC cut's coefficient follows the rate (Hz). A rate that is not
    // a positive finite number turns the cut off until a usable one is given.
    void setSampleRate(float rate) override;
    void setBlockSizeAndSampleRate(int32_t frames, float rate) override;
    void setProgramName(char* name) override; // cut to 31 characters
    void getProgramName(char* name) override;
    void getParameterLabel(int32_t index, char* label) override; // "dB", "Hz" or empty
    // Natural units: gains in dB, the bias and the knee as they act on the signal,
    // the corner in Hz ("off" at 0).
    void getParameterDisplay(int32_t index, char* text) override;
    void getParameterName(int32_t index, char* text) override;
    // Forgets the previous input and the DC cut's history; parameters stay.
    void clearState() override;

    // The curve f at u for knee k (0 <= k < 1) and softness s (0..1), without
    // anti-aliasing.
    static float curve(float u, float k, float softness = 0.0f);
    // Its antiderivative F, even, with F(0) = 0.
    static double antiderivative(double u, double k, double softness = 0.0);

  private:
    void updateCoefficients();
    void run(float** inputs, float** outputs, int32_t sampleFrames, bool replacing);

    float values[kNumParams] = {1.0f / 3.0f, 0.0f, 0.5f, 2.0f / 3.0f, 0.25f, 0.0f}; // as set
    // Derived from the values; recomputed when one of them or the rate changes, so that
    // a block only reads them.
    float preGain = 1.0f;  // linear
    float postGain = 1.0f; // linear
    double bias = 0.0;     // added after the pre-gain
    double knee = 0.475;   // k
    double softness = 0.0; // s
    double offset = 0.0;   // f(bias)
    double dcPole = 0.0;   // one-pole coefficient of the DC cut
    bool dcCut = true;     // false: the cut is off
    SaturatorStage stage{};
    // Per channel: the previous u, and the DC cut's previous input and output.
    double lastU[kMaxChannels] = {};
    double dcIn[kMaxChannels] = {};
    double dcOut[kMaxChannels] = {};
    char programName[kTextSize];
};
