// A delay of a few samples whose length glides rather than jumps: how one of
// ChannelEngine's lanes lines up with the other, whose latency differs by up to 5
// frames, for an oversampling change's crossfade, and how it comes back to no delay
// afterwards. A delay between two whole samples reads a cubic through the four
// samples around it (Catmull-Rom; linear under one sample, where the newer sample
// has not come yet); a whole-sample delay reads its sample exactly. Audio thread:
// allocates nothing.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>

class GlidingDelay {
  public:
    // The longest delay, in samples.
    static constexpr float kLongest = 8.0f;

    // Forgets every sample and sets the delay to `delay` (held within 0..kLongest).
    void reset(float delay = 0.0f) {
        std::fill(std::begin(mRing), std::end(mRing), 0.0f);
        mPos = 0;
        mDelay = std::min(std::max(delay, 0.0f), kLongest);
    }
    float delay() const { return mDelay; }

    // Keeps the last samples of `x` (`n` of them, gone out undelayed) so that a
    // glide starting after them reads them.
    void remember(const float* x, int32_t n) {
        for (int32_t i = std::max<int32_t>(0, n - kSize); i < n; ++i) {
            mRing[mPos] = x[i];
            mPos = (mPos + 1) & kMask;
        }
    }

    // Delays `n` samples of `io` in place, the delay moving toward `target`
    // (0..kLongest) by at most `rate` samples a sample.
    void process(float* io, int32_t n, float target, float rate) {
        target = std::min(std::max(target, 0.0f), kLongest);
        for (int32_t i = 0; i < n; ++i) {
            mRing[mPos] = io[i];
            mDelay =
                mDelay < target ? std::min(target, mDelay + rate) : std::max(target, mDelay - rate);
            const int32_t whole = static_cast<int32_t>(mDelay);
            const float part = mDelay - static_cast<float>(whole);
            const float nearer = mRing[(mPos - whole) & kMask];
            const float farther = mRing[(mPos - whole - 1) & kMask];
            if (part == 0.0f) {
                io[i] = nearer;
            } else if (whole == 0) {
                io[i] = nearer + part * (farther - nearer); // no newer sample yet
            } else {
                // Catmull-Rom through the four samples around the delay.
                const float newer = mRing[(mPos - whole + 1) & kMask];
                const float farthest = mRing[(mPos - whole - 2) & kMask];
                const float a = 0.5f * (farther - newer);
                const float b = newer - 2.5f * nearer + 2.0f * farther - 0.5f * farthest;
                const float c = 0.5f * (farthest - newer) + 1.5f * (nearer - farther);
                io[i] = nearer + part * (a + part * (b + part * c));
            }
            mPos = (mPos + 1) & kMask;
        }
    }

  private:
    static constexpr int32_t kSize = 16; // a power of two above kLongest + 1
    static constexpr int32_t kMask = kSize - 1;
    float mRing[kSize] = {};
    int32_t mPos = 0; // where the next sample goes
    float mDelay = 0.0f;
};
