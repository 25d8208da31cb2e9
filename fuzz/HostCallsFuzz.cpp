// Host calls: the input is a sequence of component calls, each with its argument
// values, made through the client functions on a unit opened through the plug-in's
// entry: initialise and uninitialise, stream formats with odd rates and channel
// counts, maximum frames, parameters with odd values (directly, through the fast
// entries and scheduled), bypass, renders with odd frame counts and buffer lists,
// reset, listeners and render notifications, connections, presets and names. The
// unit is closed at the end; what it leaks or touches after freeing is a finding.
#include "ByteReader.h"
#include "FuzzCheck.h"
#include "PropertyListBuilder.h"
#include "UnitRig.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr int kMostCalls = 48;
constexpr int kMostInitialisations = 2; // each channel's effect holds 29 MB of work buffers
constexpr UInt32 kMostChannels = 8;

const float kValues[] = {0.0f, 0.5f,  1.0f, -1.0f,    2.0f,      3.0f,   3.99f,   4.0f,
                         1e9f, -1e9f, NAN,  INFINITY, -INFINITY, 1e-40f, FLT_MAX, -0.0f};
const double kRates[] = {44100.0, 48000.0,  8000.0, 1.0,      0.0,     -44100.0,
                         NAN,     INFINITY, 1e9,    192000.0, 22050.5, 4e6};
const UInt32 kFrames[] = {0, 1, 2, 511, 512, 1155, 1156, 1157, 4096, 8192};
const UInt32 kMaxFrames[] = {0, 1, 2, 64, 1155, 1156, 1157, 4096, 8192};
const AudioUnitPropertyID kProperties[] = {
    0,  1,  2,     3,     4,     5,     6,     8,     11,    12,    13,    14,        16, 18,
    19, 20, 21,    22,    23,    24,    25,    26,    27,    28,    29,    30,        31, 32,
    36, 39, 64000, 64001, 64002, 64003, 64004, 64005, 64006, 64007, 64008, 0xFFFFFFFF};

struct Session {
    AudioUnit unit = nullptr;
    AudioUnit upstream = nullptr;
    double sampleTime = 0.0;
    int initialisations = 0;
    int notifications = 0;
};

void countingListener(void* refCon, AudioUnit, AudioUnitPropertyID, AudioUnitScope,
                      AudioUnitElement) {
    ++static_cast<Session*>(refCon)->notifications;
}

// Leaves the list while it is being called.
void leavingListener(void*, AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope,
                     AudioUnitElement) {
    AudioUnitRemovePropertyListener(unit, id, leavingListener);
}

// Reads every sample it is shown, so that a list with bad pointers is caught.
OSStatus renderNotify(void* refCon, AudioUnitRenderActionFlags* flags, const AudioTimeStamp*,
                      UInt32, UInt32 frames, AudioBufferList* data) {
    if (!flags || !data)
        return noErr;
    float sum = 0.0f;
    for (UInt32 b = 0; b < data->mNumberBuffers; ++b) {
        const auto* samples = static_cast<const float*>(data->mBuffers[b].mData);
        const UInt32 room = data->mBuffers[b].mDataByteSize / sizeof(float);
        for (UInt32 i = 0; samples && i < frames && i < room; ++i)
            sum += samples[i];
    }
    static_cast<Session*>(refCon)->notifications += sum > 1e30f ? 1 : 0;
    return noErr;
}

AudioUnitScope scope(ByteReader& in) {
    const AudioUnitScope scopes[] = {0, 1, 2, 3, 4, 5, 0xFFFFFFFF};
    return in.pick(scopes);
}
AudioUnitElement element(ByteReader& in) {
    const AudioUnitElement elements[] = {0, 0, 1, 2, 0xFFFFFFFF};
    return in.pick(elements);
}
float value(ByteReader& in) {
    return in.below(5) == 0 ? in.rawFloat() : in.pick(kValues);
}
AudioUnitParameterID parameter(ByteReader& in) {
    const AudioUnitParameterID ids[] = {0, 1, 2, 3, 3, 4, 5, 0xFFFFFFFF};
    return in.pick(ids);
}

CFStringRef makeString(ByteReader& in) {
    const std::string text = in.text(20);
    return CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8);
}

void setFormat(Session& s, ByteReader& in) {
    const double rate = in.below(6) == 0 ? in.rawDouble() : in.pick(kRates);
    UInt32 channels = in.below(kMostChannels + 1);
    AudioStreamBasicDescription format = CanonicalStreamFormat(rate, channels);
    switch (in.below(6)) {
    case 0: format.mFormatFlags &= ~kAudioFormatFlagIsNonInterleaved; break; // interleaved
    case 1:
        format.mBitsPerChannel = 16;
        format.mFormatFlags = 0;
        break;                                    // integer
    case 2: format.mFormatID = 0x61616320; break; // not PCM
    default: break;
    }
    const UInt32 sizes[] = {sizeof(format), sizeof(format), 36, 35, 0};
    AudioUnitSetProperty(s.unit, kAudioUnitProperty_StreamFormat, scope(in), element(in), &format,
                         in.pick(sizes));
}

