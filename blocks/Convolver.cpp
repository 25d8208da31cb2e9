#include "blocks/Convolver.h"

#include "blocks/CpuFeatures.h"
#include "blocks/Float4.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <stdexcept>
#include <type_traits>

// One level of FFT partitions of L taps each, covering taps [offset, offset + parts L)
// of the response. Overlap-save with FFTs of 2L points: the spectrum of the input
// frame [(m - 1) L, (m + 1) L) goes into a ring of the last `parts` input spectra
// (the frequency-domain delay line); the sum over partitions p of spectrum(m - p)
// times the spectrum of partition p, transformed back, gives in its last L points the
// level's share of out[m L + offset + i], i in [0, L). Spectra are kept as rows of
// real and of imaginary parts, so that the products, where the time goes, are plain
// element-wise loops.
namespace {
// Destroys an FFTW plan (through the planner, so under its process-wide lock).
struct PlanDeleter {
    void operator()(fftwf_plan plan) const { fftwf_destroy_plan(plan); }
};
using PlanPtr = std::unique_ptr<std::remove_pointer_t<fftwf_plan>, PlanDeleter>;
} // namespace

// The shape of a level, fixed when its response is made ready; the plans and the
// partition spectra are the response's, read-only.
struct LevelForm {
    uint32_t L = 0;
    size_t offset = 0;
    uint32_t parts = 0;
    // A spectrum (L + 1 bins) as two rows, the real parts then the imaginary parts,
    // each of `row` floats (padded to keep every row on a 64-byte boundary).
    size_t row = 0;
    bool synchronous = false;            // computed as its block completes (offset L), else spread
    uint32_t group = 1;                  // partition products per spread step
    uint32_t steps = 0;                  // spread steps per block: forward, products, inverse
    double fftCost = 0, productCost = 0; // estimated cost of a step (see kFftFixed)
    fftwf_plan forward = nullptr;        // 2L real points to L + 1 bins
    fftwf_plan inverse = nullptr;        // and back (unnormalised)
    const float* ir = nullptr;           // partition spectra, scaled by 1 / 2L

    size_t spectrumFloats() const { return 2 * row; }
    uint32_t productSteps() const { return (parts + group - 1) / group; }
};

class Convolver::Response {
  public:
    struct Level : LevelForm {
        PlanPtr forwardPlan, inversePlan;
        BufferPtr spectra{nullptr, fftwf_free};
    };
    size_t length = 0;
    uint32_t head = kHead;
    uint32_t headTaps = 0;
    BufferPtr headIr{nullptr, fftwf_free};
    std::vector<Level> levels;
    double rate = 0; // estimated cost of the spread levels per input sample
};

// A level's state, in the convolver's arena.
struct Convolver::Level : LevelForm {
    explicit Level(const LevelForm& form) : LevelForm(form) {}

    float* delay = nullptr; // input spectra, block m in slot m % parts
    float* acc = nullptr;   // the sum of products of one block
    float* bins = nullptr;  // one spectrum as FFTW has it (interleaved)
    float* frame = nullptr; // 2L inputs for the forward FFT
    float* out = nullptr;   // inverse FFT results: 1 (synchronous) or 2 of 2L

    size_t outFloats() const { return (synchronous ? 2 : 4) * size_t(L); }

    // Spread levels: the block whose steps are pending and the next step. Block m
    // is released when it is complete, at (m + 1) L, and due by (m + 2) L.
    uint64_t block = 0;
    uint32_t step = 0;

    uint64_t released() const { return (block + 1) * L; }
    uint64_t deadline() const { return (block + 2) * L; }
    double stepCost() const { return step == 0 || step + 1 == steps ? fftCost : productCost; }
    // The forward FFT of `frame` into delay slot `slot`.
    void transform(uint64_t slot);
    // Products of partitions [from, to) with the input spectra of block m into acc.
    void multiplyParts(uint64_t m, uint32_t from, uint32_t to);
    // The inverse FFT of acc into `y` (2L floats).
    void transformBack(float* y);
};

