// An equaliser voiced at one rate, re-voiced to run at another and sound the same
// in the band both rates carry.
//
// Every section is 0.5 (direct x + shelved A x) around an allpass A, so its
// magnitude follows A's phase alone. revoice() maps that allpass so that the
// frequencies where its phase turns a quarter (a shelf's corner; a peak's two band
// edges, which also fix its centre) fall on the same hertz at the new rate. Between
// and beyond those points the two rates' warping differs: worstDifference() says
// by how much, so that a caller keeps an equaliser at its own rate where the
// difference would be heard.
//
// Both functions compute on the stack and allocate nothing: any thread.
#pragma once

#include "blocks/FilterParams.h"

namespace RateMatch {

// How far a twin (below) may sound from its filter, and up to where.
constexpr double kMaxDifferenceDb = 0.1;
constexpr double kVoicedBelowHz = 12000.0;

// Where the differences below are looked at from, Hz.
constexpr double kLowestHz = 20.0;

// Writes into `to` the allpass coefficients (b0 b1 b2 a1 a2) that make `to`, run at
// `toRate`, turn where `from` turns at `fromRate` (both Hz); `to`'s other fields
// are left alone. False, `to` untouched, when `from` is not one of the two
// allpass forms the equaliser makes or a turning point lies at or beyond `toRate`'s
// Nyquist. An allpass that never turns (all-pass gain 1) is copied as it is.
bool revoice(const FilterParams& from, double fromRate, double toRate, FilterParams& to);

// The difference between the magnitude responses of `a` at `rateA` and `b` at
// `rateB` at `hz`, in dB (positive: `a` louder), with `a`'s passes, shelf sign and
// gain control `k` (0..1) for both. Post gain is left out: it is the same number at
// either rate.
double difference(const FilterParams& a, double rateA, const FilterParams& b, double rateB,
                  double hz, float k);

// The largest difference() from kLowestHz up to `limitHz` (held below both
// Nyquists), on a grid of kGridPoints log-spaced frequencies.
constexpr int kGridPoints = 96;
double worstDifference(const FilterParams& a, double rateA, const FilterParams& b, double rateB,
                       double limitHz, float k);

// One filter of a chain and its twin, for chainDifference().
struct Voicing {
    const FilterParams* source;
    double sourceRate;
    const FilterParams* twin;
    double rate;
    float k;    // the gain control both are heard with
    float kEnd; // another one the filter may be set to (k itself: none)
};
// The largest difference between a chain of filters and the chain of their twins
// (their differences in dB summed frequency by frequency), on worstDifference()'s
// grid up to `limitHz`, with each filter at `k` and, where it differs, at `kEnd`,
// in every combination (up to kMaxEnds filters with two; more, or a chain longer
// than kMaxChain: HUGE_VAL).
constexpr int kMaxChain = 64;
constexpr int kMaxEnds = 4;
double chainDifference(const Voicing* chain, int count, double limitHz);

// A filter's twin at another rate, kept in step with it on the audio thread.
class RateTwin {
  public:
    // Brings the twin in step with `source` (set for `sourceRate`) at `rate` (Hz):
    // the controls that change live (gain, passes, post gain, shelf sign) copied;
    // the allpass re-voiced, and the twin's history cleared, when the source's
    // coefficients or the rates differ from the last voicing. Allocates nothing.
    void follow(const FilterParams& source, float sourceRate, float rate) {
        followControls(source);
        mRevoiced = stale(source, sourceRate, rate);
        if (mRevoiced)
            voice(source, sourceRate, rate);
    }
    // Whether `source`'s coefficients or the rates differ from the last voicing.
    bool stale(const FilterParams& source, float sourceRate, float rate) const {
        return !(source.b0 == mFrom[0] && source.b1 == mFrom[1] && source.b2 == mFrom[2] &&
                 source.a1 == mFrom[3] && source.a2 == mFrom[4] && sourceRate == mSourceRate &&
                 rate == mRate);
    }
    // The controls that change live, copied from `source`.
    void followControls(const FilterParams& source) {
        mParams.order = source.order;
        mParams.highShelf = source.highShelf;
        mParams.passes = source.passes;
        mParams.k = source.k;
        mParams.postGain = source.postGain;
    }
    // Whether the last voicing succeeded (revoice()).
    bool voiced() const { return mVoiced; }
    // Whether the last follow() re-voiced the twin.
    bool revoiced() const { return mRevoiced; }
    FilterParams& params() { return mParams; }
    const FilterParams& params() const { return mParams; }
    void clearState();

  private:
    void voice(const FilterParams& source, float sourceRate, float rate);

    FilterParams mParams;
    float mFrom[5] = {};                    // the source's b0 b1 b2 a1 a2 when voiced
    float mSourceRate = 0.0f, mRate = 0.0f; // Hz, when voiced
    bool mVoiced = false;
    bool mRevoiced = false;
};

} // namespace RateMatch
