// The platform layer: property-list objects and their references, bundle lookup,
// floating-point modes and thread identity.
#include "platform/CoreFoundation.h"
#include "platform/Threads.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

CFStringRef str(const char* text) {
    return CFStringCreateWithCString(nullptr, text, kCFStringEncodingUTF8);
}
CFNumberRef num(SInt32 v) {
    return CFNumberCreate(nullptr, kCFNumberSInt32Type, &v);
}
SInt32 intOf(const void* number) {
    SInt32 v = -1;
    CFNumberGetValue(static_cast<CFNumberRef>(number), kCFNumberSInt32Type, &v);
    return v;
}
std::string pathOf(CFURLRef url) {
    uint8_t buffer[1024];
    bool ok = CFURLGetFileSystemRepresentation(url, true, buffer, sizeof buffer);
    return ok ? reinterpret_cast<char*>(buffer) : "<none>";
}
CFMutableDictionaryRef newDictionary() {
    return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                     &kCFTypeDictionaryValueCallBacks);
}
void release(std::initializer_list<CFTypeRef> objects) {
    for (CFTypeRef o : objects)
        CFRelease(o);
}

TEST(Dictionary, KeysMatchByTextKeepInsertionOrderAndReplaceInPlace) {
    CFMutableDictionaryRef d = newDictionary();
    const char* order[] = {"version", "data", "name"};
    for (SInt32 i = 0; i < 3; ++i) {
        CFStringRef key = str(order[i]);
        CFNumberRef value = num(i);
        CFDictionarySetValue(d, key, value);
        release({key, value});
    }
    CFStringRef data = str("data"), other = str("Data");
    CFNumberRef replacement = num(99);
    EXPECT_EQ(intOf(CFDictionaryGetValue(d, data)), 1);
    CFDictionarySetValue(d, data, replacement);
    CFDictionarySetValue(d, replacement, replacement); // not a string key: ignored
    CFDictionarySetValue(d, other, nullptr);           // no value: ignored
    EXPECT_EQ(CFDictionaryGetCount(d), 3);
    EXPECT_EQ(CFDictionaryGetValue(d, data), replacement);
    EXPECT_EQ(CFDictionaryGetValue(d, other), nullptr);
    for (CFIndex i = 0; i < 3; ++i) {
        auto key = static_cast<CFStringRef>(CFDictionaryGetKeyAtIndex(d, i));
        EXPECT_STREQ(CFStringGetCStringPtr(key, kCFStringEncodingUTF8), order[i]);
    }
    EXPECT_EQ(CFDictionaryGetKeyAtIndex(d, 3), nullptr);
    EXPECT_EQ(CFStringGetLength(reinterpret_cast<CFStringRef>(replacement)), 0); // wrong type
    release({d, data, other, replacement});
}

TEST(Dictionary, HoldsItsOwnReferencesAndReleasesThemAll) {
    CFMutableDictionaryRef d = newDictionary();
    CFStringRef key = str("k");
    CFNumberRef first = num(1), second = num(2);
    CFDictionarySetValue(d, key, first);
    EXPECT_EQ(CFGetRetainCount(key), 2);
    CFRelease(first);                                           // now held by d alone
    CFDictionarySetValue(d, key, CFDictionaryGetValue(d, key)); // setting it again keeps it
    EXPECT_EQ(CFGetRetainCount(first), 1);
    CFRetain(first);
    CFDictionarySetValue(d, key, second);
    EXPECT_EQ(CFGetRetainCount(first), 1); // the replaced value was released
    release({first, second});
    EXPECT_EQ(intOf(CFDictionaryGetValue(d, key)), 2); // alive through the dictionary

    CFMutableDictionaryRef inner = newDictionary(); // nested: freed with the outer one
    CFDictionarySetValue(inner, key, second);
    CFDictionarySetValue(d, key, inner);
    CFRelease(inner);
    CFRetain(second);
    CFRelease(d);
    EXPECT_EQ(CFGetRetainCount(second), 1);
    EXPECT_EQ(CFGetRetainCount(key), 1);
    release({second, key, nullptr});
    EXPECT_EQ(CFRetain(nullptr), nullptr);
}

