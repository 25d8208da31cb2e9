#include "blocks/IirCascade.h"

#include "blocks/CpuFeatures.h"
#include "blocks/FilterParams.h"

#include <algorithm>
#include <atomic>

namespace {

using IirCascade::kLag;
using IirCascade::kStateX;
using IirCascade::kStateY;
using IirCascade::Level;

// One to P sections sample by sample in plain floats: each sample goes through every
// section before the next one enters. Reads `src`, writes the taps and the last
// section's output into `carry`.
template <int P>
void scalarGroup(const CascadeSection* s, const float* src, float* carry, int32_t frames) {
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
        tap[q] = q == P - 1 ? carry : s[q].tap;
        x1[q] = s[q].state[kStateX + 1];
        x2[q] = s[q].state[kStateX + 2];
        y1[q] = s[q].state[kStateY + 1];
        y2[q] = s[q].state[kStateY + 2];
    }
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
        carry[i] = v;
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
    // The last section's own tap, when it is not the carry itself.
    if (s[P - 1].tap && s[P - 1].tap != carry)
        std::copy(carry, carry + frames, s[P - 1].tap);
}

typedef float V4 __attribute__((vector_size(16)));
typedef int32_t M4 __attribute__((vector_size(16)));
typedef float V8 __attribute__((vector_size(32)));
typedef int32_t M8 __attribute__((vector_size(32)));

// x = the vector whose lane j holds lane j - 1 of `prev`, and each group's first lane
// its group's input: lane 0 `a`, lane G `b` when the lanes hold two groups (a
// statement, not a function: a function passing eight-lane vectors would change
// its calling convention with the instruction set).
#define QR_SHIFT_IN(x, prev, a, b)                                                                 \
    if constexpr (L == 4 && G == 4)                                                                \
        x = __builtin_shufflevector(prev, V{} + (a), 4, 0, 1, 2);                                  \
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
// section j on what lane j - 1 gave at step t - kLag. Steps where some lane has no
// sample (the first and last (n - 1) kLag) keep that lane's state by a select; the
// steps between run every lane unmasked. Steps go kLag at a time, so that the kLag
// outputs in flight stay in registers. Group g reads src[g] and feeds carry[g].
template <typename V, typename M, int L, int G>
[[gnu::always_inline]] inline void wave(const CascadeSection* const* s, int32_t n,
                                        const float* const* src, float* const* carry,
                                        int32_t frames) {
    constexpr int D = kLag;
    constexpr int kGroups = L / G;
    V b0 = {}, b1 = {}, b2 = {}, a1 = {}, a2 = {}, direct = {}, shelved = {}, gain = {};
    V x1 = {}, x2 = {}, y1 = {}, y2 = {};
    M offset = {};
    for (int j = 0; j < L; ++j)
        offset[j] = (j % G) * D;
    // Taps: delay, lane and destination; each group's last lane always feeds its carry.
    int32_t tapLag[L + kGroups];
    int32_t tapLane[L + kGroups];
    float* tapTo[L + kGroups];
    int32_t taps = 0;
    for (int g = 0; g < kGroups; ++g) {
        for (int j = 0; j < n; ++j) {
            const CascadeSection& c = s[g][j];
            const int lane = g * G + j;
            b0[lane] = c.b0;
            b1[lane] = c.b1;
            b2[lane] = c.b2;
            a1[lane] = c.a1;
            a2[lane] = c.a2;
            direct[lane] = c.direct;
            shelved[lane] = c.shelved;
            gain[lane] = c.gain;
            x1[lane] = c.state[kStateX + 1];
            x2[lane] = c.state[kStateX + 2];
            y1[lane] = c.state[kStateY + 1];
            y2[lane] = c.state[kStateY + 2];
            if (c.tap && !(j == n - 1 && c.tap == carry[g])) {
                tapLag[taps] = j * D;
                tapLane[taps] = lane;
                tapTo[taps++] = c.tap;
            }
        }
        tapLag[taps] = (n - 1) * D;
        tapLane[taps] = g * G + n - 1;
        tapTo[taps++] = carry[g];
    }
    const float* const srcA = src[0];
    const float* const srcB = src[kGroups - 1];

    const V half = V{} + 0.5f;
    const M limit = M{} + frames;
    V ring[D] = {};
    const int32_t steady = (n - 1) * D; // first step where every lane has a sample
    const int32_t total = frames + steady;
    // Rounds of D steps from step 0, so that step t always uses ring[t % D]; the last
    // round may run past `total` with every lane masked.
    for (int32_t t = 0; t < total; t += D) {
        if (t >= steady && t + D <= frames) {
#pragma GCC unroll 8
            for (int k = 0; k < D; ++k) {
                V x;
                QR_SHIFT_IN(x, ring[k], srcA[t + k], srcB[t + k]);
                const V y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
                y2 = y1;
                y1 = y;
                V v = half * (direct * x + shelved * y);
                v = v * gain;
                x2 = x1;
                x1 = x;
                ring[k] = v;
            }
            // The round's D outputs, tap by tap: each tap's samples are consecutive.
            for (int32_t m = 0; m < taps; ++m) {
                float* to = tapTo[m] + (t - tapLag[m]);
                const int32_t lane = tapLane[m];
#pragma GCC unroll 8
                for (int k = 0; k < D; ++k)
                    to[k] = ring[k][lane];
            }
            continue;
        }
#pragma GCC unroll 8
        for (int k = 0; k < D; ++k) {
            const int32_t step = t + k;
            const float inA = step < frames ? srcA[step] : 0.0f;
            const float inB = step < frames ? srcB[step] : 0.0f;
            V x;
            QR_SHIFT_IN(x, ring[k], inA, inB);
            const V y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
            V v = half * (direct * x + shelved * y);
            v = v * gain;
            const M at = (M{} + step) - offset;
            const M valid = (at >= 0) & (at < limit);
            y2 = valid ? y1 : y2;
            y1 = valid ? y : y1;
            x2 = valid ? x1 : x2;
            x1 = valid ? x : x1;
            ring[k] = v;
            for (int32_t m = 0; m < taps; ++m) {
                const int32_t i = step - tapLag[m];
                if (i >= 0 && i < frames)
                    tapTo[m][i] = v[tapLane[m]];
            }
        }
    }
    for (int g = 0; g < kGroups; ++g) {
        for (int j = 0; j < n; ++j) {
            const int lane = g * G + j;
            float* st = s[g][j].state;
            st[kStateX] = x1[lane];
            st[kStateX + 1] = x1[lane];
            st[kStateX + 2] = x2[lane];
            st[kStateY] = y1[lane];
            st[kStateY + 1] = y1[lane];
            st[kStateY + 2] = y2[lane];
        }
    }
}

