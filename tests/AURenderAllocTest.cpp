// Rendering allocates nothing once the unit is initialised: not with scheduled
// events, bypass, silence, nor when render notifications were queued from
// elsewhere. Every heap allocation of this program is counted.
#include "AUTestUnit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long> gAllocations{0};
}

// The replacement pairs malloc with free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
    ++gAllocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

using namespace autest;

namespace {
OSStatus Quiet(void*, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32, UInt32,
               AudioBufferList*) {
    return noErr;
}
} // namespace

TEST(AURenderAllocation, SteadyStateRenderingAllocatesNothing) {
    Host host;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    BufferList out(2, 512);
    BufferList handed(2, 512, false);
    ASSERT_EQ(noErr, host.Render(out, 512, 0.0));
    int marker = 0;
    ASSERT_EQ(noErr, AudioUnitAddRenderNotify(host.unit, Quiet, &marker));

    AudioUnitParameterEvent events[24] = {};
    for (int i = 0; i < 24; ++i) {
        events[i].eventType = i % 2 ? kParameterEvent_Ramped : kParameterEvent_Immediate;
        if (i % 2)
            events[i].eventValues.ramp = {SInt32(i * 20), 15, 0.1f, 0.9f};
        else
            events[i].eventValues.immediate = {UInt32(i * 20), 0.5f};
    }
    ASSERT_EQ(noErr, AudioUnitScheduleParameters(host.unit, events, 24)); // within the room

    const long before = gAllocations.load();
    ASSERT_EQ(noErr, host.Render(out, 512, 512.0)); // applies the queued notification too
    ASSERT_EQ(noErr, host.Render(handed, 512, 1024.0));
    host.inputSilent = true;
    ASSERT_EQ(noErr, host.Render(out, 512, 1536.0));
    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, 1));
    const long settled = gAllocations.load();
    ASSERT_EQ(noErr, host.Render(out, 512, 2048.0));
    EXPECT_EQ(before, settled);
    EXPECT_EQ(settled, gAllocations.load());
    EXPECT_GT(host.object->calls.size(), 24u); // the events did cut the first render
}
