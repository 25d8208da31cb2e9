// The cabinet convolver against an exact convolution (FFTW in double precision), at
// every block pattern a host may use; its zero latency; its argument checks. Built a
// second time into the allocation-counting program (QUORLE_CONVOLVER_COUNTS_MALLOC),
// where only the test that process() allocates nothing is compiled.
#include "blocks/Convolver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

namespace {

std::vector<float> noise(size_t n, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::vector<float> x(n);
    for (float& v : x)
        v = uniform(random);
    return x;
}

// Runs n samples of x into out (x == out allowed) in calls of the sizes of `blocks`,
// repeated.
void run(Convolver& conv, const float* x, float* out, size_t n,
         const std::vector<uint32_t>& blocks) {
    size_t at = 0;
    for (size_t call = 0; at < n; ++call) {
        const uint32_t count =
            static_cast<uint32_t>(std::min<size_t>(blocks[call % blocks.size()], n - at));
        conv.process(x + at, out + at, count);
        at += count;
    }
}

} // namespace

#ifndef QUORLE_CONVOLVER_COUNTS_MALLOC

#include <fftw3.h>

#include <cmath>
#include <stdexcept>

namespace {

std::vector<float> run(Convolver& conv, const std::vector<float>& x,
                       const std::vector<uint32_t>& blocks, bool inPlace) {
    std::vector<float> out = inPlace ? x : std::vector<float>(x.size());
    run(conv, inPlace ? out.data() : x.data(), out.data(), x.size(), blocks);
    return out;
}

// The first x.size() samples of x * h, in double precision.
std::vector<double> exactConvolution(const std::vector<float>& x, const std::vector<float>& h) {
    size_t n = 1;
    while (n < x.size() + h.size())
        n <<= 1;
    std::vector<double> a(n, 0.0), b(n, 0.0);
    std::copy(x.begin(), x.end(), a.begin());
    std::copy(h.begin(), h.end(), b.begin());
    std::vector<fftw_complex> fa(n / 2 + 1), fb(n / 2 + 1);
    const int size = static_cast<int>(n);
    fftw_plan pa = fftw_plan_dft_r2c_1d(size, a.data(), fa.data(), FFTW_ESTIMATE);
    fftw_plan pb = fftw_plan_dft_r2c_1d(size, b.data(), fb.data(), FFTW_ESTIMATE);
    fftw_plan back = fftw_plan_dft_c2r_1d(size, fa.data(), a.data(), FFTW_ESTIMATE);
    fftw_execute(pa);
    fftw_execute(pb);
    for (size_t k = 0; k < fa.size(); ++k) {
        const double re = fa[k][0] * fb[k][0] - fa[k][1] * fb[k][1];
        const double im = fa[k][0] * fb[k][1] + fa[k][1] * fb[k][0];
        fa[k][0] = re / static_cast<double>(n);
        fa[k][1] = im / static_cast<double>(n);
    }
    fftw_execute(back);
    fftw_destroy_plan(pa);
    fftw_destroy_plan(pb);
    fftw_destroy_plan(back);
    a.resize(x.size());
    return a;
}

// Error energy over signal energy, in dB.
double relativeErrorDb(const std::vector<float>& out, const std::vector<double>& exact) {
    double error = 0.0, signal = 0.0;
    for (size_t i = 0; i < exact.size(); ++i) {
        error += (out[i] - exact[i]) * (out[i] - exact[i]);
        signal += exact[i] * exact[i];
    }
    return 10.0 * std::log10(error / signal);
}

// White-noise responses (every partition weighs as much as the head), a signal
// running 20000 samples past the response so that every partition of every level
// meets it, in blocks of fixed sizes and of a varying sequence (in place there);
// reset() between the patterns. The lengths meet each kind of plan: the head
// alone; a head of kHead or of 2 kHead taps, then one synchronous level; either,
// then spread levels.
TEST(Convolver, MatchesAnExactConvolutionAtAnyBlockPatternWithoutDelayAndRefusesBadArguments) {
    const std::vector<std::vector<uint32_t>> patterns = {
        {1}, {7}, {64}, {512}, {4096}, {1, 300, 17, 4096, 0, 64, 8192, 63, 129, 2000, 5}};
    for (size_t length : {1, 63, 700, 2000, 8192, 50000}) {
        const std::vector<float> ir = noise(length, 1 + static_cast<uint32_t>(length));
        const std::vector<float> x = noise(length + 20000, 7);
        const std::vector<double> exact = exactConvolution(x, ir);
        Convolver conv(ir.data(), length, Convolver::kMaxFrames);
        EXPECT_EQ(conv.length(), length);
        for (size_t p = 0; p < patterns.size(); ++p) {
            conv.reset();
            const bool inPlace = p + 1 == patterns.size();
            EXPECT_LT(relativeErrorDb(run(conv, x, patterns[p], inPlace), exact), -100.0)
                << "length " << length << ", pattern " << p;
        }
    }

    // An impulse, wherever it falls in a block, gives the response from that very
    // sample on: nothing before it, ir[0] on it (the head computes it exactly).
    const std::vector<float> ir = noise(3000, 3);
    Convolver conv(ir.data(), ir.size(), 64);
    for (size_t at : {0, 1000, 1063}) {
        conv.reset();
        std::vector<float> x(at + 6000, 0.0f);
        x[at] = 1.0f;
        const std::vector<float> out = run(conv, x, {64, 7, 64, 33}, false);
        for (size_t i = 0; i < at; ++i)
            ASSERT_EQ(out[i], 0.0f) << "at " << at << ", sample " << i;
        EXPECT_EQ(out[at], ir[0]) << "at " << at;
        double worst = 0.0;
        for (size_t i = at; i < out.size(); ++i)
            worst = std::max<double>(worst,
                                     std::fabs(out[i] - (i - at < ir.size() ? ir[i - at] : 0.0f)));
        EXPECT_LT(worst, 1e-5) << "at " << at;
    }

    const std::vector<float> flat(Convolver::kMaxLength + 1, 0.5f);
    EXPECT_THROW(Convolver(flat.data(), 0, 64), std::invalid_argument);
    EXPECT_THROW(Convolver(flat.data(), Convolver::kMaxLength + 1, 64), std::invalid_argument);
    EXPECT_THROW(Convolver(flat.data(), 100, 0), std::invalid_argument);
    EXPECT_THROW(Convolver(flat.data(), 100, Convolver::kMaxFrames + 1), std::invalid_argument);
    EXPECT_THROW(Convolver(nullptr, 100, 64), std::invalid_argument);

    // The limits themselves are taken.
    Convolver longest(flat.data(), Convolver::kMaxLength, Convolver::kMaxFrames);
    EXPECT_EQ(longest.maxFrames(), Convolver::kMaxFrames);
    std::vector<float> x(Convolver::kMaxFrames, 0.0f);
    x[0] = 1.0f;
    longest.process(x.data(), x.data(), Convolver::kMaxFrames);
    EXPECT_EQ(x[0], 0.5f);
    EXPECT_NEAR(x[Convolver::kMaxFrames - 1], 0.5f, 1e-6f);
}

// Convolvers made from one prepared response share it and nothing else: each plays
// what a convolver of its own taps plays, bit for bit, however their calls
// interleave, and the response outlives the convolvers that used it.
TEST(Convolver, ConvolversOfOneSharedResponseEachPlayTheirOwnInput) {
    for (size_t length : {40, 2000, 9000}) {
        const std::vector<float> ir = noise(length, 11 + static_cast<uint32_t>(length));
        const std::vector<float> x = noise(30000, 12), y = noise(30000, 13);
        Convolver alone(ir.data(), ir.size(), 512);
        const std::vector<float> wantX = run(alone, x, {512, 37, 1}, false);
        alone.reset();
        const std::vector<float> wantY = run(alone, y, {64}, false);

        std::shared_ptr<const Convolver::Response> response =
            Convolver::prepare(ir.data(), ir.size());
        auto a = std::make_unique<Convolver>(response, 512);
        auto b = std::make_unique<Convolver>(response, 512);
        EXPECT_EQ(a->response(), b->response());
        EXPECT_EQ(a->length(), length);
        std::vector<float> gotX(x.size()), gotY(y.size());
        // a in calls of 512, 37, 1 and b in calls of 64, one after the other.
        const std::vector<uint32_t> forA = {512, 37, 1};
        size_t atA = 0, atB = 0;
        for (size_t call = 0; atA < x.size() || atB < y.size(); ++call) {
            const uint32_t n =
                static_cast<uint32_t>(std::min<size_t>(forA[call % 3], x.size() - atA));
            a->process(x.data() + atA, gotX.data() + atA, n);
            atA += n;
            const uint32_t m = static_cast<uint32_t>(std::min<size_t>(64, y.size() - atB));
            b->process(y.data() + atB, gotY.data() + atB, m);
            atB += m;
        }
        EXPECT_EQ(gotX, wantX) << "length " << length;
        EXPECT_EQ(gotY, wantY) << "length " << length;

        a.reset();
        response.reset(); // b keeps it
        b->reset();
        EXPECT_EQ(run(*b, y, {64}, false), wantY) << "length " << length;
    }
    EXPECT_THROW(Convolver(std::shared_ptr<const Convolver::Response>(), 64),
                 std::invalid_argument);
    const std::vector<float> taps(100, 0.25f);
    EXPECT_THROW(Convolver(Convolver::prepare(taps.data(), taps.size()), 0), std::invalid_argument);
    EXPECT_THROW(Convolver::prepare(taps.data(), 0), std::invalid_argument);
    EXPECT_THROW(Convolver::prepare(nullptr, 10), std::invalid_argument);
}

// One convolver with room for several responses plays whichever it is handed, each
// from silence and bit for bit as a convolver of its own; one that does not fit is
// refused and the one playing plays on.
TEST(Convolver, OneWithRoomForSeveralPlaysEachAsItsOwn) {
    const std::vector<float> irA = noise(2758, 21), irB = noise(600, 22), irC = noise(20000, 23);
    const auto a = Convolver::prepare(irA.data(), irA.size());
    const auto b = Convolver::prepare(irB.data(), irB.size());
    const auto c = Convolver::prepare(irC.data(), irC.size());
    const std::vector<float> x = noise(12000, 24);
    auto alone = [&](const std::shared_ptr<const Convolver::Response>& r) {
        Convolver own(r, 256);
        return run(own, x, {256, 3}, false);
    };
    Convolver pooled(std::vector<const Convolver::Response*>{b.get(), a.get()}, 256);
    EXPECT_EQ(pooled.playing(), b.get());
    EXPECT_EQ(pooled.response(), nullptr);
    EXPECT_EQ(run(pooled, x, {256, 3}, false), alone(b));
    ASSERT_TRUE(pooled.rebind(a.get()));
    EXPECT_EQ(pooled.length(), irA.size());
    EXPECT_EQ(run(pooled, x, {256, 3}, false), alone(a)) << "from silence";
    ASSERT_TRUE(pooled.rebind(b.get()));
    EXPECT_EQ(run(pooled, x, {256, 3}, false), alone(b));

    EXPECT_FALSE(pooled.rebind(c.get())) << "a longer response does not fit";
    EXPECT_FALSE(pooled.rebind(nullptr));
    EXPECT_EQ(pooled.playing(), b.get());
    pooled.reset();
    EXPECT_EQ(run(pooled, x, {256, 3}, false), alone(b)) << "the one playing plays on";

    EXPECT_THROW(Convolver(std::vector<const Convolver::Response*>{}, 64), std::invalid_argument);
    EXPECT_THROW(Convolver(std::vector<const Convolver::Response*>{a.get(), nullptr}, 64),
                 std::invalid_argument);
    EXPECT_THROW(Convolver(std::vector<const Convolver::Response*>{a.get()}, 0),
                 std::invalid_argument);
}

} // namespace

