// The saved state: the input builds a property-list value that is restored into a
// unit as its class info. The unit's own state must then save and restore into a
// fresh unit unchanged, and a unit whose state was taken renders.
#include "ByteReader.h"
#include "FuzzCheck.h"
#include "PropertyListBuilder.h"
#include "UnitRig.h"

#include <cstdint>
#include <cstring>

namespace {

// Parameter values of elements 0..2 of the global, input and output scopes, IDs
// 0..5, by their bits; absent ones are marked.
std::vector<uint64_t> parameterBits(AudioUnit unit) {
    std::vector<uint64_t> bits;
    for (AudioUnitScope scope = 0; scope < 3; ++scope)
        for (AudioUnitElement element = 0; element < 3; ++element)
            for (AudioUnitParameterID id = 0; id < 6; ++id) {
                Float32 v = 0.0f;
                const OSStatus status = AudioUnitGetParameter(unit, id, scope, element, &v);
                uint32_t b;
                std::memcpy(&b, &v, sizeof(b));
                bits.push_back(
                    status == noErr ? b : (uint64_t{1} << 40) + static_cast<uint32_t>(status));
            }
    return bits;
}

CFPropertyListRef saveState(AudioUnit unit) {
    CFPropertyListRef state = nullptr;
    UInt32 size = sizeof(state);
    const OSStatus status = AudioUnitGetProperty(unit, kAudioUnitProperty_ClassInfo,
                                                 kAudioUnitScope_Global, 0, &state, &size);
    FUZZ_CHECK(status == noErr && state, "a unit's state can always be saved");
    return state;
}

OSStatus restoreState(AudioUnit unit, CFPropertyListRef state) {
    return AudioUnitSetProperty(unit, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0,
                                &state, sizeof(state));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteReader in(data, size);
    // Rendering initialises the unit, whose effect takes 29 MB of work buffers:
    // one state in eight is also rendered.
    const bool renders = in.below(8) == 0;
    fuzz::PropertyListBuilder builder(in);
    CFTypeRef taken = builder.value();

    AudioUnit unit = fuzz::openUnit();
    FUZZ_CHECK(unit, "the unit opens");
    const OSStatus restored = restoreState(unit, taken);
    if (taken)
        CFRelease(taken);

    // What the unit holds now goes over to a fresh unit intact.
    CFPropertyListRef saved = saveState(unit);
    AudioUnit copy = fuzz::openUnit();
    FUZZ_CHECK(copy, "the unit opens");
    FUZZ_CHECK(restoreState(copy, saved) == noErr, "a unit takes back a state it saved");
    FUZZ_CHECK(parameterBits(copy) == parameterBits(unit), "a saved state restores every value");
    CFRelease(saved);
    CFPropertyListRef again = saveState(copy);
    CFRelease(again);
    CloseComponent(copy);

    if (restored == noErr && renders && fuzz::startUnit(unit, 44100.0, 1) == noErr) {
        double sampleTime = 0.0;
        for (UInt32 frames : {512u, 37u, 1156u})
            fuzz::renderOnce(unit, sampleTime, 1, frames);
        AudioUnitUninitialize(unit);
    }
    CloseComponent(unit);
    return 0;
}
