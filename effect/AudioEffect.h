// The base of every effect: owns the effect's record, answers the basic dispatcher
// opcodes, stores sample rate and block size, wraps the basic host questions and
// turns parameter values into display text.
//
// Parameters are normalised to 0..1. Text buffers handed to the name, label,
// display and program-name operations hold kTextSize bytes; the value-to-text
// operations write at most 8 characters plus the terminator.
#pragma once

#include "effect/AEffect.h"

#include <cstddef>

constexpr size_t kTextSize = 32;

class EffectEditor;

class AudioEffect {
  public:
    AudioEffect(HostCallback callback, int32_t numPrograms, int32_t numParams);
    virtual ~AudioEffect();

    virtual void setParameter(int32_t index, float value);
    virtual float getParameter(int32_t index);
    // Sets the parameter, then tells the host (opcode 0) that it changed.
    virtual void setParameterAutomated(int32_t index, float value);

    // Non-interleaved blocks: process() adds or overwrites as each effect documents,
    // processReplacing() overwrites.
    virtual void process(float** inputs, float** outputs, int32_t sampleFrames) = 0;
    virtual void processReplacing(float** inputs, float** outputs, int32_t sampleFrames);

    virtual intptr_t dispatcher(int32_t opcode, int32_t index, intptr_t value, void* ptr,
                                float opt);

    virtual void open() {}
    virtual void close() {}

    virtual int32_t getProgram() { return curProgram; }
    virtual void setProgram(int32_t program) { curProgram = program; }
    virtual void setProgramName(char* name);
    virtual void getProgramName(char* name);

    virtual void getParameterLabel(int32_t index, char* label);
    virtual void getParameterDisplay(int32_t index, char* text);
    virtual void getParameterName(int32_t index, char* text);

    virtual float getVu() { return 0.0f; }
    virtual int32_t getChunk(void** data, bool isPreset);
    virtual int32_t setChunk(void* data, int32_t byteSize, bool isPreset);

    virtual void setSampleRate(float rate) { sampleRate = rate; } // Hz
    virtual void setBlockSize(int32_t frames) { blockSize = frames; }

    virtual void suspend() {}
    virtual void resume() {}

    virtual void setUniqueID(int32_t id) { effectRecord.uniqueId = id; }
    virtual void setNumInputs(int32_t inputs) { effectRecord.numInputs = inputs; }
    virtual void setNumOutputs(int32_t outputs) { effectRecord.numOutputs = outputs; }

    virtual void hasVu(bool state) { setFlag(kFlagHasVu, state); }
    virtual void hasClip(bool state) { setFlag(kFlagHasClip, state); }
    virtual void canMono(bool state) { setFlag(kFlagCanMono, state); }
    virtual void canProcessReplacing(bool state) { setFlag(kFlagCanProcessReplacing, state); }
    virtual void programsAreChunks(bool state) { setFlag(kFlagProgramsAreChunks, state); }

    virtual void setRealtimeQualities(int32_t q) { effectRecord.realtimeQualities = q; }
    virtual void setOfflineQualities(int32_t q) { effectRecord.offlineQualities = q; }
    virtual void setInitialDelay(int32_t samples) { effectRecord.initialDelay = samples; }

    virtual float getSampleRate() { return sampleRate; }
    virtual int32_t getBlockSize() { return blockSize; }

    // Host questions; each answers its no-host value when there is no callback.
    virtual int32_t getMasterVersion();
    virtual int32_t getCurrentUniqueId();
    virtual void masterIdle();
    virtual bool isInputConnected(int32_t input);
    virtual bool isOutputConnected(int32_t output);

    // Value-to-text. The first three produce their text through float2string.
    virtual void dB2string(float value, char* text);    // linear gain -> dB
    virtual void Hz2string(float samples, char* text);  // period in samples -> Hz
    virtual void ms2string(float samples, char* text);  // samples -> ms
    virtual void float2string(float value, char* text); // fixed point, 8 characters
    virtual void long2string(int32_t value, char* text);

    AEffect* getAeffect() { return &effectRecord; }
    HostCallback getHostCallback() const { return hostCallback; }

  protected:
    void setFlag(int32_t bit, bool state);
    // Sends one question to the host; `fallback` when there is no host.
    intptr_t callHost(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt,
                      intptr_t fallback);

    float sampleRate = 44100.0f; // Hz
    EffectEditor* editor = nullptr;
    HostCallback hostCallback;
    int32_t numPrograms;
    int32_t numParams;
    int32_t curProgram = 0;
    int32_t blockSize = 1024; // frames
    AEffect effectRecord;
};

// Entry functions stored in every record: each forwards to the owning effect.
intptr_t dispatchEffectClass(AEffect* e, int32_t opcode, int32_t index, intptr_t value, void* ptr,
                             float opt);
float getParameterClass(AEffect* e, int32_t index);
void setParameterClass(AEffect* e, int32_t index, float value);
void processClass(AEffect* e, float** inputs, float** outputs, int32_t sampleFrames);
void processClassReplacing(AEffect* e, float** inputs, float** outputs, int32_t sampleFrames);