namespace {

// FFTW's planner keeps process-wide state. Its own hooks serialise every planner
// call in the process, including those of other FFTW users in the same host.
void makePlannerThreadSafe() {
    static std::once_flag once;
    std::call_once(once, [] { fftwf_make_planner_thread_safe(); });
}

// Zeroed FFTW-aligned floats (the same type as Convolver::BufferPtr).
std::unique_ptr<float, void (*)(void*)> allocFloats(size_t count) {
    auto* p = static_cast<float*>(fftwf_malloc(count * sizeof(float)));
    if (!p)
        throw std::bad_alloc();
    std::memset(p, 0, count * sizeof(float));
    return {p, fftwf_free};
}

typedef float Float8 __attribute__((vector_size(32)));

// Vector helpers by reference (an AVX vector passed by value outside AVX code would
// change the calling convention).
template <typename V> inline void loadV(V& v, const float* p) {
    std::memcpy(&v, p, sizeof v);
}
template <typename V> inline void storeV(float* p, const V& v) {
    std::memcpy(p, &v, sizeof v);
}
// The direct-form head: acc[i] = sum_j taps[j] hist[i + j], j up, for i in [0, n)
// rounded up to a multiple of 8 (the caller has room for it, and hist for its
// inputs). Outputs in groups of K vectors whose sums stay in registers across every
// tap (enough of them that the adds' latency does not hold the loop back), then of
// K / 2, then single vectors.
template <typename V, int K>
inline __attribute__((always_inline)) void headGroups(const float* taps, uint32_t count,
                                                      const float* hist, float* acc, uint32_t& i,
                                                      uint32_t padded) {
    constexpr uint32_t kLanes = sizeof(V) / sizeof(float);
    for (; i + K * kLanes <= padded; i += K * kLanes) {
        V sum[K] = {};
        for (uint32_t j = 0; j < count; ++j) {
            const float g = taps[j];
#pragma GCC unroll 8
            for (int k = 0; k < K; ++k) {
                V x;
                loadV(x, hist + i + j + k * kLanes);
                sum[k] += g * x;
            }
        }
#pragma GCC unroll 8
        for (int k = 0; k < K; ++k)
            storeV(acc + i + k * kLanes, sum[k]);
    }
}
template <typename V, int K>
inline __attribute__((always_inline)) void headBody(const float* taps, uint32_t count,
                                                    const float* hist, float* acc, uint32_t n) {
    const uint32_t padded = (n + 7) & ~7u;
    uint32_t i = 0;
    headGroups<V, K>(taps, count, hist, acc, i, padded);
    headGroups<V, K / 2>(taps, count, hist, acc, i, padded);
    headGroups<V, 1>(taps, count, hist, acc, i, padded);
}

// Partition products: acc (= when `first`, else +=) the sum over p in [from, to) of
// x_p h_p, x_p the input spectrum in slot `slot` down by p - from (wrapping below 0 to
// `parts` - 1), h_p partition p's spectrum. Spectra of `bins` + 1 bins in rows (see
// Convolver::Level), of 2 `row` floats each; the first `bins` bins in tiles of K
// vectors whose sums stay in registers across the partitions, the last (the Nyquist
// bin, real for real signals) alone.
template <typename V, int K>
inline __attribute__((always_inline)) void
productsBody(float* acc, const float* delay, const float* ir, size_t row, uint32_t bins,
             uint32_t parts, uint32_t slot, uint32_t from, uint32_t to, bool first) {
    constexpr int kLanes = sizeof(V) / sizeof(float);
    for (size_t t = 0; t < bins; t += K * kLanes) {
        V re[K], im[K];
#pragma GCC unroll 4
        for (int k = 0; k < K; ++k) {
            re[k] = im[k] = V{};
            if (!first) {
                loadV(re[k], acc + t + k * kLanes);
                loadV(im[k], acc + row + t + k * kLanes);
            }
        }
        uint32_t s = slot;
        for (uint32_t p = from; p < to; ++p) {
            const float* x = delay + 2 * size_t(s) * row + t;
            const float* h = ir + 2 * size_t(p) * row + t;
#pragma GCC unroll 4
            for (int k = 0; k < K; ++k) {
                V xr, xi, hr, hi;
                loadV(xr, x + k * kLanes);
                loadV(xi, x + row + k * kLanes);
                loadV(hr, h + k * kLanes);
                loadV(hi, h + row + k * kLanes);
                re[k] += xr * hr - xi * hi;
                im[k] += xr * hi + xi * hr;
            }
            s = s == 0 ? parts - 1 : s - 1;
        }
#pragma GCC unroll 4
        for (int k = 0; k < K; ++k) {
            storeV(acc + t + k * kLanes, re[k]);
            storeV(acc + row + t + k * kLanes, im[k]);
        }
    }
    float sum = first ? 0.0f : acc[bins];
    uint32_t s = slot;
    for (uint32_t p = from; p < to; ++p) {
        sum += delay[2 * size_t(s) * row + bins] * ir[2 * size_t(p) * row + bins];
        s = s == 0 ? parts - 1 : s - 1;
    }
    acc[bins] = sum;
}

// Pairs (re, im) of a and b, one after the other, into their real and imaginary
// parts, and back.
inline void deinterleave(const Float4& a, const Float4& b, Float4& re, Float4& im) {
    re = __builtin_shufflevector(a, b, 0, 2, 4, 6);
    im = __builtin_shufflevector(a, b, 1, 3, 5, 7);
}
inline void deinterleave(const Float8& a, const Float8& b, Float8& re, Float8& im) {
    re = __builtin_shufflevector(a, b, 0, 2, 4, 6, 8, 10, 12, 14);
    im = __builtin_shufflevector(a, b, 1, 3, 5, 7, 9, 11, 13, 15);
}
inline void interleave(const Float4& re, const Float4& im, Float4& a, Float4& b) {
    a = __builtin_shufflevector(re, im, 0, 4, 1, 5);
    b = __builtin_shufflevector(re, im, 2, 6, 3, 7);
}
inline void interleave(const Float8& re, const Float8& im, Float8& a, Float8& b) {
    a = __builtin_shufflevector(re, im, 0, 8, 1, 9, 2, 10, 3, 11);
    b = __builtin_shufflevector(re, im, 4, 12, 5, 13, 6, 14, 7, 15);
}

// A spectrum of L + 1 bins from FFTW's interleaved (re, im) pairs to two rows of `row`
// floats (see Convolver::Level), and back; L a multiple of 8.
template <typename V>
inline __attribute__((always_inline)) void toRowsBody(const float* bins, uint32_t L, size_t row,
                                                      float* rows) {
    constexpr uint32_t kLanes = sizeof(V) / sizeof(float);
    for (uint32_t k = 0; k < L; k += kLanes) {
        V a, b, re, im;
        loadV(a, bins + 2 * k);
        loadV(b, bins + 2 * k + kLanes);
        deinterleave(a, b, re, im);
        storeV(rows + k, re);
        storeV(rows + row + k, im);
    }
    rows[L] = bins[2 * L];
    rows[row + L] = bins[2 * L + 1];
}
template <typename V>
inline __attribute__((always_inline)) void fromRowsBody(const float* rows, uint32_t L, size_t row,
                                                        float* bins) {
    constexpr uint32_t kLanes = sizeof(V) / sizeof(float);
    for (uint32_t k = 0; k < L; k += kLanes) {
        V re, im, a, b;
        loadV(re, rows + k);
        loadV(im, rows + row + k);
        interleave(re, im, a, b);
        storeV(bins + 2 * k, a);
        storeV(bins + 2 * k + kLanes, b);
    }
    bins[2 * L] = rows[L];
    bins[2 * L + 1] = rows[row + L];
}

using HeadKernel = void (*)(const float*, uint32_t, const float*, float*, uint32_t);
using RowsKernel = void (*)(const float*, uint32_t, size_t, float*);
using ProductsKernel = void (*)(float*, const float*, const float*, size_t, uint32_t, uint32_t,
                                uint32_t, uint32_t, uint32_t, bool);

void headBaseline(const float* taps, uint32_t count, const float* hist, float* acc, uint32_t n) {
    headBody<Float4, 8>(taps, count, hist, acc, n);
}
void productsBaseline(float* acc, const float* delay, const float* ir, size_t row, uint32_t bins,
                      uint32_t parts, uint32_t slot, uint32_t from, uint32_t to, bool first) {
    productsBody<Float4, 4>(acc, delay, ir, row, bins, parts, slot, from, to, first);
}

void toRowsBaseline(const float* bins, uint32_t L, size_t row, float* rows) {
    toRowsBody<Float4>(bins, L, row, rows);
}
void fromRowsBaseline(const float* rows, uint32_t L, size_t row, float* bins) {
    fromRowsBody<Float4>(rows, L, row, bins);
}

#if QUORLE_X86_DISPATCH
// The same loops for AVX2 where the processor has it: plain multiplies and adds as in
// the baseline (no fused multiply-adds).
__attribute__((target("avx2"))) void headAvx2(const float* taps, uint32_t count, const float* hist,
                                              float* acc, uint32_t n) {
    headBody<Float8, 8>(taps, count, hist, acc, n);
}
__attribute__((target("avx2"))) void productsAvx2(float* acc, const float* delay, const float* ir,
                                                  size_t row, uint32_t bins, uint32_t parts,
                                                  uint32_t slot, uint32_t from, uint32_t to,
                                                  bool first) {
    productsBody<Float8, 4>(acc, delay, ir, row, bins, parts, slot, from, to, first);
}
__attribute__((target("avx2"))) void toRowsAvx2(const float* bins, uint32_t L, size_t row,
                                                float* rows) {
    toRowsBody<Float8>(bins, L, row, rows);
}
__attribute__((target("avx2"))) void fromRowsAvx2(const float* rows, uint32_t L, size_t row,
                                                  float* bins) {
    fromRowsBody<Float8>(rows, L, row, bins);
}
// Chosen once, while the library loads (so the audio thread never meets a guarded
// first-use initialisation).
const HeadKernel kHeadKernel = CpuFeatures::avx2() ? headAvx2 : headBaseline;
const ProductsKernel kProductsKernel = CpuFeatures::avx2() ? productsAvx2 : productsBaseline;
const RowsKernel kToRows = CpuFeatures::avx2() ? toRowsAvx2 : toRowsBaseline;
const RowsKernel kFromRows = CpuFeatures::avx2() ? fromRowsAvx2 : fromRowsBaseline;
#else
const HeadKernel kHeadKernel = headBaseline;
const ProductsKernel kProductsKernel = productsBaseline;
const RowsKernel kToRows = toRowsBaseline;
const RowsKernel kFromRows = fromRowsBaseline;
#endif

// Estimated costs, in units of about 0.1 ns on the build machine (AVX2, FFTW_ESTIMATE
// plans; measured: an FFT pair of 128 points 258 ns, of 8192 points 22 us; a head tap
// 0.03 ns per sample; a partition's product 0.15 to 0.2 ns per bin, 0.5 ns when its
// spectra come from memory).
constexpr double kFftFixed = 420;  // an FFT of n points: n log2 n + kFftFixed
constexpr double kBinCost = 1.8;   // one bin of one partition's product, in cache
constexpr double kStepBinCost = 5; // the same out of cache (a long response's last level)
constexpr double kTapCost = 0.3;   // one head tap, per output sample

double fftCost(size_t n) {
    return static_cast<double>(n) * std::log2(static_cast<double>(n)) + kFftFixed;
}

// A level of the plan: partitions of L taps over taps [offset, end).
struct LevelPlan {
    uint32_t L;
    size_t offset, end;
};

// The levels after a head of `head` taps, at most `count` of them: partitions of
// head, 4 head, 16 head, ... taps (at most Convolver::kMaxPartition), the first
// from `head` on, every later one from twice its partition size on (so that its
// block is needed only L samples after it completes), each up to where the next
// one starts, the last one to the end.
std::vector<LevelPlan> planLevels(size_t length, uint32_t head, size_t count) {
    std::vector<LevelPlan> levels;
    size_t offset = head;
    for (uint32_t L = head; offset < length; L = std::min(4 * L, Convolver::kMaxPartition)) {
        const uint32_t nextL = std::min(4 * L, Convolver::kMaxPartition);
        const bool last = L == Convolver::kMaxPartition || levels.size() + 1 == count;
        const size_t end = last ? length : std::min<size_t>(length, 2 * size_t(nextL));
        levels.push_back({L, offset, end});
        offset = end;
    }
    return levels;
}

// The estimated cost of a plan per input sample.
double estimatedCost(size_t length, uint32_t head, const std::vector<LevelPlan>& levels) {
    double cost = kTapCost * static_cast<double>(std::min<size_t>(length, head));
    for (const LevelPlan& level : levels) {
        const double parts = std::ceil(double(level.end - level.offset) / level.L);
        cost += (2 * fftCost(2 * size_t(level.L)) + parts * kBinCost * (level.L + 1)) / level.L;
    }
    return cost;
}

constexpr uint64_t nextPowerOfTwo(uint64_t n) {
    uint64_t p = 1;
    while (p < n)
        p <<= 1;
    return p;
}

} // namespace

