#include "blocks/IirCascade.h"

#include "blocks/CpuFeatures.h"
#include "blocks/FilterParams.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

using IirCascade::kLag;
using IirCascade::kStateX;
using IirCascade::kStateY;
using IirCascade::Level;

// One to P sections sample by sample in plain floats: each sample goes through every
// section before the next one enters. Reads `src`, writes the taps and the last
// section's output into `out`.
template <int P>
[[gnu::always_inline]] inline void scalarGroup(const CascadeSection* s, const float* src,
                                               float* out, int32_t frames) {
    float b0[P], b1[P], b2[P], a1[P], a2[P], direct[P], shelved[P], gain[P];
    float x1[P], x2[P], y1[P], y2[P];
    float* tap[P];
    for (int q = 0; q < P; ++q) {
        b0[q] = s[q].b0;
        b1[q] = s[q].b1;
        b2[q] = s[q].b2;
        a1[q] = s[q].a1;
        a2[q] = s[q].a2;
        direct[q] = s[q].direct;
        shelved[q] = s[q].shelved;
        gain[q] = s[q].gain;
        tap[q] = q == P - 1 ? out : s[q].tap;
        x1[q] = s[q].state[kStateX + 1];
        x2[q] = s[q].state[kStateX + 2];
        y1[q] = s[q].state[kStateY + 1];
        y2[q] = s[q].state[kStateY + 2];
    }
#pragma GCC unroll 2
    for (int32_t i = 0; i < frames; ++i) {
        float v = src[i];
#pragma GCC unroll 4
        for (int q = 0; q < P; ++q) {
            const float x = v;
            const float y =
                b0[q] * x + b1[q] * x1[q] + b2[q] * x2[q] - a1[q] * y1[q] - a2[q] * y2[q];
            y2[q] = y1[q];
            y1[q] = y;
            v = 0.5f * (direct[q] * x + shelved[q] * y);
            v = v * gain[q];
            x2[q] = x1[q];
            x1[q] = x;
            if (q < P - 1 && tap[q])
                tap[q][i] = v;
        }
        out[i] = v;
    }
    for (int q = 0; q < P; ++q) {
        float* st = s[q].state;
        st[kStateX] = x1[q];
        st[kStateX + 1] = x1[q];
        st[kStateX + 2] = x2[q];
        st[kStateY] = y1[q];
        st[kStateY + 1] = y1[q];
        st[kStateY + 2] = y2[q];
    }
    // The last section's own tap, when it is not `out` itself.
    if (s[P - 1].tap && s[P - 1].tap != out)
        std::copy(out, out + frames, s[P - 1].tap);
}

typedef float V4 __attribute__((vector_size(16)));
typedef int32_t M4 __attribute__((vector_size(16)));
typedef float V8 __attribute__((vector_size(32)));
typedef int32_t M8 __attribute__((vector_size(32)));
typedef float V16 __attribute__((vector_size(64)));
typedef int32_t M16 __attribute__((vector_size(64)));

// x = the vector whose lane j holds lane j - 1 of `prev`, and each group's first lane
// its group's input: lane 0 `a`, lane G `b` when the lanes hold two groups (a
// statement, not a function: a function passing eight-lane vectors would change
// its calling convention with the instruction set).
#define QR_SHIFT_IN(x, prev, a, b)                                                                 \
    if constexpr (L == 4 && G == 4)                                                                \
        x = __builtin_shufflevector(prev, V{} + (a), 4, 0, 1, 2);                                  \
    else if constexpr (L == 16 && G == 16)                                                         \
        x = __builtin_shufflevector(prev, V{} + (a), 16, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, \
                                    13, 14);                                                       \
    else if constexpr (L == 8 && G == 8)                                                           \
        x = __builtin_shufflevector(prev, V{} + (a), 8, 0, 1, 2, 3, 4, 5, 6);                      \
    else if constexpr (L == 4)                                                                     \
        x = __builtin_shufflevector(prev, V{(a), 0.0f, (b), 0.0f}, 4, 0, 6, 2);                    \
    else                                                                                           \
        x = __builtin_shufflevector(prev, V{(a), 0.0f, 0.0f, 0.0f, (b), 0.0f, 0.0f, 0.0f}, 8, 0,   \
                                    1, 2, 12, 4, 5, 6)

