// The linear ends of a model's graph, run at the stream's rate around its
// oversampled middle.
//
// Oversampling is there for the non-linear nodes. The equalisers before the first
// of them (with the fixed stage ahead of the graph) and after the last one see a
// signal that holds nothing above the stream's Nyquist, yet cost the factor over in
// the oversampled run. This plan finds, per graph:
//
//  - the head: the chain of equalisers from the input, each read by the next alone,
//    the fixed stage's output read by the first alone (none: the fixed stage moves
//    alone, unless an equaliser reading its output would join its cascade);
//  - the tail: the chain of equalisers that ends the list and writes the output slot,
//    each read by the next alone.
//
// and holds for each of their filters a twin re-voiced for the stream's rate
// (blocks/RateMatch). An end moves to the stream's rate as a whole or not at all: an
// equaliser left in the oversampled run costs a whole wavefront step at the high
// rate, so moving only part of an end would cost more than moving none of it. An
// end moves only when its twins' responses stay within kMaxDifferenceDb of its
// filters' (the fixed stage's with the head's) below kVoicedBelowHz (RateMatch).
//
// The head's twins carry the graph's head state at the stream's rate; the nodes
// they stand for do not run while the head has moved.
#pragma once

#include "blocks/RateMatch.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class AudioNode;

// The fixed stage ahead of every graph, as LinearEnds hears its head with it: its two
// filters, their twins at the stream's rate, and the lowest and highest gain
// control each filter is set to (the "Pre bass" control moves them).
struct FixedVoicing {
    const FilterParams* filters[2];
    const RateMatch::RateTwin* twins[2];
    float kLow[2], kHigh[2];
};

class LinearEnds {
  public:
    // Setup thread: the ends of the processing list behind `inputNode`, after
    // planCascades(). Allocates the twins.
    explicit LinearEnds(AudioNode* inputNode);

    // Audio thread, before every run, allocation-free: brings the twins in step with
    // their filters for a graph running at `highRate` inside a stream at `baseRate`
    // (Hz), re-voicing those whose filter or rates changed (RateTwin::follow), and,
    // when any did (or the fixed stage's twins changed), decides again which ends
    // move: the head with the fixed stage ahead of it (at both ends of each fixed
    // filter's gain range), the tail on its own, each only when its twins' responses
    // summed stay within RateMatch::kMaxDifferenceDb of its filters' below
    // RateMatch::kVoicedBelowHz.
    void tune(float baseRate, float highRate, const FixedVoicing& fixed);

    // Whether the head or the tail runs at the stream's rate (as last tuned).
    bool headMoves() const { return mHeadMoves; }
    bool tailMoves() const { return mTailMoves; }
    // The head's twins in order (none: the model's head is empty, the fixed
    // stage alone moves), and the tail's.
    int32_t headCount() const { return mHeadCount; }
    FilterParams& headTwin(int32_t i) { return mTwins[static_cast<size_t>(i)].params(); }
    int32_t tailCount() const { return static_cast<int32_t>(mTwins.size()) - mHeadCount; }
    FilterParams& tailTwin(int32_t i) {
        return mTwins[static_cast<size_t>(mHeadCount + i)].params();
    }
    // The first node the oversampled run plays while the head has moved, and the
    // slot it finds the upsampled head's output in.
    AudioNode* coreFirst() const { return mCoreFirst; }
    int32_t headSlot() const { return mHeadSlot; }
    // The tail's first node (the run stops there while the tail has moved), and the
    // slot it reads, which is downsampled for it.
    AudioNode* tailFirst() const { return mTailFirst; }
    int32_t tailSlot() const { return mTailSlot; }

    // Forgets what the twins heard.
    void clearState();

  private:
    std::vector<AudioNode*> mNodes;          // head nodes, then tail nodes
    std::vector<RateMatch::RateTwin> mTwins; // one per node, in the same order
    std::vector<RateMatch::Voicing> mChain;  // room to check an end with the fixed stage
    float mFixedFrom[2][5] = {};             // the fixed twins' coefficients last checked
    int32_t mHeadCount = 0;
    bool mHeadAllowed = false; // the graph's wiring lets the head move
    bool mTailAllowed = false;
    AudioNode* mCoreFirst = nullptr;
    AudioNode* mTailFirst = nullptr;
    int32_t mHeadSlot = 0;
    int32_t mTailSlot = 0;
    bool mHeadMoves = false;
    bool mTailMoves = false;
};
