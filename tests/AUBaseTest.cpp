// The audio-unit base classes, driven as a host drives them: through the client
// functions of an opened component.
#include "AUTestUnit.h"
#include "UnitStateUtil.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>

using namespace autest;

namespace {

Float32 Param(AudioUnit unit, AudioUnitParameterID id) {
    Float32 value = -1.0f;
    EXPECT_EQ(noErr, AudioUnitGetParameter(unit, id, kAudioUnitScope_Global, 0, &value));
    return value;
}

void SetAll(AudioUnit unit, std::initializer_list<Float32> values) {
    AudioUnitParameterID id = 0;
    for (Float32 value : values)
        AudioUnitSetParameter(unit, id++, kAudioUnitScope_Global, 0, value, 0);
}

OSStatus LastRenderError(Host& host) {
    OSStatus error = 12345;
    EXPECT_EQ(noErr, host.Get(kAudioUnitProperty_LastRenderError, error));
    return error;
}

} // namespace

// --- Initialise and kernels ---

// Mended: a kernel that fails to build leaves none of the others behind; and
// initialising resets the last sample time, so a new run from 0 is rendered.
TEST(AUEffectBaseLifecycle, AFailedInitialiseLeavesNoKernelsAndANewOneStartsAfresh) {
    Host host;
    host.object->failAtKernel = 1;
    EXPECT_EQ(-4242, AudioUnitInitialize(host.unit));
    EXPECT_EQ(0u, host.object->GetNumKernels());
    host.object->failAtKernel = -1;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    EXPECT_EQ(2u, host.object->GetNumKernels());
    BufferList out(2, 64);
    ASSERT_EQ(noErr, host.Render(out, 64, 0.0));
    ASSERT_EQ(noErr, AudioUnitUninitialize(host.unit));
    ASSERT_EQ(noErr, host.SetChannels(1, 1));
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    ASSERT_EQ(1u, host.object->GetNumKernels());
    host.object->calls.clear();
    BufferList mono(1, 64);
    EXPECT_EQ(noErr, host.Render(mono, 64, 0.0));
    EXPECT_EQ(1u, host.object->calls.size());
    EXPECT_EQ(63.0f, mono.channel(0)[63]);
}

// The published channel configurations, with their wildcards, decide which counts
// initialise; each channel gets a kernel that knows its number and whether it is last.
TEST(AUEffectBaseLifecycle, InitialiseMakesAKernelPerChannelOfAPublishedOrDefaultConfiguration) {
    using Configs = std::vector<AUChannelInfo>;
    const struct {
        Configs configs;
        UInt32 in, out;
        bool accepted;
    } cases[] = {
        {{}, 2, 2, true}, // none published: the same count in and out
        {{}, 1, 2, false},
        {{}, 0, 0, false},
        {{{-1, -1}}, 2, 2, true}, // any count, the same in and out
        {{{-1, -1}}, 1, 2, false},
        {{{-1, -2}}, 1, 2, true}, // any counts
        {{{-1, -2}}, 2, 1, true},
        {{{-2, -1}}, 2, 1, true},
        {{{-1, -3}}, 2, 2, false}, // other negative pairs match nothing
        {{{-2, -2}}, 2, 2, false},
        {{{-2, 2}}, 1, 2, false}, // -2 beside a count is no wildcard
        {{{-1, 2}}, 1, 2, true},  // -1 beside a count takes any count
        {{{-1, 2}}, 1, 1, false},
        {{{1, -1}}, 1, 2, true},
        {{{1, -1}}, 2, 2, false},
        {{{1, 1}, {2, 2}}, 2, 2, true}, // the first pair that fits wins
        {{{1, 1}, {2, 2}}, 1, 2, false},
        {{{3, 3}, {-1, -1}}, 2, 2, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "case " << (&c - cases) << ": " << c.in << " in, " << c.out << " out");
        Host host;
        host.object->channelInfo = c.configs;
        ASSERT_EQ(noErr, host.SetChannels(c.in, c.out));
        EXPECT_EQ(c.accepted ? noErr : kAudioUnitErr_FormatNotSupported,
                  AudioUnitInitialize(host.unit));
        ASSERT_EQ(c.accepted ? c.out : 0u, host.object->GetNumKernels());
        for (UInt32 k = 0; k < host.object->GetNumKernels(); ++k) {
            EXPECT_EQ(k, host.object->GetKernel(k)->GetChannelNum());
            EXPECT_EQ(k + 1 == c.out, host.object->GetKernel(k)->IsLastKernel());
        }
        if (c.configs.empty())
            continue;

        // The host reads the same pairs through the property.
        std::vector<AUChannelInfo> published(c.configs.size() + 1);
        UInt32 size = UInt32(published.size() * sizeof(AUChannelInfo));
        ASSERT_EQ(noErr, AudioUnitGetProperty(host.unit, kAudioUnitProperty_SupportedNumChannels,
                                              kAudioUnitScope_Global, 0, published.data(), &size));
        ASSERT_EQ(c.configs.size() * sizeof(AUChannelInfo), size);
        for (size_t i = 0; i < c.configs.size(); ++i) {
            EXPECT_EQ(c.configs[i].inChannels, published[i].inChannels);
            EXPECT_EQ(c.configs[i].outChannels, published[i].outChannels);
        }
    }
}

