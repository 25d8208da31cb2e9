// Plain passes over raw float blocks that watch for samples that are not finite
// (NaN or infinite: every exponent bit set), four samples at a time. Each sample
// goes through exactly the scalar operation its loop names, so the results are
// those of the one-sample-at-a-time loops, bit for bit. In place is fine for all.
#pragma once

#include "blocks/Float4.h"

#include <cstdint>
#include <cstring>

namespace guard {

namespace detail {
constexpr int32_t kExponent = 0x7f800000;

inline bool bad(float x) {
    int32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return (bits & kExponent) == kExponent;
}

// All ones in the lanes that are not finite.
inline Mask4 bad4(Float4 v) {
    Mask4 bits;
    std::memcpy(&bits, &v, sizeof bits);
    const Mask4 exponent = {kExponent, kExponent, kExponent, kExponent};
    return (bits & exponent) == exponent;
}

inline bool any(Mask4 m) {
    return (m[0] | m[1] | m[2] | m[3]) != 0;
}
} // namespace detail

// out[i] = in[i] where it is finite, else 0.
inline void sanitise(const float* in, float* out, uint32_t frames) {
    uint32_t i = 0;
    for (; i + 4 <= frames; i += 4) {
        const Float4 v = load4(in + i);
        store4(out + i, select4(detail::bad4(v), splat4(0.0f), v));
    }
    for (; i < frames; ++i)
        out[i] = detail::bad(in[i]) ? 0.0f : in[i];
}

// out[i] = gain * in[i]; true when every product is finite.
inline bool scale(const float* in, float* out, uint32_t frames, float gain) {
    const Float4 g = splat4(gain);
    Mask4 bad = {0, 0, 0, 0};
    uint32_t i = 0;
    for (; i + 4 <= frames; i += 4) {
        const Float4 v = g * load4(in + i);
        bad |= detail::bad4(v);
        store4(out + i, v);
    }
    bool anyBad = detail::any(bad);
    for (; i < frames; ++i) {
        out[i] = gain * in[i];
        anyBad |= detail::bad(out[i]);
    }
    return !anyBad;
}

// out[i] = in[i]; true when every sample is finite.
inline bool copy(const float* in, float* out, uint32_t frames) {
    Mask4 bad = {0, 0, 0, 0};
    uint32_t i = 0;
    for (; i + 4 <= frames; i += 4) {
        const Float4 v = load4(in + i);
        bad |= detail::bad4(v);
        store4(out + i, v);
    }
    bool anyBad = detail::any(bad);
    for (; i < frames; ++i) {
        out[i] = in[i];
        anyBad |= detail::bad(in[i]);
    }
    return !anyBad;
}

// Whether every one of `frames` samples is finite.
inline bool all(const float* in, uint32_t frames) {
    Mask4 bad = {0, 0, 0, 0};
    uint32_t i = 0;
    for (; i + 4 <= frames; i += 4)
        bad |= detail::bad4(load4(in + i));
    bool anyBad = detail::any(bad);
    for (; i < frames; ++i)
        anyBad |= detail::bad(in[i]);
    return !anyBad;
}

} // namespace guard
