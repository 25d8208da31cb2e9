// The audio-unit base classes, driven as a host drives them: through the client
// functions of an opened component.
#include "AUTestUnit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace autest;

namespace {

Float32 Param(AudioUnit unit, AudioUnitParameterID id, AudioUnitScope scope = 0,
              AudioUnitElement element = 0) {
    Float32 value = -1.0f;
    EXPECT_EQ(noErr, AudioUnitGetParameter(unit, id, scope, element, &value));
    return value;
}

OSStatus LastRenderError(AudioUnit unit) {
    OSStatus error = 12345;
    UInt32 size = sizeof(error);
    EXPECT_EQ(noErr, AudioUnitGetProperty(unit, kAudioUnitProperty_LastRenderError,
                                          kAudioUnitScope_Global, 0, &error, &size));
    return error;
}

AudioUnitParameterEvent Immediate(UInt32 offset, Float32 value) {
    AudioUnitParameterEvent event = {};
    event.eventType = kParameterEvent_Immediate;
    event.eventValues.immediate.bufferOffset = offset;
    event.eventValues.immediate.value = value;
    return event;
}

AudioUnitParameterEvent Ramp(SInt32 offset, UInt32 duration, Float32 from, Float32 to) {
    AudioUnitParameterEvent event = {};
    event.eventType = kParameterEvent_Ramped;
    event.eventValues.ramp = {offset, duration, from, to};
    return event;
}

} // namespace

// --- Initialise, channel rules, kernels ---

TEST(AUEffectBaseLifecycle, KernelsFollowTheChannelCountAcrossReinitialisation) {
    Host host;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    ASSERT_EQ(2u, host.object->GetNumKernels());
    EXPECT_EQ(0u, host.object->GetKernel(0)->GetChannelNum());
    EXPECT_FALSE(host.object->GetKernel(0)->IsLastKernel());
    EXPECT_EQ(1u, host.object->GetKernel(1)->GetChannelNum());
    EXPECT_TRUE(host.object->GetKernel(1)->IsLastKernel());
    EXPECT_EQ(nullptr, host.object->GetKernel(2));
    EXPECT_EQ(noErr, AudioUnitInitialize(host.unit)); // already initialised: nothing made
    EXPECT_EQ(2, host.object->kernelsMade);

    BufferList out(2, 64);
    EXPECT_EQ(noErr, host.Render(out, 64, 0.0));
    EXPECT_EQ(noErr, AudioUnitUninitialize(host.unit));
    EXPECT_EQ(0u, host.object->GetNumKernels());
    ASSERT_EQ(noErr, host.SetChannels(1, 1));
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    ASSERT_EQ(1u, host.object->GetNumKernels());
    EXPECT_TRUE(host.object->GetKernel(0)->IsLastKernel());

    // A new run starting again at sample time 0 is rendered, not taken for a repeat.
    host.object->calls.clear();
    BufferList mono(1, 64);
    EXPECT_EQ(noErr, host.Render(mono, 64, 0.0));
    EXPECT_EQ(1u, host.object->calls.size());
    EXPECT_EQ(63.0f, mono.channel(0)[63]);
}

TEST(AUEffectBaseLifecycle, ChannelRulesRefuseUnequalOrEmptyCounts) {
    Host host;
    ASSERT_EQ(noErr, host.SetChannels(1, 2));
    EXPECT_EQ(kAudioUnitErr_FormatNotSupported, AudioUnitInitialize(host.unit));
    ASSERT_EQ(noErr, host.SetChannels(0, 0));
    EXPECT_EQ(kAudioUnitErr_FormatNotSupported, AudioUnitInitialize(host.unit));
    EXPECT_EQ(0u, host.object->GetNumKernels());
    EXPECT_FALSE(host.object->IsInitialized());

    // Published configurations: -1 matches any count, (-1, -1) needs equal counts.
    const AUChannelInfo monoIn[] = {{1, -1}};
    host.object->channelInfo = monoIn;
    host.object->channelInfoCount = 1;
    ASSERT_EQ(noErr, host.SetChannels(1, 2));
    EXPECT_EQ(noErr, AudioUnitInitialize(host.unit));
    EXPECT_EQ(2u, host.object->GetNumKernels());
    AudioUnitUninitialize(host.unit);
    ASSERT_EQ(noErr, host.SetChannels(2, 2));
    EXPECT_EQ(kAudioUnitErr_FormatNotSupported, AudioUnitInitialize(host.unit));
    const AUChannelInfo equal[] = {{-1, -1}};
    host.object->channelInfo = equal;
    EXPECT_EQ(noErr, AudioUnitInitialize(host.unit));
    AudioUnitUninitialize(host.unit);
    ASSERT_EQ(noErr, host.SetChannels(1, 2));
    EXPECT_EQ(kAudioUnitErr_FormatNotSupported, AudioUnitInitialize(host.unit));
}

TEST(AUEffectBaseLifecycle, AKernelThatFailsToBuildLeavesNoKernelsBehind) {
    Host host;
    host.object->failAtKernel = 1;
    EXPECT_EQ(-4242, AudioUnitInitialize(host.unit));
    EXPECT_EQ(0u, host.object->GetNumKernels());
    EXPECT_FALSE(host.object->IsInitialized());
    BufferList out(2, 64);
    EXPECT_EQ(kAudioUnitErr_Uninitialized, host.Render(out, 64, 0.0));
    host.object->failAtKernel = -1;
    EXPECT_EQ(noErr, AudioUnitInitialize(host.unit));
    EXPECT_EQ(2u, host.object->GetNumKernels());
}

// --- The component entry ---

namespace {
template <int Kind> struct FailingUnit : AUEffectBase {
    explicit FailingUnit(ComponentInstance instance) : AUEffectBase(instance) {
        if (Kind == 0)
            ThrowStatus(-3000);
        if (Kind == 1)
            throw OSErr(-5);
        if (Kind == 2)
            throw std::bad_alloc();
        throw std::runtime_error("odd");
    }
    AUKernelBase* NewKernel() override { return nullptr; }
};
template <int Kind> ComponentResult FailingEntry(ComponentParameters* params, void* storage) {
    return ComponentEntryPoint<FailingUnit<Kind>>::Dispatch(
        params, static_cast<FailingUnit<Kind>*>(storage));
}
} // namespace