// --- Render ---

namespace {
OSStatus ShrinkingInput(void*, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32, UInt32,
                        AudioBufferList* data) {
    data->mNumberBuffers = 1;
    return noErr;
}
} // namespace

// Mended: stereo needs two buffers; a source that shrinks the list it was handed
// fails the render; events belong to their render call, even a failed one.
TEST(AUEffectBaseRender, CallsItCannotServeFailAndTheFirstErrorIsReadOnce) {
    Host host;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    const AudioUnitParameterEvent later = Immediate(100, 0.5f);
    ASSERT_EQ(noErr, AudioUnitScheduleParameters(host.unit, &later, 1));
    BufferList out(2, 1157), mono(1, 512), cut(2, 100);
    EXPECT_EQ(kAudioUnitErr_TooManyFramesToProcess, host.Render(out, 1157, 0.0));
    EXPECT_EQ(paramErr, host.Render(mono, 512, 1.0));
    EXPECT_EQ(paramErr, host.Render(cut, 512, 2.0)); // no room for the frames
    ASSERT_EQ(noErr, host.ConnectInput(ShrinkingInput));
    EXPECT_EQ(paramErr, host.Render(out, 256, 3.0));
    EXPECT_TRUE(host.object->calls.empty());
    EXPECT_EQ(kAudioUnitErr_TooManyFramesToProcess, LastRenderError(host));
    EXPECT_EQ(noErr, LastRenderError(host));
    ASSERT_EQ(noErr, host.ConnectInput());
    EXPECT_EQ(noErr, host.Render(out, 1156, 4.0));
    EXPECT_EQ(1u, host.CallsOf(0).size()); // in one piece: the event went with its render

    host.object->throwInProcess = true; // an exception does not reach the host
    EXPECT_EQ(-1, host.Render(out, 256, 5.0));
}

TEST(AUEffectBaseRender, PullsFromAConnectedUnitIntoBuffersItHandsOut) {
    Host upstream, unit;
    ASSERT_EQ(noErr, AudioUnitInitialize(upstream.unit));
    ASSERT_EQ(noErr, AudioUnitSetParameter(upstream.unit, 0, kAudioUnitScope_Global, 0, 2.0f, 0));
    ASSERT_EQ(noErr, unit.Set(kAudioUnitProperty_MakeConnection,
                              AudioUnitConnection{upstream.unit, 0, 0}, kAudioUnitScope_Input));
    ASSERT_EQ(noErr, AudioUnitInitialize(unit.unit));
    BufferList handed(2, 256, false); // null data pointers: the unit's own buffers come back
    ASSERT_EQ(noErr, unit.Render(handed, 256, 0.0));
    EXPECT_EQ(1, upstream.pulls);
    ASSERT_NE(nullptr, handed.channel(1));
    EXPECT_EQ(2400.0f, handed.channel(1)[200]);
    EXPECT_EQ(256u * 4, handed.get()->mBuffers[1].mDataByteSize);
#if defined(__x86_64__) || defined(__i386__)
    // Flush-to-zero and denormals-are-zero hold during the render only.
    EXPECT_EQ(0x8040u, unit.object->floatModesInProcess & 0x8040u);
    EXPECT_EQ(0u, currentFloatModes() & 0x8040u);
#endif
}

