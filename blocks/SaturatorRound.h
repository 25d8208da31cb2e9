// One channel of a saturator run a few samples at a time, for a cascade that hands
// it the samples one of its sections puts out and feeds what comes back to the next
// section (blocks/IirCascade). The arithmetic is the block's own (SaturatorCurve.h):
// a run of four samples is one group of the block's loop, shorter runs go sample by
// sample as the end of its chunks do, so a buffer run through in fours from its
// start gives the samples QrSaturator::processReplacing gives.
#pragma once

#include "blocks/SaturatorCurve.h"

#include <cstdint>
#include <cstring>

class QrSaturator;

// What the lanes keep of a saturator when they stop mid-block (see CascadeCarry): the
// state at the point they will replay from, and the state they left it in. Owned by
// the saturator, which forgets it when its controls or its state change.
struct SaturatorKept {
    const void* wave = nullptr; // the kept wavefront; null: nothing kept
    double u = 0.0, x1 = 0.0, y1 = 0.0;
    double endU = 0.0, endX1 = 0.0, endY1 = 0.0;
    static constexpr int kLanes = 4; // the most lanes a cascade gives its saturators
    float pending[4 * kLanes] = {};  // outputs not yet handed on, by the step they are for
    uint32_t waiting = 0;            // bit k: pending[k] is one
    int32_t origin = 0;              // where the next block's step 0 falls in pending
    float lanes[kLanes][12] = {};    // the states of the lanes that hand them on
};

// Where one channel of a saturator keeps what the lanes need (QrSaturator::link).
struct SaturatorLink {
    QrSaturator* block = nullptr; // runs whole buffers
    const SaturatorStage* stage = nullptr;
    bool cut = false;     // the DC cut is on
    bool soft = false;    // the soft curve is blended in
    double* u = nullptr;  // the previous sample's u
    double* x1 = nullptr; // the DC cut's previous input
    double* y1 = nullptr; // and output
    SaturatorKept* kept = nullptr;
};

// The running state of one saturator, in locals of whoever runs it. Audio thread.
class SaturatorRound {
  public:
    // Starts from the saturator's state (or, resuming, from what the lanes kept).
    [[gnu::always_inline]] void start(const SaturatorLink& l, bool resume) {
        link = l;
        st = *l.stage;
        pole2 = st.pole * st.pole;
        pole3 = pole2 * st.pole;
        pole4 = pole2 * pole2;
        if (resume)
            load(l.kept->u, l.kept->x1, l.kept->y1);
        else
            load(*l.u, *l.x1, *l.y1);
    }
    // Whether the lanes may resume from what they kept with `wave`.
    static bool resumable(const SaturatorLink& l, const void* wave) {
        const SaturatorKept& k = *l.kept;
        return k.wave == wave && same(*l.u, k.endU) && same(*l.x1, k.endX1) && same(*l.y1, k.endY1);
    }
    // Remembers the state here as the one to replay from with `wave` (null: none).
    void keepAt(const void* wave) {
        SaturatorKept& k = *link.kept;
        k.wave = wave;
        k.u = u0;
        k.x1 = x1;
        k.y1 = y1;
    }
    // Hands the state back to the saturator, noting it as the one the kept lanes left.
    void finish() {
        *link.u = u0;
        *link.x1 = x1;
        *link.y1 = y1;
        SaturatorKept& k = *link.kept;
        k.endU = u0;
        k.endX1 = x1;
        k.endY1 = y1;
    }

    // x[0..n) through the saturator, in place: n == 4 as one group, else sample by
    // sample.
    [[gnu::always_inline]] void run(float* x, int32_t n) {
        if (n == 4) {
            F4 v;
            std::memcpy(&v, x, sizeof v);
            v = four(v);
            std::memcpy(x, &v, sizeof v);
        } else {
            few(x, n);
        }
    }
    // Four samples as one group, in a vector.
    typedef float F4 __attribute__((vector_size(16)));
    [[gnu::always_inline]] F4 run4(F4 x) { return four(x); }

  private:
    typedef double D4 __attribute__((vector_size(32)));
    typedef int64_t I4 __attribute__((vector_size(32)));

    static bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

    void load(double u, double dcIn, double dcOut) {
        u0 = u;
        x1 = dcIn;
        y1 = dcOut;
        if (link.soft)
            saturator::shapeAt<true>(st.shape, u0, F0, f0);
        else
            saturator::shapeAt<false>(st.shape, u0, F0, f0);
    }

