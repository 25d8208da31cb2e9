#include "blocks/Oversampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace {

// Side coefficients and Kaiser shapes per step. The first step passes up to 0.45
// of the base rate and stops from 0.55 (about 95 dB down); the later ones only have
// to stop what lies beyond 1.5 (then 3.5) times the base rate (about 100 dB).
constexpr int kTaps[3] = {32, 8, 6};
constexpr double kBeta[3] = {9.5, 10.06, 10.06};

} // namespace

Oversampler::Oversampler(double baseRate, int maxFrames)
    : mBaseRate(baseRate), mMaxFrames(maxFrames) {
    if (!(baseRate > 0.0) || !std::isfinite(baseRate) || maxFrames < 1 ||
        maxFrames > std::numeric_limits<int>::max() / kMaxFactor)
        throw std::invalid_argument("Oversampler: a positive rate and 1+ frames");
    mUp.reserve(3);
    mDown.reserve(3);
    for (int k = 0; k < 3; ++k) {
        const std::vector<float> side = designHalfband(kTaps[k], kBeta[k]);
        mUp.emplace_back(side, maxFrames << k);
        mDown.emplace_back(side, maxFrames << k);
    }
    for (std::vector<float>& b : mBetween)
        b.assign(static_cast<size_t>(maxFrames) * 4, 0.0f);
}

int Oversampler::choosePhases(int count, int& latency) {
    // Step k delays by 2 (2m - 1) - phase samples of its higher rate, base x 2^(k+1).
    const int top = 1 << count;
    for (int pick = 0; pick < top; ++pick) {
        int total = 0; // samples of the top rate
        for (int k = 0; k < count; ++k)
            total += (2 * (2 * kTaps[k] - 1) - ((pick >> k) & 1)) * (top >> (k + 1));
        if (total % top == 0) {
            latency = total / top;
            return pick;
        }
    }
    latency = 0; // no cascade of these lengths comes here: one pick always fits
    return 0;
}

int Oversampler::latencyFor(int factor) {
    int latency = 0;
    if (isValidFactor(factor))
        choosePhases(stages(factor), latency);
    return latency;
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
    int latency = 0;
    const int phases = choosePhases(count, latency);
    for (int k = 0; k < count; ++k)
        mDown[static_cast<size_t>(k)].setPhase((phases >> k) & 1);
    reset();
    return true;
}

void Oversampler::reset() {
    for (HalfbandUp& up : mUp)
        up.reset();
    for (HalfbandDown& down : mDown)
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
        } else {
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
        } else {
            for (int k = count - 1; k >= 0; --k) {
                float* to = k == 0 ? out + done : mBetween[k % 2].data();
                mDown[static_cast<size_t>(k)].process(src, len << k, to);
                src = to;
            }
        }
        done += len;
    }
}