TEST(AUComponentEntry, OpenFailuresBecomeStatusesAndSelectorsAreAnswered) {
    const ComponentDescription description = TestDescription();
    AudioUnit unit = nullptr;
    EXPECT_EQ(-3000, OpenAComponent(FailingEntry<0>, &description, &unit));
    EXPECT_EQ(-5, OpenAComponent(FailingEntry<1>, &description, &unit));
    EXPECT_EQ(memFullErr, OpenAComponent(FailingEntry<2>, &description, &unit));
    EXPECT_EQ(-1, OpenAComponent(FailingEntry<3>, &description, &unit));
    EXPECT_EQ(nullptr, unit);

    Host host;
    EXPECT_EQ(1, CallComponentCanDo(host.unit, kAudioUnitRenderSelect));
    EXPECT_EQ(1, CallComponentCanDo(host.unit, kComponentOpenSelect));
    EXPECT_EQ(0, CallComponentCanDo(host.unit, 8));
    EXPECT_EQ(0, CallComponentCanDo(host.unit, 18));
    EXPECT_EQ(0x00020304, GetComponentVersion(host.unit));
    ComponentInstanceRecord unopened = {TestEntry, nullptr, description};
    EXPECT_EQ(paramErr, AudioUnitInitialize(&unopened)); // no unit behind the instance
}

// --- Render ---

TEST(AUEffectBaseRender, CallsItCannotServeFailAndTheFirstErrorIsKept) {
    Host host;
    BufferList out(2, 1157);
    EXPECT_EQ(kAudioUnitErr_Uninitialized, host.Render(out, 512, 0.0));
    EXPECT_EQ(kAudioUnitErr_Uninitialized, LastRenderError(host.unit));
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    EXPECT_EQ(kAudioUnitErr_TooManyFramesToProcess, host.Render(out, 1157, 0.0));
    EXPECT_EQ(noErr, host.Render(out, 1156, 0.0));
    BufferList mono(1, 512);
    EXPECT_EQ(paramErr, host.Render(mono, 512, 1.0)); // stereo output needs two buffers
    BufferList shortBuffers(2, 100);
    EXPECT_EQ(paramErr, host.Render(shortBuffers, 512, 2.0)); // no room for the frames
    EXPECT_EQ(kAudioUnitErr_TooManyFramesToProcess, LastRenderError(host.unit));
    EXPECT_EQ(noErr, LastRenderError(host.unit));

    ASSERT_EQ(noErr, AudioUnitSetProperty(host.unit, kAudioUnitProperty_SetRenderCallback,
                                          kAudioUnitScope_Input, 0, nullptr, 0));
    EXPECT_EQ(kAudioUnitErr_NoConnection, host.Render(out, 512, 3.0));
    EXPECT_EQ(paramErr, AudioUnitRender(host.unit, nullptr, nullptr, 0, 512, out.get()));
}

namespace {
int gWreck = 0;
OSStatus WreckingInput(void*, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32, UInt32,
                       AudioBufferList* data) {
    if (gWreck == 0)
        data->mNumberBuffers = 7; // more than the list holds
    else if (gWreck == 1)
        data->mBuffers[1].mData = nullptr;
    else
        data->mBuffers[0].mDataByteSize = 16; // no room for the frames
    return noErr;
}
} // namespace

TEST(AUEffectBaseRender, AnInputListTheSourceWreckedIsRefused) {
    Host host;
    AURenderCallbackStruct callback = {WreckingInput, nullptr};
    ASSERT_EQ(noErr, AudioUnitSetProperty(host.unit, kAudioUnitProperty_SetRenderCallback,
                                          kAudioUnitScope_Input, 0, &callback, sizeof(callback)));
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    BufferList out(2, 256);
    for (gWreck = 0; gWreck < 3; ++gWreck)
        EXPECT_EQ(paramErr, host.Render(out, 256, 256.0 * gWreck));
    EXPECT_TRUE(host.object->calls.empty());
    host.ConnectInput();
    EXPECT_EQ(noErr, host.Render(out, 256, 1024.0)); // the element's list is whole again
}

TEST(AUEffectBaseRender, AKernelExceptionFailsTheRenderWithMinusOne) {
    Host host;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    host.object->throwInProcess = true;
    BufferList out(2, 256);
    EXPECT_EQ(-1, host.Render(out, 256, 0.0));

    // The direct render entry behaves the same.
    AudioUnitRenderProc render = nullptr;
    UInt32 size = sizeof(render);
    ASSERT_EQ(noErr,
              AudioUnitGetProperty(host.unit, kAudioUnitProperty_FastDispatch,
                                   kAudioUnitScope_Global, kAudioUnitRenderSelect, &render, &size));
    AudioTimeStamp timeStamp = {};
    timeStamp.mSampleTime = 256.0;
    AudioUnitRenderActionFlags flags = 0;
    EXPECT_EQ(-1, render(host.object, &flags, &timeStamp, 0, 256, out.get()));
    EXPECT_EQ(-1, LastRenderError(host.unit));

    host.object->throwInProcess = false;
    timeStamp.mSampleTime = 512.0;
    EXPECT_EQ(noErr, render(host.object, &flags, &timeStamp, 0, 256, out.get()));
    EXPECT_EQ(1255.0f, out.channel(1)[255]);
}

TEST(AUEffectBaseRender, ProcessesIntoHostBuffersOrHandsOutItsOwn) {
    Host host;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    ASSERT_EQ(noErr, AudioUnitSetParameter(host.unit, 0, kAudioUnitScope_Global, 0, 0.5f, 0));
    BufferList out(2, 512);
    ASSERT_EQ(noErr, host.Render(out, 512, 0.0));
    EXPECT_EQ(50.0f, out.channel(0)[100]);
    EXPECT_EQ(550.0f, out.channel(1)[100]);

    BufferList handed(2, 512, false);
    ASSERT_EQ(noErr, host.Render(handed, 512, 512.0));
    ASSERT_NE(nullptr, handed.channel(1));
    EXPECT_EQ(505.5f, handed.channel(1)[11]);
    EXPECT_EQ(512u * 4, handed.get()->mBuffers[1].mDataByteSize);

    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_InPlaceProcessing, 0));
    ASSERT_EQ(noErr, host.Render(out, 512, 1024.0));
    EXPECT_EQ(255.5f, out.channel(0)[511]);
}

