#include "graph/LinearEnds.h"

#include "graph/AudioNode.h"
#include "graph/CascadePlan.h"

#include <map>

LinearEnds::LinearEnds(AudioNode* inputNode) {
    if (!inputNode)
        return;
    GraphReaders counted(inputNode);
    std::map<const AudioNode*, int>& readers = counted.of;
    const int inputReaders = counted.input;
    std::vector<AudioNode*> list;
    for (AudioNode* node = inputNode->next; node; node = node->next)
        list.push_back(node);
    // The head: equalisers from the input, each read by the next alone.
    size_t head = 0;
    while (head < list.size() && list[head]->equaliser &&
           (head == 0 ? GraphReaders::readsInput(list[0]->input, inputNode) && inputReaders == 1
                      : list[head]->input == list[head - 1] && readers[list[head - 1]] == 1))
        ++head;
    // The fixed stage's first filter writes the output slot, heard when no node does.
    // Without a head, the fixed stage moves alone only when no equaliser follows it
    // on its input: one would join its cascade oversampled, and the stage alone at
    // the stream's rate is a wavefront more (the octave fuzz measured 8 % slower).
    const bool joined = head == 0 && !list.empty() && list[0]->equaliser &&
                        GraphReaders::readsInput(list[0]->input, inputNode);
    mHeadAllowed = inputNode->outputWritten && !joined;
    mHeadSlot = head > 0 ? list[head - 1]->outBuffer : kInputSlot;
    mCoreFirst = head < list.size() ? list[head] : nullptr;
    // The tail: equalisers ending the list into the output slot, each read by the
    // next alone, after the head and fed by a node that is not in it.
    size_t tail = list.size();
    if (tail > head && list[tail - 1]->equaliser && list[tail - 1]->outBuffer == kOutputSlot) {
        --tail;
        while (tail > head && list[tail - 1]->equaliser && list[tail]->input == list[tail - 1] &&
               readers[list[tail - 1]] == 1)
            --tail;
    }
    const AudioNode* feed = tail < list.size() ? list[tail]->input : nullptr;
    bool fedFromCore = false;
    for (size_t i = head; i < tail && feed; ++i)
        fedFromCore = fedFromCore || list[i] == feed;
    mTailAllowed = fedFromCore;
    if (!mTailAllowed)
        tail = list.size();
    mTailFirst = tail < list.size() ? list[tail] : nullptr;
    mTailSlot = mTailFirst ? feed->outBuffer : kOutputSlot;

    mNodes.assign(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(head));
    mNodes.insert(mNodes.end(), list.begin() + static_cast<std::ptrdiff_t>(tail), list.end());
    mHeadCount = static_cast<int32_t>(head);
    mTwins.resize(mNodes.size());
    mChain.resize(mNodes.size() + 2);
}

void LinearEnds::tune(float baseRate, float highRate, const FixedVoicing& fixed) {
    bool changed = false;
    for (int f = 0; f < 2; ++f) {
        const FilterParams& p = fixed.twins[f]->params();
        float* was = mFixedFrom[f];
        if (p.b0 == was[0] && p.b1 == was[1] && p.b2 == was[2] && p.a1 == was[3] && p.a2 == was[4])
            continue;
        changed = true;
        was[0] = p.b0;
        was[1] = p.b1;
        was[2] = p.b2;
        was[3] = p.a1;
        was[4] = p.a2;
    }
    for (size_t i = 0; i < mNodes.size() && !changed; ++i)
        changed = mTwins[i].stale(*mNodes[i]->equaliser, highRate, baseRate);
    if (!changed) {
        // Only the twins heard follow their filters' live controls.
        const size_t from = mHeadMoves ? 0 : static_cast<size_t>(mHeadCount);
        const size_t to = mTailMoves ? mNodes.size() : static_cast<size_t>(mHeadCount);
        for (size_t i = from; i < to; ++i)
            mTwins[i].followControls(*mNodes[i]->equaliser);
        return;
    }
    bool headVoiced = true, tailVoiced = true;
    for (size_t i = 0; i < mNodes.size(); ++i) {
        RateMatch::RateTwin& twin = mTwins[i];
        twin.follow(*mNodes[i]->equaliser, highRate, baseRate);
        (static_cast<int32_t>(i) < mHeadCount ? headVoiced : tailVoiced) &= twin.voiced();
    }
    for (int f = 0; f < 2; ++f)
        mChain[static_cast<size_t>(f)] = {
            fixed.filters[f], highRate,      &fixed.twins[f]->params(),
            baseRate,         fixed.kLow[f], fixed.kHigh[f]};
    for (int32_t i = 0; i < static_cast<int32_t>(mNodes.size()); ++i) {
        const FilterParams& filter = *mNodes[static_cast<size_t>(i)]->equaliser;
        mChain[static_cast<size_t>(2 + i)] = {
            &filter,  highRate, &mTwins[static_cast<size_t>(i)].params(),
            baseRate, filter.k, filter.k};
    }
    const bool fixedVoiced = fixed.twins[0]->voiced() && fixed.twins[1]->voiced();
    // The head after the fixed stage, the fixed filters at both ends of their ranges.
    mHeadMoves =
        mHeadAllowed && headVoiced && fixedVoiced &&
        RateMatch::chainDifference(mChain.data(), 2 + mHeadCount, RateMatch::kVoicedBelowHz) <=
            RateMatch::kMaxDifferenceDb;
    // The tail is heard with the head when that moves: their differences add up.
    const double tail =
        mHeadMoves ? RateMatch::chainDifference(mChain.data(), static_cast<int>(mChain.size()),
                                                RateMatch::kVoicedBelowHz)
                   : RateMatch::chainDifference(mChain.data() + 2 + mHeadCount, tailCount(),
                                                RateMatch::kVoicedBelowHz);
    mTailMoves =
        mTailAllowed && tailVoiced && mTailFirst != nullptr && tail <= RateMatch::kMaxDifferenceDb;
}

void LinearEnds::clearState() {
    for (RateMatch::RateTwin& twin : mTwins)
        twin.clearState();
}
