// The audio-unit base classes, driven as a host drives them: through the client
// functions of an opened component.
#include "AUTestUnit.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

using namespace autest;

namespace {

OSStatus SetFormat(Host& host, AudioUnitScope scope, const AudioStreamBasicDescription& format) {
    return AudioUnitSetProperty(host.unit, kAudioUnitProperty_StreamFormat, scope, 0, &format,
                                sizeof(format));
}

OSStatus SetChannels(Host& host, UInt32 in, UInt32 out) {
    const OSStatus result = SetFormat(host, kAudioUnitScope_Input, FloatFormat(in));
    return result != noErr ? result : SetFormat(host, kAudioUnitScope_Output, FloatFormat(out));
}

std::vector<ProcessCall> Channel0Calls(const Host& host) {
    std::vector<ProcessCall> found;
    for (const ProcessCall& call : host.object->calls)
        if (call.channel == 0)
            found.push_back(call);
    return found;
}

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

OSStatus LastRenderError(AudioUnit unit) {
    OSStatus error = 12345;
    UInt32 size = sizeof(error);
    EXPECT_EQ(noErr, AudioUnitGetProperty(unit, kAudioUnitProperty_LastRenderError,
                                          kAudioUnitScope_Global, 0, &error, &size));
    return error;
}

} // namespace

// --- Initialise and kernels ---

TEST(AUEffectBaseLifecycle, InitialiseMakesAKernelPerChannelOrRefusesTheCounts) {
    const struct {
        UInt32 in, out;
        OSStatus result;
        UInt32 kernels;
    } cases[] = {{2, 2, noErr, 2},
                 {1, 2, kAudioUnitErr_FormatNotSupported, 0},
                 {0, 0, kAudioUnitErr_FormatNotSupported, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.in << " in, " << c.out << " out");
        Host host;
        ASSERT_EQ(noErr, SetChannels(host, c.in, c.out));
        EXPECT_EQ(c.result, AudioUnitInitialize(host.unit));
        ASSERT_EQ(c.kernels, host.object->GetNumKernels());
        for (UInt32 k = 0; k < c.kernels; ++k) {
            EXPECT_EQ(k, host.object->GetKernel(k)->GetChannelNum());
            EXPECT_EQ(k + 1 == c.kernels, host.object->GetKernel(k)->IsLastKernel());
        }
    }
}

// Mended: initialising resets the last sample time, so a new run from 0 is rendered.
TEST(AUEffectBaseLifecycle, ReinitialisingWithAnotherChannelCountStartsAfresh) {
    Host host;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    BufferList out(2, 64);
    ASSERT_EQ(noErr, host.Render(out, 64, 0.0));
    ASSERT_EQ(noErr, AudioUnitUninitialize(host.unit));
    ASSERT_EQ(noErr, SetChannels(host, 1, 1));
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    ASSERT_EQ(1u, host.object->GetNumKernels());
    host.object->calls.clear();
    BufferList mono(1, 64);
    EXPECT_EQ(noErr, host.Render(mono, 64, 0.0));
    EXPECT_EQ(1u, host.object->calls.size());
    EXPECT_EQ(63.0f, mono.channel(0)[63]);
}

// Mended: a kernel that fails to build leaves none of the others behind.
TEST(AUEffectBaseLifecycle, AFailedInitialiseLeavesNoKernels) {
    Host host;
    host.object->failAtKernel = 1;
    EXPECT_EQ(-4242, AudioUnitInitialize(host.unit));
    EXPECT_EQ(0u, host.object->GetNumKernels());
    host.object->failAtKernel = -1;
    EXPECT_EQ(noErr, AudioUnitInitialize(host.unit));
    EXPECT_EQ(2u, host.object->GetNumKernels());
}