TEST(AUEffectBaseRender, PullsFromAConnectedUnit) {
    Host upstream, unit;
    ASSERT_EQ(noErr, AudioUnitInitialize(upstream.unit));
    ASSERT_EQ(noErr, AudioUnitSetParameter(upstream.unit, 0, kAudioUnitScope_Global, 0, 2.0f, 0));
    AudioUnitConnection connection = {upstream.unit, 0, 0};
    EXPECT_EQ(paramErr, AudioUnitSetProperty(unit.unit, kAudioUnitProperty_MakeConnection,
                                             kAudioUnitScope_Input, 0, &connection, 12));
    connection.destInputNumber = 1;
    EXPECT_EQ(kAudioUnitErr_InvalidElement,
              AudioUnitSetProperty(unit.unit, kAudioUnitProperty_MakeConnection,
                                   kAudioUnitScope_Input, 0, &connection, sizeof(connection)));
    connection.destInputNumber = 0;
    ASSERT_EQ(noErr,
              AudioUnitSetProperty(unit.unit, kAudioUnitProperty_MakeConnection,
                                   kAudioUnitScope_Input, 0, &connection, sizeof(connection)));
    ASSERT_EQ(noErr, AudioUnitInitialize(unit.unit));
    ASSERT_EQ(noErr, AudioUnitSetParameter(unit.unit, 0, kAudioUnitScope_Global, 0, 0.25f, 0));
    unit.object->SetWantsRenderThreadID(true);
    BufferList out(2, 256);
    ASSERT_EQ(noErr, unit.Render(out, 256, 0.0));
    EXPECT_EQ(0, unit.pulls);
    EXPECT_EQ(1, upstream.pulls);
    EXPECT_EQ(1200.0f * 2.0f * 0.25f, out.channel(1)[200]);
    EXPECT_EQ(currentThreadId(), unit.object->GetRenderThreadID());
#if defined(__x86_64__) || defined(__i386__)
    // Flush-to-zero and denormals-are-zero hold during the render only.
    EXPECT_EQ(0x8040u, unit.object->floatModesInProcess & 0x8040u);
    EXPECT_EQ(0u, currentFloatModes() & 0x8040u);
#endif
    upstream.object->throwInProcess = true; // the upstream failure comes back as the status
    EXPECT_EQ(-1, unit.Render(out, 256, 256.0));
}

TEST(AUEffectBaseRender, TheSameSampleTimeIsRenderedOnceUntilReset) {
    Host host;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    BufferList out(2, 128);
    EXPECT_EQ(noErr, host.Render(out, 128, 0.0));
    EXPECT_EQ(noErr, host.Render(out, 128, 0.0));
    EXPECT_EQ(2u, host.object->calls.size());
    EXPECT_EQ(1, host.pulls);
    EXPECT_EQ(noErr, host.Render(out, 128, 128.0));
    EXPECT_EQ(4u, host.object->calls.size());

    EXPECT_EQ(noErr, AudioUnitReset(host.unit, kAudioUnitScope_Global, 0));
    EXPECT_EQ(1, static_cast<GainKernel*>(host.object->GetKernel(0))->resets);
    EXPECT_EQ(noErr, host.Render(out, 128, 128.0));
    EXPECT_EQ(6u, host.object->calls.size());
}

TEST(AUEffectBaseRender, BypassPassesInputThroughWithoutKernels) {
    Host host;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    ASSERT_EQ(noErr, AudioUnitSetParameter(host.unit, 0, kAudioUnitScope_Global, 0, 0.5f, 0));
    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, 1));
    BufferList out(2, 256);
    ASSERT_EQ(noErr, host.Render(out, 256, 0.0));
    EXPECT_EQ(200.0f, out.channel(0)[200]);
    EXPECT_EQ(1255.0f, out.channel(1)[255]);
    EXPECT_TRUE(host.object->calls.empty());

    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_InPlaceProcessing, 0));
    BufferList copied(2, 256);
    ASSERT_EQ(noErr, host.Render(copied, 256, 256.0));
    EXPECT_EQ(1200.0f, copied.channel(1)[200]);
    EXPECT_TRUE(host.object->calls.empty());

    // Coming back from bypass resets the kernels once; setting it off again does nothing.
    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, 0));
    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, 0));
    EXPECT_EQ(1, static_cast<GainKernel*>(host.object->GetKernel(1))->resets);
}

TEST(AUEffectBaseRender, SilentInputIsFlaggedSilentAfterTheTail) {
    Host host;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    host.inputSilent = true;
    BufferList out(2, 64);
    AudioUnitRenderActionFlags flags = 0;
    ASSERT_EQ(noErr, host.Render(out, 64, 0.0, &flags));
    EXPECT_TRUE(flags & kAudioUnitRenderAction_OutputIsSilence);
    ASSERT_EQ(2u, host.object->calls.size()); // kernels still run
    EXPECT_TRUE(host.object->calls[0].silentIn);
    EXPECT_EQ(1063.0f, out.channel(1)[63]); // in place: the buffers are not zeroed

    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_InPlaceProcessing, 0));
    flags = 0;
    ASSERT_EQ(noErr, host.Render(out, 64, 64.0, &flags));
    EXPECT_TRUE(flags & kAudioUnitRenderAction_OutputIsSilence);
    EXPECT_EQ(0.0f, out.channel(1)[63]);

    // A 100-frame tail keeps the output sounding for 100 frames of silent input.
    host.object->tailSeconds = 100.0 / 44100.0;
    host.inputSilent = false;
    ASSERT_EQ(noErr, host.Render(out, 64, 128.0));
    host.inputSilent = true;
    bool silent[3];
    for (int i = 0; i < 3; ++i) {
        flags = 0;
        ASSERT_EQ(noErr, host.Render(out, 64, 192.0 + 64 * i, &flags));
        silent[i] = flags & kAudioUnitRenderAction_OutputIsSilence;
    }
    EXPECT_FALSE(silent[0]);
    EXPECT_FALSE(silent[1]);
    EXPECT_TRUE(silent[2]);

    // A tail beyond the countdown's range still counts down instead of wrapping.
    host.object->tailSeconds = 1.0e9;
    host.inputSilent = false;
    ASSERT_EQ(noErr, host.Render(out, 64, 1000.0));
    host.inputSilent = true;
    flags = 0;
    ASSERT_EQ(noErr, host.Render(out, 64, 2000.0, &flags));
    EXPECT_FALSE(flags & kAudioUnitRenderAction_OutputIsSilence);
}