std::shared_ptr<const Convolver::Response> Convolver::prepare(const float* ir, size_t length) {
    if (!ir)
        throw std::invalid_argument("Convolver: no response");
    if (length < 1 || length > kMaxLength)
        throw std::invalid_argument("Convolver: response length out of range");
    auto response = std::make_shared<Response>();
    response->length = length;

    // The plan of least estimated cost: a head of kHead or 2 kHead taps, and as
    // many levels as pay for their FFTs.
    std::vector<LevelPlan> levels;
    double least = std::numeric_limits<double>::infinity();
    for (uint32_t head : {kHead, 2 * kHead}) {
        for (size_t count = 1;; ++count) {
            std::vector<LevelPlan> plan = planLevels(length, head, count);
            const double cost = estimatedCost(length, head, plan);
            if (cost < least) {
                response->head = head;
                levels = plan;
                least = cost;
            }
            if (plan.size() < count)
                break;
        }
    }

    response->headTaps = static_cast<uint32_t>(std::min<size_t>(length, response->head));
    response->headIr = allocFloats(response->headTaps);
    for (uint32_t j = 0; j < response->headTaps; ++j)
        response->headIr.get()[j] = ir[response->headTaps - 1 - j];

    for (const LevelPlan& plan : levels) {
        Response::Level level;
        level.L = plan.L;
        level.offset = plan.offset;
        level.synchronous = plan.L == response->head;
        level.parts = static_cast<uint32_t>((plan.end - plan.offset + plan.L - 1) / plan.L);
        level.row = size_t(plan.L) + 16;
        const size_t n = 2 * size_t(level.L);
        level.spectra = allocFloats(level.parts * level.spectrumFloats());
        level.ir = level.spectra.get();
        BufferPtr bins = allocFloats(n + 2);
        BufferPtr frame = allocFloats(n);
        BufferPtr out = allocFloats(n);
        {
            makePlannerThreadSafe();
            auto* spectrum = reinterpret_cast<fftwf_complex*>(bins.get());
            level.forwardPlan.reset(
                fftwf_plan_dft_r2c_1d(static_cast<int>(n), frame.get(), spectrum, FFTW_ESTIMATE));
            level.inversePlan.reset(
                fftwf_plan_dft_c2r_1d(static_cast<int>(n), spectrum, out.get(), FFTW_ESTIMATE));
            if (!level.forwardPlan || !level.inversePlan)
                throw std::bad_alloc();
            level.forward = level.forwardPlan.get();
            level.inverse = level.inversePlan.get();
        }
        // Partition spectra, scaled so that the unnormalised inverse gives the sum.
        const float scale = 1.0f / static_cast<float>(n);
        for (uint32_t p = 0; p < level.parts; ++p) {
            std::fill_n(frame.get(), n, 0.0f);
            const size_t from = level.offset + size_t(p) * level.L;
            const size_t count = std::min<size_t>(level.L, length - from);
            for (size_t k = 0; k < count; ++k)
                frame.get()[k] = ir[from + k] * scale;
            fftwf_execute_dft_r2c(level.forward, frame.get(),
                                  reinterpret_cast<fftwf_complex*>(bins.get()));
            kToRows(bins.get(), level.L, level.row,
                    level.spectra.get() + p * level.spectrumFloats());
        }
        // About as many products per step as cost one FFT, at their cost when the
        // spectra are out of cache (so that no step takes much longer).
        level.fftCost = fftCost(n);
        const double perPart = kStepBinCost * (level.L + 1);
        level.group = std::max<uint32_t>(1, static_cast<uint32_t>(level.fftCost / perPart));
        level.steps = 2 + level.productSteps();
        level.productCost = perPart * std::min(level.group, level.parts);
        if (!level.synchronous)
            response->rate += (2 * level.fftCost + perPart * level.parts) / level.L;
        response->levels.push_back(std::move(level));
    }
    response->rate *= 1.25; // runs ahead of the average, the deadlines force little
    return response;
}