TEST(Number, ConvertsAndTellsWhetherTheValueIsExact) {
    const auto I = kCFNumberSInt32Type, F = kCFNumberFloat32Type, D = kCFNumberFloat64Type;
    const struct {
        CFNumberType from;
        double stored;
        CFNumberType to;
        bool exact;
        double written;
    } cases[] = {
        {I, 16777217, F, false, 16777216},
        {I, -16777216, F, true, -16777216},
        {F, 2.5, I, false, 2},
        {F, 0.1f, D, true, double(0.1f)},
        {D, 0.1, F, false, double(0.1f)},
        {D, 1e300, F, false, HUGE_VAL},
        {D, -0.75, I, false, 0},
        {D, 3e9, I, false, 2147483647},
        {D, -2147483648.0, I, true, -2147483648.0},
        {D, std::nan(""), I, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.from << ": " << c.stored << " as " << c.to);
        const SInt32 si = c.from == I ? static_cast<SInt32>(c.stored) : 0;
        const Float32 sf = static_cast<Float32>(c.stored);
        const void* in = c.from == I   ? &si
                         : c.from == F ? static_cast<const void*>(&sf)
                                       : &c.stored;
        CFNumberRef n = CFNumberCreate(nullptr, c.from, in);
        SInt32 i = 0;
        Float32 f = 0;
        double d = 0;
        void* out = c.to == I ? static_cast<void*>(&i) : c.to == F ? static_cast<void*>(&f) : &d;
        EXPECT_EQ(CFNumberGetValue(n, c.to, out), c.exact);
        EXPECT_EQ(c.to == I ? i : c.to == F ? f : d, c.written);
        CFRelease(n);
    }
    EXPECT_EQ(CFNumberCreate(nullptr, static_cast<CFNumberType>(4), &I), nullptr);
}

TEST(Copies, DataStringsAndPathsRoundTripAndRefuseBuffersTooSmall) {
    uint8_t bytes[] = {0, 1, 0xFF, 0, 42};
    CFDataRef data = CFDataCreate(nullptr, bytes, sizeof bytes);
    bytes[1] = 7;
    ASSERT_EQ(CFDataGetLength(data), 5);
    EXPECT_EQ(std::memcmp(CFDataGetBytePtr(data), "\0\1\xFF\0\x2A", 5), 0);
    EXPECT_EQ(CFDataCreate(nullptr, nullptr, 3), nullptr);

    CFStringRef s = str("quorle");
    char text[8] = "xxxxxxx";
    EXPECT_FALSE(CFStringGetCString(s, text, 6, kCFStringEncodingUTF8));
    EXPECT_EQ(text[0], '\0'); // never left unterminated
    EXPECT_TRUE(CFStringGetCString(s, text, 7, kCFStringEncodingUTF8));
    EXPECT_STREQ(text, "quorle");
    CFStringRef wide = str("\xC3\xA9\xF0\x9F\x98\x80"); // U+00E9 U+1F600
    EXPECT_EQ(CFStringGetLength(wide), 3);              // counted in UTF-16 units
    EXPECT_FALSE(CFStringGetCString(wide, text, 8, kCFStringEncodingASCII));
    EXPECT_EQ(str("\xED\xA0\x80"), nullptr); // malformed UTF-8 (a surrogate)

    const char* path = "/tmp/some dir/\xC3\xA4//";
    CFURLRef url = CFURLCreateFromFileSystemRepresentation(
        nullptr, reinterpret_cast<const uint8_t*>(path), CFIndex(std::strlen(path)), true);
    EXPECT_EQ(pathOf(url), "/tmp/some dir/\xC3\xA4");
    uint8_t buffer[17];
    EXPECT_FALSE(CFURLGetFileSystemRepresentation(url, true, buffer, 16));
    EXPECT_TRUE(CFURLGetFileSystemRepresentation(url, true, buffer, 17));
    CFURLRef cut = CFURLCreateFromFileSystemRepresentation(
        nullptr, reinterpret_cast<const uint8_t*>(path), 4, false);
    EXPECT_EQ(pathOf(cut), "/tmp");
    release({data, s, wide, url, cut});
}

