// A small effect unit and a host that drives it through the client functions
// only. Each kernel multiplies by parameter 0, logs its calls and counts its
// resets; the host feeds channel c with samples c * 1000 + i through an input
// callback. The unit publishes the channel configurations put in `channelInfo`.
#pragma once

#include "au/AUEffectBase.h"
#include "au/AUStatus.h"
#include "au/ComponentBase.h"
#include "platform/Threads.h"

#include <algorithm>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace autest {

struct ProcessCall {
    UInt32 channel;
    Float32 firstInput; // tells where the slice starts in the render call
    UInt32 frames;
    Float32 gain;
    bool silentIn;
};

class TestUnit : public AUEffectBase {
  public:
    explicit TestUnit(ComponentInstance instance) : AUEffectBase(instance) {
        CreateElements();
        Globals()->UseIndexedParameters(4);
        SetParameter(0, 1.0f);
        calls.reserve(4096);
    }
    AUKernelBase* NewKernel() override;
    UInt32 SupportedNumChannels(const AUChannelInfo** outInfo) override {
        if (outInfo)
            *outInfo = channelInfo.empty() ? nullptr : channelInfo.data();
        return UInt32(channelInfo.size());
    }
    // Where the scheduled events are queued: it must not move while events arrive.
    const void* EventQueueStorage() { return GetParamEventList().data(); }

    std::vector<ProcessCall> calls;
    std::vector<AUChannelInfo> channelInfo;
    int resets = 0;
    int kernelsMade = 0;
    int failAtKernel = -1;
    bool throwInProcess = false;
    uint32_t floatModesInProcess = 0;
};

class GainKernel : public AUKernelBase {
  public:
    explicit GainKernel(TestUnit* unit) : AUKernelBase(unit), unit(unit) {}
    void Reset() override { ++unit->resets; }
    void Process(const Float32* in, Float32* out, UInt32 frames, UInt32 stride,
                 bool& ioSilence) override {
        if (unit->throwInProcess)
            throw std::out_of_range("no such model");
        unit->floatModesInProcess = currentFloatModes();
        const Float32 gain = GetParameter(0);
        if (unit->calls.size() < unit->calls.capacity())
            unit->calls.push_back(
                {GetChannelNum(), frames ? in[0] : -1.0f, frames, gain, ioSilence});
        for (UInt32 i = 0; i < frames; ++i)
            out[i * stride] = in[i * stride] * gain;
    }
    TestUnit* unit;
};

inline AUKernelBase* TestUnit::NewKernel() {
    if (kernelsMade++ == failAtKernel)
        ThrowStatus(-4242);
    return new GainKernel(this);
}

// The component entry of a unit of class `Unit`.
template <class Unit> ComponentResult EntryOf(ComponentParameters* params, void* storage) {
    return ComponentEntryPoint<Unit>::Dispatch(params, static_cast<Unit*>(storage));
}
inline constexpr ComponentRoutine TestEntry = EntryOf<TestUnit>;

// Non-interleaved 32-bit float at 44100 Hz.
inline AudioStreamBasicDescription FloatFormat(UInt32 channels) {
    const UInt32 flags =
        kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
    return {44100.0, kAudioFormatLinearPCM, flags, 4, 1, 4, channels, 32, 0};
}

inline AudioUnitParameterEvent Immediate(UInt32 offset, Float32 value) {
    AudioUnitParameterEvent event = {};
    event.eventType = kParameterEvent_Immediate;
    event.eventValues.immediate = {offset, value};
    return event;
}

// `count` buffers of one channel each, with memory of their own or null data pointers.
class BufferList {
  public:
    BufferList(UInt32 count, UInt32 frames, bool withMemory = true)
        : words(AudioBufferListSize(count) / sizeof(uint64_t) + 1),
          memory(count, std::vector<Float32>(frames, -7.0f)) {
        get()->mNumberBuffers = count;
        for (UInt32 i = 0; i < count; ++i)
            get()->mBuffers[i] = {1, frames * 4, withMemory ? memory[i].data() : nullptr};
    }
    AudioBufferList* get() { return reinterpret_cast<AudioBufferList*>(words.data()); }
    const Float32* channel(UInt32 i) { return static_cast<Float32*>(get()->mBuffers[i].mData); }