// The wavefront over n sections in L lanes, as one group of n (2..L) sections
// (G == L) or as two cascades side by side, n (1..G) sections each, the second in
// lanes G.. (G == L / 2): at step t, lane j of a group runs sample t - j kLag of its
// section j on what lane j - 1 gave at step t - kLag. Group g reads src[g] and feeds
// out[g].
//
// A lane runs from the step its first sample reaches it (wait[j]: j kLag when the
// cascade starts, 0 once running); until then a select keeps its state, and once
// every lane runs, steps go unmasked, kLag at a time so that the kLag outputs in
// flight stay in registers. After the block's last input sample the registers are
// kept in `keep`, and a copy runs on (the drain) until every lane has run that
// sample, writing the outputs and the states the sections end the block with.
// Resumed from `keep`, lane j first replays the j kLag samples its copy ran: the
// same operations on the same values, their outputs already written.
//
// With kTree (one group), a lane may read any lane before it, or the input: lane j
// reads from[j] (-1: the input), and runs depth(j) kLag behind the input, one kLag
// behind the lane it reads. Two branches that read the same output then run side by
// side in the lanes; all of the above holds with depth(j) in place of j.
template <typename V, typename M, int L, int G, bool kTree = false>
[[gnu::always_inline]] inline void wave(const CascadeSection* const* s, int32_t n,
                                        const float* const* src, float* const* out, int32_t frames,
                                        CascadeCarry::Wave* keep, const int8_t* from = nullptr) {
    constexpr int D = kLag;
    constexpr int kGroups = L / G;
    constexpr int kCoefs = 8;
    static_assert(!kTree || G == L, "a tree is one group");
    // A tree's lanes: each one's delay behind the input, in steps (a multiple of D),
    // and where it reads, a lane of the ring or (L) the input. A chain's lane j is
    // j D behind.
    int32_t lag[kTree ? L : 1] = {};
    int8_t reading[kTree ? L : 1] = {};
    int32_t maxLag = (n - 1) * D;
    M reads = {};
    if constexpr (kTree) {
        maxLag = 0;
        for (int lane = 0; lane < L; ++lane) {
            const int f = lane < n && lane > 0 ? from[lane] : -1;
            reading[lane] = static_cast<int8_t>(f);
            lag[lane] = f >= 0 ? lag[f] + D : 0;
            reads[lane] = f >= 0 ? f : L;
            if (lane < n)
                maxLag = std::max(maxLag, lag[lane]);
        }
    }
    auto lagOf = [&](int lane) {
        if constexpr (kTree)
            return lag[lane];
        else
            return (lane % G) * D;
    };
    // b0 b1 b2 a1 a2 direct shelved gain; unused lanes compute zeros.
    V coef[kCoefs] = {};
    const float* state[L] = {};
    // Taps: delay, lane and destination; each group's last lane always feeds its output.
    int32_t tapLag[L + kGroups];
    int32_t tapLane[L + kGroups];
    float* tapTo[L + kGroups];
    int32_t taps = 0;
    for (int g = 0; g < kGroups; ++g) {
        for (int j = 0; j < n; ++j) {
            const CascadeSection& c = s[g][j];
            const int lane = g * G + j;
            coef[0][lane] = c.b0;
            coef[1][lane] = c.b1;
            coef[2][lane] = c.b2;
            coef[3][lane] = c.a1;
            coef[4][lane] = c.a2;
            coef[5][lane] = c.direct;
            coef[6][lane] = c.shelved;
            coef[7][lane] = c.gain;
            state[lane] = c.state;
            if (c.tap && !(j == n - 1 && c.tap == out[g])) {
                tapLag[taps] = lagOf(lane);
                tapLane[taps] = lane;
                tapTo[taps++] = c.tap;
            }
        }
        tapLag[taps] = lagOf(g * G + n - 1);
        tapLane[taps] = g * G + n - 1;
        tapTo[taps++] = out[g];
    }
    // Resumed only from the registers these very sections, on these coefficients,
    // left with the states they still hold.
    bool resume = keep && keep->lanes == L && keep->group == G && keep->count == n &&
                  keep->tree == kTree && std::memcmp(keep->coef, coef, sizeof(coef)) == 0;
    if constexpr (kTree)
        resume = resume && std::memcmp(keep->from, reading, sizeof reading) == 0;
    for (int lane = 0; resume && lane < L; ++lane) {
        const float* st = state[lane];
        resume =
            keep->state[lane] == st &&
            (!st || (std::memcmp(st + kStateX + 1, keep->end[lane], 2 * sizeof(float)) == 0 &&
                     std::memcmp(st + kStateY + 1, keep->end[lane] + 2, 2 * sizeof(float)) == 0));
    }
    const V b0 = coef[0], b1 = coef[1], b2 = coef[2], a1 = coef[3], a2 = coef[4];
    const V direct = coef[5], shelved = coef[6], gain = coef[7];
    V x1 = {}, x2 = {}, y1 = {}, y2 = {};
    V ring[D] = {};
    M wait = {};
    int32_t waitMax = 0; // steps until every lane runs
    if (resume) {
        std::memcpy(&x1, keep->x1, sizeof(V));
        std::memcpy(&x2, keep->x2, sizeof(V));
        std::memcpy(&y1, keep->y1, sizeof(V));
        std::memcpy(&y2, keep->y2, sizeof(V));
        for (int k = 0; k < D; ++k)
            std::memcpy(&ring[k], keep->ring[k], sizeof(V));
        for (int lane = 0; lane < L; ++lane) {
            wait[lane] = keep->wait[lane];
            waitMax = std::max(waitMax, keep->wait[lane]);
        }
    } else {
        for (int lane = 0; lane < L; ++lane) {
            if (const float* st = state[lane]) {
                x1[lane] = st[kStateX + 1];
                x2[lane] = st[kStateX + 2];
                y1[lane] = st[kStateY + 1];
                y2[lane] = st[kStateY + 2];
            }
            wait[lane] = lagOf(lane);
        }
        waitMax = maxLag;
    }
    const float* const srcA = src[0];
    const float* const srcB = src[kGroups - 1];
    const V half = V{} + 0.5f;

    // x = what each lane reads at this step: for a tree through `reads` (GCC's
    // variable permute; lane by lane where the compiler has none), else shifted.
#if defined(__clang__)
#define QR_PERMUTE_IN(x, prev, a)                                                                  \
    for (int lane_ = 0; lane_ < L; ++lane_)                                                        \
        x[lane_] = reads[lane_] < L ? prev[reads[lane_]] : (a);
#else
#define QR_PERMUTE_IN(x, prev, a) x = __builtin_shuffle(prev, V{} + (a), reads);
#endif
#define QR_READ_IN(x, prev, a, b)                                                                  \
    if constexpr (kTree) {                                                                         \
        QR_PERMUTE_IN(x, prev, a)                                                                  \
    } else {                                                                                       \
        QR_SHIFT_IN(x, prev, a, b);                                                                \
    }

    // One step: `x` in, ring[k] out; lanes still waiting keep their state.
#define QR_STEP(k, step, inA, inB)                                                                 \
    {                                                                                              \
        V x;                                                                                       \
        QR_READ_IN(x, ring[k], inA, inB);                                                          \
        const V y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;                                \
        V v = half * (direct * x + shelved * y);                                                   \
        v = v * gain;                                                                              \
        if ((step) < waitMax) {                                                                    \
            const M valid = (M{} + (step)) >= wait;                                                \
            y2 = valid ? y1 : y2;                                                                  \
            y1 = valid ? y : y1;                                                                   \
            x2 = valid ? x1 : x2;                                                                  \
            x1 = valid ? x : x1;                                                                   \
        } else {                                                                                   \
            y2 = y1;                                                                               \
            y1 = y;                                                                                \
            x2 = x1;                                                                               \
            x1 = x;                                                                                \
        }                                                                                          \
        ring[k] = v;                                                                               \
    }

    // The block's input, in rounds of D steps from step 0 so that step t always uses
    // ring[t % D].
    for (int32_t t = 0; t < frames; t += D) {
        if (t >= waitMax && t + D <= frames) {
#pragma GCC unroll 8
            for (int k = 0; k < D; ++k) {
                V x;
                QR_READ_IN(x, ring[k], srcA[t + k], srcB[t + k]);
                const V y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
                y2 = y1;
                y1 = y;
                V v = half * (direct * x + shelved * y);
                v = v * gain;
                x2 = x1;
                x1 = x;
                ring[k] = v;
            }
            // The round's D outputs, tap by tap: each tap's samples are consecutive,
            // all of this block or (a lane replaying) all of the one before.
            for (int32_t m = 0; m < taps; ++m) {
                if (t < tapLag[m])
                    continue;
                float* to = tapTo[m] + (t - tapLag[m]);
                const int32_t lane = tapLane[m];
#pragma GCC unroll 8
                for (int k = 0; k < D; ++k)
                    to[k] = ring[k][lane];
            }
            continue;
        }
        const int32_t steps = std::min(D, frames - t);
        for (int k = 0; k < steps; ++k) {
            const int32_t step = t + k;
            QR_STEP(k, step, srcA[step], srcB[step]);
            for (int32_t m = 0; m < taps; ++m) {
                const int32_t i = step - tapLag[m];
                if (i >= 0)
                    tapTo[m][i] = ring[k][tapLane[m]];
            }
        }
    }
    // The ring turned so that ring[k] holds step frames - D + k: already so when the
    // block is whole rounds.
    if (frames % D != 0) {
        V turned[D];
        for (int k = 0; k < D; ++k)
            turned[k] = ring[(frames + k) % D];
        for (int k = 0; k < D; ++k)
            ring[k] = turned[k];
    }
    if (keep) {
        if (!resume) { // resumed: the shape, coefficients and sections kept are these
            keep->lanes = L;
            keep->group = G;
            keep->count = n;
            keep->tree = kTree;
            if constexpr (kTree)
                std::memcpy(keep->from, reading, sizeof reading);
            std::memcpy(keep->coef, coef, sizeof(coef));
            for (int lane = 0; lane < L; ++lane)
                keep->state[lane] = state[lane];
        }
        for (int lane = 0; lane < L; ++lane)
            keep->wait[lane] = std::max(0, wait[lane] - frames);
        std::memcpy(keep->x1, &x1, sizeof(V));
        std::memcpy(keep->x2, &x2, sizeof(V));
        std::memcpy(keep->y1, &y1, sizeof(V));
        std::memcpy(keep->y2, &y2, sizeof(V));
        for (int k = 0; k < D; ++k)
            std::memcpy(keep->ring[k], &ring[k], sizeof(V));
    }
    // Lane `lane` has run the block's last sample: its state is the section's.
    auto settle = [&](int lane) {
        float* st = s[lane / G][lane % G].state;
        st[kStateX] = x1[lane];
        st[kStateX + 1] = x1[lane];
        st[kStateX + 2] = x2[lane];
        st[kStateY] = y1[lane];
        st[kStateY + 1] = y1[lane];
        st[kStateY + 2] = y2[lane];
        if (keep) {
            float* e = keep->end[lane];
            e[0] = x1[lane];
            e[1] = x2[lane];
            e[2] = y1[lane];
            e[3] = y2[lane];
        }
    };
    if constexpr (kTree) {
        for (int lane = 0; lane < n; ++lane)
            if (lag[lane] == 0)
                settle(lane);
    } else {
        for (int g = 0; g < kGroups; ++g)
            settle(g * G);
    }
    // The drain, on the copy: round r ends with the lanes D (r + 1) behind at the
    // block's last sample. The input lanes read zeros, whose outputs reach no lane
    // before its last sample.
    for (int32_t r = 0; r < maxLag / D; ++r) {
        const int32_t t = frames + r * D;
#pragma GCC unroll 8
        for (int k = 0; k < D; ++k)
            QR_STEP(k, t + k, 0.0f, 0.0f);
        for (int32_t m = 0; m < taps; ++m) {
            if (r * D >= tapLag[m])
                continue; // the lane has written the whole block
            const int32_t from = t - tapLag[m];
            float* to = tapTo[m];
            const int32_t lane = tapLane[m];
            if (from >= 0) {
#pragma GCC unroll 8
                for (int k = 0; k < D; ++k)
                    to[from + k] = ring[k][lane];
            } else {
                for (int k = -from; k < D; ++k)
                    to[from + k] = ring[k][lane];
            }
        }
        if constexpr (kTree) {
            for (int lane = 0; lane < n; ++lane)
                if (lag[lane] == (r + 1) * D)
                    settle(lane);
        } else {
            for (int g = 0; g < kGroups; ++g)
                settle(g * G + r + 1);
        }
    }
#undef QR_STEP
#undef QR_READ_IN
#undef QR_PERMUTE_IN
}