Convolver::Convolver(const float* ir, size_t length, uint32_t maxFrames)
    : Convolver((maxFrames < 1 || maxFrames > kMaxFrames)
                    ? throw std::invalid_argument("Convolver: frame count out of range")
                    : prepare(ir, length),
                maxFrames) {}

namespace {

// Floats rounded up to whole 64-byte lines, so that every buffer carved from an arena
// starts aligned as FFTW's own allocations do.
constexpr size_t lines(size_t floats) {
    return (floats + 15) & ~size_t(15);
}

} // namespace

// The arena a response's state takes: the head's history and sum, the input ring,
// each level's buffers.
static size_t stateFloats(const Convolver::Response& r);

Convolver::Convolver(std::shared_ptr<const Response> response, uint32_t maxFrames)
    : mResponse(std::move(response)), mMaxFrames(maxFrames), mArena(nullptr, fftwf_free) {
    if (!mResponse)
        throw std::invalid_argument("Convolver: no response");
    if (maxFrames < 1 || maxFrames > kMaxFrames)
        throw std::invalid_argument("Convolver: frame count out of range");
    mArenaFloats = stateFloats(*mResponse);
    mArena = allocFloats(mArenaFloats);
    mLevels.reserve(mResponse->levels.size());
    bind(*mResponse);
}

