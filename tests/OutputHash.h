// FNV-1a over the samples' bit patterns: the exact-output tests compare renders
// by it, so any change of a bit shows.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

inline uint64_t hashOf(const std::vector<float>& samples) {
    uint64_t h = 1469598103934665603ull;
    for (float s : samples) {
        uint32_t bits;
        std::memcpy(&bits, &s, 4);
        for (int b = 0; b < 4; ++b) {
            h ^= (bits >> (8 * b)) & 0xFF;
            h *= 1099511628211ull;
        }
    }
    return h;
}