#undef QR_SHIFT_IN

void waveSse2(const CascadeSection* s, int32_t n, const float* src, float* out, int32_t frames,
              CascadeCarry::Wave* keep) {
    wave<V4, M4, 4, 4>(&s, n, &src, &out, frames, keep);
}

void waveSse2Tree(const CascadeSection* s, int32_t n, const float* src, float* out, int32_t frames,
                  CascadeCarry::Wave* keep, const int8_t* from) {
    wave<V4, M4, 4, 4, true>(&s, n, &src, &out, frames, keep, from);
}

// Two cascades of n (1..2) sections each, side by side.
void pairSse2(const CascadeSection* const* s, int32_t n, const float* const* src, float* const* out,
              int32_t frames, CascadeCarry::Wave* keep) {
    wave<V4, M4, 4, 2>(s, n, src, out, frames, keep);
}

#if QUORLE_X86_DISPATCH
__attribute__((target("avx2"))) void waveAvx2(const CascadeSection* s, int32_t n, const float* src,
                                              float* out, int32_t frames,
                                              CascadeCarry::Wave* keep) {
    wave<V8, M8, 8, 8>(&s, n, &src, &out, frames, keep);
}

__attribute__((target("avx2"))) void waveAvx2Tree(const CascadeSection* s, int32_t n,
                                                  const float* src, float* out, int32_t frames,
                                                  CascadeCarry::Wave* keep, const int8_t* from) {
    wave<V8, M8, 8, 8, true>(&s, n, &src, &out, frames, keep, from);
}

