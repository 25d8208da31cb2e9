// The plug-in's unit opened inside the test program itself (not through its
// shared object), so that a test can reach its kernels and their effects. It
// reads the data archive of the built bundle and renders one channel.
#pragma once

#include "au/ComponentBase.h"
#include "au/quorle.h"
#include "main/VorlixMac.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace quorletest {

// `n` samples of amplitude * sin(2 pi hz t) at `rate` Hz.
inline std::vector<float> tone(double hz, double rate, size_t n, float amplitude = 0.3f) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = amplitude * static_cast<float>(std::sin(2.0 * M_PI * hz * i / rate));
    return v;
}

inline ComponentResult LocalEntry(ComponentParameters* params, void* storage) {
    return ComponentEntryPoint<quorle>::Dispatch(params, static_cast<quorle*>(storage));
}

inline bool allFinite(const std::vector<float>& v) {
    return std::all_of(v.begin(), v.end(), [](float x) { return std::isfinite(x); });
}

class LocalUnit {
  public:
    // Opened and set up for one channel at `rate` Hz and `maxFrames` per render
    // call; not initialised.
    explicit LocalUnit(UInt32 maxFrames, double rate = 44100.0) {
        gFxDir = std::string(QUORLE_BUNDLE_DIR) + "/";
        if (OpenAComponent(LocalEntry, &kQuorleDescription, &unit) != noErr)
            throw std::runtime_error("the unit does not open");
        const UInt32 flags =
            kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
        const AudioStreamBasicDescription format = {
            rate, kAudioFormatLinearPCM, flags, 4, 1, 4, 1, 32, 0};
        for (AudioUnitScope scope : {kAudioUnitScope_Input, kAudioUnitScope_Output})
            AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, scope, 0, &format,
                                 sizeof(format));
        AudioUnitSetProperty(unit, kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global,
                             0, &maxFrames, sizeof(maxFrames));
        AURenderCallbackStruct callback = {&LocalUnit::supply, this};
        AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 0,
                             &callback, sizeof(callback));
    }
    ~LocalUnit() {
        AudioUnitUninitialize(unit);
        CloseComponent(unit);
    }
    LocalUnit(const LocalUnit&) = delete;
    LocalUnit& operator=(const LocalUnit&) = delete;

    OSStatus initialize() { return AudioUnitInitialize(unit); }
    OSStatus setProperty(AudioUnitPropertyID id, const void* data, UInt32 size,
                         AudioUnitScope scope = kAudioUnitScope_Global) {
        return AudioUnitSetProperty(unit, id, scope, 0, data, size);
    }
    OSStatus setParameter(AudioUnitParameterID id, float value) {
        return AudioUnitSetParameter(unit, id, kAudioUnitScope_Global, 0, value, 0);
    }
    quorle& object() { return *static_cast<quorle*>(GetComponentInstanceStorage(unit)); }
    // Null before initialisation.
    quorleKernel* kernel() { return static_cast<quorleKernel*>(object().GetKernel(0)); }

    // Renders `frames` of `in` into `out` in one call; the sample time advances.
    OSStatus render(const float* in, float* out, UInt32 frames) {
        input = in;
        list.mNumberBuffers = 1;
        list.mBuffers[0] = {1, frames * 4, out};
        AudioTimeStamp time = {};
        time.mSampleTime = sampleTime;
        time.mFlags = kAudioTimeStampSampleTimeValid;
        sampleTime += frames;
        AudioUnitRenderActionFlags flags = 0;
        return AudioUnitRender(unit, &flags, &time, 0, frames, &list);
    }
    // Renders all of `in` in calls of `block` frames.
    OSStatus renderAll(const std::vector<float>& in, std::vector<float>& out, UInt32 block) {
        out.assign(in.size(), 0.0f);
        for (size_t at = 0; at < in.size(); at += block) {
            const UInt32 frames = static_cast<UInt32>(std::min<size_t>(block, in.size() - at));
            if (OSStatus status = render(in.data() + at, out.data() + at, frames))
                return status;
        }
        return noErr;
    }

    AudioUnit unit = nullptr;

  private:
    static OSStatus supply(void* refCon, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32,
                           UInt32 frames, AudioBufferList* data) {
        auto* self = static_cast<LocalUnit*>(refCon);
        std::memcpy(data->mBuffers[0].mData, self->input, frames * sizeof(float));
        return noErr;
    }

    const float* input = nullptr;
    double sampleTime = 0.0;
    AudioBufferList list = {};
};

// Renders `in` through a main effect reading the archive in `dir`, driven directly
// at `rate` Hz in 512-frame blocks, with parameters 0, 1, ... set to `params` after
// init; the plug-in directory is left at `dir`.
inline std::vector<float> renderDirect(const std::string& dir, float rate,
                                       const std::vector<float>& params,
                                       const std::vector<float>& in) {
    gFxDir = dir + "/";
    VorlixMac fx;
    fx.setSampleRate(rate);
    fx.init();
    fx.dispatcher(10, 0, 0, nullptr, rate);
    for (size_t p = 0; p < params.size(); ++p)
        fx.setParameter(static_cast<int32_t>(p), params[p]);
    std::vector<float> out(in.size());
    for (size_t at = 0; at < in.size(); at += 512) {
        float* i = const_cast<float*>(in.data()) + at;
        float* o = out.data() + at;
        fx.process(&i, &o, static_cast<int32_t>(std::min<size_t>(512, in.size() - at)));
    }
    return out;
}

// What the unit alone renders, fresh, for `archive` ("": the bundle's) and model
// `model` at `rate` and the LV2 plug-in's default factor, in blocks of `block`,
// with the controls the LV2 test hosts set (drive 0.7): the reference the LV2
// plug-in is held to bit for bit.
inline std::vector<float> unitAlone(const std::string& archive, float model,
                                    const std::vector<float>& in, UInt32 block = 512,
                                    double rate = 48000.0) {
    LocalUnit unit(block, rate);
    const UInt32 factor = kQuorleDefaultOversampling;
    unit.setProperty(kQuorleProperty_Oversampling, &factor, sizeof(factor));
    if (!archive.empty())
        unit.setProperty(kQuorleProperty_ArchivePath, archive.c_str(),
                         static_cast<UInt32>(archive.size() + 1));
    std::vector<float> out;
    if (unit.initialize() != noErr || unit.setParameter(0, 0.7f) != noErr ||
        unit.setParameter(3, model) != noErr)
        return out;
    unit.renderAll(in, out, block);
    return out;
}

} // namespace quorletest