void render(Session& s, ByteReader& in) {
    const UInt32 frames = in.below(4) == 0 ? in.u16() % 8193 : in.pick(kFrames);
    AudioStreamBasicDescription format = {};
    UInt32 size = sizeof(format);
    const UInt32 channels = AudioUnitGetProperty(s.unit, kAudioUnitProperty_StreamFormat,
                                                 kAudioUnitScope_Output, 0, &format, &size) == noErr
                                ? format.mChannelsPerFrame
                                : 1;
    const UInt32 counts[] = {channels, channels, channels, 0, 1, channels + 1};
    const UInt32 count = std::min(in.pick(counts), kMostChannels + 1);
    fuzz::Buffers buffers(count, frames, in.below(4) != 0);
    AudioTimeStamp time = {};
    time.mSampleTime = in.below(8) == 0 ? in.rawDouble() : s.sampleTime;
    time.mFlags = kAudioTimeStampSampleTimeValid;
    AudioUnitRenderActionFlags flags =
        in.flag() ? static_cast<UInt32>(kAudioUnitRenderAction_OutputIsSilence) : 0u;
    const UInt32 bus = in.below(8) == 0 ? 1 : 0;
    AudioUnitRender(s.unit, in.below(6) == 0 ? nullptr : &flags, &time, bus, frames,
                    buffers.list());
    s.sampleTime += frames;
}

void schedule(Session& s, ByteReader& in) {
    std::vector<AudioUnitParameterEvent> events(in.below(6));
    for (AudioUnitParameterEvent& e : events) {
        e.scope = in.below(4) == 0 ? scope(in) : kAudioUnitScope_Global;
        e.element = in.below(4) == 0 ? element(in) : 0;
        e.parameter = parameter(in);
        e.eventType = in.below(8) == 0
                          ? in.u32()
                          : (in.flag() ? kParameterEvent_Ramped : kParameterEvent_Immediate);
        if (e.eventType == kParameterEvent_Ramped) {
            const SInt32 offsets[] = {0, 1, 100, 511, 1155, -1, -1000, INT32_MIN, INT32_MAX};
            const UInt32 durations[] = {0, 1, 64, 512, 5000, 0xFFFFFFFF};
            e.eventValues.ramp.startBufferOffset = in.pick(offsets);
            e.eventValues.ramp.durationInFrames = in.pick(durations);
            e.eventValues.ramp.startValue = value(in);
            e.eventValues.ramp.endValue = value(in);
        } else {
            const UInt32 offsets[] = {0, 1, 100, 511, 1155, 1156, 5000, 0xFFFFFFFF};
            e.eventValues.immediate.bufferOffset = in.pick(offsets);
            e.eventValues.immediate.value = value(in);
        }
    }
    AudioUnitScheduleParameters(s.unit, events.empty() ? nullptr : events.data(),
                                static_cast<UInt32>(events.size()));
}

// Reads a property as a host would, releasing the objects handed over with it.
void getProperty(Session& s, ByteReader& in) {
    const AudioUnitPropertyID id = in.pick(kProperties);
    const AudioUnitScope sc = in.below(3) == 0 ? scope(in) : kAudioUnitScope_Global;
    const AudioUnitElement el = in.below(3) == 0 ? element(in) : 0;
    UInt32 size = 0;
    Boolean writable = false;
    const OSStatus info = AudioUnitGetPropertyInfo(s.unit, id, sc, el, in.flag() ? &size : nullptr,
                                                   in.flag() ? &writable : nullptr);
    AudioUnitGetPropertyInfo(s.unit, id, sc, el, &size, &writable);
    // Properties that hand over an object are read whole: a cut pointer would be lost.
    const bool handsOver =
        id == kAudioUnitProperty_ClassInfo || id == kAudioUnitProperty_ContextName ||
        id == kAudioUnitProperty_PresentPreset || id == kAudioUnitProperty_ElementName ||
        id == kAudioUnitProperty_CocoaUI || id == kAudioUnitProperty_ParameterValueStrings;
    std::vector<uint64_t> room(1 + (info == noErr ? size : 64) / 8 + 1, 0);
    UInt32 asked = info == noErr ? size : 64;
    if (!handsOver) {
        const UInt32 choices[] = {asked, asked, 0, 1, 2, 4, asked + 8, asked > 0 ? asked - 1 : 0};
        asked = in.pick(choices);
        room.assign(asked / 8 + 2, 0);
    }
    UInt32 ioSize = asked;
    const OSStatus status =
        AudioUnitGetProperty(s.unit, id, sc, el, in.below(8) == 0 ? nullptr : room.data(), &ioSize);
    if (status != noErr || !handsOver || ioSize < sizeof(void*))
        return;
    void* words[2] = {};
    std::memcpy(words, room.data(), std::min<size_t>(sizeof(words), ioSize));
    // The preset's name is its second word; the view hands over two objects.
    const int first = id == kAudioUnitProperty_PresentPreset ? 1 : 0;
    const int last = id == kAudioUnitProperty_CocoaUI ? 1 : first;
    for (int w = first; w <= last; ++w)
        if (words[w])
            CFRelease(words[w]);
}

