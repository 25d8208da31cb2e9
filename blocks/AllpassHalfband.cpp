#include "blocks/AllpassHalfband.h"

#include "blocks/CpuFeatures.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace {

// The coefficients of the elliptic halfband of order 2 count + 1 whose transition
// band is `transition` wide (a fraction of the higher rate). Its selectivity is
// k = tan^2(wp / 2) with wp the passband edge in radians (the stopband edge being
// pi - wp); the allpass poles follow from the zeros of the elliptic rational
// function, sqrt(k) sn(.), evaluated through the theta series of the nome q.
std::vector<double> ellipticCoefficients(int count, double transition) {
    const int order = 2 * count + 1;
    const double t = std::tan((1.0 - 2.0 * transition) * M_PI / 4.0);
    const double k = t * t;
    const double rootKp = std::sqrt(std::sqrt(1.0 - k * k));
    const double e = 0.5 * (1.0 - rootKp) / (1.0 + rootKp);
    const double q = e + 2 * std::pow(e, 5) + 15 * std::pow(e, 9) + 150 * std::pow(e, 13);
    std::vector<double> a(static_cast<size_t>(count));
    for (int i = 1; i <= count; ++i) {
        const double u = M_PI * i / order;
        double num = 0.0, den = 0.0;
        for (int m = 0; m < 32; ++m) {
            const double term = std::pow(q, m * (m + 1.0)) * std::sin((2 * m + 1) * u);
            num += m % 2 ? -term : term;
            if (std::fabs(term) < 1e-20)
                break;
        }
        for (int m = 1; m < 32; ++m) {
            const double term = std::pow(q, double(m) * m) * std::cos(2 * m * u);
            den += m % 2 ? -term : term;
            if (std::fabs(term) < 1e-20)
                break;
        }
        const double w = 2.0 * std::pow(q, 0.25) * num / (1.0 + 2.0 * den);
        const double ww = w * w;
        const double x = std::sqrt((1.0 - ww * k) * (1.0 - ww / k)) / (1.0 + ww);
        a[static_cast<size_t>(i - 1)] = (1.0 - x) / (1.0 + x);
    }
    std::sort(a.begin(), a.end());
    return a;
}

typedef float Float2 __attribute__((vector_size(8)));

// `v` with its lanes picked: lane i of the result is lane I (then J) of `v`. GCC and
// clang spell the same shuffle differently.
template <int I, int J> inline __attribute__((always_inline)) Float2 pick(Float2 v) {
#if defined(__clang__)
    return __builtin_shufflevector(v, v, I, J);
#else
    typedef int Lanes __attribute__((vector_size(8)));
    return __builtin_shuffle(v, Lanes{I, J});
#endif
}