// Bypassed, the input passes untouched and no kernel runs. A silent input is
// flagged silent: in place its buffers are processed as they are, otherwise the
// output is zeroed, bypassed or processed.
TEST(AUEffectBaseRender, BypassAndSilentInputInPlaceOrNot) {
    for (UInt32 inPlace : {1u, 0u}) {
        SCOPED_TRACE(testing::Message() << "in place " << inPlace);
        Host host;
        ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_InPlaceProcessing, inPlace));
        ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
        ASSERT_EQ(noErr, AudioUnitSetParameter(host.unit, 0, kAudioUnitScope_Global, 0, 0.5f, 0));
        BufferList out(2, 256);
        ASSERT_EQ(noErr, host.Render(out, 256, 0.0));
        EXPECT_EQ(100.0f, out.channel(0)[200]);
        EXPECT_EQ(627.5f, out.channel(1)[255]);

        host.object->calls.clear();
        ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, 1));
        ASSERT_EQ(noErr, host.Render(out, 256, 256.0));
        EXPECT_EQ(200.0f, out.channel(0)[200]);
        EXPECT_EQ(1255.0f, out.channel(1)[255]);
        EXPECT_TRUE(host.object->calls.empty());

        host.inputSilent = true;
        Float64 time = 512.0;
        for (UInt32 bypass : {1u, 0u}) {
            SCOPED_TRACE(testing::Message() << "silent, bypass " << bypass);
            ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, bypass));
            host.object->calls.clear();
            AudioUnitRenderActionFlags flags = 0;
            ASSERT_EQ(noErr, host.Render(out, 256, time, &flags));
            time += 256.0;
            EXPECT_TRUE(flags & kAudioUnitRenderAction_OutputIsSilence);
            ASSERT_EQ(bypass ? 0u : 2u, host.object->calls.size());
            if (!bypass) {
                EXPECT_TRUE(host.object->calls[0].silentIn);
            }
            const Float32 gain = inPlace ? (bypass ? 1.0f : 0.5f) : 0.0f;
            for (UInt32 c = 0; c < 2; ++c)
                for (UInt32 i = 0; i < 256; ++i)
                    ASSERT_EQ(Float32(c * 1000 + i) * gain, out.channel(c)[i]) << c << ", " << i;
        }
    }
}

// --- Scheduled parameters and slicing ---

TEST(AUEffectBaseSlicing, EventsCutTheRenderIntoSlices) {
    AudioUnitParameterEvent ramp = {};
    ramp.eventType = kParameterEvent_Ramped;
    ramp.eventValues.ramp = {64, 128, 0.2f, 0.6f};
    const struct {
        std::vector<AudioUnitParameterEvent> events; // at one offset, the later one wins
        UInt32 frames;
        std::vector<std::pair<UInt32, UInt32>> slices; // first frame, frames
        std::vector<Float32> gains;
    } cases[] = {
        {{Immediate(100, 0.6f), Immediate(100, 0.75f), Immediate(0, 0.25f)},
         512,
         {{0, 100}, {100, 412}},
         {0.25f, 0.75f}},
        {{ramp}, 256, {{0, 64}, {64, 128}, {192, 64}}, {1.0f, 0.2f, 0.2f}},
    };
    for (const auto& c : cases) {
        Host host;
        ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
        ASSERT_EQ(noErr,
                  AudioUnitScheduleParameters(host.unit, c.events.data(), UInt32(c.events.size())));
        BufferList out(2, c.frames);
        ASSERT_EQ(noErr, host.Render(out, c.frames, 0.0));
        const auto calls = host.CallsOf(0);
        ASSERT_EQ(c.slices.size(), calls.size());
        for (size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(Float32(c.slices[i].first), calls[i].firstInput);
            EXPECT_EQ(c.slices[i].second, calls[i].frames);
            EXPECT_EQ(c.gains[i], calls[i].gain);
        }
        // The data pointers went back to the start: the whole output reached the host.
        EXPECT_EQ(Float32(999 + c.frames) * c.gains.back(), out.channel(1)[c.frames - 1]);
    }
}