// --- Scheduled parameters and slicing ---

TEST(AUEffectBaseSlicing, ImmediateEventsCutTheRenderAtTheirOffsets) {
    Host host;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    // Events at the same offset keep their order: the later one wins.
    const AudioUnitParameterEvent events[] = {Immediate(100, 0.6f), Immediate(100, 0.75f),
                                              Immediate(0, 0.25f)};
    ASSERT_EQ(noErr, AudioUnitScheduleParameters(host.unit, events, 3));
    BufferList out(2, 512);
    ASSERT_EQ(noErr, host.Render(out, 512, 0.0));
    const auto calls = host.Channel0Calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ(0.0f, calls[0].firstInput);
    EXPECT_EQ(100u, calls[0].frames);
    EXPECT_EQ(0.25f, calls[0].gain);
    EXPECT_EQ(100.0f, calls[1].firstInput);
    EXPECT_EQ(412u, calls[1].frames);
    EXPECT_EQ(0.75f, calls[1].gain);
    // The data pointers went back to the start: the whole output reached the host.
    EXPECT_EQ(99.0f * 0.25f, out.channel(0)[99]);
    EXPECT_EQ(1511.0f * 0.75f, out.channel(1)[511]);

    // The events were used up: the next render is one slice.
    host.object->calls.clear();
    ASSERT_EQ(noErr, host.Render(out, 512, 512.0));
    EXPECT_EQ(1u, host.Channel0Calls().size());
}

TEST(AUEffectBaseSlicing, ARampCutsAtItsStartAndEnd) {
    Host host;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    const AudioUnitParameterEvent ramp = Ramp(64, 128, 0.2f, 0.6f);
    ASSERT_EQ(noErr, AudioUnitScheduleParameters(host.unit, &ramp, 1));
    BufferList out(2, 256);
    ASSERT_EQ(noErr, host.Render(out, 256, 0.0));
    const auto calls = host.Channel0Calls();
    ASSERT_EQ(3u, calls.size());
    EXPECT_EQ(64u, calls[0].frames);
    EXPECT_EQ(1.0f, calls[0].gain);
    EXPECT_EQ(64.0f, calls[1].firstInput);
    EXPECT_EQ(128u, calls[1].frames);
    EXPECT_EQ(0.2f, calls[1].gain);
    EXPECT_FLOAT_EQ(0.2f, calls[1].ramp.sliceStartValue);
    EXPECT_FLOAT_EQ(0.6f, calls[1].ramp.sliceEndValue);
    EXPECT_EQ(192.0f, calls[2].firstInput);
    EXPECT_EQ(64u, calls[2].frames);
    EXPECT_EQ(0.2f, calls[2].gain);
}

TEST(AUEffectBaseSlicing, EventsAreCheckedWhenScheduledAndDroppedWithAFailedRender) {
    Host host;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    AudioUnitParameterEvent bad = Immediate(0, 0.5f);
    bad.element = 1;
    EXPECT_EQ(kAudioUnitErr_InvalidElement, AudioUnitScheduleParameters(host.unit, &bad, 1));
    bad = Ramp(0, 10, 0.0f, 1.0f);
    bad.parameter = 9;
    EXPECT_EQ(kAudioUnitErr_InvalidParameter, AudioUnitScheduleParameters(host.unit, &bad, 1));
    bad.eventType = 3;
    EXPECT_EQ(paramErr, AudioUnitScheduleParameters(host.unit, &bad, 1));

    const AudioUnitParameterEvent later = Immediate(100, 0.5f);
    ASSERT_EQ(noErr, AudioUnitScheduleParameters(host.unit, &later, 1));
    EXPECT_EQ(0.5f, Param(host.unit, 0)); // applied at once as well
    BufferList out(2, 1157);
    EXPECT_EQ(kAudioUnitErr_TooManyFramesToProcess, host.Render(out, 1157, 0.0));
    ASSERT_EQ(noErr, host.Render(out, 512, 0.0));
    EXPECT_EQ(1u, host.Channel0Calls().size());
}

// --- Properties ---