// Two to four sections: the SSE2 wave in three-operand (VEX) instructions, which
// spare its register copies; the same operations, so the same bits.
__attribute__((target("avx2"))) void waveSse2Vex(const CascadeSection* s, int32_t n,
                                                 const float* src, float* out, int32_t frames,
                                                 CascadeCarry::Wave* keep) {
    wave<V4, M4, 4, 4>(&s, n, &src, &out, frames, keep);
}

__attribute__((target("avx2"))) void waveSse2VexTree(const CascadeSection* s, int32_t n,
                                                     const float* src, float* out, int32_t frames,
                                                     CascadeCarry::Wave* keep, const int8_t* from) {
    wave<V4, M4, 4, 4, true>(&s, n, &src, &out, frames, keep, from);
}

// Two cascades of n (1..4) sections each, side by side.
__attribute__((target("avx2"))) void pairAvx2(const CascadeSection* const* s, int32_t n,
                                              const float* const* src, float* const* out,
                                              int32_t frames, CascadeCarry::Wave* keep) {
    wave<V8, M8, 8, 4>(s, n, src, out, frames, keep);
}

// Nine to sixteen sections in one wave: a step costs about what an eight-lane step
// costs, where eight lanes and a lone section would take two (measured +14 to +22 %
// for the 9-section heads of 4-lead and 6-octave-fuzz at 2x). The same operations,
// so the same bits.
__attribute__((target("avx512f"))) void waveAvx512(const CascadeSection* s, int32_t n,
                                                   const float* src, float* out, int32_t frames,
                                                   CascadeCarry::Wave* keep) {
    wave<V16, M16, 16, 16>(&s, n, &src, &out, frames, keep);
}