#else // the allocation-counting program

#include <cerrno>
#include <cstddef>

#include <atomic>

// Every C allocation of the program is counted (FFTW allocates with malloc and
// posix_memalign; the program's operator new also ends in malloc). Exported, as the
// program builds with hidden symbols, so that the shared libraries call these.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void __libc_free(void* p);
}

namespace {
std::atomic<long> gMallocs{0};
}

#define QUORLE_EXPORT __attribute__((visibility("default")))

extern "C" {
QUORLE_EXPORT void* malloc(size_t size) noexcept {
    ++gMallocs;
    return __libc_malloc(size);
}
QUORLE_EXPORT void* calloc(size_t count, size_t size) noexcept {
    ++gMallocs;
    return __libc_calloc(count, size);
}
QUORLE_EXPORT void* realloc(void* p, size_t size) noexcept {
    ++gMallocs;
    return __libc_realloc(p, size);
}
QUORLE_EXPORT int posix_memalign(void** p, size_t alignment, size_t size) noexcept {
    ++gMallocs;
    *p = __libc_memalign(alignment, size);
    return *p ? 0 : ENOMEM;
}
QUORLE_EXPORT void* aligned_alloc(size_t alignment, size_t size) noexcept {
    ++gMallocs;
    return __libc_memalign(alignment, size);
}
QUORLE_EXPORT void* memalign(size_t alignment, size_t size) noexcept {
    ++gMallocs;
    return __libc_memalign(alignment, size);
}
QUORLE_EXPORT void free(void* p) noexcept {
    __libc_free(p);
}
}