Convolver::Convolver(const std::vector<const Response*>& fits, uint32_t maxFrames)
    : mMaxFrames(maxFrames), mArena(nullptr, fftwf_free) {
    if (fits.empty())
        throw std::invalid_argument("Convolver: no response");
    if (maxFrames < 1 || maxFrames > kMaxFrames)
        throw std::invalid_argument("Convolver: frame count out of range");
    size_t levels = 0;
    for (const Response* r : fits) {
        if (!r)
            throw std::invalid_argument("Convolver: no response");
        mArenaFloats = std::max(mArenaFloats, stateFloats(*r));
        levels = std::max(levels, r->levels.size());
    }
    mArena = allocFloats(mArenaFloats);
    mLevels.reserve(levels);
    bind(*fits.front());
}

bool Convolver::rebind(const Response* response) {
    if (!response || response->levels.size() > mLevels.capacity() ||
        stateFloats(*response) > mArenaFloats)
        return false;
    bind(*response);
    return true;
}

void Convolver::bind(const Response& shared) {
    mBound = &shared;
    mLength = shared.length;
    mHead = shared.head;
    mHeadTaps = shared.headTaps;
    mHeadIr = shared.headIr.get();
    mRate = shared.rate;
    float* next = mArena.get();
    auto take = [&next](size_t floats) {
        float* p = next;
        next += lines(floats);
        return p;
    };
    mHeadHist = take(mHeadTaps - 1 + mHead);
    mHeadAcc = take(mHead);
    mLevels.clear(); // within the room reserved: nothing is allocated
    for (const Response::Level& form : shared.levels) {
        Level level(form);
        const size_t n = 2 * size_t(level.L);
        level.delay = take(level.parts * level.spectrumFloats());
        level.acc = take(level.spectrumFloats());
        level.bins = take(n + 2);
        level.frame = take(n);
        level.out = take(level.outFloats());
        mLevels.push_back(level);
    }
    mRingMask = 0;
    mRing = nullptr;
    if (!mLevels.empty()) {
        const uint32_t largest = mLevels.back().L;
        mRingMask = static_cast<uint32_t>(nextPowerOfTwo(3 * uint64_t(largest) + mHead) - 1);
        mRing = take(size_t(mRingMask) + 1);
    }
    reset();
}