TEST(AUEffectBaseLifecycle, PublishedConfigurationsMatchWithTheirWildcards) {
    using Configs = std::vector<AUChannelInfo>;
    const struct {
        Configs configs;
        UInt32 in, out;
        bool accepted;
    } cases[] = {
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
                     << "(" << c.configs[0].inChannels << ", " << c.configs[0].outChannels
                     << ") of " << c.configs.size() << "; " << c.in << " in, " << c.out << " out");
        Host host;
        host.object->channelInfo = c.configs;
        ASSERT_EQ(noErr, SetChannels(host, c.in, c.out));
        EXPECT_EQ(c.accepted ? noErr : kAudioUnitErr_FormatNotSupported,
                  AudioUnitInitialize(host.unit));
        EXPECT_EQ(c.accepted ? c.out : 0u, host.object->GetNumKernels());

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

TEST(AUEffectBaseRender, CallsItCannotServeFailAndTheFirstErrorIsReadOnce) {
    Host host;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    BufferList out(2, 1157), mono(1, 512), cut(2, 100);
    EXPECT_EQ(kAudioUnitErr_TooManyFramesToProcess, host.Render(out, 1157, 0.0));
    EXPECT_EQ(paramErr, host.Render(mono, 512, 1.0)); // mended: stereo needs two buffers
    EXPECT_EQ(paramErr, host.Render(cut, 512, 2.0));  // no room for the frames
    EXPECT_TRUE(host.object->calls.empty());
    EXPECT_EQ(kAudioUnitErr_TooManyFramesToProcess, LastRenderError(host.unit));
    EXPECT_EQ(noErr, LastRenderError(host.unit));
    EXPECT_EQ(noErr, host.Render(out, 1156, 3.0));

    host.object->throwInProcess = true; // an exception does not reach the host
    EXPECT_EQ(-1, host.Render(out, 256, 4.0));
}

namespace {
OSStatus ShrinkingInput(void*, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32, UInt32,
                        AudioBufferList* data) {
    data->mNumberBuffers = 1;
    return noErr;
}
} // namespace

// Mended: a source that shrinks the list it was handed fails the render.
TEST(AUEffectBaseRender, ASourceShrinkingThePulledListIsRefused) {
    Host host;
    ASSERT_EQ(noErr, host.ConnectInput(ShrinkingInput));
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    BufferList out(2, 256);
    EXPECT_EQ(paramErr, host.Render(out, 256, 0.0));
    EXPECT_TRUE(host.object->calls.empty());
    ASSERT_EQ(noErr, host.ConnectInput());
    EXPECT_EQ(noErr, host.Render(out, 256, 256.0));
}

TEST(AUEffectBaseRender, PullsFromAConnectedUnitIntoBuffersItHandsOut) {
    Host upstream, unit;
    ASSERT_EQ(noErr, AudioUnitInitialize(upstream.unit));
    ASSERT_EQ(noErr, AudioUnitSetParameter(upstream.unit, 0, kAudioUnitScope_Global, 0, 2.0f, 0));
    AudioUnitConnection connection = {upstream.unit, 0, 0};
    ASSERT_EQ(noErr,
              AudioUnitSetProperty(unit.unit, kAudioUnitProperty_MakeConnection,
                                   kAudioUnitScope_Input, 0, &connection, sizeof(connection)));
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

TEST(AUEffectBaseRender, TheSameSampleTimeIsRenderedOnce) {
    Host host;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    BufferList out(2, 128);
    for (Float64 time : {0.0, 0.0, 128.0})
        EXPECT_EQ(noErr, host.Render(out, 128, time));
    EXPECT_EQ(4u, host.object->calls.size());
    EXPECT_EQ(2, host.pulls);
}

TEST(AUEffectBaseRender, BypassInPlacePassesTheInputUntouchedWithoutKernels) {
    Host host;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    ASSERT_EQ(noErr, AudioUnitSetParameter(host.unit, 0, kAudioUnitScope_Global, 0, 0.5f, 0));
    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, 1));
    BufferList out(2, 256);
    ASSERT_EQ(noErr, host.Render(out, 256, 0.0));
    EXPECT_EQ(200.0f, out.channel(0)[200]);
    EXPECT_EQ(1255.0f, out.channel(1)[255]);
    EXPECT_TRUE(host.object->calls.empty());
}