inline Float2 load2(const float* p) {
    Float2 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store2(float* p, Float2 v) {
    std::memcpy(p, &v, sizeof v);
}

// The two chains side by side, A0 in lane 0 and A1 in lane 1, section k of each in
// a[k]. s[0] holds the chains' last inputs, s[k + 1] section k's last outputs (the
// next section's last inputs). Copied into locals for a block so that they stay in
// registers; each lane does the scalar steps, in their order, in every build.
template <int K> struct Chains {
    static constexpr Float2 kFloor = {1e-20f, 1e-20f}; // -400 dBFS
    Float2 a[K], s[K + 1];

    Chains(const float* coefficients, const float* state) {
        for (int k = 0; k < K; ++k)
            a[k] = load2(coefficients + 2 * k);
        for (int k = 0; k <= K; ++k)
            s[k] = load2(state + 2 * k);
    }
    void save(float* state) const {
        for (int k = 0; k <= K; ++k)
            store2(state + 2 * k, s[k]);
    }
    // One sample through both chains: lane 0 A0's output, lane 1 A1's. The input
    // carries kFloor, a constant far below hearing that the chains pass as it is:
    // without it, silence after a sound leaves the sections cycling through
    // subnormal numbers (slow on many processors) for as long as it lasts, wherever
    // the host does not flush them to zero.
    inline __attribute__((always_inline)) Float2 step(Float2 x) { return run(x + kFloor); }
    // The same with the floor already in `x`.
    inline __attribute__((always_inline)) Float2 run(Float2 x) {
#pragma GCC unroll 16
        for (int k = 0; k < K; ++k) {
            const Float2 y = a[k] * (x - s[k + 1]) + s[k];
            s[k] = x;
            x = y;
        }
        s[K] = x;
        return x;
    }
};

template <int K>
inline __attribute__((always_inline)) void upBody(const float* a, float* state, const float* in,
                                                  int n, float* out) {
    Chains<K> c(a, state);
#pragma GCC unroll 2
    for (int i = 0; i < n; ++i)
        store2(out + 2 * i, c.step(Float2{in[i], in[i]}));
    c.save(state);
}

// Phase 0: A1's output of the odd input is held for the next output (state[2 K + 2]).
template <int K>
inline __attribute__((always_inline)) void downBody0(const float* a, float* state, const float* in,
                                                     int n, float* out) {
    Chains<K> c(a, state);
    float held = state[2 * K + 2];
#pragma GCC unroll 2
    for (int i = 0; i < n; ++i) {
        const Float2 y = c.step(load2(in + 2 * i));
        out[i] = 0.5f * (y[0] + held);
        held = y[1];
    }
    state[2 * K + 2] = held;
    c.save(state);
}

template <int K>
inline __attribute__((always_inline)) void downBody1(const float* a, float* state, const float* in,
                                                     int n, float* out) {
    Chains<K> c(a, state);
#pragma GCC unroll 2
    for (int i = 0; i < n; ++i) {
        const Float2 y = c.step(Float2{in[2 * i + 1], in[2 * i]});
        out[i] = 0.5f * (y[0] + y[1]);
    }
    c.save(state);
}

// The baseline (SSE2) builds and, where the processor has it, AVX2 builds of the
// same loops (the three-operand forms save the register copies; no fused
// multiply-adds, so the same bits).
template <int K> void up(const float* a, float* s, const float* in, int n, float* out) {
    upBody<K>(a, s, in, n, out);
}
template <int K> void down0(const float* a, float* s, const float* in, int n, float* out) {
    downBody0<K>(a, s, in, n, out);
}
template <int K> void down1(const float* a, float* s, const float* in, int n, float* out) {
    downBody1<K>(a, s, in, n, out);
}
#if QUORLE_X86_DISPATCH
template <int K>
__attribute__((target("avx2"))) void upAvx2(const float* a, float* s, const float* in, int n,
                                            float* out) {
    upBody<K>(a, s, in, n, out);
}
template <int K>
__attribute__((target("avx2"))) void down0Avx2(const float* a, float* s, const float* in, int n,
                                               float* out) {
    downBody0<K>(a, s, in, n, out);
}
template <int K>
__attribute__((target("avx2"))) void down1Avx2(const float* a, float* s, const float* in, int n,
                                               float* out) {
    downBody1<K>(a, s, in, n, out);
}
#endif

using Kernel = void (*)(const float*, float*, const float*, int, float*);
constexpr int kMaxSections = kMaxAllpassCoefficients / 2;

// The kernels per section count (index K - 1): up, down at phase 0, down at phase 1.
struct Kernels {
    Kernel up[kMaxSections], down0[kMaxSections], down1[kMaxSections];
};

template <size_t... I> Kernels baseline(std::index_sequence<I...>) {
    return {{up<int(I) + 1>...}, {down0<int(I) + 1>...}, {down1<int(I) + 1>...}};
}
#if QUORLE_X86_DISPATCH
template <size_t... I> Kernels avx2(std::index_sequence<I...>) {
    return {{upAvx2<int(I) + 1>...}, {down0Avx2<int(I) + 1>...}, {down1Avx2<int(I) + 1>...}};
}
#endif

// Chosen once, while the library loads (so the audio thread never meets a guarded
// first-use initialisation).
Kernels choose() {
    const auto counts = std::make_index_sequence<kMaxSections>{};
#if QUORLE_X86_DISPATCH
    if (CpuFeatures::avx2())
        return avx2(counts);
#endif
    return baseline(counts);
}
const Kernels kKernels = choose();

// The joined steps (processJoined()): the oversampler's cascade, three sections,
// then two, then one. Each step keeps its own Chains, so each lane still does the
// scalar steps in their order; what goes is the stores and loads between the steps
// and their loops' own overhead.
constexpr int kJoined[3] = {3, 2, 1};

// A decimating step inside a joined kernel: push() takes a pair of inputs in their
// order and gives the output, as downBody0 (P = 0) and downBody1 (P = 1) do. At
// phase 1 the chains run in swapped lanes (A0 in lane 1) while the block lasts, so
// the pair goes in as it is loaded; the sum still takes A0's output first.
template <int K, int P> struct DownStep {
    Chains<K> c;
    float held;

    DownStep(const float* a, const float* state) : c(a, state), held(state[2 * K + 2]) {
        if (P == 1)
            swap();
    }
    void swap() {
        for (int k = 0; k < K; ++k)
            c.a[k] = pick<1, 0>(c.a[k]);
        for (int k = 0; k <= K; ++k)
            c.s[k] = pick<1, 0>(c.s[k]);
    }
    void save(float* state) {
        if (P == 1)
            swap();
        c.save(state);
        if (P == 0)
            state[2 * K + 2] = held;
    }
    inline __attribute__((always_inline)) float push(Float2 pair) {
        const Float2 y = c.step(pair);
        if (P == 0) {
            const float o = 0.5f * (y[0] + held);
            held = y[1];
            return o;
        }
        return 0.5f * (y[1] + y[0]);
    }
};

using Joined = void (*)(const float* const*, float* const*, const float*, int, float*);

inline __attribute__((always_inline)) void up2Body(const float* const* a, float* const* s,
                                                   const float* in, int n, float* out) {
    Chains<kJoined[0]> c0(a[0], s[0]);
    Chains<kJoined[1]> c1(a[1], s[1]);
    for (int i = 0; i < n; ++i) {
        const Float2 y = c0.step(Float2{in[i], in[i]}) + Chains<1>::kFloor;
        store2(out + 4 * i, c1.run(pick<0, 0>(y)));
        store2(out + 4 * i + 2, c1.run(pick<1, 1>(y)));
    }
    c0.save(s[0]);
    c1.save(s[1]);
}

inline __attribute__((always_inline)) void up3Body(const float* const* a, float* const* s,
                                                   const float* in, int n, float* out) {
    Chains<kJoined[0]> c0(a[0], s[0]);
    Chains<kJoined[1]> c1(a[1], s[1]);
    Chains<kJoined[2]> c2(a[2], s[2]);
    for (int i = 0; i < n; ++i) {
        const Float2 y = c0.step(Float2{in[i], in[i]}) + Chains<1>::kFloor;
        float* o = out + 8 * i;
        for (int j = 0; j < 2; ++j) {
            const Float2 z = c1.run(j ? pick<1, 1>(y) : pick<0, 0>(y)) + Chains<1>::kFloor;
            store2(o + 4 * j, c2.run(pick<0, 0>(z)));
            store2(o + 4 * j + 2, c2.run(pick<1, 1>(z)));
        }
    }
    c0.save(s[0]);
    c1.save(s[1]);
    c2.save(s[2]);
}

// Bit k of B: step k's decimator phase.
template <int B>
inline __attribute__((always_inline)) void down2Body(const float* const* a, float* const* s,
                                                     const float* in, int n, float* out) {
    DownStep<kJoined[0], B & 1> d0(a[0], s[0]);
    DownStep<kJoined[1], (B >> 1) & 1> d1(a[1], s[1]);
    for (int i = 0; i < n; ++i) {
        const float o0 = d1.push(load2(in + 4 * i));
        const float o1 = d1.push(load2(in + 4 * i + 2));
        out[i] = d0.push(Float2{o0, o1});
    }
    d0.save(s[0]);
    d1.save(s[1]);
}

template <int B>
inline __attribute__((always_inline)) void down3Body(const float* const* a, float* const* s,
                                                     const float* in, int n, float* out) {
    DownStep<kJoined[0], B & 1> d0(a[0], s[0]);
    DownStep<kJoined[1], (B >> 1) & 1> d1(a[1], s[1]);
    DownStep<kJoined[2], (B >> 2) & 1> d2(a[2], s[2]);
    for (int i = 0; i < n; ++i) {
        const float* x = in + 8 * i;
        float o[2];
#pragma GCC unroll 2
        for (int j = 0; j < 2; ++j) {
            const float p0 = d2.push(load2(x + 4 * j));
            const float p1 = d2.push(load2(x + 4 * j + 2));
            o[j] = d1.push(Float2{p0, p1});
        }
        out[i] = d0.push(Float2{o[0], o[1]});
    }
    d0.save(s[0]);
    d1.save(s[1]);
    d2.save(s[2]);
}

void up2(const float* const* a, float* const* s, const float* in, int n, float* out) {
    up2Body(a, s, in, n, out);
}
void up3(const float* const* a, float* const* s, const float* in, int n, float* out) {
    up3Body(a, s, in, n, out);
}
template <int B>
void down2(const float* const* a, float* const* s, const float* in, int n, float* out) {
    down2Body<B>(a, s, in, n, out);
}
template <int B>
void down3(const float* const* a, float* const* s, const float* in, int n, float* out) {
    down3Body<B>(a, s, in, n, out);
}
#if QUORLE_X86_DISPATCH
__attribute__((target("avx2"))) void up2Avx2(const float* const* a, float* const* s,
                                             const float* in, int n, float* out) {
    up2Body(a, s, in, n, out);
}
__attribute__((target("avx2"))) void up3Avx2(const float* const* a, float* const* s,
                                             const float* in, int n, float* out) {
    up3Body(a, s, in, n, out);
}
template <int B>
__attribute__((target("avx2"))) void down2Avx2(const float* const* a, float* const* s,
                                               const float* in, int n, float* out) {
    down2Body<B>(a, s, in, n, out);
}
template <int B>
__attribute__((target("avx2"))) void down3Avx2(const float* const* a, float* const* s,
                                               const float* in, int n, float* out) {
    down3Body<B>(a, s, in, n, out);
}
#endif

// Per step count (index count - 2); the decimators per phase bits.
struct JoinedKernels {
    Joined up[2], down2[4], down3[8];
};

JoinedKernels chooseJoined() {
#if QUORLE_X86_DISPATCH
    if (CpuFeatures::avx2())
        return {{up2Avx2, up3Avx2},
                {down2Avx2<0>, down2Avx2<1>, down2Avx2<2>, down2Avx2<3>},
                {down3Avx2<0>, down3Avx2<1>, down3Avx2<2>, down3Avx2<3>, down3Avx2<4>, down3Avx2<5>,
                 down3Avx2<6>, down3Avx2<7>}};
#endif
    return {{up2, up3},
            {down2<0>, down2<1>, down2<2>, down2<3>},
            {down3<0>, down3<1>, down3<2>, down3<3>, down3<4>, down3<5>, down3<6>, down3<7>}};
}
const JoinedKernels kJoinedKernels = chooseJoined();

// Section k of A0 and of A1 side by side, as floats: the sorted order itself.
int sections(const std::vector<double>& coefficients, float* out) {
    const size_t count = coefficients.size();
    if (count < 2 || count > kMaxAllpassCoefficients || count % 2)
        throw std::invalid_argument("allpass halfband: an even count of 2 to 16 coefficients");
    for (size_t i = 0; i < count; ++i)
        out[i] = static_cast<float>(coefficients[i]);
    return static_cast<int>(count / 2);
}

} // namespace