// --- Properties and parameters ---

// A read tells the size and writes no more than asked; unknown parameters and
// elements are refused; CanDo answers for the selectors the unit takes; only
// float non-interleaved formats are taken, and the maximum frames until initialised.
TEST(AUBaseCalls, PropertySizesParametersSelectorsFormatsAndMaximumFrames) {
    Host host;
    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, 1));
    UInt32 size = 0;
    EXPECT_EQ(noErr, AudioUnitGetProperty(host.unit, kAudioUnitProperty_BypassEffect,
                                          kAudioUnitScope_Global, 0, nullptr, &size));
    EXPECT_EQ(4u, size);
    const struct {
        UInt32 given, told;
        uint64_t written;
    } cases[] = {{2, 2, 0xFFFFFFFFFFFF0001ull}, {8, 4, 0xFFFFFFFF00000001ull}};
    for (const auto& c : cases) {
        uint64_t value = ~0ull;
        size = c.given;
        EXPECT_EQ(noErr, AudioUnitGetProperty(host.unit, kAudioUnitProperty_BypassEffect,
                                              kAudioUnitScope_Global, 0, &value, &size));
        EXPECT_EQ(c.told, size);
        EXPECT_EQ(c.written, value);
    }

    // A cut read of a reference the unit retains for the caller releases it again.
    CFStringRef name = CFStringCreateWithCString(nullptr, "track 1", kCFStringEncodingUTF8);
    ASSERT_EQ(noErr, host.Set(kAudioUnitProperty_ContextName, name));
    const CFIndex held = CFGetRetainCount(name);
    uint16_t cut = 0;
    size = sizeof(cut);
    EXPECT_EQ(noErr, AudioUnitGetProperty(host.unit, kAudioUnitProperty_ContextName,
                                          kAudioUnitScope_Global, 0, &cut, &size));
    EXPECT_EQ(held, CFGetRetainCount(name));
    CFRelease(name);

    Float32 value = 0.0f;
    EXPECT_EQ(kAudioUnitErr_InvalidParameter,
              AudioUnitGetParameter(host.unit, 4, kAudioUnitScope_Global, 0, &value));
    EXPECT_EQ(kAudioUnitErr_InvalidParameter,
              AudioUnitSetParameter(host.unit, 4, kAudioUnitScope_Global, 0, 1.0f, 0));
    EXPECT_EQ(kAudioUnitErr_InvalidElement,
              AudioUnitGetParameter(host.unit, 0, kAudioUnitScope_Global, 1, &value));
    for (SInt16 selector = -8; selector <= 24; ++selector) {
        const bool taken = (selector >= -4 && selector <= -1) || (selector >= 1 && selector <= 7) ||
                           (selector >= 9 && selector <= 11) || (selector >= 14 && selector <= 17);
        EXPECT_EQ(taken ? 1 : 0, CallComponentCanDo(host.unit, selector)) << selector;
    }

    // Stream formats and the maximum frames, before and after initialisation.
    AudioStreamBasicDescription interleaved = FloatFormat(2);
    interleaved.mFormatFlags &= ~kAudioFormatFlagIsNonInterleaved;
    const UInt32 packed = kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved; // no float
    const AudioStreamBasicDescription int16 = {
        44100.0, kAudioFormatLinearPCM, packed, 2, 1, 2, 2, 16, 0};
    EXPECT_EQ(kAudioUnitErr_FormatNotSupported, host.SetFormat(kAudioUnitScope_Input, interleaved));
    EXPECT_EQ(kAudioUnitErr_FormatNotSupported, host.SetFormat(kAudioUnitScope_Output, int16));
    EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue,
              host.SetUInt32(kAudioUnitProperty_MaximumFramesPerSlice, 0x40000000));
    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_MaximumFramesPerSlice, 2048));

    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, 0)); // the kernels render
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    EXPECT_EQ(noErr, host.SetFormat(kAudioUnitScope_Input, FloatFormat(2)));
    EXPECT_EQ(kAudioUnitErr_PropertyNotWritable,
              host.SetFormat(kAudioUnitScope_Input, FloatFormat(1)));
    EXPECT_EQ(kAudioUnitErr_Initialized,
              host.SetUInt32(kAudioUnitProperty_MaximumFramesPerSlice, 1024));
    BufferList out(2, 2048);
    EXPECT_EQ(noErr, host.Render(out, 2000, 0.0));
    EXPECT_EQ(1999.0f, out.channel(0)[1999]);
}

