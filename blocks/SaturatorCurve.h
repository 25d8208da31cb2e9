// The saturator's curve and the arithmetic of one channel, shared by the block's own
// loop (QrSaturator) and by the cascades that run it between two of their sections
// (SaturatorRound, IirCascade). Every path performs the same double-precision
// operations in the same order, so they give the same samples.
#pragma once

#include <cmath>

// The curve's constants for one knee and softness.
struct SaturatorShape {
    double k;     // knee, 0..0.95
    double top;   // 2 - k: where the curve reaches +-1
    double inv4;  // 1 / (4 (1 - k))
    double inv12; // 1 / (12 (1 - k))
    double soft;  // weight of the soft curve, 0..1
    double hard;  // 1 - soft: weight of the knee curve
};

// Everything one block of one channel runs on besides its state.
struct SaturatorStage {
    SaturatorShape shape;
    double pre;    // linear pre-gain
    double bias;   // added after the pre-gain
    double offset; // f(bias)
    double post;   // linear post-gain
    double pole;   // the DC cut's one-pole coefficient
};

namespace saturator {

// Below this step of u from one sample to the next (|u[n] - u[n-1]|) the output is
// the mean of the curve at the step's two ends, (f(u[n-1]) + f(u[n])) / 2, instead of
// the antiderivative quotient. Both sides of the switch agree far below float
// resolution (6e-8 on a +-1 output):
// - the quotient divides a difference of two doubles of size |F| <= max(u^2/2, |u|)
//   with a rounding error of about 2.2e-16 |F|; at a step of 1e-5 that is 2.2e-11 |F|,
//   under 2.2e-8 even for |u| = 1000 (40 dB of pre-gain on a signal at +20 dBFS);
// - the mean at the ends misses the mean of f over the step by at most max|f''|
//   step^2 / 12 = step^2 / (24 (1 - k)), 8e-11 at a step of 1e-5 and the hardest knee
//   (and the curve at the midpoint by at most step^2 / (32 (1 - k)), 6e-11); the soft
//   curve's |f''| is at most 4/3, which keeps it under 1.2e-11.
constexpr double kMinStep = 1e-5;

// Where the soft curve reaches +-1 and stays.
constexpr double kSoftTop = 1.5;
constexpr double kCube = 4.0 / 27.0, kQuartic = 1.0 / 27.0;

// The curve f at u and its antiderivative F, written without branches (min and max
// of the clamped magnitude) so that loops over samples vectorise. With
//   c = min(|u|, top), d = max(c - k, 0)
// c is |u| held to the flat part's start and d how far into the knee c reaches.
//
// The knee curve: f(u) = sign(u) (c - d^2 / (4 (1 - k))). Its antiderivative
// F(u) = c^2 / 2 - d^3 / (12 (1 - k)) + (|u| - c): u^2 / 2 on the linear part, then
// u^2 / 2 - (|u| - k)^3 / (12 (1 - k)) through the knee, then rising by |u| - top from
// F(top) on the flat part. Even; continuous at both joints. A NaN passes through, so
// that whoever watches the output sees it.
//
// The soft curve, with m = min(|u|, 1.5): f(u) = sign(u) (m - 4 m^3 / 27), a cubic
// that bends from the first millivolt and meets +-1 at |u| = 1.5 with zero slope, so
// its harmonics grow steadily with the level (the third as the square of it) where
// the knee curve has none up to the knee. F(u) = m^2 / 2 - m^4 / 27 + (|u| - m). A
// polynomial, as cheap as the knee curve.
//
// The block's curve is hard x (knee curve) + soft x (soft curve), and so is its F.
template <bool kSoft> inline void shapeAt(const SaturatorShape& s, double u, double& F, double& f) {
    const double a = std::fabs(u);
    const double c = s.top < a ? s.top : a; // a NaN stays
    const double e = c - s.k;
    const double d = 0.5 * (e + std::fabs(e)); // max(e, 0), exactly
    const double d2 = d * d;
    F = 0.5 * c * c - d2 * d * s.inv12 + (a - c);
    f = std::copysign(c - d2 * s.inv4, u);
    if constexpr (kSoft) {
        const double m = kSoftTop < a ? kSoftTop : a; // a NaN stays
        const double m2 = m * m;
        F = s.hard * F + s.soft * (0.5 * m2 - kQuartic * m2 * m2 + (a - m));
        f = s.hard * f + s.soft * std::copysign(m - kCube * m2 * m, u);
    }
}

} // namespace saturator
