// The audio-unit base against hostile or careless hosts: stream rates it cannot
// run at, floods of scheduled parameter events, listeners changed while the
// render thread announces an error, and global properties asked in other scopes.
#include "AUTestUnit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>

using namespace autest;

namespace {

Float64 ReadRate(Host& host, AudioUnitScope scope) {
    AudioStreamBasicDescription format = {};
    Float64 rate = -1.0;
    EXPECT_EQ(noErr, host.Get(kAudioUnitProperty_StreamFormat, format, scope));
    EXPECT_EQ(noErr, host.Get(kAudioUnitProperty_SampleRate, rate, scope));
    EXPECT_EQ(format.mSampleRate, rate);
    return rate;
}

OSStatus SetRateByFormat(Host& host, AudioUnitScope scope, Float64 rate) {
    AudioStreamBasicDescription format = FloatFormat(2);
    format.mSampleRate = rate;
    return host.SetFormat(scope, format);
}

OSStatus SetRateByProperty(Host& host, AudioUnitScope scope, Float64 rate) {
    return host.Set(kAudioUnitProperty_SampleRate, rate, scope);
}

} // namespace

// Mended: any rate used to be taken, and the unit then rendered NaN.
TEST(AUHardeningFormats, RatesOutsideTheSupportedRangeAreRefusedAndTheFormatKept) {
    constexpr Float64 inf = std::numeric_limits<Float64>::infinity();
    const Float64 refused[] = {0.0,  1.0,    -44100.0, std::nan(""), inf,   -inf,
                               1e12, 7999.5, -0.0,     384000.5,     1e-300};
    for (auto set : {SetRateByFormat, SetRateByProperty}) {
        for (AudioUnitScope scope : {kAudioUnitScope_Input, kAudioUnitScope_Output}) {
            Host host;
            for (Float64 rate : refused) {
                SCOPED_TRACE(testing::Message() << "scope " << scope << ", rate " << rate);
                EXPECT_EQ(kAudioUnitErr_FormatNotSupported, set(host, scope, rate));
                EXPECT_EQ(44100.0, ReadRate(host, scope));
            }
            for (Float64 rate : {AUBase::kMinSampleRate, AUBase::kMaxSampleRate, 96000.0}) {
                EXPECT_EQ(noErr, set(host, scope, rate));
                EXPECT_EQ(rate, ReadRate(host, scope));
            }
        }
    }
}

// --- Scheduled parameter events ---

// Mended: the queue had no bound and was sorted by insertion, O(n^2) per render.
// A full queue, 8 events at each of 512 offsets, scattered (event i sits at
// (37 i) mod 512), slices the render in offset order with the last event at
// each offset winning.
TEST(AUHardeningEvents, TheQueueTakesEventsUpToItsBoundAndSlicesInOffsetOrder) {
    Host host;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    const void* storage = host.object->EventQueueStorage();
    constexpr UInt32 frames = 512, first = AUBase::kMaxScheduledEvents - 96;
    std::vector<AudioUnitParameterEvent> events;
    std::vector<Float32> lastAt(frames, -1.0f);
    for (UInt32 i = 0; i < first + 200; ++i) {
        const UInt32 offset = (37 * i) % frames;
        events.push_back(Immediate(offset, Float32(i)));
        if (i < AUBase::kMaxScheduledEvents)
            lastAt[offset] = Float32(i);
    }
    ASSERT_EQ(noErr, AudioUnitScheduleParameters(host.unit, events.data(), first));
    // A batch that overflows: its first 96 events are kept, the rest refused unapplied.
    EXPECT_EQ(paramErr, AudioUnitScheduleParameters(host.unit, events.data() + first, 200));
    Float32 value = -1.0f;
    ASSERT_EQ(noErr, AudioUnitGetParameter(host.unit, 0, kAudioUnitScope_Global, 0, &value));
    EXPECT_EQ(Float32(AUBase::kMaxScheduledEvents - 1), value);
    EXPECT_EQ(paramErr, AudioUnitScheduleParameters(host.unit, events.data(), 1));
    EXPECT_EQ(storage, host.object->EventQueueStorage()); // queued without reallocating

    BufferList out(2, frames);
    ASSERT_EQ(noErr, host.Render(out, frames, 0.0));
    const std::vector<ProcessCall> channel0 = host.CallsOf(0);
    ASSERT_EQ(frames, channel0.size());
    for (UInt32 s = 0; s < frames; ++s) {
        EXPECT_EQ(Float32(s), channel0[s].firstInput);
        EXPECT_EQ(1u, channel0[s].frames);
        EXPECT_EQ(lastAt[s], channel0[s].gain) << "slice " << s;
    }
    EXPECT_EQ(1511.0f * lastAt[511], out.channel(1)[511]);
    // The render emptied the queue.
    EXPECT_EQ(noErr, AudioUnitScheduleParameters(host.unit, events.data(), 1));
}

