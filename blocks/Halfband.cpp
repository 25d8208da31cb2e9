#include "blocks/Halfband.h"

#include "blocks/CpuFeatures.h"
#include "blocks/Float4.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr int kTile = 256; // outputs filtered per pass, so the sums stay in cache

// The modified Bessel function of the first kind, order 0 (its power series).
double besselI0(double x) {
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 64 && term > 1e-17 * sum; ++k) {
        const double half = x / (2.0 * k);
        term *= half * half;
        sum += term;
    }
    return sum;
}

// The side taps (see halfbandSideTaps in the header). The outputs go in groups of K vectors of V
// whose sums stay in registers across every coefficient; each lane does the scalar steps in the
// scalar order, so every build gives the same samples.
template <typename V, int K>
inline __attribute__((always_inline)) void symmetricTapsBody(const float* gain, int taps,
                                                             const float* w, const float* centre,
                                                             float* __restrict acc, int n) {
    constexpr int kLanes = static_cast<int>(sizeof(V) / sizeof(float));
    constexpr int kGroup = K * kLanes;
    const int span = 2 * taps - 1;
    // Two blocks of V floats at p and q, summed lane by lane (any alignment).
    const auto pairSum = [](const float* p, const float* q, V& out) {
        V x, y;
        std::memcpy(&x, p, sizeof x);
        std::memcpy(&y, q, sizeof y);
        out = x + y;
    };
    int i = 0;
    for (; i + kGroup <= n; i += kGroup) {
        V sum[K];
        const float g0 = gain[0];
#pragma GCC unroll 8
        for (int k = 0; k < K; ++k) {
            V t;
            pairSum(w + span + i + k * kLanes, w + i + k * kLanes, t);
            sum[k] = g0 * t;
        }
        for (int j = 1; j < taps; ++j) {
            const float* a = w + span - j + i;
            const float* b = w + j + i;
            const float g = gain[j];
#pragma GCC unroll 8
            for (int k = 0; k < K; ++k) {
                V t;
                pairSum(a + k * kLanes, b + k * kLanes, t);
                sum[k] += g * t;
            }
        }
#pragma GCC unroll 8
        for (int k = 0; k < K; ++k) {
            if (centre) {
                V c;
                std::memcpy(&c, centre + i + k * kLanes, sizeof c);
                sum[k] = sum[k] + 0.5f * c;
            }
            std::memcpy(acc + i + k * kLanes, &sum[k], sizeof(V));
        }
    }
    for (; i < n; ++i) {
        float sum = gain[0] * (w[span + i] + w[i]);
        for (int j = 1; j < taps; ++j)
            sum += gain[j] * (w[span - j + i] + w[j + i]);
        acc[i] = centre ? sum + 0.5f * centre[i] : sum;
    }
}

typedef float Float8 __attribute__((vector_size(32)));

using TapsKernel = void (*)(const float*, int, const float*, const float*, float*, int);

#if QUORLE_X86_DISPATCH
// The same loop for AVX2 where the processor has it: four eight-float sums. Plain
// multiplies and adds as in the baseline (no fused multiply-adds).
__attribute__((target("avx2"))) void sideTapsAvx2(const float* gain, int taps, const float* w,
                                                  const float* centre, float* acc, int n) {
    symmetricTapsBody<Float8, 4>(gain, taps, w, centre, acc, n);
}

// Chosen once, while the library loads (so the audio thread never meets a guarded
// first-use initialisation).
TapsKernel chooseTaps() {
    return CpuFeatures::avx2() ? sideTapsAvx2 : halfbandSideTapsBaseline;
}
#else
TapsKernel chooseTaps() {
    return halfbandSideTapsBaseline;
}
#endif
const TapsKernel kTapsKernel = chooseTaps();
} // namespace

// Baseline SSE2: eight four-float sums, 32 outputs per group.
void halfbandSideTapsBaseline(const float* gain, int taps, const float* w, const float* centre,
                              float* acc, int n) {
    symmetricTapsBody<Float4, 8>(gain, taps, w, centre, acc, n);
}