TEST(AUEffectBaseRender, SilentInputIsFlaggedSilentYetProcessedInPlace) {
    Host host;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    host.inputSilent = true;
    BufferList out(2, 64);
    AudioUnitRenderActionFlags flags = 0;
    ASSERT_EQ(noErr, host.Render(out, 64, 0.0, &flags));
    EXPECT_TRUE(flags & kAudioUnitRenderAction_OutputIsSilence);
    ASSERT_EQ(2u, host.object->calls.size());
    EXPECT_TRUE(host.object->calls[0].silentIn);
    EXPECT_EQ(1063.0f, out.channel(1)[63]); // the buffers are not zeroed
}

namespace {
bool AllZero(BufferList& list, UInt32 channels, UInt32 frames) {
    for (UInt32 c = 0; c < channels; ++c)
        for (UInt32 i = 0; i < frames; ++i)
            if (list.channel(c)[i] != 0.0f)
                return false;
    return true;
}
} // namespace

TEST(AUEffectBaseRender, NotInPlaceBypassCopiesTheInputAndSilenceZeroesTheOutput) {
    Host host;
    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_InPlaceProcessing, 0));
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

    // A silent input leaves a zeroed output, bypassed or processed.
    host.inputSilent = true;
    Float64 time = 512.0;
    for (UInt32 bypass : {1u, 0u}) {
        SCOPED_TRACE(testing::Message() << "bypass " << bypass);
        ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, bypass));
        host.object->calls.clear();
        AudioUnitRenderActionFlags flags = 0;
        ASSERT_EQ(noErr, host.Render(out, 256, time, &flags));
        time += 256.0;
        EXPECT_TRUE(flags & kAudioUnitRenderAction_OutputIsSilence);
        EXPECT_TRUE(AllZero(out, 2, 256));
        EXPECT_EQ(bypass ? 0u : 2u, host.object->calls.size());
    }
}

TEST(AUEffectBaseRender, SwitchingBypassOffResetsTheKernels) {
    Host host;
    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, 1));
    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, 0)); // no kernels yet
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    const struct {
        UInt32 bypass;
        int resets; // so far, two kernels
    } steps[] = {{0, 0}, {1, 0}, {1, 0}, {0, 2}, {0, 2}, {5, 2}, {0, 4}};
    for (const auto& step : steps) {
        ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, step.bypass));
        EXPECT_EQ(step.resets, host.object->resets) << "after bypass " << step.bypass;
        UInt32 value = 7, size = sizeof(value);
        ASSERT_EQ(noErr, AudioUnitGetProperty(host.unit, kAudioUnitProperty_BypassEffect,
                                              kAudioUnitScope_Global, 0, &value, &size));
        EXPECT_EQ(step.bypass ? 1u : 0u, value);
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
        const auto calls = Channel0Calls(host);
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

// Mended: events belong to their render call, even a failed one.
TEST(AUEffectBaseSlicing, AFailedRenderDiscardsItsEvents) {
    Host host;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    const AudioUnitParameterEvent later = Immediate(100, 0.5f);
    ASSERT_EQ(noErr, AudioUnitScheduleParameters(host.unit, &later, 1));
    BufferList out(2, 1157);
    EXPECT_EQ(kAudioUnitErr_TooManyFramesToProcess, host.Render(out, 1157, 0.0));
    ASSERT_EQ(noErr, host.Render(out, 512, 0.0));
    EXPECT_EQ(1u, Channel0Calls(host).size());
}

// --- Properties and parameters ---

TEST(AUBaseProperties, GetPropertyTellsTheSizeAndWritesNoMoreThanAsked) {
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
    ASSERT_EQ(noErr, AudioUnitSetProperty(host.unit, kAudioUnitProperty_ContextName,
                                          kAudioUnitScope_Global, 0, &name, sizeof(name)));
    const CFIndex held = CFGetRetainCount(name);
    uint16_t cut = 0;
    size = sizeof(cut);
    EXPECT_EQ(noErr, AudioUnitGetProperty(host.unit, kAudioUnitProperty_ContextName,
                                          kAudioUnitScope_Global, 0, &cut, &size));
    EXPECT_EQ(held, CFGetRetainCount(name));
    CFRelease(name);
}

