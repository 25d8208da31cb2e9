// A small effect unit and a host that drives it through the client functions
// only. Each kernel multiplies by parameter 0 and logs its calls; the host feeds
// channel c with samples c * 1000 + i through an input callback.
#pragma once

#include "au/AUEffectBase.h"
#include "au/AUStatus.h"
#include "au/ComponentBase.h"
#include "platform/Threads.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace autest {

constexpr OSType kSubType = 0x74737431;      // 'tst1'
constexpr OSType kManufacturer = 0x51747374; // 'Qtst'

struct ProcessCall {
    UInt32 channel;
    Float32 firstInput; // tells where the slice starts in the render call
    UInt32 frames;
    Float32 gain;
    UInt32 stride;
    bool silentIn;
    AudioUnitParameterRampInfo ramp;
};

class TestUnit;

class GainKernel : public AUKernelBase {
  public:
    explicit GainKernel(TestUnit* unit);
    void Reset() override { ++resets; }
    void Process(const Float32* in, Float32* out, UInt32 frames, UInt32 stride,
                 bool& ioSilence) override;
    int resets = 0;
};

class TestUnit : public AUEffectBase {
  public:
    explicit TestUnit(ComponentInstance instance) : AUEffectBase(instance) {
        CreateElements();
        Globals()->UseIndexedParameters(4);
        SetParameter(0, 1.0f);
        calls.reserve(4096);
    }
    AUKernelBase* NewKernel() override {
        if (kernelsMade++ == failAtKernel)
            ThrowStatus(-4242);
        return new GainKernel(this);
    }
    UInt32 SupportedNumChannels(const AUChannelInfo** outInfo) override {
        if (outInfo)
            *outInfo = channelInfo;
        return channelInfoCount;
    }
    bool SupportsTail() override { return tailSeconds > 0.0; }
    Float64 GetTailTime() override { return tailSeconds; }
    ComponentResult Version() override { return 0x00020304; }

    std::vector<ProcessCall> calls;
    int kernelsMade = 0;
    int failAtKernel = -1;
    bool throwInProcess = false;
    const AUChannelInfo* channelInfo = nullptr;
    UInt32 channelInfoCount = 0;
    double tailSeconds = 0.0;
    uint32_t floatModesInProcess = 0;
};

inline GainKernel::GainKernel(TestUnit* unit) : AUKernelBase(unit) {}

inline void GainKernel::Process(const Float32* in, Float32* out, UInt32 frames, UInt32 stride,
                                bool& ioSilence) {
    auto* unit = static_cast<TestUnit*>(mAudioUnit);
    if (unit->throwInProcess)
        throw std::out_of_range("no such model");
    unit->floatModesInProcess = currentFloatModes();
    const Float32 gain = GetParameter(0);
    if (unit->calls.size() < unit->calls.capacity())
        unit->calls.push_back(ProcessCall{GetChannelNum(), frames ? in[0] : -1.0f, frames, gain,
                                          stride, ioSilence, unit->Globals()->GetSliceRamp(0)});
    for (UInt32 i = 0; i < frames; ++i)
        out[i * stride] = in[i * stride] * gain;
}

inline ComponentResult TestEntry(ComponentParameters* params, void* storage) {
    return ComponentEntryPoint<TestUnit>::Dispatch(params, static_cast<TestUnit*>(storage));
}

inline ComponentDescription TestDescription() {
    return ComponentDescription{kAudioUnitType_Effect, kSubType, kManufacturer, 0, 0};
}