void halfbandSideTaps(const float* gain, int taps, const float* w, const float* centre, float* acc,
                      int n) {
    kTapsKernel(gain, taps, w, centre, acc, n);
}

std::vector<float> designHalfband(int m, double beta) {
    const int centre = 2 * m - 1;
    std::vector<double> side(static_cast<size_t>(m));
    double sum = 0.0;
    for (int j = 0; j < m; ++j) {
        const int n = 2 * j - centre; // odd, negative
        const double r = static_cast<double>(n) / (centre + 1);
        const double window = besselI0(beta * std::sqrt(1.0 - r * r)) / besselI0(beta);
        side[static_cast<size_t>(j)] = std::sin(M_PI * n / 2.0) / (M_PI * n) * window;
        sum += side[static_cast<size_t>(j)];
    }
    std::vector<float> out(static_cast<size_t>(m));
    for (int j = 0; j < m; ++j)
        out[static_cast<size_t>(j)] = static_cast<float>(side[static_cast<size_t>(j)] * 0.25 / sum);
    return out;
}

HalfbandUp::HalfbandUp(const std::vector<float>& side, int maxInput)
    : mTaps(static_cast<int>(side.size())), mGain(side),
      mWork(static_cast<size_t>(2 * mTaps - 1 + maxInput), 0.0f), mAcc(kTile) {
    for (float& g : mGain)
        g *= 2.0f; // the interpolator's gain of 2 makes up for the inserted zeros
}

void HalfbandUp::reset() {
    std::fill(mWork.begin(), mWork.end(), 0.0f);
}

void HalfbandUp::process(const float* in, int n, float* out) {
    const int span = 2 * mTaps - 1;
    float* w = mWork.data();
    float* acc = mAcc.data();
    std::memcpy(w + span, in, sizeof(float) * static_cast<size_t>(n));
    for (int start = 0; start < n; start += kTile) {
        const int len = std::min(kTile, n - start);
        halfbandSideTaps(mGain.data(), mTaps, w + start, nullptr, acc, len);
        const float* delayed = w + start + mTaps; // the centre tap: input 2m - 1 back
        float* o = out + 2 * start;
        for (int i = 0; i < len; ++i) {
            o[2 * i] = acc[i];
            o[2 * i + 1] = delayed[i];
        }
    }
    std::memmove(w, w + n, sizeof(float) * static_cast<size_t>(span));
}

HalfbandDown::HalfbandDown(const std::vector<float>& side, int maxOutput)
    : mTaps(static_cast<int>(side.size())), mGain(side),
      mSide(static_cast<size_t>(2 * mTaps - 1 + maxOutput), 0.0f),
      mCentre(static_cast<size_t>(mTaps + maxOutput), 0.0f) {}

void HalfbandDown::reset() {
    std::fill(mSide.begin(), mSide.end(), 0.0f);
    std::fill(mCentre.begin(), mCentre.end(), 0.0f);
}

void HalfbandDown::setPhase(int phase) {
    mPhase = phase ? 1 : 0;
    reset();
}

void HalfbandDown::process(const float* in, int n, float* out) {
    const int span = 2 * mTaps - 1;
    float* s = mSide.data();
    float* c = mCentre.data();
    // Phase 0: even inputs on the side taps, odd ones on the centre; phase 1 the
    // other way round, one input later.
    const float* sideIn = in + mPhase;
    const float* centreIn = in + (1 - mPhase);
    for (int t = 0; t < n; ++t) {
        s[span + t] = sideIn[2 * t];
        c[mTaps + t] = centreIn[2 * t];
    }
    const float* centre = c + mPhase; // m - phase inputs back from the newest
    for (int start = 0; start < n; start += kTile) {
        const int len = std::min(kTile, n - start);
        halfbandSideTaps(mGain.data(), mTaps, s + start, centre + start, out + start, len);
    }
    std::memmove(s, s + n, sizeof(float) * static_cast<size_t>(span));
    std::memmove(c, c + n, sizeof(float) * static_cast<size_t>(mTaps));
}