__attribute__((target("avx512f"))) void waveAvx512Tree(const CascadeSection* s, int32_t n,
                                                       const float* src, float* out, int32_t frames,
                                                       CascadeCarry::Wave* keep,
                                                       const int8_t* from) {
    wave<V16, M16, 16, 16, true>(&s, n, &src, &out, frames, keep, from);
}

// Asked once, while the library loads.
// One section alone in three-operand instructions: the same operations, fewer copies.
__attribute__((target("avx2"))) void singleAvx2(const CascadeSection* s, const float* src,
                                                float* out, int32_t frames) {
    scalarGroup<1>(s, src, out, frames);
}

Level detect() {
    if (CpuFeatures::avx2() && CpuFeatures::avx512())
        return Level::kAvx512;
    return CpuFeatures::avx2() ? Level::kAvx2 : Level::kSse2;
}
#else
void singleAvx2(const CascadeSection* s, const float* src, float* out, int32_t frames) {
    scalarGroup<1>(s, src, out, frames);
}
void waveAvx2(const CascadeSection* s, int32_t n, const float* src, float* out, int32_t frames,
              CascadeCarry::Wave* keep) {
    waveSse2(s, n, src, out, frames, keep);
}
void waveAvx2Tree(const CascadeSection* s, int32_t n, const float* src, float* out, int32_t frames,
                  CascadeCarry::Wave* keep, const int8_t* from) {
    waveSse2Tree(s, n, src, out, frames, keep, from);
}
void waveSse2Vex(const CascadeSection* s, int32_t n, const float* src, float* out, int32_t frames,
                 CascadeCarry::Wave* keep) {
    waveSse2(s, n, src, out, frames, keep);
}
void waveSse2VexTree(const CascadeSection* s, int32_t n, const float* src, float* out,
                     int32_t frames, CascadeCarry::Wave* keep, const int8_t* from) {
    waveSse2Tree(s, n, src, out, frames, keep, from);
}
void pairAvx2(const CascadeSection* const* s, int32_t n, const float* const* src, float* const* out,
              int32_t frames, CascadeCarry::Wave* keep) {
    pairSse2(s, n, src, out, frames, keep);
}
void waveAvx512(const CascadeSection* s, int32_t n, const float* src, float* out, int32_t frames,
                CascadeCarry::Wave* keep) {
    waveSse2(s, n, src, out, frames, keep);
}
void waveAvx512Tree(const CascadeSection* s, int32_t n, const float* src, float* out,
                    int32_t frames, CascadeCarry::Wave* keep, const int8_t* from) {
    waveSse2Tree(s, n, src, out, frames, keep, from);
}
Level detect() {
    return Level::kSse2;
}
#endif

