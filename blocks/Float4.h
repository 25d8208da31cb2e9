// Four floats in one SSE register (or its equivalent elsewhere), for the plain
// element-wise loops over raw float blocks. Each lane does exactly the IEEE single
// operation the scalar code does, so a loop written with it gives the same bits as
// its scalar form; with -ffp-contract=off nothing is fused.
//
// load4/store4 take any alignment. Lanes are compared and selected with
// select4: lanes where `mask` is all ones take `a`, the others `b`.
#pragma once

#include <cstdint>
#include <cstring>

typedef float Float4 __attribute__((vector_size(16)));
typedef int32_t Mask4 __attribute__((vector_size(16)));

inline Float4 load4(const float* p) {
    Float4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store4(float* p, Float4 v) {
    std::memcpy(p, &v, sizeof v);
}

inline Float4 splat4(float x) {
    return Float4{x, x, x, x};
}

inline Float4 select4(Mask4 mask, Float4 a, Float4 b) {
    Mask4 ai, bi;
    std::memcpy(&ai, &a, sizeof ai);
    std::memcpy(&bi, &b, sizeof bi);
    const Mask4 r = (ai & mask) | (bi & ~mask);
    Float4 out;
    std::memcpy(&out, &r, sizeof out);
    return out;
}