  private:
    std::vector<uint64_t> words; // the list's own storage
    std::vector<std::vector<Float32>> memory;
};

struct Host {
    AudioUnit unit = nullptr;
    TestUnit* object = nullptr;
    bool inputSilent = false;
    int pulls = 0;

    // `entry` opens a TestUnit or a unit derived from it.
    explicit Host(ComponentRoutine entry = TestEntry) {
        const ComponentDescription description = {kAudioUnitType_Effect, 0x74737431, 0x51747374, 0,
                                                  0}; // 'tst1' 'Qtst'
        if (OpenAComponent(entry, &description, &unit) != noErr)
            throw std::runtime_error("open failed");
        object = static_cast<TestUnit*>(GetComponentInstanceStorage(unit));
        ConnectInput();
    }
    ~Host() { CloseComponent(unit); }

    static OSStatus Input(void* refCon, AudioUnitRenderActionFlags* flags, const AudioTimeStamp*,
                          UInt32, UInt32 frames, AudioBufferList* data) {
        auto* host = static_cast<Host*>(refCon);
        ++host->pulls;
        for (UInt32 c = 0; c < data->mNumberBuffers; ++c)
            for (UInt32 i = 0; i < frames; ++i)
                static_cast<Float32*>(data->mBuffers[c].mData)[i] = Float32(c * 1000 + i);
        if (host->inputSilent)
            *flags |= kAudioUnitRenderAction_OutputIsSilence;
        return noErr;
    }
    template <class T>
    OSStatus Set(AudioUnitPropertyID id, const T& value,
                 AudioUnitScope scope = kAudioUnitScope_Global) {
        return AudioUnitSetProperty(unit, id, scope, 0, &value, sizeof(value));
    }
    OSStatus ConnectInput(AURenderCallback proc = Input) {
        return Set(kAudioUnitProperty_SetRenderCallback, AURenderCallbackStruct{proc, this},
                   kAudioUnitScope_Input);
    }
    OSStatus SetUInt32(AudioUnitPropertyID id, UInt32 value) { return Set(id, value); }
    template <class T>
    OSStatus Get(AudioUnitPropertyID id, T& value, AudioUnitScope scope = kAudioUnitScope_Global) {
        UInt32 size = sizeof(value);
        return AudioUnitGetProperty(unit, id, scope, 0, &value, &size);
    }
    OSStatus SetFormat(AudioUnitScope scope, const AudioStreamBasicDescription& format) {
        return Set(kAudioUnitProperty_StreamFormat, format, scope);
    }
    OSStatus SetChannels(UInt32 in, UInt32 out) {
        const OSStatus result = SetFormat(kAudioUnitScope_Input, FloatFormat(in));
        return result != noErr ? result : SetFormat(kAudioUnitScope_Output, FloatFormat(out));
    }
    // The kernel calls logged for `channel`, in order.
    std::vector<ProcessCall> CallsOf(UInt32 channel) const {
        std::vector<ProcessCall> found;
        std::copy_if(object->calls.begin(), object->calls.end(), std::back_inserter(found),
                     [&](const ProcessCall& call) { return call.channel == channel; });
        return found;
    }
    OSStatus Render(BufferList& output, UInt32 frames, Float64 sampleTime,
                    AudioUnitRenderActionFlags* flags = nullptr) {
        AudioTimeStamp timeStamp = {};
        timeStamp.mSampleTime = sampleTime;
        timeStamp.mFlags = kAudioTimeStampSampleTimeValid;
        AudioUnitRenderActionFlags none = 0;
        return AudioUnitRender(unit, flags ? flags : &none, &timeStamp, 0, frames, output.get());
    }
};

} // namespace autest