// Where the build put this program, which is the plug-in's bundle here.
std::string programDirectory() {
    return fs::canonical(QUORLE_TEST_PROGRAM_DIR).string();
}

TEST(Bundle, OnlyThePluginIdentifierFindsThisProgramsDirectory) {
    CFStringRef id = str(kPluginBundleIdentifier), other = str("com.pellark.other");
    CFBundleRef bundle = CFBundleGetBundleWithIdentifier(id);
    ASSERT_NE(bundle, nullptr);
    EXPECT_EQ(CFBundleGetBundleWithIdentifier(other), nullptr);
    EXPECT_EQ(CFBundleGetBundleWithIdentifier(nullptr), nullptr);
    CFURLRef url = CFBundleCopyBundleURL(bundle);
    EXPECT_EQ(pathOf(url), programDirectory());
    release({url, id, other});
}

TEST(Bundle, ResourceURLsNameOnlyExistingFilesAndFolders) {
    const fs::path resources = fs::path(programDirectory()) / "Resources";
    const std::string unique = "platform-test-" + std::to_string(getpid());
    struct Cleanup {
        fs::path file, folder, resources;
        ~Cleanup() {
            std::error_code ignored;
            fs::remove(file, ignored);
            fs::remove_all(folder, ignored);
            fs::remove(resources, ignored); // only when nothing else is in it
        }
    } cleanup{resources / (unique + ".txt"), resources / unique, resources};
    fs::create_directories(resources / unique / "view.bundle");
    std::ofstream(cleanup.file) << "x";

    const struct {
        std::string name;
        const char *type, *subDir;
        std::string found; // below Resources; empty when missing
    } cases[] = {
        {unique, "txt", nullptr, unique + ".txt"},
        {unique + ".txt", nullptr, nullptr, unique + ".txt"},
        {"view", "bundle", unique.c_str(), unique + "/view.bundle"},
        {unique, "xml", nullptr, ""},
        {"view", "bundle", nullptr, ""},
    };
    CFStringRef id = str(kPluginBundleIdentifier);
    CFBundleRef bundle = CFBundleGetBundleWithIdentifier(id);
    for (const auto& c : cases) {
        CFStringRef name = str(c.name.c_str());
        CFStringRef type = c.type ? str(c.type) : nullptr, sub = c.subDir ? str(c.subDir) : nullptr;
        CFURLRef url = CFBundleCopyResourceURL(bundle, name, type, sub);
        EXPECT_EQ(pathOf(url), c.found.empty() ? "<none>" : (resources / c.found).string())
            << c.name;
        release({url, name, type, sub});
    }
    CFRelease(id);
}

TEST(Threads, DenormalGuardFlushesInsideItsScopeAndRestoresAfter) {
#if !(defined(__x86_64__) || defined(__i386__))
    GTEST_SKIP() << "no denormal modes on this processor";
#endif
    // The low six bits are sticky exception flags that arithmetic sets; compare the modes.
    const auto modes = [] { return currentFloatModes() & ~0x3Fu; };
    const uint32_t before = modes();
    ASSERT_EQ(before & 0x8040u, 0u);
    volatile float tiny = 1e-20f; // its square is a denormal
    volatile float denormal = 1e-40f;
    {
        DenormalGuard outer;
        EXPECT_EQ(modes(), before | 0x8040u);
        EXPECT_EQ(tiny * tiny, 0.0f);
        EXPECT_EQ(denormal + 0.0f, 0.0f);
        { DenormalGuard inner; }
        EXPECT_EQ(modes(), before | 0x8040u); // the inner guard restores the outer's modes
    }
    EXPECT_EQ(modes(), before);
    EXPECT_NE(tiny * tiny, 0.0f);
}

TEST(Threads, IdsAreStableWithinAThreadAndDifferBetweenThreads) {
    const uintptr_t mine = currentThreadId();
    uintptr_t first = 0, second = 0;
    std::thread([&] {
        first = currentThreadId();
        second = currentThreadId();
    }).join();
    EXPECT_EQ(currentThreadId(), mine);
    EXPECT_EQ(first, second);
    EXPECT_NE(first, mine);
}

} // namespace