TEST(AUBaseProperties, GetPropertySizeRules) {
    Host host;
    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, 1));
    UInt32 size = 0;
    EXPECT_EQ(noErr, AudioUnitGetProperty(host.unit, kAudioUnitProperty_BypassEffect,
                                          kAudioUnitScope_Global, 0, nullptr, &size));
    EXPECT_EQ(4u, size);

    UInt32 value = 0xFFFFFFFF;
    size = 2;
    EXPECT_EQ(noErr, AudioUnitGetProperty(host.unit, kAudioUnitProperty_BypassEffect,
                                          kAudioUnitScope_Global, 0, &value, &size));
    EXPECT_EQ(2u, size);
    EXPECT_EQ(0xFFFF0001u, value); // the value's first two bytes only

    uint64_t wide = ~0ull;
    size = 8;
    EXPECT_EQ(noErr, AudioUnitGetProperty(host.unit, kAudioUnitProperty_BypassEffect,
                                          kAudioUnitScope_Global, 0, &wide, &size));
    EXPECT_EQ(4u, size);
    EXPECT_EQ(0xFFFFFFFF00000001ull, wide);

    EXPECT_EQ(paramErr, AudioUnitGetProperty(host.unit, kAudioUnitProperty_BypassEffect,
                                             kAudioUnitScope_Global, 0, &value, nullptr));
    size = 0;
    EXPECT_EQ(paramErr, AudioUnitGetProperty(host.unit, kAudioUnitProperty_BypassEffect,
                                             kAudioUnitScope_Global, 0, &value, &size));
    size = 4;
    EXPECT_EQ(kAudioUnitErr_InvalidScope,
              AudioUnitGetProperty(host.unit, kAudioUnitProperty_BypassEffect,
                                   kAudioUnitScope_Input, 0, &value, &size));
    EXPECT_EQ(0u, size);
    size = 4;
    EXPECT_EQ(kAudioUnitErr_InvalidProperty,
              AudioUnitGetProperty(host.unit, 9999, kAudioUnitScope_Global, 0, &value, &size));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(paramErr, AudioUnitSetProperty(host.unit, kAudioUnitProperty_BypassEffect,
                                             kAudioUnitScope_Global, 0, &value, 0));

    // A partial read of a reference the unit retains for the caller releases it again.
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
    AudioStreamBasicDescription interleaved = FloatFormat(2);
    interleaved.mFormatFlags &= ~kAudioFormatFlagIsNonInterleaved;
    EXPECT_EQ(kAudioUnitErr_FormatNotSupported, host.SetFormat(kAudioUnitScope_Input, interleaved));
    AudioStreamBasicDescription int16 = FloatFormat(2);
    int16.mFormatFlags = kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved;
    int16.mBitsPerChannel = 16;
    int16.mBytesPerFrame = int16.mBytesPerPacket = 2;
    EXPECT_EQ(kAudioUnitErr_FormatNotSupported, host.SetFormat(kAudioUnitScope_Output, int16));
    EXPECT_EQ(kAudioUnitErr_InvalidScope, host.SetFormat(kAudioUnitScope_Global, FloatFormat(2)));
    EXPECT_EQ(kAudioUnitErr_InvalidElement,
              host.SetFormat(kAudioUnitScope_Input, FloatFormat(2), 1));
    const AudioStreamBasicDescription format = FloatFormat(2);
    EXPECT_EQ(paramErr, AudioUnitSetProperty(host.unit, kAudioUnitProperty_StreamFormat,
                                             kAudioUnitScope_Input, 0, &format, 35));

    const Float64 rate = 48000.0;
    ASSERT_EQ(noErr, AudioUnitSetProperty(host.unit, kAudioUnitProperty_SampleRate,
                                          kAudioUnitScope_Output, 0, &rate, sizeof(rate)));
    AudioStreamBasicDescription read = {};
    UInt32 size = sizeof(read);
    ASSERT_EQ(noErr, AudioUnitGetProperty(host.unit, kAudioUnitProperty_StreamFormat,
                                          kAudioUnitScope_Output, 0, &read, &size));
    EXPECT_EQ(48000.0, read.mSampleRate);
    EXPECT_EQ(48000.0, host.object->GetSampleRate());

    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    EXPECT_EQ(noErr, host.SetFormat(kAudioUnitScope_Input, FloatFormat(2))); // unchanged
    EXPECT_EQ(kAudioUnitErr_PropertyNotWritable,
              host.SetFormat(kAudioUnitScope_Input, FloatFormat(1)));
    EXPECT_EQ(kAudioUnitErr_Initialized,
              host.SetUInt32(kAudioUnitProperty_MaximumFramesPerSlice, 2048));

    AudioUnitUninitialize(host.unit);
    EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue,
              host.SetUInt32(kAudioUnitProperty_MaximumFramesPerSlice, 0x40000000));
    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_MaximumFramesPerSlice, 2048));
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    BufferList out(2, 2048);
    EXPECT_EQ(noErr, host.Render(out, 2000, 0.0));
    EXPECT_EQ(1999.0f, out.channel(0)[1999]);
}