#undef QR_SHIFT_IN

void waveSse2(const CascadeSection* s, int32_t n, const float* src, float* carry, int32_t frames) {
    wave<V4, M4, 4, 4>(&s, n, &src, &carry, frames);
}

// Two cascades of n (1..2) sections each, side by side.
void pairSse2(const CascadeSection* const* s, int32_t n, const float* const* src,
              float* const* carry, int32_t frames) {
    wave<V4, M4, 4, 2>(s, n, src, carry, frames);
}

#if QUORLE_X86_DISPATCH
__attribute__((target("avx2"))) void waveAvx2(const CascadeSection* s, int32_t n, const float* src,
                                              float* carry, int32_t frames) {
    wave<V8, M8, 8, 8>(&s, n, &src, &carry, frames);
}

// Two cascades of n (1..4) sections each, side by side.
__attribute__((target("avx2"))) void pairAvx2(const CascadeSection* const* s, int32_t n,
                                              const float* const* src, float* const* carry,
                                              int32_t frames) {
    wave<V8, M8, 8, 4>(s, n, src, carry, frames);
}

// Asked once, while the library loads.
Level detect() {
    return CpuFeatures::avx2() ? Level::kAvx2 : Level::kSse2;
}
#else
void waveAvx2(const CascadeSection* s, int32_t n, const float* src, float* carry, int32_t frames) {
    waveSse2(s, n, src, carry, frames);
}
void pairAvx2(const CascadeSection* const* s, int32_t n, const float* const* src,
              float* const* carry, int32_t frames) {
    pairSse2(s, n, src, carry, frames);
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

void run(const CascadeSection* sections, int32_t count, const float* in, int32_t frames) {
    if (count <= 0 || frames <= 0)
        return;
    const Level level = static_cast<Level>(gLevel.load(std::memory_order_relaxed));
    const int32_t lanes = level == Level::kAvx2 ? 8 : level == Level::kSse2 ? 4 : 2;
    float* carry = sections[count - 1].tap;
    for (int32_t first = 0; first < count; first += lanes) {
        const int32_t n = std::min(lanes, count - first);
        const CascadeSection* s = sections + first;
        const float* src = first == 0 ? in : carry;
        if (n == 1)
            scalarGroup<1>(s, src, carry, frames);
        else if (level == Level::kScalar)
            scalarGroup<2>(s, src, carry, frames);
        else if (n > 4)
            waveAvx2(s, n, src, carry, frames);
        else
            waveSse2(s, n, src, carry, frames);
    }
}

void runPair(const CascadeSection* a, int32_t countA, const float* inA, const CascadeSection* b,
             int32_t countB, const float* inB, int32_t frames) {
    const Level level = static_cast<Level>(gLevel.load(std::memory_order_relaxed));
    if (countA != countB || countA <= 0 || frames <= 0 || level == Level::kScalar) {
        run(a, countA, inA, frames);
        run(b, countB, inB, frames);
        return;
    }
    const int32_t lanes = level == Level::kAvx2 ? 4 : 2; // per cascade
    float* const carry[2] = {a[countA - 1].tap, b[countB - 1].tap};
    for (int32_t first = 0; first < countA; first += lanes) {
        const int32_t n = std::min(lanes, countA - first);
        const CascadeSection* const s[2] = {a + first, b + first};
        const float* const src[2] = {first == 0 ? inA : carry[0], first == 0 ? inB : carry[1]};
        if (level == Level::kAvx2)
            pairAvx2(s, n, src, carry, frames);
        else
            pairSse2(s, n, src, carry, frames);
    }
}

} // namespace IirCascade

void CascadeChain::add(FilterParams& filter, const float* in, float* out) {
    const int32_t passes = filter.passes;
    if (passes <= 0 || passes > FilterParams::kMaxPasses) {
        flush(); // writes nothing: whoever reads `out` next hears what it holds
        return;
    }
    if (count > 0 && (in != last || count + passes > IirCascade::kMaxSections))
        flush();
    if (count == 0)
        source = in;
    count += filter.sections(sections + count, out);
    last = out;
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
                            partner->source, frames);
        partner->count = 0;
        partner->last = nullptr;
    } else if (count > 0) {
        IirCascade::run(sections, count, source, frames);
    }
    count = 0;
    last = nullptr;
}
