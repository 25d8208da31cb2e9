// A unit's saved state (its class-info dictionary) for tests: read, looked into,
// edited and restored through the client functions, as a host's project does.
#pragma once

#include "platform/Components.h"

#include <string>

namespace unitstate {

inline std::string text(CFStringRef string) {
    char buffer[256] = {};
    if (!string || !CFStringGetCString(string, buffer, sizeof(buffer), kCFStringEncodingUTF8))
        return "(none)";
    return buffer;
}

inline CFTypeRef lookup(CFDictionaryRef dictionary, const char* key) {
    if (!dictionary)
        return nullptr;
    CFStringRef name = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
    CFTypeRef value = CFDictionaryGetValue(dictionary, name);
    CFRelease(name);
    return value;
}

inline CFNumberRef number(SInt32 value) {
    return CFNumberCreate(nullptr, kCFNumberSInt32Type, &value);
}

// The unit's state; the caller releases it.
inline CFDictionaryRef save(AudioUnit unit) {
    CFPropertyListRef state = nullptr;
    UInt32 size = sizeof(state);
    if (AudioUnitGetProperty(unit, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0, &state,
                             &size) != noErr)
        return nullptr;
    return static_cast<CFDictionaryRef>(state);
}

inline OSStatus restore(AudioUnit unit, CFPropertyListRef state) {
    return AudioUnitSetProperty(unit, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0,
                                &state, sizeof(state));
}

// A copy of `state` with `key` set to `value`, or left out when `value` is null;
// the caller releases it.
inline CFDictionaryRef edited(CFDictionaryRef state, const char* key, CFTypeRef value) {
    CFMutableDictionaryRef copy = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    for (CFIndex i = 0; i < CFDictionaryGetCount(state); ++i) {
        const void* k = CFDictionaryGetKeyAtIndex(state, i);
        if (text(static_cast<CFStringRef>(k)) != key)
            CFDictionarySetValue(copy, k, CFDictionaryGetValue(state, k));
    }
    if (value) {
        CFStringRef name = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
        CFDictionarySetValue(copy, name, value);
        CFRelease(name);
    }
    return copy;
}

// Restores a copy of `state` edited as above.
inline OSStatus restoreEdited(AudioUnit unit, CFDictionaryRef state, const char* key,
                              CFTypeRef value) {
    CFDictionaryRef copy = edited(state, key, value);
    const OSStatus result = restore(unit, copy);
    CFRelease(copy);
    return result;
}

} // namespace unitstate