TEST(AUBaseProperties, CatalogueAnswersForTheStandardProperties) {
    Host host;
    UInt32 size = 0;
    Boolean writable = 1;
    EXPECT_EQ(noErr, AudioUnitGetPropertyInfo(host.unit, kAudioUnitProperty_ParameterList,
                                              kAudioUnitScope_Global, 0, &size, &writable));
    EXPECT_EQ(16u, size);
    EXPECT_FALSE(writable);
    AudioUnitParameterID ids[4] = {};
    ASSERT_EQ(noErr, AudioUnitGetProperty(host.unit, kAudioUnitProperty_ParameterList,
                                          kAudioUnitScope_Global, 0, ids, &size));
    EXPECT_EQ(3u, ids[3]);
    EXPECT_EQ(noErr, AudioUnitGetPropertyInfo(host.unit, kAudioUnitProperty_ParameterList,
                                              kAudioUnitScope_Input, 0, &size, nullptr));
    EXPECT_EQ(0u, size);

    UInt32 count = 0;
    size = sizeof(count);
    EXPECT_EQ(noErr, AudioUnitGetProperty(host.unit, kAudioUnitProperty_ElementCount,
                                          kAudioUnitScope_Output, 0, &count, &size));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(kAudioUnitErr_PropertyNotWritable,
              AudioUnitSetProperty(host.unit, kAudioUnitProperty_ElementCount,
                                   kAudioUnitScope_Output, 0, &count, sizeof(count)));
    size = sizeof(count);
    ASSERT_EQ(noErr, AudioUnitGetProperty(host.unit, kAudioUnitProperty_MaximumFramesPerSlice,
                                          kAudioUnitScope_Global, 0, &count, &size));
    EXPECT_EQ(1156u, count);
    for (AudioUnitPropertyID none :
         {kAudioUnitProperty_SupportedNumChannels, kAudioUnitProperty_TailTime,
          kAudioUnitProperty_FactoryPresets, kAudioUnitProperty_ParameterValueStrings,
          kAudioUnitProperty_GetUIComponentList, kAudioUnitProperty_IconLocation,
          kAudioUnitProperty_RenderQuality, kAudioUnitProperty_CPULoad})
        EXPECT_EQ(
            kAudioUnitErr_InvalidProperty,
            AudioUnitGetPropertyInfo(host.unit, none, kAudioUnitScope_Global, 0, &size, nullptr));
    EXPECT_EQ(kAudioUnitErr_InvalidScope,
              AudioUnitGetPropertyInfo(host.unit, kAudioUnitProperty_Latency,
                                       kAudioUnitScope_Output, 0, &size, nullptr));
    for (AudioUnitPropertyID none :
         {kAudioUnitProperty_AudioChannelLayout, kAudioUnitProperty_SupportedChannelLayoutTags})
        EXPECT_EQ(
            kAudioUnitErr_InvalidProperty,
            AudioUnitGetPropertyInfo(host.unit, none, kAudioUnitScope_Output, 0, &size, nullptr));
    CFStringRef noName = nullptr;
    EXPECT_EQ(kAudioUnitErr_InvalidElement,
              AudioUnitSetProperty(host.unit, kAudioUnitProperty_ElementName, kAudioUnitScope_Part,
                                   0, &noName, sizeof(noName)));
    EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue,
              AudioUnitSetProperty(host.unit, kAudioUnitProperty_ElementName,
                                   kAudioUnitScope_Output, 0, &noName, 4));
    CFStringRef context = nullptr;
    size = sizeof(context);
    EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue,
              AudioUnitGetProperty(host.unit, kAudioUnitProperty_ContextName,
                                   kAudioUnitScope_Global, 0, &context, &size));
    void* entry = nullptr;
    size = sizeof(entry);
    EXPECT_EQ(kAudioUnitErr_InvalidProperty,
              AudioUnitGetProperty(host.unit, kAudioUnitProperty_FastDispatch,
                                   kAudioUnitScope_Global, 99, &entry, &size));

    // Presets: a factory number is refused, a user preset needs a name.
    AUPreset preset = {3, nullptr};
    EXPECT_EQ(kAudioUnitErr_InvalidProperty,
              AudioUnitSetProperty(host.unit, kAudioUnitProperty_CurrentPreset,
                                   kAudioUnitScope_Global, 0, &preset, sizeof(preset)));
    preset.presetNumber = -1;
    EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue,
              AudioUnitSetProperty(host.unit, kAudioUnitProperty_PresentPreset,
                                   kAudioUnitScope_Global, 0, &preset, sizeof(preset)));
    preset.presetName = CFStringCreateWithCString(nullptr, "Mine", kCFStringEncodingUTF8);
    EXPECT_EQ(noErr, AudioUnitSetProperty(host.unit, kAudioUnitProperty_CurrentPreset,
                                          kAudioUnitScope_Global, 0, &preset, sizeof(preset)));
    CFRelease(preset.presetName);
    AUPreset current = {};
    size = sizeof(current);
    ASSERT_EQ(noErr, AudioUnitGetProperty(host.unit, kAudioUnitProperty_PresentPreset,
                                          kAudioUnitScope_Global, 0, &current, &size));
    EXPECT_EQ(-1, current.presetNumber);
    EXPECT_STREQ("Mine", CFStringGetCStringPtr(current.presetName, kCFStringEncodingUTF8));
    CFRelease(current.presetName);
}

// --- Parameters ---

TEST(AUBaseParameters, AddressingErrorsAndMapStorage) {
    Host host;
    Float32 value = 0.0f;
    EXPECT_EQ(kAudioUnitErr_InvalidParameter,
              AudioUnitGetParameter(host.unit, 4, kAudioUnitScope_Global, 0, &value));
    EXPECT_EQ(kAudioUnitErr_InvalidParameter,
              AudioUnitSetParameter(host.unit, 4, kAudioUnitScope_Global, 0, 1.0f, 0));
    EXPECT_EQ(kAudioUnitErr_InvalidElement,
              AudioUnitGetParameter(host.unit, 0, kAudioUnitScope_Global, 1, &value));
    EXPECT_EQ(kAudioUnitErr_InvalidScope,
              AudioUnitGetParameter(host.unit, 0, kAudioUnitScope_Group, 0, &value));
    EXPECT_EQ(paramErr, AudioUnitGetParameter(host.unit, 0, kAudioUnitScope_Global, 0, nullptr));

    // The input element keeps its parameters in a map: a set creates the ID.
    EXPECT_EQ(kAudioUnitErr_InvalidParameter,
              AudioUnitGetParameter(host.unit, 9, kAudioUnitScope_Input, 0, &value));
    EXPECT_EQ(noErr, AudioUnitSetParameter(host.unit, 9, kAudioUnitScope_Input, 0, -2.5f, 0));
    EXPECT_EQ(-2.5f, Param(host.unit, 9, kAudioUnitScope_Input));

    AudioUnitSetParameterProc set = nullptr;
    UInt32 size = sizeof(set);
    ASSERT_EQ(noErr, AudioUnitGetProperty(host.unit, kAudioUnitProperty_FastDispatch,
                                          kAudioUnitScope_Global, kAudioUnitSetParameterSelect,
                                          &set, &size));
    EXPECT_EQ(noErr, set(host.object, 2, kAudioUnitScope_Global, 0, 0.125f, 0));
    EXPECT_EQ(0.125f, Param(host.unit, 2));
    EXPECT_EQ(kAudioUnitErr_InvalidElement, set(host.object, 2, kAudioUnitScope_Output, 3, 0, 0));
}

// --- Listeners and render notifications ---

namespace {
struct Heard {
    int calls = 0;
    AudioUnitPropertyID id = 0;
    AudioUnitScope scope = 99;
    AudioUnit unit = nullptr;
};
void Listener(void* refCon, AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
              AudioUnitElement) {
    auto* heard = static_cast<Heard*>(refCon);
    ++heard->calls;
    heard->id = id;
    heard->scope = scope;
    heard->unit = unit;
}

struct Notified {
    std::vector<AudioUnitRenderActionFlags> flags;
};
OSStatus Notify(void* refCon, AudioUnitRenderActionFlags* flags, const AudioTimeStamp*, UInt32,
                UInt32, AudioBufferList*) {
    static_cast<Notified*>(refCon)->flags.push_back(*flags);
    return noErr;
}
OSStatus Quiet(void*, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32, UInt32,
               AudioBufferList*) {
    return noErr;
}
} // namespace

