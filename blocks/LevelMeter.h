// A level meter for a player's eyes: the peak of a block of channels, held for a
// while and then falling, and the RMS over a sliding time, both in dBFS. Plain
// arithmetic on raw blocks: it allocates nothing, so the audio thread may run it.
#pragma once

#include <cstdint>

class LevelMeter {
  public:
    // Setup thread: the rate (Hz) and the ballistics; clears the reading.
    void reset(double rate, double holdSeconds, double fallDbPerSecond, double rmsSeconds,
               float floorDb);
    // Audio thread: takes in `frames` samples of each of `channels` blocks (a null
    // block is skipped); non-finite samples read as full scale.
    void process(const float* const* blocks, uint32_t channels, uint32_t frames);
    // Audio thread: the reading after the last process(), dBFS, at least the floor.
    float peakDb() const;
    float rmsDb() const;

  private:
    double mRate = 48000.0;
    double mHoldFrames = 0.0, mFallPerFrame = 0.0; // dB a frame once the hold is over
    double mRmsCoefficient = 0.0;                  // one-pole smoothing of the mean square
    float mFloorDb = -90.0f;
    double mPeakDb = -90.0, mHeldFrames = 0.0;
    double mMeanSquare = 0.0;
};
