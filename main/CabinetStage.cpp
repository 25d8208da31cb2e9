#include "main/CabinetStage.h"

#include "blocks/LinearFade.h"

#include <algorithm>
#include <cstring>

CabinetStage::CabinetStage(double rate, uint32_t maxFrames)
    : mDry(maxFrames), mWet(maxFrames), mFadeLength(fade::samplesFor(rate)), mFadePos(mFadeLength) {
    mRetired.reserve(kRetiredRoom);
}

CabinetStage::~CabinetStage() = default;

bool CabinetStage::offer(std::unique_ptr<Convolver>& next, bool fade) {
    if (!canOffer())
        return false;
    if (!next && !mCurrent)
        return true; // nothing plays and nothing is asked for
    if (next && next->maxFrames() < mDry.size())
        return false; // could not take our pieces
    if (!fade) {
        if (mCurrent)
            mRetired.push_back(std::move(mCurrent)); // room checked above
        mCurrent = std::move(next);
        return true;
    }
    mIncoming = std::move(next);
    mFadePos = 0;
    return true;
}

bool CabinetStage::install(std::unique_ptr<Convolver>& next) {
    if (next && next->maxFrames() < mDry.size())
        return false;
    mCurrent = std::move(next);
    mIncoming.reset();
    mFadePos = mFadeLength;
    if (mCurrent)
        mCurrent->reset();
    return true;
}

void CabinetStage::process(float* io, uint32_t frames) {
    frames = std::min<uint32_t>(frames, static_cast<uint32_t>(mDry.size()));
    if (!fading()) {
        if (mCurrent)
            mCurrent->process(io, io, frames);
        return;
    }
    // Both sounds of the same input, the outgoing one in place, the incoming one
    // beside it, then mixed.
    std::memcpy(mDry.data(), io, frames * sizeof(float));
    if (mCurrent)
        mCurrent->process(io, io, frames);
    float* wet = mWet.data();
    if (mIncoming)
        mIncoming->process(mDry.data(), wet, frames);
    else
        std::memcpy(wet, mDry.data(), frames * sizeof(float));
    const int32_t n = std::min<int32_t>(static_cast<int32_t>(frames), mFadeLength - mFadePos);
    fade::crossfade(io, wet, n, mFadePos, mFadeLength);
    std::memcpy(io, wet, static_cast<size_t>(n) * sizeof(float));
    // Past the fade's end the incoming sound alone.
    if (static_cast<uint32_t>(n) < frames)
        std::memcpy(io + n, wet + n, (frames - static_cast<uint32_t>(n)) * sizeof(float));
    mFadePos += n;
    if (!fading()) {
        if (mCurrent)
            mRetired.push_back(std::move(mCurrent)); // room checked by offer()
        mCurrent = std::move(mIncoming);
    }
}

std::unique_ptr<Convolver> CabinetStage::takeRetired() {
    if (mRetired.empty())
        return nullptr;
    std::unique_ptr<Convolver> oldest = std::move(mRetired.front());
    mRetired.erase(mRetired.begin()); // moves pointers only: no allocation
    return oldest;
}

void CabinetStage::reset() {
    if (mCurrent)
        mCurrent->reset();
    if (mIncoming)
        mIncoming->reset();
}