static size_t stateFloats(const Convolver::Response& r) {
    size_t floats = lines(r.headTaps - 1 + r.head) + lines(r.head);
    for (const LevelForm& level : r.levels) {
        const size_t n = 2 * size_t(level.L);
        floats += lines(level.parts * level.spectrumFloats()) + lines(level.spectrumFloats()) +
                  lines(n + 2) + lines(n) + lines((level.synchronous ? 1 : 2) * n);
    }
    if (!r.levels.empty())
        floats += lines(nextPowerOfTwo(3 * uint64_t(r.levels.back().L) + r.head));
    return floats;
}

Convolver::~Convolver() = default;

void Convolver::reset() {
    mPos = 0;
    std::fill_n(mHeadHist, mHeadTaps - 1 + mHead, 0.0f);
    if (mRing)
        std::fill_n(mRing, size_t(mRingMask) + 1, 0.0f);
    for (Level& level : mLevels) {
        const size_t n = 2 * size_t(level.L);
        std::fill_n(level.delay, level.parts * level.spectrumFloats(), 0.0f);
        std::fill_n(level.out, level.synchronous ? n : 2 * n, 0.0f);
        level.block = 0;
        level.step = 0;
    }
    mCredit = 0;
}

// The head's share of a chunk of n inputs (already in mHeadHist after the taps - 1
// past ones): acc[i] = sum_j reversed[j] hist[i + j], j up, vectorised across i.
void Convolver::runHead(uint32_t n, float* acc) {
    kHeadKernel(mHeadIr, mHeadTaps, mHeadHist, acc, n);
}