// Sets a property with a value of the right kind: objects and pointers are real
// ones, plain values come from the input.
void setProperty(Session& s, ByteReader& in) {
    const AudioUnitPropertyID id = in.pick(kProperties);
    const AudioUnitScope sc = in.below(3) == 0 ? scope(in) : kAudioUnitScope_Global;
    const AudioUnitElement el = in.below(3) == 0 ? element(in) : 0;
    switch (id) {
    case kAudioUnitProperty_ClassInfo: {
        fuzz::PropertyListBuilder builder(in);
        CFTypeRef state = builder.value();
        AudioUnitSetProperty(s.unit, id, sc, el, &state, in.below(8) == 0 ? 8 : sizeof(state));
        if (state)
            CFRelease(state);
        return;
    }
    case kAudioUnitProperty_MakeConnection: {
        if (!s.upstream && in.flag()) {
            s.upstream = fuzz::openUnit();
            if (s.upstream && in.flag())
                fuzz::startUnit(s.upstream, 44100.0, 1 + in.below(2));
        }
        AudioUnitConnection connection = {in.flag() ? s.upstream : nullptr, in.below(2),
                                          in.below(2)};
        AudioUnitSetProperty(s.unit, id, sc, el, &connection,
                             in.below(8) == 0 ? 8 : sizeof(connection));
        return;
    }
    case kAudioUnitProperty_SetRenderCallback: {
        AURenderCallbackStruct callback = {in.below(4) == 0 ? nullptr : fuzz::supplyInput, &s};
        AudioUnitSetProperty(s.unit, id, sc, el, &callback,
                             in.below(8) == 0 ? 4 : sizeof(callback));
        return;
    }
    case kAudioUnitProperty_HostCallbacks: {
        HostCallbackInfo callbacks = {&s, nullptr, nullptr, nullptr};
        AudioUnitSetProperty(s.unit, id, sc, el, &callbacks, in.flag() ? 8 : sizeof(callbacks));
        return;
    }
    case kAudioUnitProperty_ContextName:
    case kAudioUnitProperty_ElementName: {
        CFStringRef name = in.below(6) == 0 ? nullptr : makeString(in);
        AudioUnitSetProperty(s.unit, id, sc, el, &name, in.below(8) == 0 ? 2 : sizeof(name));
        if (name)
            CFRelease(name);
        return;
    }
    case kAudioUnitProperty_CurrentPreset:
    case kAudioUnitProperty_PresentPreset: {
        const SInt32 numbers[] = {-1, -1, 0, 3, -7, INT32_MIN};
        AUPreset preset = {in.pick(numbers), in.below(4) == 0 ? nullptr : makeString(in)};
        AudioUnitSetProperty(s.unit, id, sc, el, &preset, in.below(8) == 0 ? 4 : sizeof(preset));
        if (preset.presetName)
            CFRelease(preset.presetName);
        return;
    }
    case kAudioUnitProperty_CocoaUI:
    case kAudioUnitProperty_ParameterValueStrings:
    case kAudioUnitProperty_FastDispatch: return; // read-only pointers: nothing a host would write
    case kAudioUnitProperty_StreamFormat:
        // Formats and slice sizes come from the tables: thousands of channels or
        // billions of frames only measure how much memory the machine has.
        setFormat(s, in);
        return;
    case kAudioUnitProperty_MaximumFramesPerSlice: {
        const UInt32 frames = in.pick(kMaxFrames);
        AudioUnitSetProperty(s.unit, id, sc, el, &frames, in.flag() ? sizeof(frames) : 2);
        return;
    }
    default: {
        // Plain values: bytes from the input, with a few sizes around the right one.
        std::vector<uint8_t> bytes(in.below(48) + 1);
        for (uint8_t& b : bytes)
            b = in.byte();
        const UInt32 sizes[] = {static_cast<UInt32>(bytes.size()), 4, 8, 0};
        const UInt32 size = std::min<UInt32>(in.pick(sizes), static_cast<UInt32>(bytes.size()));
        AudioUnitSetProperty(s.unit, id, sc, el, size ? bytes.data() : nullptr, size);
        return;
    }
    }
}