std::vector<double> designAllpassHalfband(double rejectionDb, double transition) {
    if (!(transition > 0.0 && transition < 0.5))
        throw std::invalid_argument("allpass halfband: a transition between 0 and 0.5");
    for (int count = 2; count <= kMaxAllpassCoefficients; count += 2) {
        std::vector<double> a = ellipticCoefficients(count, transition);
        if (allpassHalfbandRejectionDb(a, transition) >= rejectionDb)
            return a;
    }
    throw std::invalid_argument("allpass halfband: the rejection needs over 16 coefficients");
}

double allpassHalfbandGainDb(const std::vector<double>& coefficients, double frequency) {
    const std::complex<double> z1 = std::polar(1.0, -2.0 * M_PI * frequency); // z^-1
    const std::complex<double> z2 = z1 * z1;
    std::complex<double> chain[2] = {1.0, z1};
    for (size_t i = 0; i < coefficients.size(); ++i)
        chain[i % 2] *= (coefficients[i] + z2) / (1.0 + coefficients[i] * z2);
    return 20.0 * std::log10(std::abs(0.5 * (chain[0] + chain[1])) + 1e-300);
}

double allpassHalfbandRejectionDb(const std::vector<double>& coefficients, double transition) {
    const double from = 0.25 + 0.5 * transition;
    constexpr int kPoints = 2048;
    double worst = -1e300;
    for (int i = 0; i <= kPoints; ++i)
        worst =
            std::max(worst, allpassHalfbandGainDb(coefficients, from + (0.5 - from) * i / kPoints));
    return -worst;
}