namespace {

// Ramped events sort by their (signed) start offset among the immediate ones.
AudioUnitParameterEvent EventAt(SInt32 offset, UInt32 sequence) {
    AudioUnitParameterEvent event = {};
    event.parameter = sequence; // tells the events apart after sorting
    if (offset < 0 || sequence % 5 == 0) {
        event.eventType = kParameterEvent_Ramped;
        event.eventValues.ramp = {offset, 16, 0.0f, 1.0f};
    } else {
        event.eventType = kParameterEvent_Immediate;
        event.eventValues.immediate = {UInt32(offset), 0.0f};
    }
    return event;
}

SInt32 OffsetOf(const AudioUnitParameterEvent& event) {
    return event.eventType == kParameterEvent_Ramped
               ? event.eventValues.ramp.startBufferOffset
               : SInt32(event.eventValues.immediate.bufferOffset);
}

} // namespace

TEST(AUHardeningEvents, SortingIsStableAndTakesAtMostNLog2NComparisons) {
    constexpr size_t n = AUBase::kMaxScheduledEvents;
    constexpr size_t log2n = 12;
    static_assert(size_t(1) << log2n == n, "the bound is a power of two");
    const struct {
        const char* name;
        SInt32 (*offset)(size_t i);
    } patterns[] = {
        {"descending", [](size_t i) { return SInt32(n - i); }},
        {"all equal", [](size_t) { return SInt32(7); }},
        {"few offsets, scattered", [](size_t i) { return SInt32((i * 7919) % 13); }},
        {"descending pairs with ramps before the start",
         [](size_t i) { return SInt32(n / 2) - SInt32(i / 2) - 100; }},
        {"ascending", [](size_t i) { return SInt32(i); }},
    };
    std::vector<AudioUnitParameterEvent> events(n), scratch(n);
    // The full queue, and lists of small lengths, one and none included.
    for (const auto& pattern : patterns)
        for (size_t count :
             {n, size_t(0), size_t(1), size_t(2), size_t(3), size_t(17), size_t(39)}) {
            SCOPED_TRACE(testing::Message() << pattern.name << ", " << count << " events");
            for (size_t i = 0; i < count; ++i)
                events[i] = EventAt(pattern.offset(i), UInt32(i));
            const size_t comparisons =
                AUBase::SortEventsByOffset(events.data(), count, scratch.data());
            EXPECT_LE(comparisons, count * log2n);
            std::vector<bool> seen(n, false);
            for (size_t i = 0; i < count; ++i) {
                ASSERT_LT(events[i].parameter, n);
                EXPECT_FALSE(seen[events[i].parameter]);
                seen[events[i].parameter] = true;
                EXPECT_EQ(pattern.offset(events[i].parameter), OffsetOf(events[i]));
                if (i == 0)
                    continue;
                ASSERT_LE(OffsetOf(events[i - 1]), OffsetOf(events[i])) << "at " << i;
                if (OffsetOf(events[i - 1]) == OffsetOf(events[i])) {
                    ASSERT_LT(events[i - 1].parameter, events[i].parameter) << "at " << i;
                }
            }
        }
}

// --- Property listeners and the render thread ---

namespace {

struct ListenerCounts {
    std::atomic<int> stayingA{0}, stayingB{0}, comingAndGoing{0}, afterRemoval{0};
    std::atomic<bool> removed{true};
};

template <std::atomic<int> ListenerCounts::*count>
void Staying(void* refCon, AudioUnit, AudioUnitPropertyID, AudioUnitScope, AudioUnitElement) {
    ++(static_cast<ListenerCounts*>(refCon)->*count);
}
void ComingAndGoing(void* refCon, AudioUnit, AudioUnitPropertyID, AudioUnitScope,
                    AudioUnitElement) {
    auto* counts = static_cast<ListenerCounts*>(refCon);
    ++counts->comingAndGoing;
    if (counts->removed.load())
        ++counts->afterRemoval;
}
void Elsewhere(void*, AudioUnit, AudioUnitPropertyID, AudioUnitScope, AudioUnitElement) {}

} // namespace

