// The equaliser building block: one FilterParams behind the effect interface,
// with seven 0..1 parameters (order, shelf type, passes, frequency, alpha, K,
// post gain). Only the first channel of a block is processed.
#pragma once

#include "blocks/FilterParams.h"
#include "blocks/StateClearing.h"
#include "effect/AudioEffectX.h"

class QrIIRFilter : public AudioEffectX, public StateClearing {
  public:
    // Zeroes the history of every pass; coefficients and controls stay.
    void clearState() override;
    enum Param { kOrder, kType, kPasses, kFrequency, kAlpha, kK, kPostGain, kNumParams };

    explicit QrIIRFilter(HostCallback callback);
    ~QrIIRFilter() override;

    void setParameter(int32_t index, float value) override;
    float getParameter(int32_t index) override;
    // Overwrites the output; processReplacing is the same operation.
    void process(float** inputs, float** outputs, int32_t sampleFrames) override;
    void processReplacing(float** inputs, float** outputs, int32_t sampleFrames) override;
    void setProgramName(char* name) override;
    void getProgramName(char* name) override;
    void getParameterLabel(int32_t index, char* label) override;
    void getParameterDisplay(int32_t index, char* text) override;
    void getParameterName(int32_t index, char* text) override;
    void setSampleRate(float rate) override;
    // Sets the channel count from whether the second input is connected.
    void resume() override;
    void setBlockSizeAndSampleRate(int32_t frames, float rate) override;

    FilterParams params;

  private:
    char programName[kTextSize];
};