double allpassHalfbandDelay(const std::vector<double>& coefficients) {
    // A section in z^2 delays 2 (1 - a) / (1 + a) samples at 0 Hz; A1 one more. Both
    // chains agree in phase at 0 Hz, so the sum's delay is their mean.
    double delay[2] = {0.0, 1.0};
    for (size_t i = 0; i < coefficients.size(); ++i)
        delay[i % 2] += 2.0 * (1.0 - coefficients[i]) / (1.0 + coefficients[i]);
    return 0.5 * (delay[0] + delay[1]);
}

AllpassHalfbandUp::AllpassHalfbandUp(const std::vector<double>& coefficients) {
    mSections = sections(coefficients, mCoefficients);
    mKernel = kKernels.up[mSections - 1];
}

void AllpassHalfbandUp::process(const float* in, int n, float* out) {
    mKernel(mCoefficients, mState, in, n, out);
}

void AllpassHalfbandUp::reset() {
    std::fill(std::begin(mState), std::end(mState), 0.0f);
}

AllpassHalfbandDown::AllpassHalfbandDown(const std::vector<double>& coefficients) {
    mSections = sections(coefficients, mCoefficients);
    mKernel[0] = kKernels.down0[mSections - 1];
    mKernel[1] = kKernels.down1[mSections - 1];
}