const Level kBest = detect();
std::atomic<int32_t> gLevel{static_cast<int32_t>(kBest)};

} // namespace

namespace IirCascade {

Level best() {
    return kBest;
}

Level setLevel(Level level) {
    const int32_t held = std::min(static_cast<int32_t>(level), static_cast<int32_t>(kBest));
    return static_cast<Level>(gLevel.exchange(held, std::memory_order_relaxed));
}

int32_t treeLanes() {
    switch (static_cast<Level>(gLevel.load(std::memory_order_relaxed))) {
    case Level::kAvx512: return 16;
    case Level::kAvx2: return 8;
    case Level::kSse2: return 4;
    default: return 0;
    }
}

void runTree(const CascadeSection* sections, int32_t count, const int8_t* from, const float* in,
             int32_t frames, CascadeCarry* carry) {
    // Fits the lanes of the processor's widest level, as treeLanes() promised.
    if (count <= 0 || frames <= 0 ||
        count > (kBest == Level::kAvx512 ? 16
                 : kBest == Level::kAvx2 ? 8
                                         : 4))
        return;
    CascadeCarry::Wave* keep = carry ? &carry->find(sections[0].state) : nullptr;
    float* out = sections[count - 1].tap;
    if (count > 8)
        waveAvx512Tree(sections, count, in, out, frames, keep, from);
    else if (count > 4)
        waveAvx2Tree(sections, count, in, out, frames, keep, from);
    else if (kBest >= Level::kAvx2)
        waveSse2VexTree(sections, count, in, out, frames, keep, from);
    else
        waveSse2Tree(sections, count, in, out, frames, keep, from);
}

void run(const CascadeSection* sections, int32_t count, const float* in, int32_t frames,
         CascadeCarry* carry) {
    if (count <= 0 || frames <= 0)
        return;
    const Level level = static_cast<Level>(gLevel.load(std::memory_order_relaxed));
    const int32_t lanes = level == Level::kAvx512 ? 16
                          : level == Level::kAvx2 ? 8
                          : level == Level::kSse2 ? 4
                                                  : 2;
    const bool avx2 = level >= Level::kAvx2;
    float* out = sections[count - 1].tap;
    for (int32_t first = 0; first < count; first += lanes) {
        const int32_t n = std::min(lanes, count - first);
        const CascadeSection* s = sections + first;
        const float* src = first == 0 ? in : out;
        CascadeCarry::Wave* keep =
            carry && n > 1 && level != Level::kScalar ? &carry->find(s[0].state) : nullptr;
        if (n == 1 && avx2)
            singleAvx2(s, src, out, frames);
        else if (n == 1)
            scalarGroup<1>(s, src, out, frames);
        else if (level == Level::kScalar)
            scalarGroup<2>(s, src, out, frames);
        else if (n > 8)
            waveAvx512(s, n, src, out, frames, keep);
        else if (n > 4)
            waveAvx2(s, n, src, out, frames, keep);
        else if (avx2)
            waveSse2Vex(s, n, src, out, frames, keep);
        else
            waveSse2(s, n, src, out, frames, keep);
    }
}

void runPair(const CascadeSection* a, int32_t countA, const float* inA, const CascadeSection* b,
             int32_t countB, const float* inB, int32_t frames, CascadeCarry* carry) {
    const Level level = static_cast<Level>(gLevel.load(std::memory_order_relaxed));
    if (countA != countB || countA <= 0 || frames <= 0 || level == Level::kScalar) {
        run(a, countA, inA, frames, carry);
        run(b, countB, inB, frames, carry);
        return;
    }
    const int32_t lanes = level >= Level::kAvx2 ? 4 : 2; // per cascade (pairs stay at AVX2)
    float* const out[2] = {a[countA - 1].tap, b[countB - 1].tap};
    for (int32_t first = 0; first < countA; first += lanes) {
        const int32_t n = std::min(lanes, countA - first);
        const CascadeSection* const s[2] = {a + first, b + first};
        const float* const src[2] = {first == 0 ? inA : out[0], first == 0 ? inB : out[1]};
        CascadeCarry::Wave* keep = carry ? &carry->find(s[0][0].state) : nullptr;
        if (level >= Level::kAvx2)
            pairAvx2(s, n, src, out, frames, keep);
        else
            pairSse2(s, n, src, out, frames, keep);
    }
}

} // namespace IirCascade

