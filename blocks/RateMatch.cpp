#include "blocks/RateMatch.h"

#include "blocks/FilterParams.h"
#include "blocks/ParamCalculator.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>

namespace {
constexpr double kPi = 3.14159265358979323846;

struct Allpass {
    double b0, b1, b2, a1, a2;
};

Allpass allpassOf(const FilterParams& f) {
    return {f.b0, f.b1, f.b2, f.a1, f.a2};
}

// A at `w` radians per sample.
std::complex<double> response(const Allpass& ap, double w) {
    const std::complex<double> z1 = std::polar(1.0, -w), z2 = z1 * z1;
    return (ap.b0 + ap.b1 * z1 + ap.b2 * z2) / (1.0 + ap.a1 * z1 + ap.a2 * z2);
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
    const int passes = std::clamp(a.passes, 0, FilterParams::kMaxPasses);
    double gain = ParamCalculator::GetK(k);
    if (passes == 2)
        gain = std::sqrt(gain);
    const bool flipped = a.order != 2 && a.highShelf;
    const double direct = 1.0 + gain;
    const double shelved = flipped ? gain - 1.0 : 1.0 - gain;
    const double ha = std::abs(direct + shelved * response(allpassOf(a), 2.0 * kPi * hz / rateA));
    const double hb = std::abs(direct + shelved * response(allpassOf(b), 2.0 * kPi * hz / rateB));
    const double db = 20.0 * std::log10(ha / hb) * passes;
    return std::isnan(db) ? HUGE_VAL : db;
}

double worstDifference(const FilterParams& a, double rateA, const FilterParams& b, double rateB,
                       double limitHz, float k) {
    const Voicing one{&a, rateA, &b, rateB, k};
    return chainDifference(&one, 1, limitHz);
}

double chainDifference(const Voicing* chain, int count, double limitHz) {
    double top = limitHz;
    for (int j = 0; j < count; ++j)
        top = std::min({top, 0.499 * chain[j].sourceRate, 0.499 * chain[j].rate});
    double worst = 0.0;
    for (int i = 0; i < kGridPoints && top > kLowestHz; ++i) {
        const double hz = kLowestHz * std::pow(top / kLowestHz, i / (kGridPoints - 1.0));
        double db = 0.0;
        for (int j = 0; j < count; ++j) {
            const Voicing& v = chain[j];
            db += difference(*v.source, v.sourceRate, *v.twin, v.rate, hz, v.k);
        }
        if (!(std::fabs(db) <= worst))
            worst = std::isnan(db) ? HUGE_VAL : std::fabs(db);
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