// The same sample time is rendered once, until a reset forgets it; a reset, and
// switching bypass off, reset the kernels.
TEST(AUBaseDispatch, ResetForgetsTheLastRenderedSampleTimeAndItAndBypassOffResetTheKernels) {
    Host host;
    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, 1));
    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, 0)); // no kernels yet
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    BufferList out(2, 128);
    const struct {
        bool reset;
        Float64 time;
        size_t calls; // so far, two kernels
        int pulls, resets;
    } steps[] = {{false, 0.0, 2, 1, 0},
                 {false, 0.0, 2, 1, 0},
                 {false, 128.0, 4, 2, 0},
                 {true, 128.0, 6, 3, 2},
                 {false, 256.0, 8, 4, 2}};
    for (const auto& step : steps) {
        SCOPED_TRACE(testing::Message() << (step.reset ? "reset, " : "") << "time " << step.time);
        if (step.reset) {
            ASSERT_EQ(noErr, AudioUnitReset(host.unit, kAudioUnitScope_Global, 0));
        }
        ASSERT_EQ(noErr, host.Render(out, 128, step.time));
        EXPECT_EQ(step.calls, host.object->calls.size());
        EXPECT_EQ(step.pulls, host.pulls);
        EXPECT_EQ(step.resets, host.object->resets);
    }
    const struct {
        UInt32 bypass;
        int resets; // so far, two kernels
    } bypassSteps[] = {{0, 2}, {1, 2}, {1, 2}, {0, 4}, {0, 4}, {5, 4}, {0, 6}};
    for (const auto& step : bypassSteps) {
        ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, step.bypass));
        EXPECT_EQ(step.resets, host.object->resets) << "after bypass " << step.bypass;
        UInt32 value = 7;
        ASSERT_EQ(noErr, host.Get(kAudioUnitProperty_BypassEffect, value));
        EXPECT_EQ(step.bypass ? 1u : 0u, value);
    }
}

// --- Listeners and render notifications ---

namespace {
int gHeard = 0, gOnceHeard = 0;
void Listener(void*, AudioUnit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement) {
    if (id == kAudioUnitProperty_BypassEffect && scope == kAudioUnitScope_Global)
        ++gHeard;
}
void OnceListener(void*, AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope, AudioUnitElement) {
    ++gOnceHeard;
    AudioUnitRemovePropertyListener(unit, id, OnceListener);
}

OSStatus Notify(void* refCon, AudioUnitRenderActionFlags* flags, const AudioTimeStamp*, UInt32,
                UInt32, AudioBufferList*) {
    static_cast<std::vector<AudioUnitRenderActionFlags>*>(refCon)->push_back(*flags);
    return noErr;
}
} // namespace