namespace {

TEST(Realtime, TheConvolverProcessesAndResetsWithoutAllocating) {
    const std::vector<float> ir = noise(50000, 5);
    const long atStart = gMallocs;
    Convolver conv(ir.data(), ir.size(), 4096);
    const long made = gMallocs - atStart;
    EXPECT_GT(made, 10) << "construction is counted";

    const std::vector<float> x = noise(120000, 6);
    std::vector<float> out(x.size());
    const std::vector<uint32_t> varying = {1, 64, 300, 0, 4096, 17, 512}, large = {4096};
    const long before = gMallocs;
    run(conv, x.data(), out.data(), x.size(), varying);
    conv.reset();
    run(conv, out.data(), out.data(), out.size(), large);
    EXPECT_EQ(gMallocs - before, 0);

    // One made from a response made ready before allocates its state only, and then
    // plays without allocating either.
    const auto response = Convolver::prepare(ir.data(), ir.size());
    const long beforeState = gMallocs;
    Convolver sharing(response, 4096);
    const long stateAllocations = gMallocs - beforeState;
    EXPECT_GT(stateAllocations, 0);
    // Its buffers, one list: none of the FFT planner's many.
    EXPECT_LT(stateAllocations, made / 2) << "made " << made;
    const long beforeRun = gMallocs;
    run(sharing, x.data(), out.data(), x.size(), varying);
    EXPECT_EQ(gMallocs - beforeRun, 0);

    // Handed another response it has room for, it plays that without allocating.
    const std::vector<float> shorter = noise(3000, 7);
    const auto other = Convolver::prepare(shorter.data(), shorter.size());
    Convolver pooled(std::vector<const Convolver::Response*>{response.get(), other.get()}, 4096);
    const long beforeRebind = gMallocs;
    EXPECT_TRUE(pooled.rebind(other.get()));
    run(pooled, x.data(), out.data(), x.size(), varying);
    EXPECT_TRUE(pooled.rebind(response.get()));
    run(pooled, x.data(), out.data(), x.size(), large);
    EXPECT_EQ(gMallocs - beforeRebind, 0);
}

} // namespace

#endif
