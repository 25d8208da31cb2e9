#include "blocks/LevelMeter.h"

#include <algorithm>
#include <cmath>

void LevelMeter::reset(double rate, double holdSeconds, double fallDbPerSecond, double rmsSeconds,
                       float floorDb) {
    mRate = rate > 0.0 ? rate : 48000.0;
    mHoldFrames = holdSeconds * mRate;
    mFallPerFrame = fallDbPerSecond / mRate;
    // The time constant makes a step settle to within 1 dB of its mean square in
    // about `rmsSeconds`, as a meter's integration time reads.
    mRmsCoefficient = 1.0 - std::exp(-2.0 / std::max(1.0, rmsSeconds * mRate));
    mFloorDb = floorDb;
    mPeakDb = floorDb;
    mHeldFrames = 0.0;
    mMeanSquare = 0.0;
}

void LevelMeter::process(const float* const* blocks, uint32_t channels, uint32_t frames) {
    if (frames == 0)
        return;
    float peak = 0.0f;
    double meanSquare = mMeanSquare;
    const double k = mRmsCoefficient;
    for (uint32_t i = 0; i < frames; ++i) {
        double square = 0.0;
        uint32_t counted = 0;
        for (uint32_t c = 0; c < channels; ++c) {
            if (!blocks[c])
                continue;
            float x = std::fabs(blocks[c][i]);
            if (!std::isfinite(x))
                x = 1.0f;
            peak = std::max(peak, x);
            square += static_cast<double>(x) * x;
            ++counted;
        }
        if (counted)
            square /= counted;
        meanSquare += k * (square - meanSquare);
    }
    mMeanSquare = meanSquare < 1e-30 ? 0.0 : meanSquare;
    const double blockDb = peak > 0.0f ? 20.0 * std::log10(peak) : mFloorDb;
    if (blockDb >= mPeakDb) {
        mPeakDb = blockDb;
        mHeldFrames = 0.0;
    } else {
        mHeldFrames += frames;
        if (mHeldFrames > mHoldFrames)
            mPeakDb = std::max(blockDb, mPeakDb - mFallPerFrame * frames);
    }
}

float LevelMeter::peakDb() const {
    return static_cast<float>(std::max<double>(mPeakDb, mFloorDb));
}

float LevelMeter::rmsDb() const {
    const double db = mMeanSquare > 0.0 ? 10.0 * std::log10(mMeanSquare) : mFloorDb;
    return static_cast<float>(std::max<double>(db, mFloorDb));
}