TEST(AUBaseNotifications, ListenersHearChangesUntilRemoved) {
    Host host;
    Heard bypass, errors;
    ASSERT_EQ(noErr, AudioUnitAddPropertyListener(host.unit, kAudioUnitProperty_BypassEffect,
                                                  Listener, &bypass));
    ASSERT_EQ(noErr, AudioUnitAddPropertyListener(host.unit, kAudioUnitProperty_LastRenderError,
                                                  Listener, &errors));
    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, 1));
    EXPECT_EQ(1, bypass.calls);
    EXPECT_EQ(kAudioUnitProperty_BypassEffect, bypass.id);
    EXPECT_EQ(kAudioUnitScope_Global, bypass.scope);
    EXPECT_EQ(host.unit, bypass.unit);

    BufferList out(2, 64);
    host.Render(out, 64, 0.0); // not initialised
    host.Render(out, 64, 0.0); // the error is already pending: no second announcement
    EXPECT_EQ(1, errors.calls);

    ASSERT_EQ(noErr, AudioUnitRemovePropertyListener(host.unit, kAudioUnitProperty_BypassEffect,
                                                     Listener));
    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, 0));
    EXPECT_EQ(1, bypass.calls);
}

namespace {
int gOnceCalls = 0;
void OnceListener(void*, AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope, AudioUnitElement) {
    ++gOnceCalls;
    AudioUnitRemovePropertyListener(unit, id, OnceListener);
}
} // namespace

TEST(AUBaseNotifications, AListenerMayRemoveItselfWhileCalled) {
    Host host;
    Heard after;
    gOnceCalls = 0;
    ASSERT_EQ(noErr, AudioUnitAddPropertyListener(host.unit, kAudioUnitProperty_BypassEffect,
                                                  OnceListener, nullptr));
    ASSERT_EQ(noErr, AudioUnitAddPropertyListener(host.unit, kAudioUnitProperty_BypassEffect,
                                                  Listener, &after));
    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, 1));
    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, 0));
    EXPECT_EQ(1, gOnceCalls);
    EXPECT_EQ(2, after.calls); // nobody was skipped when the first one left
}

TEST(AUBaseNotifications, RenderNotificationsSeeEachRenderBeforeAndAfter) {
    Host host;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    Notified notified;
    ASSERT_EQ(noErr, AudioUnitAddRenderNotify(host.unit, Notify, &notified));
    ASSERT_EQ(noErr, AudioUnitAddRenderNotify(host.unit, Notify, &notified)); // listed once
    host.inputSilent = true;
    BufferList out(2, 64);
    ASSERT_EQ(noErr, host.Render(out, 64, 0.0));
    ASSERT_EQ(2u, notified.flags.size());
    EXPECT_EQ(kAudioUnitRenderAction_PreRender, notified.flags[0]);
    EXPECT_EQ(kAudioUnitRenderAction_PostRender | kAudioUnitRenderAction_OutputIsSilence,
              notified.flags[1]);

    ASSERT_EQ(noErr, AudioUnitRemoveRenderNotify(host.unit, Notify, &notified));
    ASSERT_EQ(noErr, host.Render(out, 64, 64.0));
    EXPECT_EQ(2u, notified.flags.size());
}

TEST(AUBaseNotifications, NotificationsChangeOnAnotherThreadWhileRendering) {
    Host host;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    std::atomic<bool> done{false};
    std::thread changer([&] {
        for (int i = 0; i < 2000; ++i) {
            AudioUnitAddRenderNotify(host.unit, Quiet, reinterpret_cast<void*>(intptr_t(i % 3)));
            AudioUnitRemoveRenderNotify(host.unit, Quiet,
                                        reinterpret_cast<void*>(intptr_t((i + 1) % 3)));
        }
        done = true;
    });
    BufferList out(2, 32);
    Float64 time = 0.0;
    OSStatus worst = noErr;
    while (!done)
        if (OSStatus result = host.Render(out, 32, time += 32.0))
            worst = result;
    changer.join();
    EXPECT_EQ(noErr, worst);
    for (intptr_t i = 0; i < 3; ++i)
        AudioUnitRemoveRenderNotify(host.unit, Quiet, reinterpret_cast<void*>(i));
    Notified notified;
    AudioUnitAddRenderNotify(host.unit, Notify, &notified);
    ASSERT_EQ(noErr, host.Render(out, 32, time + 32.0));
    EXPECT_EQ(2u, notified.flags.size());
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

CFTypeRef Value(CFDictionaryRef dictionary, const char* key) {
    CFStringRef name = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    CFTypeRef value = CFDictionaryGetValue(dictionary, name);
    CFRelease(name);
    return value;
}

// A copy of `state` with `key` set to `value` (null: the copy only).
CFDictionaryRef Edited(CFDictionaryRef state, const char* key, CFTypeRef value) {
    CFMutableDictionaryRef copy = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    for (CFIndex i = 0; i < CFDictionaryGetCount(state); ++i) {
        const void* k = CFDictionaryGetKeyAtIndex(state, i);
        CFDictionarySetValue(copy, k, CFDictionaryGetValue(state, k));
    }
    if (key) {
        CFStringRef name = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
        CFDictionarySetValue(copy, name, value);
        CFRelease(name);
    }
    return copy;
}

CFTypeRef Number(SInt32 value) {
    return CFNumberCreate(nullptr, kCFNumberSInt32Type, &value);
}

void SetAll(AudioUnit unit, Float32 a, Float32 b, Float32 c, Float32 d) {
    const Float32 values[] = {a, b, c, d};
    for (AudioUnitParameterID id = 0; id < 4; ++id)
        AudioUnitSetParameter(unit, id, kAudioUnitScope_Global, 0, values[id], 0);
}

} // namespace

