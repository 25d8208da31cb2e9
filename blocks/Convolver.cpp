#include "blocks/Convolver.h"

#include <fftw3.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <type_traits>

// One level of FFT partitions of L taps each, covering taps [offset, offset + parts L)
// of the response. Overlap-save with FFTs of 2L points: the spectrum of the input
// frame [(m - 1) L, (m + 1) L) goes into a ring of the last `parts` input spectra
// (the frequency-domain delay line); the sum over partitions p of spectrum(m - p)
// times the spectrum of partition p, transformed back, gives in its last L points the
// level's share of out[m L + offset + i], i in [0, L).
namespace {
// Destroys an FFTW plan (through the planner, so under its process-wide lock).
struct PlanDeleter {
    void operator()(fftwf_plan plan) const { fftwf_destroy_plan(plan); }
};
using PlanPtr = std::unique_ptr<std::remove_pointer_t<fftwf_plan>, PlanDeleter>;
} // namespace

struct Convolver::Level {
    uint32_t L = 0;
    size_t offset = 0;
    uint32_t parts = 0;
    size_t spectrumFloats = 0; // one spectrum's stride in floats (L + 1 bins, padded)
    bool synchronous = false;  // computed as its block completes (offset L), else spread
    uint32_t group = 1;        // partition products per spread step
    uint32_t steps = 0;        // spread steps per block: forward, products, inverse

    PlanPtr forward, inverse;
    BufferPtr ir{nullptr, fftwf_free};    // partition spectra, scaled by 1 / 2L
    BufferPtr delay{nullptr, fftwf_free}; // input spectra, block m in slot m % parts
    BufferPtr acc{nullptr, fftwf_free};   // the sum of products of one block
    BufferPtr frame{nullptr, fftwf_free}; // 2L inputs for the forward FFT
    BufferPtr out{nullptr, fftwf_free};   // inverse FFT results: 1 (synchronous) or 2 of 2L

    // Spread levels: the block whose steps are pending and the next step. Block m
    // is released when it is complete, at (m + 1) L, and due by (m + 2) L.
    uint64_t block = 0;
    uint32_t step = 0;
    double fftCost = 0, productCost = 0; // estimated cost of a step, in FFT point-passes

    float* spectrum(float* base, uint64_t index) const { return base + index * spectrumFloats; }
    const float* spectrum(const float* base, uint64_t index) const {
        return base + index * spectrumFloats;
    }
    uint32_t productSteps() const { return (parts + group - 1) / group; }
    uint64_t released() const { return (block + 1) * L; }
    uint64_t deadline() const { return (block + 2) * L; }
    double stepCost() const { return step == 0 || step + 1 == steps ? fftCost : productCost; }
    // Products of partitions [from, to) with the input spectra of block m into acc.
    void multiplyParts(uint64_t m, uint32_t from, uint32_t to);
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

// Partition products, acc (=|+=) x * h over `floats` interleaved complex values.
void multiply(float* acc, const float* x, const float* h, size_t floats) {
    for (size_t k = 0; k < floats; k += 2) {
        const float xr = x[k], xi = x[k + 1], hr = h[k], hi = h[k + 1];
        acc[k] = xr * hr - xi * hi;
        acc[k + 1] = xr * hi + xi * hr;
    }
}
void multiplyAdd(float* acc, const float* x, const float* h, size_t floats) {
    for (size_t k = 0; k < floats; k += 2) {
        const float xr = x[k], xi = x[k + 1], hr = h[k], hi = h[k + 1];
        acc[k] += xr * hr - xi * hi;
        acc[k + 1] += xr * hi + xi * hr;
    }
}

constexpr uint64_t nextPowerOfTwo(uint64_t n) {
    uint64_t p = 1;
    while (p < n)
        p <<= 1;
    return p;
}

} // namespace