// Mended: a listener removing itself while called no longer makes the next one be skipped.
TEST(AUBaseNotifications, ListenersAndRenderNotificationsAreCalledUntilRemoved) {
    Host host;
    gHeard = gOnceHeard = 0;
    for (AudioUnitPropertyListenerProc proc : {OnceListener, Listener})
        ASSERT_EQ(noErr, AudioUnitAddPropertyListener(host.unit, kAudioUnitProperty_BypassEffect,
                                                      proc, nullptr));
    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, 1));
    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, 0));
    EXPECT_EQ(1, gOnceHeard);
    EXPECT_EQ(2, gHeard);
    ASSERT_EQ(noErr, AudioUnitRemovePropertyListener(host.unit, kAudioUnitProperty_BypassEffect,
                                                     Listener));
    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, 1));
    EXPECT_EQ(2, gHeard);

    // Render notifications come before and after each render until removed.
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    std::vector<AudioUnitRenderActionFlags> notified;
    ASSERT_EQ(noErr, AudioUnitAddRenderNotify(host.unit, Notify, &notified));
    host.inputSilent = true;
    BufferList out(2, 64);
    ASSERT_EQ(noErr, host.Render(out, 64, 0.0));
    const std::vector<AudioUnitRenderActionFlags> expected = {
        kAudioUnitRenderAction_PreRender,
        kAudioUnitRenderAction_PostRender | kAudioUnitRenderAction_OutputIsSilence};
    EXPECT_EQ(expected, notified);
    ASSERT_EQ(noErr, AudioUnitRemoveRenderNotify(host.unit, Notify, &notified));
    ASSERT_EQ(noErr, host.Render(out, 64, 64.0));
    EXPECT_EQ(2u, notified.size());
}

// --- Saved state ---

namespace {

using namespace unitstate;

std::string PresetName(Host& host, SInt32* outNumber = nullptr) {
    AUPreset preset = {};
    EXPECT_EQ(noErr, host.Get(kAudioUnitProperty_CurrentPreset, preset));
    if (outNumber)
        *outNumber = preset.presetNumber;
    return text(preset.presetName);
}

std::string ElementName(Host& host, AudioUnitScope scope) {
    CFStringRef name = nullptr;
    if (host.Get(kAudioUnitProperty_ElementName, name, scope) != noErr)
        return "(none)";
    const std::string result = text(name);
    CFRelease(name);
    return result;
}

std::vector<AudioUnitScope> gCountsAnnounced;
void CountListener(void*, AudioUnit, AudioUnitPropertyID, AudioUnitScope scope, AudioUnitElement) {
    gCountsAnnounced.push_back(scope);
}

} // namespace

