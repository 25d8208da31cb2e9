// The delay building block: each channel delayed by a whole number of samples, up
// to 200 ms at full control (0..1). The output is the delayed input alone. A bank of
// 16 programs keeps delay, feedback and volume; only the delay reaches the audio.
//
// Parameters: 0 "Delay" (0..1 = 0..200 ms), 1 "FeedBack", 2 "Volume" (linear gain).
// Only one is reported to the host, but indices 0..2 are all accepted.
//
// The delay length is bounded to 0..kBufferSize samples for every control value and
// sample rate, so above 200 kHz full control gives less than 200 ms. A length of 0
// or 1 is a one-sample delay. Both channels share one position, which restarts at 0
// (without clearing the lines) when the delay or the sample rate changes; resume()
// clears the lines. Processing allocates nothing and works in place (input and
// output the same block, or disjoint ones).
#pragma once

#include "blocks/StateClearing.h"
#include "effect/AudioEffectX.h"

#include <array>
#include <vector>

struct ADelayProgram {
    float delay = 0.5f; // 0..1
    float feedBack = 0.5f;
    float volume = 0.75f;
    char programName[24] = "Init";
};

class ADelay : public AudioEffectX, public StateClearing {
  public:
    static constexpr int32_t kNumPrograms = 16;
    static constexpr int32_t kBufferSize = 40000; // samples per channel

    explicit ADelay(HostCallback callback);
    ~ADelay() override;

    // Every call tells the host (opcode 0), whatever the index.
    void setParameter(int32_t index, float value) override;
    float getParameter(int32_t index) override;
    // process() adds the delayed input to the output; processReplacing() overwrites it.
    void process(float** inputs, float** outputs, int32_t sampleFrames) override;
    void processReplacing(float** inputs, float** outputs, int32_t sampleFrames) override;
    // Loads the program's three controls through setParameter. Numbers outside
    // 0..15 are ignored.
    void setProgram(int32_t program) override;
    void setProgramName(char* name) override; // cut to 23 characters
    // "Init 1".."Init 16" while a program keeps its default name.
    void getProgramName(char* name) override;
    void getParameterLabel(int32_t index, char* label) override;
    void getParameterDisplay(int32_t index, char* text) override;
    void getParameterName(int32_t index, char* text) override;
    void setSampleRate(float rate) override; // Hz
    void resume() override;                  // clears both delay lines
    // Clears both lines and restarts the position, as a freshly set-up delay.
    void clearState() override;
    // Reads a number (the delay in ms) and sets the parameter to it / 200.
    bool string2parameter(int32_t index, char* text) override;
    bool getProgramNameIndexed(int32_t category, int32_t index, char* text) override;

    // setParameter(0, v) without telling the host.
    void setDelay(float v);

    int32_t getDelaySamples() const { return delaySamples; }

  private:
    void run(float** inputs, float** outputs, int32_t sampleFrames, bool add);

    std::array<ADelayProgram, kNumPrograms> programs;
    std::vector<float> delayBuffers[2];
    float delay = 0.0f, feedBack = 0.0f, volume = 0.0f;
    int32_t delaySamples = 0;
    int32_t size = kBufferSize;
    int32_t cursor = 0; // read/write position, shared by both channels
};