Convolver::Convolver(const float* ir, size_t length, uint32_t maxFrames)
    : mLength(length), mMaxFrames(maxFrames), mHeadIr(nullptr, fftwf_free),
      mHeadHist(nullptr, fftwf_free), mHeadAcc(nullptr, fftwf_free), mRing(nullptr, fftwf_free) {
    if (!ir)
        throw std::invalid_argument("Convolver: no response");
    if (length < 1 || length > kMaxLength)
        throw std::invalid_argument("Convolver: response length out of range");
    if (maxFrames < 1 || maxFrames > kMaxFrames)
        throw std::invalid_argument("Convolver: frame count out of range");

    mHeadTaps = static_cast<uint32_t>(std::min<size_t>(length, kHead));
    mHeadIr = allocFloats(mHeadTaps);
    for (uint32_t j = 0; j < mHeadTaps; ++j)
        mHeadIr.get()[j] = ir[mHeadTaps - 1 - j];
    mHeadHist = allocFloats(mHeadTaps - 1 + kHead);
    mHeadAcc = allocFloats(kHead);

    // The levels: kHead (synchronous, taps [kHead, 8 kHead)), then 4 kHead, 16 kHead,
    // ... each from twice its partition size to twice the next one's, the largest
    // to the end.
    size_t offset = kHead;
    for (uint32_t L = kHead; offset < length; L = std::min(4 * L, kMaxPartition)) {
        Level level;
        level.L = L;
        level.offset = offset;
        level.synchronous = L == kHead;
        const uint32_t nextL = std::min(4 * L, kMaxPartition);
        const size_t end =
            L == kMaxPartition ? length : std::min<size_t>(length, 2 * size_t(nextL));
        level.parts = static_cast<uint32_t>((end - offset + L - 1) / L);
        level.spectrumFloats = (2 * (size_t(L) + 1) + 15) / 16 * 16;
        mLevels.push_back(std::move(level));
        offset = end;
    }
    if (!mLevels.empty()) {
        const uint32_t largest = mLevels.back().L;
        mRingMask = static_cast<uint32_t>(nextPowerOfTwo(3 * uint64_t(largest) + kHead) - 1);
        mRing = allocFloats(size_t(mRingMask) + 1);
    }

    for (Level& level : mLevels) {
        const size_t n = 2 * size_t(level.L);
        level.ir = allocFloats(level.parts * level.spectrumFloats);
        level.delay = allocFloats(level.parts * level.spectrumFloats);
        level.acc = allocFloats(level.spectrumFloats);
        level.frame = allocFloats(n);
        level.out = allocFloats(level.synchronous ? n : 2 * n);
        {
            makePlannerThreadSafe();
            auto* spectrum = reinterpret_cast<fftwf_complex*>(level.delay.get());
            level.forward.reset(fftwf_plan_dft_r2c_1d(static_cast<int>(n), level.frame.get(),
                                                      spectrum, FFTW_ESTIMATE));
            level.inverse.reset(fftwf_plan_dft_c2r_1d(
                static_cast<int>(n), reinterpret_cast<fftwf_complex*>(level.acc.get()),
                level.out.get(), FFTW_ESTIMATE));
            if (!level.forward || !level.inverse)
                throw std::bad_alloc();
        }
        // Partition spectra, scaled so that the unnormalised inverse gives the sum.
        const float scale = 1.0f / static_cast<float>(n);
        for (uint32_t p = 0; p < level.parts; ++p) {
            float* frame = level.frame.get();
            std::fill_n(frame, n, 0.0f);
            const size_t from = level.offset + size_t(p) * level.L;
            const size_t count = std::min<size_t>(level.L, length - from);
            for (size_t k = 0; k < count; ++k)
                frame[k] = ir[from + k] * scale;
            fftwf_execute_dft_r2c(
                level.forward.get(), frame,
                reinterpret_cast<fftwf_complex*>(level.spectrum(level.ir.get(), p)));
        }
        // Cost estimates: an FFT of n points n log2 n, a partition product about 5
        // per bin (measured: 20 us for an FFT of 16384 points, 3.8 us for 8193 bins).
        // About as many products per step as cost one FFT.
        uint32_t log2n = 0;
        while ((size_t(1) << log2n) < n)
            ++log2n;
        level.fftCost = double(n) * log2n;
        const double perPart = 5.0 * (level.L + 1);
        level.group = std::max<uint32_t>(1, static_cast<uint32_t>(level.fftCost / perPart));
        level.steps = 2 + level.productSteps();
        level.productCost = perPart * std::min(level.group, level.parts);
        if (!level.synchronous)
            mRate += (2 * level.fftCost + perPart * level.parts) / level.L;
    }
    mRate *= 1.25; // runs ahead of the average, the deadlines force little
    reset();
}

Convolver::~Convolver() = default;

void Convolver::reset() {
    mPos = 0;
    std::fill_n(mHeadHist.get(), mHeadTaps - 1 + kHead, 0.0f);
    if (mRing)
        std::fill_n(mRing.get(), size_t(mRingMask) + 1, 0.0f);
    for (Level& level : mLevels) {
        const size_t n = 2 * size_t(level.L);
        std::fill_n(level.delay.get(), level.parts * level.spectrumFloats, 0.0f);
        std::fill_n(level.out.get(), level.synchronous ? n : 2 * n, 0.0f);
        level.block = 0;
        level.step = 0;
    }
    mCredit = 0;
}