TEST(AUBaseState, SavedStateHasItsLayoutAndRestoresIntoAnotherInstance) {
    Host source, target;
    SetAll(source.unit, 0.1f, 0.2f, 0.3f, 2.0f);
    CFStringRef name = CFStringCreateWithCString(nullptr, "input A", kCFStringEncodingUTF8);
    ASSERT_EQ(noErr, AudioUnitSetProperty(source.unit, kAudioUnitProperty_ElementName,
                                          kAudioUnitScope_Input, 0, &name, sizeof(name)));
    CFRelease(name);
    CFDictionaryRef state = SaveState(source.unit);
    ASSERT_NE(nullptr, state);

    const char* order[] = {"version", "type", "subtype",     "manufacturer",
                           "data",    "name", "element-name"};
    ASSERT_EQ(7, CFDictionaryGetCount(state));
    for (CFIndex i = 0; i < 7; ++i)
        EXPECT_STREQ(order[i], CFStringGetCStringPtr(
                                   static_cast<CFStringRef>(CFDictionaryGetKeyAtIndex(state, i)),
                                   kCFStringEncodingUTF8));
    SInt32 subtype = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(Value(state, "subtype")), kCFNumberSInt32Type,
                     &subtype);
    EXPECT_EQ(SInt32(kSubType), subtype);
    const auto data = static_cast<CFDataRef>(Value(state, "data"));
    ASSERT_EQ(12 + 4 * 8, CFDataGetLength(data));
    const uint8_t* bytes = CFDataGetBytePtr(data);
    const uint8_t header[] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(header, bytes, sizeof(header)));
    const uint8_t two[] = {0, 0, 0, 3, 0x40, 0, 0, 0}; // ID 3, 2.0f big-endian
    EXPECT_EQ(0, std::memcmp(two, bytes + 12 + 3 * 8, sizeof(two)));

    ASSERT_EQ(noErr, RestoreState(target.unit, state));
    EXPECT_EQ(0.1f, Param(target.unit, 0));
    EXPECT_EQ(0.2f, Param(target.unit, 1));
    EXPECT_EQ(0.3f, Param(target.unit, 2));
    EXPECT_EQ(2.0f, Param(target.unit, 3));
    CFStringRef restored = nullptr;
    UInt32 size = sizeof(restored);
    ASSERT_EQ(noErr, AudioUnitGetProperty(target.unit, kAudioUnitProperty_ElementName,
                                          kAudioUnitScope_Input, 0, &restored, &size));
    EXPECT_STREQ("input A", CFStringGetCStringPtr(restored, kCFStringEncodingUTF8));
    CFRelease(restored);
    AUPreset preset = {};
    size = sizeof(preset);
    ASSERT_EQ(noErr, AudioUnitGetProperty(target.unit, kAudioUnitProperty_CurrentPreset,
                                          kAudioUnitScope_Global, 0, &preset, &size));
    EXPECT_EQ(-1, preset.presetNumber);
    EXPECT_STREQ("Untitled", CFStringGetCStringPtr(preset.presetName, kCFStringEncodingUTF8));
    CFRelease(state);
}

TEST(AUBaseState, ForeignStatesAreRefusedBeforeAnythingChanges) {
    Host source, target;
    SetAll(source.unit, 0.9f, 0.9f, 0.9f, 0.9f);
    SetAll(target.unit, 0.5f, 0.5f, 0.5f, 0.5f);
    CFDictionaryRef state = SaveState(source.unit);
    CFTypeRef one = Number(1), other = Number(0x78787878);
    CFTypeRef word = CFStringCreateWithCString(nullptr, "x", kCFStringEncodingUTF8);
    CFDictionaryRef refused[] = {Edited(state, "version", one), Edited(state, "subtype", other),
                                 Edited(state, "manufacturer", other), Edited(state, "part", one),
                                 Edited(state, "data", word)};
    for (CFDictionaryRef bad : refused) {
        EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue, RestoreState(target.unit, bad));
        CFRelease(bad);
    }
    EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue, RestoreState(target.unit, word));
    EXPECT_EQ(kAudioUnitErr_InvalidPropertyValue,
              AudioUnitSetProperty(target.unit, kAudioUnitProperty_ClassInfo,
                                   kAudioUnitScope_Global, 0, &state, 4));
    for (AudioUnitParameterID id = 0; id < 4; ++id)
        EXPECT_EQ(0.5f, Param(target.unit, id));
    // The type is not compared.
    CFDictionaryRef otherType = Edited(state, "type", other);
    EXPECT_EQ(noErr, RestoreState(target.unit, otherType));
    EXPECT_EQ(0.9f, Param(target.unit, 3));
    for (CFTypeRef object : {CFTypeRef(otherType), one, other, word, CFTypeRef(state)})
        CFRelease(object);
}

TEST(AUBaseState, CutOrOverlongDataStopsAtTheLastWholePair) {
    Host host;
    SetAll(host.unit, 0.5f, 0.5f, 0.5f, 0.5f);
    CFDictionaryRef state = SaveState(host.unit);
    auto blocks = [&](std::vector<uint8_t> bytes) {
        CFDataRef data = CFDataCreate(nullptr, bytes.data(), CFIndex(bytes.size()));
        CFDictionaryRef edited = Edited(state, "data", data);
        const OSStatus result = RestoreState(host.unit, edited);
        CFRelease(edited);
        CFRelease(data);
        return result;
    };
    // Block header claiming 1000 pairs, two whole pairs and five stray bytes.
    EXPECT_EQ(noErr, blocks({0,    0, 0, 0, 0, 0, 0, 0,    0,    0, 3, 0xE8, 0, 0, 0, 0,   0x3F,
                             0x80, 0, 0, 0, 0, 0, 1, 0x3F, 0x40, 0, 0, 0,    0, 0, 2, 0x3F}));
    EXPECT_EQ(1.0f, Param(host.unit, 0));
    EXPECT_EQ(0.75f, Param(host.unit, 1));
    EXPECT_EQ(0.5f, Param(host.unit, 2));
    // A header cut short, and a block for an element that does not exist, end quietly.
    EXPECT_EQ(noErr, blocks({0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(noErr, blocks({0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(1.0f, Param(host.unit, 0));
    // An ID beyond the indexed count ends the restore; the values before it stay.
    EXPECT_EQ(kAudioUnitErr_InvalidParameter,
              blocks({0, 0, 0,    0,    0, 0, 0, 0, 0, 0, 0, 2, 0, 0,
                      0, 2, 0x3E, 0x80, 0, 0, 0, 0, 0, 9, 0, 0, 0, 0}));
    EXPECT_EQ(0.25f, Param(host.unit, 2));
    CFRelease(state);
}