CascadeCarry::Wave& CascadeCarry::find(const float* state) {
    ++clock;
    Wave* oldest = &waves[0];
    for (Wave& w : waves) {
        if (w.key == state) {
            w.used = clock;
            return w;
        }
        if (w.used < oldest->used)
            oldest = &w;
    }
    oldest->key = state;
    oldest->used = clock;
    oldest->lanes = 0;
    return *oldest;
}

void CascadeCarry::clear() {
    for (Wave& w : waves) {
        w.key = nullptr;
        w.used = 0;
        w.lanes = 0;
    }
    clock = 0;
}

void CascadeChain::add(FilterParams& filter, const float* in, float* out, bool soleReader) {
    const int32_t passes = filter.passes;
    if (passes <= 0 || passes > FilterParams::kMaxPasses) {
        flush(); // writes nothing: whoever reads `out` next hears what it holds
        return;
    }
    int32_t parent = count - 1;
    if (count > 0 && in != last)
        parent = branchFrom(in, passes, out);
    if (count > 0 && (parent == -2 || count + passes > IirCascade::kMaxSections)) {
        flush();
        parent = -1;
    }
    join(filter, in, out, soleReader, parent);
}

void CascadeChain::join(FilterParams& filter, const float* in, float* out, bool soleReader,
                        int32_t parent) {
    if (count == 0)
        source = in;
    else if (soleReader && parent == count - 1)
        sections[count - 1].tap = nullptr; // handed on in the lanes only
    if (count > 0 && parent != count - 1 && !branched) {
        // The first branch: until now each section read the one before.
        for (int32_t j = 0; j < count; ++j) {
            from[j] = static_cast<int8_t>(j - 1);
            depth[j] = static_cast<int8_t>(j);
        }
        branched = true;
    }
    const int32_t first = count;
    count += filter.sections(sections + count, out);
    if (branched)
        for (int32_t j = first; j < count; ++j) {
            from[j] = static_cast<int8_t>(j == first ? parent : j - 1);
            depth[j] = static_cast<int8_t>(from[j] < 0 ? 0 : depth[from[j]] + 1);
        }
    last = out;
}