    // The curve on four u at once: the scalar shapeAt's operations, lane by lane.
    [[gnu::always_inline]] void shape4(D4 u, D4& F, D4& f) const {
        const SaturatorShape& s = st.shape;
        const I4 signBit = I4{} + static_cast<int64_t>(0x8000000000000000ull);
        const D4 a = (D4)((I4)u & ~signBit);
        const D4 top = D4{} + s.top;
        const D4 c = top < a ? top : a;
        const D4 e = c - s.k;
        const D4 d = 0.5 * (e + (D4)((I4)e & ~signBit));
        const D4 d2 = d * d;
        F = 0.5 * c * c - d2 * d * s.inv12 + (a - c);
        const D4 fMag = c - d2 * s.inv4;
        f = (D4)(((I4)fMag & ~signBit) | ((I4)u & signBit));
        if (link.soft) {
            const D4 softTop = D4{} + saturator::kSoftTop;
            const D4 m = softTop < a ? softTop : a;
            const D4 m2 = m * m;
            F = s.hard * F + s.soft * (0.5 * m2 - saturator::kQuartic * m2 * m2 + (a - m));
            const D4 sMag = m - saturator::kCube * m2 * m;
            f = s.hard * f + s.soft * (D4)(((I4)sMag & ~signBit) | ((I4)u & signBit));
        }
    }

    [[gnu::always_inline]] F4 four(F4 in) {
        const D4 u = st.pre * __builtin_convertvector(in, D4) + st.bias;
        D4 F, f;
        shape4(u, F, f);
        const D4 uBefore = __builtin_shufflevector(D4{} + u0, u, 0, 4, 5, 6);
        const D4 FBefore = __builtin_shufflevector(D4{} + F0, F, 0, 4, 5, 6);
        const D4 fBefore = __builtin_shufflevector(D4{} + f0, f, 0, 4, 5, 6);
        const D4 step = u - uBefore;
        const D4 mean = (F - FBefore) / step;
        const D4 ends = 0.5 * (fBefore + f);
        const I4 signBit = I4{} + static_cast<int64_t>(0x8000000000000000ull);
        const D4 size = (D4)((I4)step & ~signBit);
        D4 y = (size > D4{} + saturator::kMinStep ? mean : ends) - st.offset;
        if (link.cut) {
            // The block's grouped one-pole recurrence (QrSaturator.cpp), operation for
            // operation, in the vector: v = the input differences, w[j] = v[j] + p
            // w[j - 1] lane after lane, h = w + (p, p^2, p^3, p^4) y1 (w[0] = v[0]).
            const D4 pole = D4{} + st.pole;
            const D4 v = y - __builtin_shufflevector(D4{} + x1, y, 0, 4, 5, 6);
            D4 w = v;
            const I4 lane = {0, 1, 2, 3};
            for (int64_t j = 1; j < 4; ++j) {
                const D4 carried = v + pole * __builtin_shufflevector(w, w, 0, 0, 1, 2);
                w = lane == I4{} + j ? carried : w;
            }
            const D4 powers = {st.pole, pole2, pole3, pole4};
            x1 = y[3];
            y = w + powers * y1;
            y1 = y[3];
        } else {
            x1 = y1 = y[3];
        }
        u0 = u[3];
        F0 = F[3];
        f0 = f[3];
        return __builtin_convertvector(st.post * y, F4);
    }

    void few(float* x, int32_t n) {
        double y = 0.0;
        for (int32_t i = 0; i < n; ++i) {
            const double u = st.pre * static_cast<double>(x[i]) + st.bias;
            double F, f;
            if (link.soft)
                saturator::shapeAt<true>(st.shape, u, F, f);
            else
                saturator::shapeAt<false>(st.shape, u, F, f);
            const double step = u - u0;
            const double mean = (F - F0) / step;
            const double ends = 0.5 * (f0 + f);
            y = (std::fabs(step) > saturator::kMinStep ? mean : ends) - st.offset;
            if (link.cut) {
                const double h = y - x1 + st.pole * y1;
                x1 = y;
                y1 = h;
                y = h;
            }
            x[i] = static_cast<float>(st.post * y);
            u0 = u;
            F0 = F;
            f0 = f;
        }
        if (!link.cut && n > 0)
            x1 = y1 = y;
    }

    SaturatorLink link;
    SaturatorStage st;
    double pole2 = 0.0, pole3 = 0.0, pole4 = 0.0;
    double u0 = 0.0, F0 = 0.0, f0 = 0.0; // the previous sample's u, F(u), f(u)
    double x1 = 0.0, y1 = 0.0;           // the DC cut's previous input and output
};
