#include "blocks/RateMatch.h"

#include "blocks/FilterParams.h"
#include "blocks/ParamCalculator.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {
constexpr double kPi = 3.14159265358979323846;

// A section's weights of its input and allpass output for gain control `k`, and its
// passes, as FilterParams::sections() makes them.
struct Weights {
    double direct, shelved;
    int passes;
};

Weights weightsOf(const FilterParams& f, float k) {
    const int passes = std::clamp(f.passes, 0, FilterParams::kMaxPasses);
    double gain = ParamCalculator::GetK(k);
    if (passes == 2)
        gain = std::sqrt(gain);
    const bool flipped = f.order != 2 && f.highShelf;
    return {1.0 + gain, flipped ? gain - 1.0 : 1.0 - gain, passes};
}

// cos and sin of w and 2w.
struct Angle {
    double c1, s1, c2, s2;
    explicit Angle(double w) : c1(std::cos(w)), s1(std::sin(w)) {
        c2 = 2.0 * c1 * c1 - 1.0;
        s2 = 2.0 * s1 * c1;
    }
};

// A = N / D of `f` at the angle `z`, as the parts of N and D (real arithmetic).
struct Parts {
    double nr, ni, dr, di;
    Parts(const FilterParams& f, const Angle& z)
        : nr(f.b0 + f.b1 * z.c1 + f.b2 * z.c2), ni(-(f.b1 * z.s1 + f.b2 * z.s2)),
          dr(1.0 + f.a1 * z.c1 + f.a2 * z.c2), di(-(f.a1 * z.s1 + f.a2 * z.s2)) {}
    // |direct + shelved A|^2 = |direct D + shelved N|^2 / |D|^2.
    double power(const Weights& w) const {
        const double hr = w.direct * dr + w.shelved * nr, hi = w.direct * di + w.shelved * ni;
        return (hr * hr + hi * hi) / (dr * dr + di * di);
    }
};

// `x` to the power `n` (0..kMaxPasses), by multiplying.
double raised(double x, int n) {
    double r = 1.0;
    for (int p = 0; p < n; ++p)
        r *= x;
    return r;
}

void store(FilterParams& to, double b0, double b1, double b2, double a1, double a2) {
    to.b0 = static_cast<float>(b0);
    to.b1 = static_cast<float>(b1);
    to.b2 = static_cast<float>(b2);
    to.a1 = static_cast<float>(a1);
    to.a2 = static_cast<float>(a2);
}

// The shelf's first-order allpass (p - z^-1) / (1 - p z^-1): Re A = 0 where
// cos w = 2p / (1 + p^2), and p = tan(pi/4 - w/2) turns there.
bool revoiceShelf(const FilterParams& from, double ratio, FilterParams& to) {
    const double p = from.b0;
    if (from.b1 != -1.0f || from.b2 != 0.0f || from.a1 != -from.b0 || from.a2 != 0.0f)
        return false;
    if (p == 1.0) {
        store(to, 1.0, -1.0, 0.0, -1.0, 0.0); // numerator = denominator: never turns
        return true;
    }
    if (!(std::fabs(p) < 1.0))
        return false;
    const double corner = std::acos(2.0 * p / (1.0 + p * p)) * ratio;
    if (!(corner < kPi))
        return false;
    const double q = std::tan(kPi / 4.0 - corner / 2.0);
    store(to, q, -1.0, 0.0, -q, 0.0);
    return true;
}

// The peak's allpass (a - b(1+a) z^-1 + z^-2) / (1 - b(1+a) z^-1 + a z^-2): its band
// edges (Re A = 0) lie bw apart, tan(bw/2) = (1-a)/(1+a), around m, cos m = b cos(bw/2).
bool revoicePeak(const FilterParams& from, double ratio, FilterParams& to) {
    const double a = from.b0;
    const double t = from.b1;
    if (from.b2 != 1.0f || from.a1 != from.b1 || from.a2 != from.b0)
        return false;
    if (a == 1.0) {
        store(to, 1.0, t, 1.0, t, 1.0); // numerator = denominator: never turns
        return true;
    }
    if (!(a > -1.0 && a < 1.0))
        return false;
    const double beta = -t / (1.0 + a);
    const double bw = 2.0 * std::atan((1.0 - a) / (1.0 + a));
    const double c = beta * std::cos(bw / 2.0);
    if (!(std::fabs(c) <= 1.0))
        return false;
    const double m = std::acos(c);
    const double low = (m - bw / 2.0) * ratio, high = (m + bw / 2.0) * ratio;
    if (!(high < kPi) || !(low > -kPi))
        return false;
    const double bwTo = high - low, mTo = (high + low) / 2.0;
    const double tanHalf = std::tan(bwTo / 2.0);
    const double aTo = (1.0 - tanHalf) / (1.0 + tanHalf);
    const double betaTo = std::cos(mTo) / std::cos(bwTo / 2.0);
    if (!(std::fabs(betaTo) <= 1.0))
        return false;
    const double tTo = -betaTo * (1.0 + aTo);
    store(to, aTo, tTo, 1.0, tTo, aTo);
    return true;
}
} // namespace