void AllpassHalfbandDown::process(const float* in, int n, float* out) {
    mKernel[mPhase](mCoefficients, mState, in, n, out);
}

void AllpassHalfbandDown::reset() {
    std::fill(std::begin(mState), std::end(mState), 0.0f);
}

void AllpassHalfbandDown::setPhase(int phase) {
    mPhase = phase ? 1 : 0;
    reset();
}

bool processJoined(AllpassHalfbandUp* steps, int count, const float* in, int n, float* out) {
    if (count < 2 || count > 3)
        return false;
    const float* a[3];
    float* s[3];
    for (int k = 0; k < count; ++k) {
        if (steps[k].mSections != kJoined[k])
            return false;
        a[k] = steps[k].mCoefficients;
        s[k] = steps[k].mState;
    }
    kJoinedKernels.up[count - 2](a, s, in, n, out);
    return true;
}

bool processJoined(AllpassHalfbandDown* steps, int count, const float* in, int n, float* out) {
    if (count < 2 || count > 3)
        return false;
    const float* a[3];
    float* s[3];
    int phases = 0;
    for (int k = 0; k < count; ++k) {
        if (steps[k].mSections != kJoined[k])
            return false;
        a[k] = steps[k].mCoefficients;
        s[k] = steps[k].mState;
        phases |= steps[k].mPhase << k;
    }
    (count == 2 ? kJoinedKernels.down2 : kJoinedKernels.down3)[phases](a, s, in, n, out);
    return true;
}