// Parameters through the direct entries the fast-dispatch property hands out.
void fastParameter(Session& s, ByteReader& in) {
    const bool set = in.flag();
    void* entry = nullptr;
    UInt32 size = sizeof(entry);
    if (AudioUnitGetProperty(s.unit, kAudioUnitProperty_FastDispatch, kAudioUnitScope_Global,
                             set ? kAudioUnitSetParameterSelect : kAudioUnitGetParameterSelect,
                             &entry, &size) != noErr ||
        !entry)
        return;
    void* storage = GetComponentInstanceStorage(s.unit);
    if (set) {
        reinterpret_cast<AudioUnitSetParameterProc>(entry)(storage, parameter(in), scope(in),
                                                           element(in), value(in), in.u16());
    } else {
        Float32 v = 0.0f;
        reinterpret_cast<AudioUnitGetParameterProc>(entry)(storage, parameter(in), scope(in),
                                                           element(in), &v);
    }
}

void call(Session& s, ByteReader& in) {
    switch (in.below(22)) {
    case 0:
        if (s.initialisations++ < kMostInitialisations)
            AudioUnitInitialize(s.unit);
        break;
    case 1: AudioUnitUninitialize(s.unit); break;
    case 2: setFormat(s, in); break;
    case 3: {
        const Float64 rate = in.below(6) == 0 ? in.rawDouble() : in.pick(kRates);
        AudioUnitSetProperty(s.unit, kAudioUnitProperty_SampleRate, scope(in), element(in), &rate,
                             in.below(8) == 0 ? 4 : sizeof(rate));
        break;
    }
    case 4: {
        const UInt32 frames = in.pick(kMaxFrames);
        AudioUnitSetProperty(s.unit, kAudioUnitProperty_MaximumFramesPerSlice,
                             kAudioUnitScope_Global, 0, &frames, sizeof(frames));
        break;
    }
    case 5:
        AudioUnitSetParameter(s.unit, parameter(in), in.below(4) == 0 ? scope(in) : 0,
                              in.below(4) == 0 ? element(in) : 0, value(in), in.u16());
        break;
    case 6: {
        Float32 v = 0.0f;
        AudioUnitGetParameter(s.unit, parameter(in), scope(in), element(in),
                              in.below(8) == 0 ? nullptr : &v);
        break;
    }
    case 7:
    case 8: render(s, in); break;
    case 9: AudioUnitReset(s.unit, scope(in), element(in)); break;
    case 10: schedule(s, in); break;
    case 11: {
        const AudioUnitPropertyID id = in.pick(kProperties);
        AudioUnitAddPropertyListener(s.unit, id, in.flag() ? countingListener : leavingListener,
                                     &s);
        break;
    }
    case 12:
        AudioUnitRemovePropertyListener(s.unit, in.pick(kProperties),
                                        in.flag() ? countingListener : leavingListener);
        break;
    case 13: AudioUnitAddRenderNotify(s.unit, renderNotify, &s); break;
    case 14: AudioUnitRemoveRenderNotify(s.unit, renderNotify, in.flag() ? &s : nullptr); break;
    case 15: {
        const UInt32 bypass = in.flag() ? 1 : in.u32();
        AudioUnitSetProperty(s.unit, kAudioUnitProperty_BypassEffect, kAudioUnitScope_Global, 0,
                             &bypass, sizeof(bypass));
        break;
    }
    case 16:
    case 17: getProperty(s, in); break;
    case 18:
    case 19: setProperty(s, in); break;
    case 20: fastParameter(s, in); break;
    default:
        CallComponentCanDo(s.unit, static_cast<SInt16>(in.u16()));
        GetComponentVersion(s.unit);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteReader in(data, size);
    Session s;
    s.unit = fuzz::openUnit();
    FUZZ_CHECK(s.unit, "the unit opens");
    // Half the sequences start from a unit set up as a host sets it up.
    if (in.flag()) {
        fuzz::startUnit(s.unit, in.pick(kRates), 1 + in.below(2));
        ++s.initialisations;
    }
    for (int c = 0; c < kMostCalls && !in.empty(); ++c)
        call(s, in);
    FUZZ_CHECK(CloseComponent(s.unit) == noErr, "a unit closes in any state");
    if (s.upstream)
        CloseComponent(s.upstream);
    return 0;
}