bool CascadeChain::addBranch(FilterParams& filter, const float* in, float* out) {
    const int32_t passes = filter.passes;
    if (count == 0 || in == last || passes <= 0 || passes > FilterParams::kMaxPasses)
        return false;
    // branchFrom() keeps the tree within the lanes, well within a chain's room.
    const int32_t parent = branchFrom(in, passes, out);
    if (parent == -2)
        return false;
    join(filter, in, out, false, parent);
    return true;
}

int32_t CascadeChain::branchFrom(const float* in, int32_t passes, const float* out) const {
    if (partner || count + passes > treeRoom)
        return -2;
    // The last section that wrote `in` (a tap handed on in the lanes had no other
    // reader); none: only the cascade's own input will do.
    int32_t parent = count - 1;
    while (parent >= 0 && sections[parent].tap != in)
        --parent;
    if (parent < 0 && in != source)
        return -2;
    // One after another, this filter's output would land after every earlier one's
    // in `out`: in the lanes each sample must too.
    auto depthOf = [&](int32_t j) { return branched ? depth[j] : j; };
    const int32_t lastDepth = (parent < 0 ? 0 : depthOf(parent) + 1) + passes - 1;
    for (int32_t j = 0; j < count; ++j)
        if (sections[j].tap == out && depthOf(j) >= lastDepth)
            return -2;
    return parent;
}

CascadeChain::~CascadeChain() {
    flush();
    if (partner)
        partner->partner = nullptr;
}

void CascadeChain::pairWith(CascadeChain& other) {
    if (&other == this || other.frames != frames)
        return;
    partner = &other;
    other.partner = this;
}

void CascadeChain::flush() {
    // Gathered sections only read what earlier nodes wrote, so the partner's may run
    // now as well as at its own next flush.
    if (partner && partner->count > 0) {
        IirCascade::runPair(sections, count, source, partner->sections, partner->count,
                            partner->source, frames, carry);
        partner->count = 0;
        partner->last = nullptr;
    } else if (branched) {
        IirCascade::runTree(sections, count, from, source, frames, carry);
    } else if (count > 0) {
        IirCascade::run(sections, count, source, frames, carry);
    }
    count = 0;
    branched = false;
    last = nullptr;
}
