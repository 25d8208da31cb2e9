// The platform layer: property-list objects and their references, bundle lookup,
// floating-point modes and thread identity. The sanitizer build finds any leak.
#include "platform/CoreFoundation.h"
#include "platform/Threads.h"

#include <gtest/gtest.h>

#include <cmath>
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
std::string pathOf(CFURLRef url) {
    uint8_t buffer[1024];
    bool ok = CFURLGetFileSystemRepresentation(url, true, buffer, sizeof buffer);
    return ok ? reinterpret_cast<char*>(buffer) : "<none>";
}
void release(std::initializer_list<CFTypeRef> objects) {
    for (CFTypeRef o : objects)
        CFRelease(o);
}

TEST(Dictionary, RetainsMatchesKeysByTextReplacesInPlaceAndReleasesAll) {
    CFMutableDictionaryRef d = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                         &kCFTypeDictionaryValueCallBacks);
    CFStringRef key = str("data"), sameText = str("data"), later = str("name");
    CFNumberRef first = num(1), second = num(2);
    CFDictionarySetValue(d, key, first);
    CFDictionarySetValue(d, later, second);
    CFRelease(second);                                              // now held by d alone
    CFDictionarySetValue(d, later, CFDictionaryGetValue(d, later)); // the same again: kept
    EXPECT_EQ(CFGetRetainCount(second), 1);
    CFRetain(second);
    CFDictionarySetValue(d, sameText, second); // replaces the value, keeps its place
    EXPECT_EQ(CFGetRetainCount(first), 1);
    EXPECT_EQ(CFDictionaryGetCount(d), 2);
    EXPECT_EQ(CFDictionaryGetValue(d, key), second);
    EXPECT_EQ(CFDictionaryGetKeyAtIndex(d, 1), later);

    CFMutableDictionaryRef inner = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(inner, key, second);
    CFDictionarySetValue(d, later, inner); // nested: freed with the outer one
    CFRelease(inner);
    CFRelease(d);
    EXPECT_EQ(CFGetRetainCount(second), 1); // any other reference left is a leak
    release({key, sameText, later, first, second});
}

TEST(Number, ConvertsAndTellsWhetherTheValueIsExact) {
    enum { I, F, D };
    const CFNumberType types[] = {kCFNumberSInt32Type, kCFNumberFloat32Type, kCFNumberFloat64Type};
    const struct {
        int from;
        double stored;
        int to;
        bool exact;
        double written;
    } cases[] = {
        {I, 16777217, F, false, 16777216}, {F, 2.5, I, false, 2},
        {F, 0.1f, D, true, double(0.1f)},  {D, 0.1, F, false, double(0.1f)},
        {D, 1e300, F, false, HUGE_VAL},    {D, 3e9, I, false, 2147483647},
        {D, -0.75, I, false, 0},           {D, -2147483648.0, I, true, -2147483648.0},
        {D, std::nan(""), I, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.from << ": " << c.stored << " as " << c.to);
        double d = c.stored;
        Float32 f = static_cast<Float32>(c.from == F ? d : 0);
        SInt32 i = static_cast<SInt32>(c.from == I ? d : 0);
        void* const at[] = {&i, &f, &d};
        CFNumberRef n = CFNumberCreate(nullptr, types[c.from], at[c.from]);
        i = 0, f = 0, d = 0;
        EXPECT_EQ(CFNumberGetValue(n, types[c.to], at[c.to]), c.exact);
        EXPECT_EQ(c.to == I ? i : c.to == F ? f : d, c.written);
        CFRelease(n);
    }
}

TEST(Copies, StringsAndPathsRefuseBuffersTooSmall) {
    CFStringRef s = str("quorle");
    char text[8] = "xxxxxxx";
    EXPECT_FALSE(CFStringGetCString(s, text, 6, kCFStringEncodingUTF8));
    EXPECT_EQ(text[0], '\0'); // never left unterminated
    EXPECT_TRUE(CFStringGetCString(s, text, 7, kCFStringEncodingUTF8));
    EXPECT_STREQ(text, "quorle");

    const uint8_t path[] = "/tmp/some dir/\xC3\xA4//";
    CFURLRef url = CFURLCreateFromFileSystemRepresentation(nullptr, path, sizeof path - 1, true);
    uint8_t buffer[17];
    EXPECT_FALSE(CFURLGetFileSystemRepresentation(url, true, buffer, 16));
    EXPECT_TRUE(CFURLGetFileSystemRepresentation(url, true, buffer, 17));
    EXPECT_STREQ(reinterpret_cast<char*>(buffer), "/tmp/some dir/\xC3\xA4");
    release({s, url});
}

TEST(Bundle, ThePluginIdentifierFindsThisProgramAndItsResources) {
    CFStringRef id = str(kPluginBundleIdentifier), other = str("com.pellark.other");
    EXPECT_EQ(CFBundleGetBundleWithIdentifier(other), nullptr);
    CFBundleRef bundle = CFBundleGetBundleWithIdentifier(id);
    ASSERT_NE(bundle, nullptr);
    const fs::path dir = fs::canonical(QUORLE_TEST_PROGRAM_DIR);
    CFURLRef url = CFBundleCopyBundleURL(bundle);
    EXPECT_EQ(pathOf(url), dir.string());

    const fs::path resources = dir / "Resources";
    const std::string unique = "platform-test-" + std::to_string(getpid());
    fs::create_directories(resources);
    std::ofstream(resources / (unique + ".txt")) << "x";
    CFStringRef name = str(unique.c_str()), txt = str("txt"), xml = str("xml");
    CFURLRef found = CFBundleCopyResourceURL(bundle, name, txt, nullptr);
    EXPECT_EQ(pathOf(found), (resources / (unique + ".txt")).string());
    EXPECT_EQ(CFBundleCopyResourceURL(bundle, name, xml, nullptr), nullptr);
    std::error_code ignored;
    fs::remove(resources / (unique + ".txt"), ignored);
    fs::remove(resources, ignored); // only when nothing else is in it
    release({url, id, other, name, txt, xml, found});
}

TEST(Threads, IdsAreStableWithinAThreadAndDifferBetweenThreads) {
    const uintptr_t mine = currentThreadId();
    uintptr_t first = 0, second = 0;
    std::thread([&] {
        first = currentThreadId();
        second = currentThreadId();
    }).join();
    EXPECT_EQ(first, second);
    EXPECT_NE(first, mine);
}

} // namespace
