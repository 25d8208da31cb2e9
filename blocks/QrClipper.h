// The clipper building block (effect kind "clip"): a pre-gain, then either a hard
// clip against two levels or, with an averaging window of 2..100 samples, a gain
// reduction whenever the moving mean of the magnitude exceeds the positive level;
// then a post-gain. Both gains are 16 x their control, so 0.0625 means unity.
//
// Five 0..1 parameters: pre-gain, clip positive, clip negative, post-gain, and the
// average time in milliseconds (window = time x sample rate, at most 100 samples,
// fixed when the parameter is set). Processing allocates nothing: the window's ring
// is a fixed array inside the object.
#pragma once

#include "blocks/StateClearing.h"
#include "effect/AudioEffectX.h"

class QrClipper : public AudioEffectX, public StateClearing {
  public:
    enum Param { kPreGain, kClipPos, kClipNeg, kPostGain, kAverageTime, kNumParams };
    static constexpr int32_t kMaxWindow = 100; // samples

    explicit QrClipper(HostCallback callback);
    ~QrClipper() override;

    void setParameter(int32_t index, float value) override;
    float getParameter(int32_t index) override;
    // Adds to the output.
    void process(float** inputs, float** outputs, int32_t sampleFrames) override;
    // Overwrites the output.
    void processReplacing(float** inputs, float** outputs, int32_t sampleFrames) override;
    void setProgramName(char* name) override;
    void getProgramName(char* name) override;
    void getParameterLabel(int32_t index, char* label) override;
    void getParameterDisplay(int32_t index, char* text) override;
    void getParameterName(int32_t index, char* text) override;

    // The shared processing loop: one channel, or two when the second input is
    // connected; the channels share one magnitude detector.
    void processR(float** inputs, float** outputs, int32_t sampleFrames, bool replacing);
    // One step of the magnitude detector: stores |x| in the window and returns the
    // window's mean, the current sample included. Meaningful with a window of 1 or more.
    float averager(float x);
    // Empties the detector window; the levels, gains and window length stay.
    void clearState() override;

  private:
    float clipNeg = 0.5f;     // magnitude of the negative level
    float clipPos = 0.5f;     // positive level; the averaging mode's threshold
    float preGain = 0.0625f;  // applied as 16 x preGain
    float postGain = 0.0625f; // applied as 16 x postGain
    int32_t avgIndex = 0;     // next write position in avgRing, below avgLength while averaging
    int32_t avgLength = 0;    // window in samples, 0..kMaxWindow; 0 or 1 hard-clips
    float avgTime = 0.0f;     // seconds
    float avgRing[kMaxWindow] = {}; // the last avgLength magnitudes (after the pre-gain)
    float avgSum = 0.0f;            // running sum of avgRing[0 .. avgLength-1]
    char programName[kTextSize];
};
