// The speaker cabinet after the drive: one convolver playing, a new one (or none)
// taking over with a crossfade of fade::kFadeMs, the one it replaces handed back to
// be freed off the audio thread. No cabinet passes the signal through untouched.
//
// Threads. The constructor runs on any thread but the audio thread; everything
// else on the audio thread, allocating nothing, taking no lock and freeing nothing
// (a replaced convolver waits in a list of fixed room until takeRetired()).
#pragma once

#include "blocks/Convolver.h"

#include <cstdint>
#include <memory>
#include <vector>

class CabinetStage {
  public:
    // Room for pieces of up to `maxFrames` frames at `rate` Hz.
    CabinetStage(double rate, uint32_t maxFrames);
    ~CabinetStage();
    CabinetStage(const CabinetStage&) = delete;
    CabinetStage& operator=(const CabinetStage&) = delete;

    // Plays `next` (null: no cabinet) after a crossfade from what plays now (at once
    // without `fade`, for a stage nothing has been heard from), taking it from the
    // caller. False, `next` untouched, while a crossfade is under way or the retired
    // list is full: offer it again after a later piece.
    bool offer(std::unique_ptr<Convolver>& next, bool fade = true);
    // Setup thread, while process() does not run: `next` (null: none) plays at once,
    // without a crossfade, the one playing and any crossfade under way are dropped.
    // False, `next` untouched, when it could not take the stage's pieces.
    bool install(std::unique_ptr<Convolver>& next);
    // Whether a cabinet plays, or is fading in.
    bool on() const { return mCurrent != nullptr || mIncoming != nullptr; }
    bool fading() const { return mFadePos < mFadeLength; }
    // Whether offer() takes a convolver made for the stage's pieces now.
    bool canOffer() const { return !fading() && mRetired.size() < kRetiredRoom; }
    // `frames` (at most maxFrames) samples in place.
    void process(float* io, uint32_t frames);
    // The oldest convolver no longer played, now the caller's (null when none).
    std::unique_ptr<Convolver> takeRetired();
    bool hasRetired() const { return !mRetired.empty(); }
    // Forgets what was heard; the cabinet stays (a crossfade under way completes).
    void reset();

  private:
    static constexpr size_t kRetiredRoom = 4;

    std::unique_ptr<Convolver> mCurrent;  // null: none
    std::unique_ptr<Convolver> mIncoming; // fading in; meaningful while fading()
    std::vector<std::unique_ptr<Convolver>> mRetired;
    std::vector<float> mDry, mWet; // the piece as it came, the incoming sound
    int32_t mFadeLength;
    int32_t mFadePos;
};