// A buffer list of `count` buffers, one channel each, with memory of its own
// (or null data pointers).
class BufferList {
  public:
    BufferList(UInt32 count, UInt32 frames, bool withMemory = true)
        : list(static_cast<AudioBufferList*>(std::calloc(1, AudioBufferListSize(count)))),
          memory(count, std::vector<Float32>(frames, -7.0f)) {
        list->mNumberBuffers = count;
        for (UInt32 i = 0; i < count; ++i) {
            list->mBuffers[i].mNumberChannels = 1;
            list->mBuffers[i].mDataByteSize = frames * 4;
            list->mBuffers[i].mData = withMemory ? memory[i].data() : nullptr;
        }
    }
    ~BufferList() { std::free(list); }
    BufferList(const BufferList&) = delete;
    BufferList& operator=(const BufferList&) = delete;
    AudioBufferList* get() { return list; }
    const Float32* channel(UInt32 i) const {
        return static_cast<const Float32*>(list->mBuffers[i].mData);
    }

  private:
    AudioBufferList* list;
    std::vector<std::vector<Float32>> memory;
};

inline AudioStreamBasicDescription FloatFormat(UInt32 channels, Float64 rate = 44100.0) {
    AudioStreamBasicDescription format = {};
    format.mSampleRate = rate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags =
        kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
    format.mBytesPerPacket = 4;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = 4;
    format.mChannelsPerFrame = channels;
    format.mBitsPerChannel = 32;
    return format;
}

struct Host {
    AudioUnit unit = nullptr;
    TestUnit* object = nullptr;
    bool inputSilent = false;
    int pulls = 0;

    Host() {
        const ComponentDescription description = TestDescription();
        if (OpenAComponent(TestEntry, &description, &unit) != noErr)
            throw std::runtime_error("open failed");
        object = static_cast<TestUnit*>(GetComponentInstanceStorage(unit));
        ConnectInput();
    }
    ~Host() { CloseComponent(unit); }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    static OSStatus Input(void* refCon, AudioUnitRenderActionFlags* flags, const AudioTimeStamp*,
                          UInt32, UInt32 frames, AudioBufferList* data) {
        auto* host = static_cast<Host*>(refCon);
        ++host->pulls;
        for (UInt32 c = 0; c < data->mNumberBuffers; ++c) {
            auto* samples = static_cast<Float32*>(data->mBuffers[c].mData);
            for (UInt32 i = 0; i < frames; ++i)
                samples[i] = Float32(c * 1000 + i);
        }
        if (host->inputSilent)
            *flags |= kAudioUnitRenderAction_OutputIsSilence;
        return noErr;
    }
    OSStatus ConnectInput() {
        AURenderCallbackStruct callback = {Input, this};
        return AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback,
                                    kAudioUnitScope_Input, 0, &callback, sizeof(callback));
    }
    OSStatus SetFormat(AudioUnitScope scope, const AudioStreamBasicDescription& format,
                       AudioUnitElement element = 0) {
        return AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, scope, element, &format,
                                    sizeof(format));
    }
    OSStatus SetChannels(UInt32 in, UInt32 out) {
        const OSStatus result = SetFormat(kAudioUnitScope_Input, FloatFormat(in));
        return result != noErr ? result : SetFormat(kAudioUnitScope_Output, FloatFormat(out));
    }
    OSStatus SetUInt32(AudioUnitPropertyID id, UInt32 value) {
        return AudioUnitSetProperty(unit, id, kAudioUnitScope_Global, 0, &value, sizeof(value));
    }
    OSStatus Render(BufferList& output, UInt32 frames, Float64 sampleTime,
                    AudioUnitRenderActionFlags* flags = nullptr) {
        AudioTimeStamp timeStamp = {};
        timeStamp.mSampleTime = sampleTime;
        timeStamp.mFlags = kAudioTimeStampSampleTimeValid;
        AudioUnitRenderActionFlags none = 0;
        return AudioUnitRender(unit, flags ? flags : &none, &timeStamp, 0, frames, output.get());
    }
    // Calls of the kernel of channel 0.
    std::vector<ProcessCall> Channel0Calls() const {
        std::vector<ProcessCall> found;
        for (const ProcessCall& call : object->calls)
            if (call.channel == 0)
                found.push_back(call);
        return found;
    }
};

} // namespace autest