// A state of another unit, or of another version, is refused before anything
// changes; the type is not compared (a unit may be registered under another one).
// Parameter data cut short or claiming more than it holds stops at the last whole
// pair (the sanitizer build catches any read past the end).
TEST(AUBaseState, ForeignStatesAreRefusedAndCutDataStopsAtTheLastWholePair) {
    Host source, target;
    SetAll(source.unit, {0.9f, 0.9f, 0.9f, 0.9f});
    SetAll(target.unit, {0.5f, 0.5f, 0.5f, 0.5f});
    CFDictionaryRef state = save(source.unit);
    ASSERT_NE(nullptr, state);
    CFNumberRef one = number(1), other = number(0x78787878);
    const struct {
        const char* key;
        CFTypeRef value; // null: left out
    } refused[] = {{"version", one},         {"subtype", other},   {"part", one},
                   {"manufacturer", other},  {"version", nullptr}, {"subtype", nullptr},
                   {"manufacturer", nullptr}};
    for (const auto& edit : refused)
        EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue,
                  restoreEdited(target.unit, state, edit.key, edit.value))
            << edit.key << (edit.value ? " changed" : " left out");
    for (AudioUnitParameterID id = 0; id < 4; ++id)
        EXPECT_EQ(0.5f, Param(target.unit, id));
    EXPECT_EQ(noErr, restoreEdited(target.unit, state, "type", other));
    EXPECT_EQ(0.9f, Param(target.unit, 0));

    auto restoreData = [&](std::vector<uint8_t> bytes) {
        CFDataRef data = CFDataCreate(nullptr, bytes.data(), CFIndex(bytes.size()));
        const OSStatus result = restoreEdited(target.unit, state, "data", data);
        CFRelease(data);
        return result;
    };
    // Block header claiming 1000 pairs, two whole pairs and five stray bytes.
    EXPECT_EQ(noErr,
              restoreData({0,    0, 0, 0, 0, 0, 0, 0,    0,    0, 3, 0xE8, 0, 0, 0, 0,   0x3F,
                           0x80, 0, 0, 0, 0, 0, 1, 0x3F, 0x40, 0, 0, 0,    0, 0, 2, 0x3F}));
    EXPECT_EQ(1.0f, Param(target.unit, 0));
    EXPECT_EQ(0.75f, Param(target.unit, 1));
    EXPECT_EQ(0.9f, Param(target.unit, 2));
    // A header cut short, and a block for an element that does not exist, end quietly.
    EXPECT_EQ(noErr, restoreData({0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(noErr, restoreData({0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(1.0f, Param(target.unit, 0));
    for (CFTypeRef object : {CFTypeRef(one), CFTypeRef(other), CFTypeRef(state)})
        CFRelease(object);
}

TEST(AUBaseState, PresetAndElementNamesAreSavedAndRestored) {
    Host source, target;
    CFDictionaryRef plain = save(source.unit);
    EXPECT_EQ("Untitled", text(static_cast<CFStringRef>(lookup(plain, "name"))));
    EXPECT_EQ(nullptr, lookup(plain, "element-name")); // no element has a name

    CFStringRef preset = CFStringCreateWithCString(nullptr, "Crunch lead", kCFStringEncodingUTF8);
    ASSERT_EQ(noErr, source.Set(kAudioUnitProperty_CurrentPreset, AUPreset{-1, preset}));
    const std::pair<AudioUnitScope, const char*> names[] = {{kAudioUnitScope_Global, "quorle"},
                                                            {kAudioUnitScope_Input, "guitar in"},
                                                            {kAudioUnitScope_Output, "to the amp"}};
    for (const auto& [scope, name] : names) {
        CFStringRef string = CFStringCreateWithCString(nullptr, name, kCFStringEncodingUTF8);
        ASSERT_EQ(noErr, source.Set(kAudioUnitProperty_ElementName, string, scope));
        CFRelease(string);
    }
    CFDictionaryRef state = save(source.unit);
    EXPECT_EQ("Crunch lead", text(static_cast<CFStringRef>(lookup(state, "name"))));
    const auto saved = static_cast<CFDictionaryRef>(lookup(state, "element-name"));
    ASSERT_NE(nullptr, saved);
    EXPECT_EQ(3, CFDictionaryGetCount(saved));
    const auto input = static_cast<CFDictionaryRef>(lookup(saved, "1"));
    EXPECT_EQ("guitar in", text(static_cast<CFStringRef>(lookup(input, "0"))));

    gCountsAnnounced.clear();
    ASSERT_EQ(noErr, AudioUnitAddPropertyListener(target.unit, kAudioUnitProperty_ElementCount,
                                                  CountListener, nullptr));
    ASSERT_EQ(noErr, restore(target.unit, state));
    SInt32 presetNumber = 0;
    EXPECT_EQ("Crunch lead", PresetName(target, &presetNumber));
    EXPECT_EQ(-1, presetNumber);
    for (const auto& [scope, name] : names)
        EXPECT_EQ(name, ElementName(target, scope)) << "scope " << scope;
    // The element count of each scope whose names came back is announced.
    EXPECT_EQ((std::vector<AudioUnitScope>{0, 1, 2}), gCountsAnnounced);

    // A state without a name restores as "Untitled".
    ASSERT_EQ(noErr, restoreEdited(target.unit, state, "name", nullptr));
    EXPECT_EQ("Untitled", PresetName(target));
    for (CFTypeRef object : {CFTypeRef(preset), CFTypeRef(state), CFTypeRef(plain)})
        CFRelease(object);
}

// --- Tail ---

namespace {

struct TailUnit : TestUnit {
    using TestUnit::TestUnit;
    bool SupportsTail() override { return true; }
    Float64 GetTailTime() override { return tailSeconds; }
    Float64 tailSeconds = 0.0;
};

} // namespace

// Silent input after a sounding render: whether each 64-frame render at 44.1 kHz
// comes out flagged silent.
TEST(AUTailCountdown, CountsDownToSilenceAndIsClampedInsteadOfWrapping) {
    const struct {
        Float64 seconds;
        std::vector<bool> silent;
    } cases[] = {
        {0.0, {true, true, true}},
        {100.0 / 44100.0, {false, false, true, true}}, // 100 frames: two 64-frame renders
        {1.0e9, {false, false, false, false}},         // beyond the countdown's range
        {std::numeric_limits<Float64>::quiet_NaN(), {true, true}}, // no tail
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "tail " << c.seconds << " s");
        Host host(EntryOf<TailUnit>);
        static_cast<TailUnit*>(host.object)->tailSeconds = c.seconds;
        ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
        BufferList out(2, 64);
        std::vector<bool> silent;
        for (size_t r = 0; r <= c.silent.size(); ++r) {
            host.inputSilent = r > 0;
            AudioUnitRenderActionFlags flags = 0;
            ASSERT_EQ(noErr, host.Render(out, 64, 64.0 * Float64(r), &flags));
            if (r > 0)
                silent.push_back(flags & kAudioUnitRenderAction_OutputIsSilence);
        }
        EXPECT_EQ(c.silent, silent);
    }
}

// --- The component entry ---

namespace {

// Exceptions never cross the component entry: each kind becomes a status, and a
// unit that failed after it was made is destroyed all the same.
int gThrowAt = 0; // which step throws, as numbered in Steps below
int gLivingUnits = 0;
struct ThrowingUnit : AUEffectBase {
    explicit ThrowingUnit(ComponentInstance instance) : AUEffectBase(instance) {
        switch (gThrowAt) {
        case 0: throw static_cast<OSStatus>(-3000);
        case 1: throw static_cast<OSErr>(-5);
        case 2: throw std::bad_alloc();
        case 3: throw std::runtime_error("anything else");
        }
        ++gLivingUnits;
    }
    ~ThrowingUnit() override { --gLivingUnits; }
    void PostConstructor() override {
        AUEffectBase::PostConstructor();
        if (gThrowAt == 4)
            throw static_cast<OSStatus>(-3001);
    }
    void PreDestructor() override {
        AUEffectBase::PreDestructor();
        if (gThrowAt == 5)
            throw std::runtime_error("while closing");
    }
    AUKernelBase* NewKernel() override { return nullptr; }
};

TEST(ComponentEntry, ExceptionsBecomeStatusesAndTheUnitIsReleased) {
    const ComponentDescription description = {kAudioUnitType_Effect, 1, 2, 0, 0};
    const OSStatus opened[] = {-3000, -5, memFullErr, -1, -3001}; // constructor, PostConstructor
    for (gThrowAt = 0; gThrowAt < 5; ++gThrowAt) {
        SCOPED_TRACE(testing::Message() << "throwing at " << gThrowAt);
        gLivingUnits = 0;
        ComponentInstance instance = nullptr;
        EXPECT_EQ(OpenAComponent(EntryOf<ThrowingUnit>, &description, &instance), opened[gThrowAt]);
        EXPECT_EQ(instance, nullptr);
        EXPECT_EQ(gLivingUnits, 0);
    }
    gLivingUnits = 0; // PreDestructor
    ComponentInstance instance = nullptr;
    ASSERT_EQ(OpenAComponent(EntryOf<ThrowingUnit>, &description, &instance), noErr);
    EXPECT_EQ(gLivingUnits, 1);
    EXPECT_EQ(CloseComponent(instance), -1);
    EXPECT_EQ(gLivingUnits, 0);
    gThrowAt = 0;
}

} // namespace