// Mended: the render thread walked the listener list while the main thread
// reallocated it. The sanitizer builds run this too.
TEST(AUHardeningListeners, TheRenderThreadAnnouncesErrorsWhileListenersComeAndGo) {
    Host host;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    ListenerCounts counts;
    const AudioUnitPropertyID error = kAudioUnitProperty_LastRenderError;
    for (AudioUnitPropertyListenerProc proc :
         {Staying<&ListenerCounts::stayingA>, Staying<&ListenerCounts::stayingB>})
        ASSERT_EQ(noErr, AudioUnitAddPropertyListener(host.unit, error, proc, &counts));

    // Each side goes on until it has done its share and the other side has too, so
    // the two overlap whichever starts first.
    constexpr int kRenders = 2000, kRounds = 200;
    std::atomic<int> renders{0}, rounds{0};
    std::atomic<bool> renderDone{false};
    int failures = 0;
    std::thread render([&] {
        BufferList tooLong(2, 1157);
        for (int i = 0; i < kRenders || rounds.load() < kRounds; ++i) {
            failures +=
                host.Render(tooLong, 1157, Float64(i)) == kAudioUnitErr_TooManyFramesToProcess;
            ++renders;
            OSStatus pending = noErr; // reading it lets the next failure be announced
            host.Get(error, pending);
        }
        renderDone = true;
    });
    // The list grows past the room it starts with and shrinks again, over and over.
    while (!renderDone.load() || rounds.load() < kRounds) {
        counts.removed = false;
        AudioUnitAddPropertyListener(host.unit, error, ComingAndGoing, &counts);
        for (AudioUnitPropertyID id = 1000; id < 1064; ++id)
            AudioUnitAddPropertyListener(host.unit, id, Elsewhere, nullptr);
        for (AudioUnitPropertyID id = 1000; id < 1064; ++id)
            AudioUnitRemovePropertyListener(host.unit, id, Elsewhere);
        AudioUnitRemovePropertyListener(host.unit, error, ComingAndGoing);
        counts.removed = true;
        ++rounds;
    }
    render.join();
    EXPECT_EQ(renders.load(), failures);
    EXPECT_GE(failures, kRenders);

    // Uncontended, an error is always announced.
    BufferList tooLong(2, 1157);
    EXPECT_EQ(kAudioUnitErr_TooManyFramesToProcess, host.Render(tooLong, 1157, -5.0));
    EXPECT_EQ(0, counts.afterRemoval.load());
    EXPECT_EQ(counts.stayingA.load(), counts.stayingB.load());
    EXPECT_GE(counts.stayingA.load(), 1);
    EXPECT_LE(counts.stayingA.load(), failures + 1);
    EXPECT_LE(counts.comingAndGoing.load(), counts.stayingA.load());
}

// --- Scopes ---

// Mended: 18, 24 and 39 answered -10879 in the input and output scopes.
TEST(AUHardeningScopes, GlobalPropertiesAnswerInvalidScopeElsewhere) {
    // Class info, fast dispatch, latency, channel counts, maximum frames, view
    // components, tail, bypass, last render error, factory presets, context name,
    // host callbacks, current preset, in place, view, present preset, icon.
    const AudioUnitPropertyID global[] = {0,  5,  12, 13, 14, 18, 20, 21, 22,
                                          24, 25, 27, 28, 29, 31, 36, 39};
    Host host;
    for (AudioUnitPropertyID id : global) {
        for (AudioUnitScope scope :
             {UInt32(kAudioUnitScope_Input), UInt32(kAudioUnitScope_Output),
              UInt32(kAudioUnitScope_Group), UInt32(kAudioUnitScope_Part), 9u}) {
            SCOPED_TRACE(testing::Message() << "property " << id << ", scope " << scope);
            UInt32 size = 0;
            Boolean writable = false;
            EXPECT_EQ(kAudioUnitErr_InvalidScope,
                      AudioUnitGetPropertyInfo(host.unit, id, scope, 0, &size, &writable));
            uint64_t data[4] = {};
            size = sizeof(data);
            EXPECT_EQ(kAudioUnitErr_InvalidScope,
                      AudioUnitGetProperty(host.unit, id, scope, 0, data, &size));
            EXPECT_EQ(0u, size);
            EXPECT_EQ(kAudioUnitErr_InvalidScope,
                      AudioUnitSetProperty(host.unit, id, scope, 0, data, 8));
            EXPECT_EQ(kAudioUnitErr_InvalidScope,
                      AudioUnitSetProperty(host.unit, id, scope, 0, nullptr, 0));
        }
        // In the global scope the property is answered, or unknown: what this unit
        // does not have (a view list, factory presets, a view, an icon) is not misplaced.
        const bool unknown = id == kAudioUnitProperty_GetUIComponentList ||
                             id == kAudioUnitProperty_FactoryPresets ||
                             id == kAudioUnitProperty_CocoaUI ||
                             id == kAudioUnitProperty_IconLocation;
        UInt32 size = 0, value = 1;
        const OSStatus info =
            AudioUnitGetPropertyInfo(host.unit, id, kAudioUnitScope_Global, 0, &size, nullptr);
        EXPECT_NE(kAudioUnitErr_InvalidScope, info) << id;
        if (unknown) {
            EXPECT_EQ(kAudioUnitErr_InvalidProperty, info) << id;
            EXPECT_EQ(kAudioUnitErr_InvalidProperty,
                      AudioUnitSetProperty(host.unit, id, kAudioUnitScope_Global, 0, &value, 4))
                << id;
        }
    }
}