// Copies the 2L inputs before the current position into the level's frame.
static void readFrame(const float* ring, uint32_t mask, uint64_t end, float* frame, size_t n) {
    const size_t start = static_cast<size_t>((end - n) & mask);
    const size_t first = std::min(n, size_t(mask) + 1 - start);
    std::memcpy(frame, ring + start, first * sizeof(float));
    std::memcpy(frame + first, ring, (n - first) * sizeof(float));
}

void Convolver::Level::transform(uint64_t slot) {
    fftwf_execute_dft_r2c(forward, frame, reinterpret_cast<fftwf_complex*>(bins));
    kToRows(bins, L, row, delay + slot * spectrumFloats());
}

void Convolver::Level::multiplyParts(uint64_t m, uint32_t from, uint32_t to) {
    const uint32_t slot = static_cast<uint32_t>((m + parts - from) % parts);
    kProductsKernel(acc, delay, ir, row, L, parts, slot, from, to, from == 0);
}

void Convolver::Level::transformBack(float* y) {
    kFromRows(acc, L, row, bins);
    fftwf_execute_dft_c2r(inverse, reinterpret_cast<fftwf_complex*>(bins), y);
}

// The first level, as a block of mHead inputs completes at mPos.
void Convolver::runFirstLevel() {
    Level& level = mLevels.front();
    const uint64_t m = mPos / level.L - 1;
    readFrame(mRing, mRingMask, mPos, level.frame, 2 * size_t(level.L));
    level.transform(m % level.parts);
    level.multiplyParts(m, 0, level.parts);
    level.transformBack(level.out);
}