// The head's share of a chunk of n inputs (already in mHeadHist after the taps - 1
// past ones): acc[i] = sum_j reversed[j] hist[i + j], j up, vectorised across i.
void Convolver::runHead(uint32_t n, float* acc) {
    const float* taps = mHeadIr.get();
    const float* hist = mHeadHist.get();
    std::fill_n(acc, n, 0.0f);
    for (uint32_t j = 0; j < mHeadTaps; ++j) {
        const float g = taps[j];
        const float* x = hist + j;
        for (uint32_t i = 0; i < n; ++i)
            acc[i] += g * x[i];
    }
}

// Copies the 2L inputs before the current position into the level's frame.
static void readFrame(const float* ring, uint32_t mask, uint64_t end, float* frame, size_t n) {
    const size_t start = static_cast<size_t>((end - n) & mask);
    const size_t first = std::min(n, size_t(mask) + 1 - start);
    std::memcpy(frame, ring + start, first * sizeof(float));
    std::memcpy(frame + first, ring, (n - first) * sizeof(float));
}

void Convolver::Level::multiplyParts(uint64_t m, uint32_t from, uint32_t to) {
    const size_t bins = 2 * (size_t(L) + 1);
    for (uint32_t p = from; p < to; ++p) {
        const float* x = spectrum(delay.get(), (m + parts - p) % parts);
        const float* h = spectrum(ir.get(), p);
        if (p == 0)
            multiply(acc.get(), x, h, bins);
        else
            multiplyAdd(acc.get(), x, h, bins);
    }
}

// The first level, as a block of kHead inputs completes at mPos.
void Convolver::runFirstLevel() {
    Level& level = mLevels.front();
    const uint64_t m = mPos / level.L - 1;
    readFrame(mRing.get(), mRingMask, mPos, level.frame.get(), 2 * size_t(level.L));
    fftwf_execute_dft_r2c(
        level.forward.get(), level.frame.get(),
        reinterpret_cast<fftwf_complex*>(level.spectrum(level.delay.get(), m % level.parts)));
    level.multiplyParts(m, 0, level.parts);
    fftwf_execute_dft_c2r(level.inverse.get(), reinterpret_cast<fftwf_complex*>(level.acc.get()),
                          level.out.get());
}

// One spread step of a later level's pending block m: the forward FFT of its frame,
// a group of partition products, or the inverse FFT into the half of `out` that is
// read from (m + 2) L on.
void Convolver::runStep(Level& level) {
    const uint64_t m = level.block;
    const size_t n = 2 * size_t(level.L);
    if (level.step == 0) {
        readFrame(mRing.get(), mRingMask, (m + 1) * level.L, level.frame.get(), n);
        fftwf_execute_dft_r2c(
            level.forward.get(), level.frame.get(),
            reinterpret_cast<fftwf_complex*>(level.spectrum(level.delay.get(), m % level.parts)));
    } else if (level.step + 1 < level.steps) {
        const uint32_t from = (level.step - 1) * level.group;
        level.multiplyParts(m, from, std::min(level.parts, from + level.group));
    } else {
        fftwf_execute_dft_c2r(level.inverse.get(),
                              reinterpret_cast<fftwf_complex*>(level.acc.get()),
                              level.out.get() + (m & 1) * n);
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
// kHead), so that every block is done by its deadline.
void Convolver::runSteps(uint64_t end, uint32_t n) {
    mCredit = std::min(mCredit + mRate * n, mRate * kHead);
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
               level.steps - level.step > (level.deadline() - end + kHead - 1) / kHead)
            runStep(level);
    }
}

void Convolver::process(const float* in, float* out, uint32_t frames) {
    float* hist = mHeadHist.get();
    float* acc = mHeadAcc.get();
    const uint32_t past = mHeadTaps - 1;
    uint32_t done = 0;
    while (done < frames) {
        // Chunks never cross a multiple of kHead (nor so of any partition size).
        const uint32_t n = std::min(frames - done, kHead - static_cast<uint32_t>(mPos % kHead));
        std::memcpy(hist + past, in + done, n * sizeof(float));
        if (mRing) {
            const size_t at = static_cast<size_t>(mPos & mRingMask);
            const size_t first = std::min<size_t>(n, size_t(mRingMask) + 1 - at);
            std::memcpy(mRing.get() + at, in + done, first * sizeof(float));
            std::memcpy(mRing.get(), in + done + first, (n - first) * sizeof(float));
        }
        runHead(n, acc);
        for (const Level& level : mLevels) {
            const size_t n2 = 2 * size_t(level.L);
            const float* y = level.out.get() + level.L + mPos % level.L;
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
        if (!mLevels.empty() && mPos % kHead == 0)
            runFirstLevel();
    }
}
