// A small reference-counted property-list library in place of the platform's:
// dictionaries, numbers, data, strings and URLs, with retain and release, and the
// bundle lookup the plug-in uses to find its own directory.
//
// Objects start with a reference count of 1 (the "Create"/"Copy" rule); "Get"
// functions return borrowed references. Dictionaries retain their keys and values.
#pragma once

#include "platform/AudioUnitTypes.h"

#include <cstdint>

using CFTypeRef = const void*;
using CFIndex = long;
using CFTypeID = unsigned long;
using CFAllocatorRef = const void*;
using CFDictionaryRef = const __CFDictionary*;
using CFMutableDictionaryRef = __CFDictionary*;
struct __CFNumber;
using CFNumberRef = const __CFNumber*;
struct __CFData;
using CFDataRef = const __CFData*;
struct __CFBundle;
using CFBundleRef = __CFBundle*;

constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;

// Type IDs returned by CFGetTypeID and the *GetTypeID functions.
CFTypeID CFDictionaryGetTypeID();
CFTypeID CFNumberGetTypeID();
CFTypeID CFDataGetTypeID();
CFTypeID CFStringGetTypeID();
CFTypeID CFURLGetTypeID();

CFTypeRef CFRetain(CFTypeRef object);
void CFRelease(CFTypeRef object);
CFIndex CFGetRetainCount(CFTypeRef object);
CFTypeID CFGetTypeID(CFTypeRef object);

// --- Strings (UTF-8 / ASCII text) ---
enum CFStringEncoding : uint32_t {
    kCFStringEncodingUTF8 = 0x08000100,
    kCFStringEncodingASCII = 0x0600
};
CFStringRef CFStringCreateWithCString(CFAllocatorRef, const char* text, CFStringEncoding);
// Copies the text with its terminator; false when it does not fit in `size` bytes.
bool CFStringGetCString(CFStringRef string, char* buffer, CFIndex size, CFStringEncoding);
CFIndex CFStringGetLength(CFStringRef string);
// The string's text, valid while the string lives (not part of the platform's set).
const char* CFStringGetCStringPtr(CFStringRef string, CFStringEncoding);

// --- Numbers ---
enum CFNumberType : int32_t {
    kCFNumberSInt32Type = 3,
    kCFNumberFloat32Type = 5,
    kCFNumberFloat64Type = 6
};
CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType type, const void* value);
// Converts into `type`; false when the stored value is not exactly representable.
bool CFNumberGetValue(CFNumberRef number, CFNumberType type, void* value);

// --- Data ---
CFDataRef CFDataCreate(CFAllocatorRef, const uint8_t* bytes, CFIndex length);
CFIndex CFDataGetLength(CFDataRef data);
const uint8_t* CFDataGetBytePtr(CFDataRef data);

// --- Dictionaries: string keys compared by text, any values ---
struct CFDictionaryKeyCallBacks;
struct CFDictionaryValueCallBacks;
extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;
CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks*,
                                                 const CFDictionaryValueCallBacks*);
void CFDictionarySetValue(CFMutableDictionaryRef dictionary, const void* key, const void* value);
const void* CFDictionaryGetValue(CFDictionaryRef dictionary, const void* key);
CFIndex CFDictionaryGetCount(CFDictionaryRef dictionary);
// Keys in insertion order (not part of the platform's set): the i-th key, or null.
const void* CFDictionaryGetKeyAtIndex(CFDictionaryRef dictionary, CFIndex index);

// --- URLs (file paths) ---
CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef, const uint8_t* path,
                                                 CFIndex length, bool isDirectory);
// Writes the path with its terminator; false when it does not fit in `size` bytes.
bool CFURLGetFileSystemRepresentation(CFURLRef url, bool resolveAgainstBase, uint8_t* buffer,
                                      CFIndex size);

// --- Bundles ---
// The identifier under which the plug-in's bundle is found.
constexpr const char* kPluginBundleIdentifier = "com.pellark.quorle";
// The plug-in's own bundle is the directory holding the shared object (or program)
// that contains the plug-in's entry point. Only the plug-in's identifier is known.
CFBundleRef CFBundleGetBundleWithIdentifier(CFStringRef identifier);
CFURLRef CFBundleCopyBundleURL(CFBundleRef bundle);
// A resource inside the bundle: <bundle>/Resources/<name>.<type> (or <name> without
// a type); null when no such file or directory exists.
CFURLRef CFBundleCopyResourceURL(CFBundleRef bundle, CFStringRef name, CFStringRef type,
                                 CFStringRef subDir);