namespace RateMatch {

bool revoice(const FilterParams& from, double fromRate, double toRate, FilterParams& to) {
    if (!(fromRate > 0.0) || !(toRate > 0.0))
        return false;
    const double ratio = fromRate / toRate; // radians per sample at toRate per one at fromRate
    return from.order == 2 ? revoicePeak(from, ratio, to) : revoiceShelf(from, ratio, to);
}

double difference(const FilterParams& a, double rateA, const FilterParams& b, double rateB,
                  double hz, float k) {
    const Weights w = weightsOf(a, k);
    const double ratio = Parts(a, Angle(2.0 * kPi * hz / rateA)).power(w) /
                         Parts(b, Angle(2.0 * kPi * hz / rateB)).power(w);
    const double db = 10.0 * std::log10(raised(ratio, w.passes));
    return std::isnan(db) ? HUGE_VAL : db;
}

double worstDifference(const FilterParams& a, double rateA, const FilterParams& b, double rateB,
                       double limitHz, float k) {
    const Voicing one{&a, rateA, &b, rateB, k, k};
    return chainDifference(&one, 1, limitHz);
}

double chainDifference(const Voicing* chain, int count, double limitHz) {
    if (count > kMaxChain)
        return HUGE_VAL;
    double top = limitHz;
    Weights weights[kMaxChain], ends[kMaxChain];
    int varying[kMaxEnds];
    int nVarying = 0;
    for (int j = 0; j < count; ++j) {
        const Voicing& v = chain[j];
        top = std::min({top, 0.499 * v.sourceRate, 0.499 * v.rate});
        weights[j] = weightsOf(*v.source, v.k);
        ends[j] = weightsOf(*v.source, v.kEnd);
        if (v.kEnd == v.k)
            continue;
        if (nVarying == kMaxEnds)
            return HUGE_VAL;
        varying[nVarying++] = j;
    }
    if (!(top > kLowestHz))
        return 0.0;
    double worst = 0.0;
    const double step = std::pow(top / kLowestHz, 1.0 / (kGridPoints - 1));
    double hz = kLowestHz;
    for (int i = 0; i < kGridPoints; ++i, hz *= step) {
        // The filters whose gain stays, multiplied out; the others' ratios at both gains.
        double fixedPart = 1.0, at[kMaxEnds][2] = {};
        double lastRate[2] = {-1.0, -1.0};
        Angle angle[2] = {Angle(0.0), Angle(0.0)};
        auto angleAt = [&](int slot, double rate) -> const Angle& {
            if (rate != lastRate[slot]) {
                angle[slot] = Angle(2.0 * kPi * hz / rate);
                lastRate[slot] = rate;
            }
            return angle[slot];
        };
        for (int j = 0, e = 0; j < count; ++j) {
            const Voicing& v = chain[j];
            const Parts source(*v.source, angleAt(0, v.sourceRate)),
                twin(*v.twin, angleAt(1, v.rate));
            auto ratio = [&](const Weights& w) {
                return raised(source.power(w) / twin.power(w), w.passes);
            };
            if (e < nVarying && varying[e] == j) {
                at[e][0] = ratio(weights[j]);
                at[e][1] = ratio(ends[j]);
                ++e;
            } else {
                fixedPart *= ratio(weights[j]);
            }
        }
        for (int combo = 0; combo < (1 << nVarying); ++combo) {
            double ratio = fixedPart;
            for (int e = 0; e < nVarying; ++e)
                ratio *= at[e][(combo >> e) & 1];
            const double db = 10.0 * std::log10(ratio);
            if (!(std::fabs(db) <= worst))
                worst = std::isnan(db) ? HUGE_VAL : std::fabs(db);
        }
    }
    return worst;
}

} // namespace RateMatch

void RateMatch::RateTwin::voice(const FilterParams& source, float sourceRate, float rate) {
    mFrom[0] = source.b0;
    mFrom[1] = source.b1;
    mFrom[2] = source.b2;
    mFrom[3] = source.a1;
    mFrom[4] = source.a2;
    mSourceRate = sourceRate;
    mRate = rate;
    clearState();
    mVoiced = revoice(source, sourceRate, rate, mParams);
}

void RateMatch::RateTwin::clearState() {
    std::memset(mParams.history, 0, sizeof mParams.history);
}