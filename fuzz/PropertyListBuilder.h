// Builds a property-list value from bytes: dictionaries (nested a few levels),
// numbers, data and strings, with the keys and codes of the unit's saved state
// easy to reach, so that inputs get past the state's checks as well as fail them.
#pragma once

#include "ByteReader.h"

#include "au/quorleIds.h"
#include "platform/CoreFoundation.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace fuzz {

class PropertyListBuilder {
  public:
    explicit PropertyListBuilder(ByteReader& in) : in(in) {}

    // A new value (reference count 1), or null.
    CFTypeRef value(int depth = 0) {
        switch (in.below(depth == 0 ? 8 : 6)) {
        case 0: return number();
        case 1: return data();
        case 2: return string(in.text(24));
        case 3: return nullptr;
        default: return dictionary(depth);
        }
    }

  private:
    static constexpr int kDeepest = 4;
    static constexpr int kMostKeys = 12;

    CFTypeRef dictionary(int depth) {
        CFMutableDictionaryRef d =
            CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                      &kCFTypeDictionaryValueCallBacks);
        const int keys = static_cast<int>(in.below(kMostKeys + 1));
        for (int k = 0; k < keys && !in.empty(); ++k) {
            CFStringRef key = string(keyText());
            CFTypeRef v = depth < kDeepest ? value(depth + 1) : number();
            if (v) {
                CFDictionarySetValue(d, key, v);
                CFRelease(v);
            }
            CFRelease(key);
        }
        return d;
    }

    std::string keyText() {
        static const char* const kKeys[] = {
            "version", "type",           "subtype",  "manufacturer", "data",
            "name",    "render-quality", "cpu-load", "element-name", "part"};
        const uint32_t choice = in.below(20);
        if (choice < 10)
            return kKeys[choice];
        if (choice < 15)
            return std::to_string(choice - 10); // a scope's number, as element names are kept
        return in.text(12);
    }

    CFTypeRef number() {
        auto code = [](OSType c) {
            SInt32 n;
            std::memcpy(&n, &c, sizeof(n));
            return n;
        };
        SInt32 i = 0;
        switch (in.below(8)) {
        case 0: i = 0; break;
        case 1: i = code(kQuorleDescription.componentSubType); break;
        case 2: i = code(kQuorleDescription.componentManufacturer); break;
        case 3: i = code(kQuorleDescription.componentType); break;
        case 4: {
            const float f = in.rawFloat();
            return CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat32Type, &f);
        }
        case 5: {
            const double d = in.rawDouble();
            return CFNumberCreate(kCFAllocatorDefault, kCFNumberFloat64Type, &d);
        }
        default: i = static_cast<SInt32>(in.u32()); break;
        }
        return CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &i);
    }

    // Raw bytes, or parameter blocks as the state writes them.
    CFTypeRef data() {
        std::string bytes;
        if (in.flag()) {
            bytes = in.text(255);
        } else {
            auto put = [&](uint32_t v) {
                for (int shift = 24; shift >= 0; shift -= 8)
                    bytes.push_back(static_cast<char>(v >> shift));
            };
            const uint32_t blocks = in.below(4);
            for (uint32_t b = 0; b < blocks; ++b) {
                put(in.below(5)); // scope
                put(in.below(3)); // element
                const uint32_t count = in.below(8);
                put(count);
                for (uint32_t p = 0; p < count; ++p) {
                    put(in.below(6));
                    put(in.u32());
                }
            }
        }
        return CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const uint8_t*>(bytes.data()),
                            static_cast<CFIndex>(bytes.size()));
    }

    static CFStringRef string(const std::string& text) {
        return CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8);
    }

    ByteReader& in;
};

} // namespace fuzz