// One spread step of a later level's pending block m: the forward FFT of its frame,
// a group of partition products, or the inverse FFT into the half of `out` that is
// read from (m + 2) L on.
void Convolver::runStep(Level& level) {
    const uint64_t m = level.block;
    const size_t n = 2 * size_t(level.L);
    if (level.step == 0) {
        readFrame(mRing, mRingMask, (m + 1) * level.L, level.frame, n);
        level.transform(m % level.parts);
    } else if (level.step + 1 < level.steps) {
        const uint32_t from = (level.step - 1) * level.group;
        level.multiplyParts(m, from, std::min(level.parts, from + level.group));
    } else {
        level.transformBack(level.out + (m & 1) * n);
    }
    mCredit -= level.stepCost();
    if (++level.step == level.steps) {
        level.step = 0;
        ++level.block;
    }
}

// The spread levels' steps for a chunk of n inputs ending at `end`: while the credit
// (earned at the estimated average rate of their work) lasts, the released step with
// the earliest deadline; then whatever cannot wait: a level runs steps until no more
// remain than chunks end before its deadline (a chunk ends at every multiple of
// mHead), so that every block is done by its deadline.
void Convolver::runSteps(uint64_t end, uint32_t n) {
    mCredit = std::min(mCredit + mRate * n, mRate * mHead);
    while (mCredit > 0) {
        Level* first = nullptr;
        for (size_t l = 1; l < mLevels.size(); ++l) {
            Level& level = mLevels[l];
            if (level.released() <= end && (!first || level.deadline() < first->deadline()))
                first = &level;
        }
        if (!first)
            break;
        runStep(*first);
    }
    for (size_t l = 1; l < mLevels.size(); ++l) {
        Level& level = mLevels[l];
        while (level.released() <= end &&
               level.steps - level.step > (level.deadline() - end + mHead - 1) / mHead)
            runStep(level);
    }
}

void Convolver::process(const float* in, float* out, uint32_t frames) {
    float* hist = mHeadHist;
    float* acc = mHeadAcc;
    const uint32_t past = mHeadTaps - 1;
    uint32_t done = 0;
    while (done < frames) {
        // Chunks never cross a multiple of mHead (nor so of any partition size).
        const uint32_t n = std::min(frames - done, mHead - static_cast<uint32_t>(mPos % mHead));
        std::memcpy(hist + past, in + done, n * sizeof(float));
        if (mRing) {
            const size_t at = static_cast<size_t>(mPos & mRingMask);
            const size_t first = std::min<size_t>(n, size_t(mRingMask) + 1 - at);
            std::memcpy(mRing + at, in + done, first * sizeof(float));
            std::memcpy(mRing, in + done + first, (n - first) * sizeof(float));
        }
        runHead(n, acc);
        for (const Level& level : mLevels) {
            const size_t n2 = 2 * size_t(level.L);
            const float* y = level.out + level.L + mPos % level.L;
            if (!level.synchronous)
                y += ((mPos / level.L) & 1) * n2;
            for (uint32_t i = 0; i < n; ++i)
                acc[i] += y[i];
        }
        std::memcpy(out + done, acc, n * sizeof(float));
        std::memmove(hist, hist + n, past * sizeof(float));

        // The FFT work this input allows, after the output was read: a spread level's
        // block m may be done within the chunk that completes it, whose output came
        // from the half of `out` that m fills.
        mPos += n;
        done += n;
        runSteps(mPos, n);
        if (!mLevels.empty() && mPos % mHead == 0)
            runFirstLevel();
    }
}
