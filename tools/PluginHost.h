// A minimal host for the plug-in: loads its shared object from a bundle
// directory, opens the unit through its entry point and renders non-interleaved
// float audio through the client functions, feeding the input from a render
// callback. The command-line tools and the host-level tests use it.
#pragma once

#include "platform/Components.h"

#include <string>
#include <vector>

class PluginHost {
  public:
    PluginHost() = default;
    ~PluginHost();
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    // Loads <bundleDir>/quorle.so and opens a unit, keeping the line the unit
    // announces itself with off standard output and standard error. False with
    // `error` set on failure.
    bool load(const std::string& bundleDir, std::string& error);
    // Sets both stream formats (rate, channels), the maximum frames per render
    // call and the input callback, then initialises the unit.
    OSStatus start(double sampleRate, UInt32 channels, UInt32 maxFrames);
    OSStatus setParameter(AudioUnitParameterID id, float value);
    // Renders `frames` frames (at most maxFrames) from `inputs` into `outputs`, one
    // pointer per channel; the sample time advances by `frames`.
    OSStatus render(const float* const* inputs, float* const* outputs, UInt32 frames);
    // The sample rate the unit's output runs at, in Hz; 0 when it does not say.
    double sampleRate();
    // The model names the unit lists (property 64000), in order.
    std::vector<std::string> modelNames();

    AudioUnit unit() const { return mUnit; }
    ComponentRoutine entry() const { return mEntry; }

  private:
    static OSStatus supplyInput(void* refCon, AudioUnitRenderActionFlags* flags,
                                const AudioTimeStamp* time, UInt32 bus, UInt32 frames,
                                AudioBufferList* data);

    void* mLibrary = nullptr;
    ComponentRoutine mEntry = nullptr;
    AudioUnit mUnit = nullptr;
    UInt32 mChannels = 0;
    double mSampleTime = 0.0;
    const float* const* mInputs = nullptr;
    std::vector<unsigned char> mOutputList; // an AudioBufferList for mChannels buffers
};

// Status numbers of the unit and the platform, by name.
const char* statusName(OSStatus status);

// The plug-in bundle built or installed beside the running program (the build's
// lv2/quorle.lv2, an install's lib/lv2/quorle.lv2, or the install prefix's), the
// first that holds the plug-in; the build's place when none does.
std::string defaultBundle();
