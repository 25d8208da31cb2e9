// The plug-in's unit opened in this process through its entry point and driven
// only through the client functions, as a host drives it, with the shipped data
// archive as its plug-in directory's.
#pragma once

#include "au/quorle.h"
#include "au/quorleIds.h"
#include "main/DataArchive.h"
#include "platform/Components.h"

#include <cmath>
#include <cstring>
#include <vector>

namespace fuzz {

// Opens a unit; null when it does not open. The unit's directory becomes the
// build's data directory, where the shipped archive lies.
inline AudioUnit openUnit() {
    AudioUnit unit = nullptr;
    if (OpenAComponent(quorleEntry, &kQuorleDescription, &unit) != noErr)
        return nullptr;
    gFxDir = QUORLE_DATA_DIR;
    return unit;
}

// The input callback of every harness unit: a quiet ramp of tones in every buffer
// it is handed, within the sizes it is told.
inline OSStatus supplyInput(void*, AudioUnitRenderActionFlags*, const AudioTimeStamp* time, UInt32,
                            UInt32 frames, AudioBufferList* data) {
    // The host's sample time may be any double; only its phase in the pattern counts.
    const double time0 = time ? time->mSampleTime : 0.0;
    const auto start =
        static_cast<long>(std::isfinite(time0) ? std::fmod(std::fabs(time0), 200.0) : 0.0);
    for (UInt32 b = 0; b < data->mNumberBuffers; ++b) {
        auto* samples = static_cast<float*>(data->mBuffers[b].mData);
        if (!samples)
            continue;
        const UInt32 room = data->mBuffers[b].mDataByteSize / sizeof(float);
        for (UInt32 i = 0; i < frames && i < room; ++i)
            samples[i] = 0.5f * static_cast<float>(((start + i) * (b + 3)) % 200) / 100.0f - 0.5f;
    }
    return noErr;
}

// Sets both stream formats, the input callback and initialises; the status of the
// first step that fails.
inline OSStatus startUnit(AudioUnit unit, double rate, UInt32 channels) {
    const AudioStreamBasicDescription format = CanonicalStreamFormat(rate, channels);
    for (AudioUnitScope scope : {kAudioUnitScope_Input, kAudioUnitScope_Output})
        if (OSStatus status = AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, scope, 0,
                                                   &format, sizeof(format)))
            return status;
    AURenderCallbackStruct callback = {supplyInput, nullptr};
    if (OSStatus status =
            AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input,
                                 0, &callback, sizeof(callback)))
        return status;
    return AudioUnitInitialize(unit);
}

// A buffer list of `count` buffers of `frames` frames with memory of their own
// (or null data pointers, for the unit to fill with its own).
class Buffers {
  public:
    Buffers(UInt32 count, UInt32 frames, bool withMemory = true)
        : words(AudioBufferListSize(count) / sizeof(uint64_t) + 1),
          memory(count, std::vector<float>(frames ? frames : 1, 0.0f)) {
        list()->mNumberBuffers = count;
        for (UInt32 i = 0; i < count; ++i)
            list()->mBuffers[i] = {1, frames * static_cast<UInt32>(sizeof(float)),
                                   withMemory ? memory[i].data() : nullptr};
    }
    AudioBufferList* list() { return reinterpret_cast<AudioBufferList*>(words.data()); }

  private:
    std::vector<uint64_t> words;
    std::vector<std::vector<float>> memory;
};

// Renders one call of `frames` frames into `count` buffers; the status.
inline OSStatus renderOnce(AudioUnit unit, double& sampleTime, UInt32 count, UInt32 frames,
                           bool withMemory = true) {
    Buffers buffers(count, frames, withMemory);
    AudioTimeStamp time = {};
    time.mSampleTime = sampleTime;
    time.mFlags = kAudioTimeStampSampleTimeValid;
    AudioUnitRenderActionFlags flags = 0;
    const OSStatus status = AudioUnitRender(unit, &flags, &time, 0, frames, buffers.list());
    sampleTime += frames;
    return status;
}

} // namespace fuzz