TEST(AUBaseProperties, StreamFormatsAndMaximumFrames) {
    Host host;
    AudioStreamBasicDescription interleaved = FloatFormat(2), int16 = FloatFormat(2);
    interleaved.mFormatFlags &= ~kAudioFormatFlagIsNonInterleaved;
    int16.mFormatFlags = kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
    int16.mBitsPerChannel = 16;
    int16.mBytesPerFrame = int16.mBytesPerPacket = 2;
    EXPECT_EQ(kAudioUnitErr_FormatNotSupported,
              SetFormat(host, kAudioUnitScope_Input, interleaved));
    EXPECT_EQ(kAudioUnitErr_FormatNotSupported, SetFormat(host, kAudioUnitScope_Output, int16));
    EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue,
              host.SetUInt32(kAudioUnitProperty_MaximumFramesPerSlice, 0x40000000));
    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_MaximumFramesPerSlice, 2048));

    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    EXPECT_EQ(noErr, SetFormat(host, kAudioUnitScope_Input, FloatFormat(2)));
    EXPECT_EQ(kAudioUnitErr_PropertyNotWritable,
              SetFormat(host, kAudioUnitScope_Input, FloatFormat(1)));
    EXPECT_EQ(kAudioUnitErr_Initialized,
              host.SetUInt32(kAudioUnitProperty_MaximumFramesPerSlice, 1024));
    BufferList out(2, 2048);
    EXPECT_EQ(noErr, host.Render(out, 2000, 0.0));
    EXPECT_EQ(1999.0f, out.channel(0)[1999]);
}

TEST(AUBaseParameters, UnknownParametersAndElementsAreRefused) {
    Host host;
    Float32 value = 0.0f;
    EXPECT_EQ(kAudioUnitErr_InvalidParameter,
              AudioUnitGetParameter(host.unit, 4, kAudioUnitScope_Global, 0, &value));
    EXPECT_EQ(kAudioUnitErr_InvalidParameter,
              AudioUnitSetParameter(host.unit, 4, kAudioUnitScope_Global, 0, 1.0f, 0));
    EXPECT_EQ(kAudioUnitErr_InvalidElement,
              AudioUnitGetParameter(host.unit, 0, kAudioUnitScope_Global, 1, &value));
}

// --- Component calls ---

TEST(AUBaseDispatch, CanDoAnswersForTheSelectorsTheUnitTakes) {
    Host host;
    for (SInt16 selector = -8; selector <= 24; ++selector) {
        const bool taken = (selector >= -4 && selector <= -1) || (selector >= 1 && selector <= 7) ||
                           (selector >= 9 && selector <= 11) || (selector >= 14 && selector <= 17);
        EXPECT_EQ(taken ? 1 : 0, CallComponentCanDo(host.unit, selector)) << selector;
    }
}

