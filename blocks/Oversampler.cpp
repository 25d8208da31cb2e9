#include "blocks/Oversampler.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace {

constexpr int kSteps = 3;

// Each step's rejection over its stopband (dB) and transition band (a fraction of
// its higher rate): the first passes to 0.41 of the base rate and stops from 0.59;
// the second passes to 0.5 and stops from 1.5 at four times the base rate; the
// third passes to 0.5 and stops from 3.5 at eight times.
constexpr double kRejectionDb[kSteps] = {88.0, 88.0, 88.0};
constexpr double kTransition[kSteps] = {0.09, 0.25, 0.375};

// The round trip's alignment is judged up to this fraction of the base rate.
constexpr double kAlignedTo = 0.2;

// The steps' designs and, per number of steps, the decimator phases and the delays.
struct Cascade {
    std::vector<double> coefficients[kSteps];
    int phases[kSteps + 1] = {};   // bit k: step k's decimator phase
    double delay[kSteps + 1] = {}; // base-rate samples at 0 Hz
    int latency[kSteps + 1] = {};  // the whole number nearest it
};

// The round trip through `count` steps at `f` (a fraction of the base rate) with
// decimator phases `pick`: each step's halfband twice, at its higher rate, a phase-1
// decimator one higher-rate sample earlier.
std::complex<double> roundTrip(const Cascade& c, int count, int pick, double f) {
    std::complex<double> h = 1.0;
    for (int k = 0; k < count; ++k) {
        const double at = f / (2 << k);
        const std::vector<double>& a = c.coefficients[k];
        const std::complex<double> z1 = std::polar(1.0, -2.0 * M_PI * at), z2 = z1 * z1;
        std::complex<double> chain[2] = {1.0, z1};
        for (size_t i = 0; i < a.size(); ++i)
            chain[i % 2] *= (a[i] + z2) / (1.0 + a[i] * z2);
        const std::complex<double> step = 0.5 * (chain[0] + chain[1]);
        h *= step * step * std::polar(1.0, 2.0 * M_PI * at * ((pick >> k) & 1));
    }
    return h;
}

// For each number of steps, the phases whose round trip stays nearest, up to
// kAlignedTo, to a delay of the whole number of samples nearest its delay at 0 Hz.
Cascade design() {
    Cascade c;
    for (int k = 0; k < kSteps; ++k)
        c.coefficients[k] = designAllpassHalfband(kRejectionDb[k], kTransition[k]);
    for (int count = 1; count <= kSteps; ++count) {
        double best = std::numeric_limits<double>::infinity();
        for (int pick = 0; pick < (1 << count); ++pick) {
            double delay = 0.0;
            for (int k = 0; k < count; ++k)
                delay +=
                    (2.0 * allpassHalfbandDelay(c.coefficients[k]) - ((pick >> k) & 1)) / (2 << k);
            const int latency = static_cast<int>(std::lround(delay));
            double worst = 0.0; // radians
            for (int i = 1; i <= 64; ++i) {
                const double f = kAlignedTo * i / 64;
                const std::complex<double> aligned =
                    roundTrip(c, count, pick, f) * std::polar(1.0, 2.0 * M_PI * f * latency);
                worst = std::max(worst, std::fabs(std::arg(aligned)));
            }
            if (worst < best) {
                best = worst;
                c.phases[count] = pick;
                c.delay[count] = delay;
                c.latency[count] = latency;
            }
        }
    }
    return c;
}

// Designed while the library loads, so the audio thread never meets a guarded
// first-use initialisation.
const Cascade kCascade = design();

} // namespace

Oversampler::Oversampler(double baseRate, int maxFrames)
    : mBaseRate(baseRate), mMaxFrames(maxFrames) {
    if (!(baseRate > 0.0) || !std::isfinite(baseRate) || maxFrames < 1 ||
        maxFrames > std::numeric_limits<int>::max() / kMaxFactor)
        throw std::invalid_argument("Oversampler: a positive rate and 1+ frames");
    mUp.reserve(kSteps);
    mDown.reserve(kSteps);
    for (int k = 0; k < kSteps; ++k) {
        mUp.emplace_back(kCascade.coefficients[k]);
        mDown.emplace_back(kCascade.coefficients[k]);
    }
    for (std::vector<float>& b : mBetween)
        b.assign(static_cast<size_t>(maxFrames) * 4, 0.0f);
}

int Oversampler::latencyFor(int factor) {
    return isValidFactor(factor) ? kCascade.latency[stages(factor)] : 0;
}

double Oversampler::delayFor(int factor) {
    return isValidFactor(factor) ? kCascade.delay[stages(factor)] : 0.0;
}

bool Oversampler::isValidFactor(long factor) {
    return factor == 1 || factor == 2 || factor == 4 || factor == 8;
}

int Oversampler::stages(int factor) {
    return factor == 8 ? 3 : factor == 4 ? 2 : factor == 2 ? 1 : 0;
}

bool Oversampler::setFactor(int factor) {
    if (!isValidFactor(factor))
        return false;
    mFactor = factor;
    const int count = stages(factor);
    for (int k = 0; k < count; ++k)
        mDown[static_cast<size_t>(k)].setPhase((kCascade.phases[count] >> k) & 1);
    reset();
    return true;
}

void Oversampler::reset() {
    for (AllpassHalfbandUp& up : mUp)
        up.reset();
    for (AllpassHalfbandDown& down : mDown)
        down.reset();
}

void Oversampler::upsample(const float* in, int n, float* out) {
    const int count = stages(mFactor);
    for (int done = 0; done < n;) {
        const int len = std::min(mMaxFrames, n - done);
        float* dst = out + static_cast<size_t>(done) * mFactor;
        if (count == 0) {
            if (dst != in + done)
                std::memmove(dst, in + done, sizeof(float) * static_cast<size_t>(len));
        } else if (!processJoined(mUp.data(), count, in + done, len, dst)) {
            const float* from = in + done;
            for (int k = 0; k < count; ++k) {
                float* to = k == count - 1 ? dst : mBetween[k % 2].data();
                mUp[static_cast<size_t>(k)].process(from, len << k, to);
                from = to;
            }
        }
        done += len;
    }
}

void Oversampler::downsample(const float* in, float* out, int n) {
    const int count = stages(mFactor);
    for (int done = 0; done < n;) {
        const int len = std::min(mMaxFrames, n - done);
        const float* src = in + static_cast<size_t>(done) * mFactor;
        if (count == 0) {
            if (out + done != src)
                std::memmove(out + done, src, sizeof(float) * static_cast<size_t>(len));
        } else if (!processJoined(mDown.data(), count, src, len, out + done)) {
            for (int k = count - 1; k >= 0; --k) {
                float* to = k == 0 ? out + done : mBetween[k % 2].data();
                mDown[static_cast<size_t>(k)].process(src, len << k, to);
                src = to;
            }
        }
        done += len;
    }
}
