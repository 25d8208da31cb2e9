// The inverter building block: flips the polarity of its input. It keeps no audio
// state and has no parameters that do anything; a preset changes nothing.
// Both processing operations work in place (inputs[c] == outputs[c]).
#pragma once

#include "effect/AudioEffectX.h"

class QrInv : public AudioEffectX {
  public:
    explicit QrInv(HostCallback callback);
    ~QrInv() override;

    // Ignored, without telling the host; every parameter reads 0.
    void setParameter(int32_t index, float value) override;
    float getParameter(int32_t index) override;
    // Subtracts the input from the output.
    void process(float** inputs, float** outputs, int32_t sampleFrames) override;
    // Writes the input with its sign bit flipped: 0 becomes -0.
    void processReplacing(float** inputs, float** outputs, int32_t sampleFrames) override;
    void setProgramName(char* name) override; // cut to 31 characters
    void getProgramName(char* name) override;
    void getParameterLabel(int32_t index, char* label) override; // empty
    // Name and display write nothing: the caller's text stays as it was.
    void getParameterDisplay(int32_t index, char* text) override;
    void getParameterName(int32_t index, char* text) override;

  private:
    char programName[kTextSize];
};