TEST(AUBaseDispatch, ResetForgetsTheLastRenderedSampleTimeAndResetsTheKernels) {
    Host host;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    BufferList out(2, 128);
    ASSERT_EQ(noErr, host.Render(out, 128, 0.0));
    ASSERT_EQ(noErr, host.Render(out, 128, 0.0));
    EXPECT_EQ(2u, host.object->calls.size());
    ASSERT_EQ(noErr, AudioUnitReset(host.unit, kAudioUnitScope_Global, 0));
    EXPECT_EQ(2, host.object->resets);
    ASSERT_EQ(noErr, host.Render(out, 128, 0.0)); // the same time, rendered again
    EXPECT_EQ(4u, host.object->calls.size());
    EXPECT_EQ(2, host.pulls);
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
TEST(AUBaseNotifications, ListenersHearBypassChangesUntilRemoved) {
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
}

TEST(AUBaseNotifications, RenderNotificationsComeBeforeAndAfterEachRender) {
    Host host;
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

CFDictionaryRef SaveState(AudioUnit unit) {
    CFPropertyListRef state = nullptr;
    UInt32 size = sizeof(state);
    EXPECT_EQ(noErr, AudioUnitGetProperty(unit, kAudioUnitProperty_ClassInfo,
                                          kAudioUnitScope_Global, 0, &state, &size));
    return static_cast<CFDictionaryRef>(state);
}

OSStatus RestoreState(AudioUnit unit, CFPropertyListRef state) {
    return AudioUnitSetProperty(unit, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0,
                                &state, sizeof(state));
}

// Restores a copy of `state` with `key` set to `value`.
OSStatus RestoreEdited(AudioUnit unit, CFDictionaryRef state, const char* key, CFTypeRef value) {
    CFMutableDictionaryRef copy = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    for (CFIndex i = 0; i < CFDictionaryGetCount(state); ++i) {
        const void* k = CFDictionaryGetKeyAtIndex(state, i);
        CFDictionarySetValue(copy, k, CFDictionaryGetValue(state, k));
    }
    CFStringRef name = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    CFDictionarySetValue(copy, name, value);
    const OSStatus result = RestoreState(unit, copy);
    CFRelease(name);
    CFRelease(copy);
    return result;
}

} // namespace

TEST(AUBaseState, SavedStateRestoresIntoAnotherInstance) {
    Host source, target;
    SetAll(source.unit, {0.1f, 0.2f, 0.3f, 2.0f});
    CFDictionaryRef state = SaveState(source.unit);
    ASSERT_NE(nullptr, state);
    // The data block: element 0 of the global scope, four (ID, value) pairs, big-endian.
    CFStringRef key = CFStringCreateWithCString(nullptr, "data", kCFStringEncodingUTF8);
    const auto data = static_cast<CFDataRef>(CFDictionaryGetValue(state, key));
    CFRelease(key);
    ASSERT_EQ(12 + 4 * 8, CFDataGetLength(data));
    const uint8_t head[] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4},
                  id3[] = {0, 0, 0, 3, 0x40, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(head, CFDataGetBytePtr(data), sizeof(head)));
    EXPECT_EQ(0, std::memcmp(id3, CFDataGetBytePtr(data) + 12 + 3 * 8, sizeof(id3))); // 2.0f

    ASSERT_EQ(noErr, RestoreState(target.unit, state));
    for (AudioUnitParameterID id = 0; id < 4; ++id)
        EXPECT_EQ(Param(source.unit, id), Param(target.unit, id));
    CFRelease(state);
}

TEST(AUBaseState, ForeignStatesAreRefusedBeforeAnythingChanges) {
    Host source, target;
    SetAll(source.unit, {0.9f, 0.9f, 0.9f, 0.9f});
    SetAll(target.unit, {0.5f, 0.5f, 0.5f, 0.5f});
    CFDictionaryRef state = SaveState(source.unit);
    SInt32 values[] = {1, 0x78787878};
    CFNumberRef one = CFNumberCreate(nullptr, kCFNumberSInt32Type, &values[0]);
    CFNumberRef other = CFNumberCreate(nullptr, kCFNumberSInt32Type, &values[1]);
    const std::pair<const char*, CFNumberRef> edits[] = {
        {"version", one}, {"subtype", other}, {"part", one}};
    for (const auto& [key, value] : edits)
        EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue, RestoreEdited(target.unit, state, key, value))
            << key;
    for (AudioUnitParameterID id = 0; id < 4; ++id)
        EXPECT_EQ(0.5f, Param(target.unit, id));
    for (CFTypeRef object : {CFTypeRef(one), CFTypeRef(other), CFTypeRef(state)})
        CFRelease(object);
}

namespace {

std::string Text(CFStringRef string) {
    char buffer[256] = {};
    if (!string || !CFStringGetCString(string, buffer, sizeof(buffer), kCFStringEncodingUTF8))
        return "(none)";
    return buffer;
}

// Restores a copy of `state` without `key`.
OSStatus RestoreWithout(AudioUnit unit, CFDictionaryRef state, const char* key) {
    CFMutableDictionaryRef copy = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    for (CFIndex i = 0; i < CFDictionaryGetCount(state); ++i) {
        const void* k = CFDictionaryGetKeyAtIndex(state, i);
        if (Text(static_cast<CFStringRef>(k)) != key)
            CFDictionarySetValue(copy, k, CFDictionaryGetValue(state, k));
    }
    const OSStatus result = RestoreState(unit, copy);
    CFRelease(copy);
    return result;
}

CFTypeRef Lookup(CFDictionaryRef dictionary, const char* key) {
    if (!dictionary)
        return nullptr;
    CFStringRef name = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    CFTypeRef value = CFDictionaryGetValue(dictionary, name);
    CFRelease(name);
    return value;
}

std::string PresetName(AudioUnit unit, SInt32* outNumber = nullptr) {
    AUPreset preset = {};
    UInt32 size = sizeof(preset);
    EXPECT_EQ(noErr, AudioUnitGetProperty(unit, kAudioUnitProperty_CurrentPreset,
                                          kAudioUnitScope_Global, 0, &preset, &size));
    if (outNumber)
        *outNumber = preset.presetNumber;
    return Text(preset.presetName);
}

std::string ElementName(AudioUnit unit, AudioUnitScope scope) {
    CFStringRef name = nullptr;
    UInt32 size = sizeof(name);
    if (AudioUnitGetProperty(unit, kAudioUnitProperty_ElementName, scope, 0, &name, &size) != noErr)
        return "(none)";
    const std::string text = Text(name);
    CFRelease(name);
    return text;
}

std::vector<AudioUnitScope> gCountsAnnounced;
void CountListener(void*, AudioUnit, AudioUnitPropertyID, AudioUnitScope scope, AudioUnitElement) {
    gCountsAnnounced.push_back(scope);
}

} // namespace

// The type is not compared: a unit may be registered under another one.
TEST(AUBaseState, SubtypeAndManufacturerMustBePresentAndMatch) {
    Host source, target;
    SetAll(source.unit, {0.9f, 0.9f, 0.9f, 0.9f});
    SetAll(target.unit, {0.5f, 0.5f, 0.5f, 0.5f});
    CFDictionaryRef state = SaveState(source.unit);
    SInt32 code = 0x78787878;
    CFNumberRef other = CFNumberCreate(nullptr, kCFNumberSInt32Type, &code);
    EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue,
              RestoreEdited(target.unit, state, "manufacturer", other));
    for (const char* key : {"version", "subtype", "manufacturer"})
        EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue, RestoreWithout(target.unit, state, key))
            << key;
    EXPECT_EQ(0.5f, Param(target.unit, 0));
    EXPECT_EQ(noErr, RestoreEdited(target.unit, state, "type", other));
    EXPECT_EQ(0.9f, Param(target.unit, 0));
    CFRelease(other);
    CFRelease(state);
}

TEST(AUBaseState, PresetAndElementNamesAreSavedAndRestored) {
    Host source, target;
    CFDictionaryRef plain = SaveState(source.unit);
    EXPECT_EQ("Untitled", Text(static_cast<CFStringRef>(Lookup(plain, "name"))));
    EXPECT_EQ(nullptr, Lookup(plain, "element-name")); // no element has a name

    CFStringRef preset = CFStringCreateWithCString(nullptr, "Crunch lead", kCFStringEncodingUTF8);
    const AUPreset current = {-1, preset};
    ASSERT_EQ(noErr, AudioUnitSetProperty(source.unit, kAudioUnitProperty_CurrentPreset,
                                          kAudioUnitScope_Global, 0, &current, sizeof(current)));
    const std::pair<AudioUnitScope, const char*> names[] = {{kAudioUnitScope_Global, "quorle"},
                                                            {kAudioUnitScope_Input, "guitar in"},
                                                            {kAudioUnitScope_Output, "to the amp"}};
    for (const auto& [scope, text] : names) {
        CFStringRef name = CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8);
        ASSERT_EQ(noErr, AudioUnitSetProperty(source.unit, kAudioUnitProperty_ElementName, scope, 0,
                                              &name, sizeof(name)));
        CFRelease(name);
    }
    CFDictionaryRef state = SaveState(source.unit);
    EXPECT_EQ("Crunch lead", Text(static_cast<CFStringRef>(Lookup(state, "name"))));
    const auto saved = static_cast<CFDictionaryRef>(Lookup(state, "element-name"));
    ASSERT_NE(nullptr, saved);
    EXPECT_EQ(3, CFDictionaryGetCount(saved));
    const auto input = static_cast<CFDictionaryRef>(Lookup(saved, "1"));
    EXPECT_EQ("guitar in", Text(static_cast<CFStringRef>(Lookup(input, "0"))));

    gCountsAnnounced.clear();
    ASSERT_EQ(noErr, AudioUnitAddPropertyListener(target.unit, kAudioUnitProperty_ElementCount,
                                                  CountListener, nullptr));
    ASSERT_EQ(noErr, RestoreState(target.unit, state));
    SInt32 number = 0;
    EXPECT_EQ("Crunch lead", PresetName(target.unit, &number));
    EXPECT_EQ(-1, number);
    for (const auto& [scope, text] : names)
        EXPECT_EQ(text, ElementName(target.unit, scope)) << "scope " << scope;
    // The element count of each scope whose names came back is announced.
    EXPECT_EQ((std::vector<AudioUnitScope>{0, 1, 2}), gCountsAnnounced);

    // A state without a name restores as "Untitled".
    ASSERT_EQ(noErr, RestoreWithout(target.unit, state, "name"));
    EXPECT_EQ("Untitled", PresetName(target.unit));
    for (CFTypeRef object : {CFTypeRef(preset), CFTypeRef(state), CFTypeRef(plain)})
        CFRelease(object);
}

// The sanitizer build catches any read past the end of the data.
TEST(AUBaseState, CutOrOverlongDataStopsAtTheLastWholePair) {
    Host host;
    SetAll(host.unit, {0.5f, 0.5f, 0.5f, 0.5f});
    CFDictionaryRef state = SaveState(host.unit);
    auto restore = [&](std::vector<uint8_t> bytes) {
        CFDataRef data = CFDataCreate(nullptr, bytes.data(), CFIndex(bytes.size()));
        const OSStatus result = RestoreEdited(host.unit, state, "data", data);
        CFRelease(data);
        return result;
    };
    // Block header claiming 1000 pairs, two whole pairs and five stray bytes.
    EXPECT_EQ(noErr, restore({0,    0, 0, 0, 0, 0, 0, 0,    0,    0, 3, 0xE8, 0, 0, 0, 0,   0x3F,
                              0x80, 0, 0, 0, 0, 0, 1, 0x3F, 0x40, 0, 0, 0,    0, 0, 2, 0x3F}));
    EXPECT_EQ(1.0f, Param(host.unit, 0));
    EXPECT_EQ(0.75f, Param(host.unit, 1));
    EXPECT_EQ(0.5f, Param(host.unit, 2));
    // A header cut short, and a block for an element that does not exist, end quietly.
    EXPECT_EQ(noErr, restore({0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(noErr, restore({0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(1.0f, Param(host.unit, 0));
    CFRelease(state);
}

namespace {

// Exceptions never cross the component entry: each kind becomes a status.
int gOpenThrows = 0;
struct ThrowingUnit : AUEffectBase {
    explicit ThrowingUnit(ComponentInstance instance) : AUEffectBase(instance) {
        switch (gOpenThrows) {
        case 0: throw static_cast<OSStatus>(-3000);
        case 1: throw static_cast<OSErr>(-5);
        case 2: throw std::bad_alloc();
        default: throw std::runtime_error("anything else");
        }
    }
    AUKernelBase* NewKernel() override { return nullptr; }
};
ComponentResult ThrowingEntry(ComponentParameters* params, void* storage) {
    return ComponentEntryPoint<ThrowingUnit>::Dispatch(params, static_cast<ThrowingUnit*>(storage));
}

TEST(ComponentEntry, ExceptionsDuringOpenBecomeStatuses) {
    const ComponentDescription description = {kAudioUnitType_Effect, 1, 2, 0, 0};
    const OSStatus expected[] = {-3000, -5, memFullErr, -1};
    for (gOpenThrows = 0; gOpenThrows < 4; ++gOpenThrows) {
        ComponentInstance instance = nullptr;
        EXPECT_EQ(OpenAComponent(ThrowingEntry, &description, &instance), expected[gOpenThrows]);
        EXPECT_EQ(instance, nullptr);
    }
}

} // namespace
