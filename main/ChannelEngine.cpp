#include "main/ChannelEngine.h"

#include "blocks/FiniteBlock.h"
#include "blocks/LinearFade.h"
#include "effect/EffectOpcodes.h"
#include "main/VorlixMac.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace {

constexpr float kDefaultControl = 0.5f;

// Drive, post gain or bass as the effect may take it: 0..1, NaN as the default.
float controlValue(float value) {
    if (std::isnan(value))
        return kDefaultControl;
    return std::min(std::max(value, 0.0f), 1.0f);
}

} // namespace

ChannelEngine::ChannelEngine(const EngineSetup& setup)
    : mBaseRate(static_cast<float>(setup.rate)), mOnDemand(!setup.prepareAll),
      mBlock(std::max<uint32_t>(setup.maxFrames, 1)), mSpare(mBlock.size()),
      mCabinet(setup.rate, std::max<uint32_t>(setup.maxFrames, 1)) {
    if (!(setup.rate >= kMinRate && setup.rate <= kMaxRate))
        throw std::invalid_argument("the sample rate is outside 8000..384000 Hz");
    if (!Oversampler::isValidFactor(setup.factor))
        throw std::invalid_argument("the oversampling factor is not 1, 2, 4 or 8");
    const int factor = setup.factor;
    mWantedFactor = factor;
    for (Lane& lane : mLanes)
        lane.effect = std::make_unique<VorlixMac>();
    VorlixMac& first = *mLanes[0].effect;
    // The effect's work buffers hold a whole call at the starting factor, so that
    // at that factor (or a lower one) no call is cut; a factor raised later runs in
    // shorter pieces. At most the effect's own length, at least one base-rate frame
    // at the highest factor.
    const uint64_t wanted = static_cast<uint64_t>(mBlock.size()) * static_cast<uint64_t>(factor);
    first.setMaxBlock(static_cast<int32_t>(
        std::min<uint64_t>(std::max<uint64_t>(wanted, Oversampler::kMaxFactor), kSlotLength)));
    // The effect runs at the stream's rate times the factor.
    const float rate = mBaseRate * static_cast<float>(factor);
    for (Lane& lane : mLanes) {
        VorlixMac& effect = *lane.effect;
        // The second lane works in the first's buffers (the lanes run one after the
        // other) and plays the first's archive copy, whichever it read.
        if (&effect != &first)
            effect.borrowBuffers(first);
        effect.archive = &effect == &first ? setup.archive : first.archive;
        effect.setSampleRate(rate);
        effect.init();
        effect.dispatcher(kOpSetSampleRate, 0, 0, nullptr, rate);
    }
    const size_t models = first.modelNames.size();
    mModels.resize(models);
    // Room for every model's graph and one hand-in more per model.
    mRetired.reserve(2 * models + 2);
    // What init loaded plays until the first switch; model 0's prepared graph (or
    // the start model's) takes over at once, so that every graph heard is one the
    // channel holds.
    const int start = setup.startModel >= 0 && static_cast<size_t>(setup.startModel) < models
                          ? setup.startModel
                          : 0;
    if (mOnDemand) {
        if (models > 0)
            mModels[static_cast<size_t>(start)] = prepare(start, factor);
    } else {
        for (size_t i = 0; i < models; ++i)
            mModels[i] = prepare(static_cast<int>(i), factor);
    }
    mModel = start;
    if (PreparedGraph* played = prepared(start))
        first.install(played);
    // The oversampled piece fits the effect's buffer at every factor.
    size_t high = 0;
    for (int f = 2; f <= Oversampler::kMaxFactor; f *= 2)
        high = std::max<size_t>(high, static_cast<size_t>(pieceFor(f)) * static_cast<size_t>(f));
    mHigh.assign(high, 0.0f);
    // The oversampler streams the same whatever its calls' lengths, so it works
    // through a piece in short runs and keeps its own buffers small.
    for (Lane& lane : mLanes)
        lane.oversampler = std::make_unique<Oversampler>(
            setup.rate, static_cast<int>(std::min(pieceFor(2), kOversamplerRun)));
    mLanes[0].oversampler->setFactor(factor);
    mLanes[1].oversampler->setFactor(factor);
    mPiece = pieceFor(factor);
    mRamp = fade::samplesFor(setup.rate, kRampMs);
    mWarm = fade::samplesFor(setup.rate, kWarmMs);
    mCrossfade = fade::samplesFor(setup.rate, fade::kFadeMs);
    // The widest gap between two factors' latencies is glided within the warm-up.
    const int gap = Oversampler::latencyFor(Oversampler::kMaxFactor) - Oversampler::latencyFor(1);
    mGlide = (static_cast<float>(gap) + 0.5f) / static_cast<float>(mWarm);
    std::fill(std::begin(mControls), std::end(mControls), std::nanf(""));
    std::fill(std::begin(mAsked), std::end(mAsked), std::nanf(""));
}

ChannelEngine::~ChannelEngine() {
    // The effects go first: they may still point at the graphs they played.
    for (Lane& lane : mLanes)
        lane.effect.reset();
}

const std::vector<std::string>& ChannelEngine::modelNames() const {
    return mLanes[0].effect->modelNames;
}

int ChannelEngine::model() const {
    const bool changing = mStage == kWarming || mStage == kCrossfading;
    return mLanes[changing ? 1 - mLane : mLane].effect->currentModel;
}

int32_t ChannelEngine::switchRemaining() const {
    if (mSwitching)
        return mCrossfade - mStagePos;
    const Lane& heard = mLanes[mLane];
    return heard.effect->fadeRemaining() / heard.factor(); // the effect fades at factor 1 only
}

const BuildReasons& ChannelEngine::lastRefusal() const {
    return mLanes[0].effect->lastRefusal();
}

uint32_t ChannelEngine::pieceFor(int factor) const {
    const uint32_t block =
        static_cast<uint32_t>(std::min<size_t>(mBlock.size(), std::numeric_limits<int32_t>::max()));
    // At factor 1 the effect cuts a piece longer than its buffer itself.
    if (factor <= 1)
        return block;
    const uint32_t fit = static_cast<uint32_t>(mLanes[0].effect->bufferSize / factor);
    return std::max<uint32_t>(1, std::min(block, fit));
}

std::unique_ptr<PreparedGraph> ChannelEngine::prepare(int index, int factor) const {
    if (index < 0 || index >= models() || !Oversampler::isValidFactor(factor))
        return nullptr;
    QrVorlixGeneric& effect = *mLanes[0].effect;
    const float rate = mBaseRate * static_cast<float>(factor);
    std::unique_ptr<PreparedGraph> graph = effect.prepare(index, rate);
    if (graph) {
        graph->twin = effect.prepare(index, rate);
        if (!graph->twin)
            return nullptr;
        graph->ends = std::make_unique<LinearEnds>(graph->graph);
        graph->twin->ends = std::make_unique<LinearEnds>(graph->twin->graph);
    }
    return graph;
}

PreparedGraph* ChannelEngine::graphFor(int index, int lane) const {
    PreparedGraph* graph = prepared(index);
    return graph && lane == 1 ? graph->twin.get() : graph;
}

bool ChannelEngine::has(int index) const {
    return index >= 0 && index < models() && mModels[static_cast<size_t>(index)] != nullptr;
}

bool ChannelEngine::offer(std::unique_ptr<PreparedGraph>& graph) {
    if (!graph || !graph->twin || graph->model < 0 || graph->model >= models() ||
        mRetired.size() == mRetired.capacity())
        return false;
    std::unique_ptr<PreparedGraph>& slot = mModels[static_cast<size_t>(graph->model)];
    if (!slot)
        slot = std::move(graph);
    else
        mRetired.push_back(std::move(graph));
    mMayRetire = true;
    return true;
}

bool ChannelEngine::switchTo(int index, bool fade) {
    if (!prepared(index))
        return false;
    mMayRetire = true;
    mModel = index;
    mModelWaits = false;
    // Nothing heard yet: nothing to fade from.
    if (!fade || !mHeard) {
        // During a change both lanes switch, each to its own graph.
        for (int lane = 0; lane < 2; ++lane)
            if (lane == mLane || mStage == kWarming || mStage == kCrossfading)
                mLanes[lane].effect->install(graphFor(index, lane));
        return true;
    }
    // A change under way finishes first; the model asked last then fades in.
    if (mStage != kSteady) {
        mModelWaits = true;
        return true;
    }
    Lane& heard = mLanes[mLane];
    if (heard.factor() == 1 || !startChange(heard.factor()))
        heard.effect->switchTo(graphFor(index, mLane));
    return true;
}

void ChannelEngine::setControls(float drive, float post, float bass) {
    // Hosts hand the same values block after block: nothing to map or compare then.
    if (drive == mAsked[0] && post == mAsked[1] && bass == mAsked[2])
        return;
    mAsked[0] = drive;
    mAsked[1] = post;
    mAsked[2] = bass;
    const float values[3] = {controlValue(drive), controlValue(post), controlValue(bass)};
    for (int i = 0; i < 3; ++i) {
        if (values[i] == mControls[i])
            continue;
        for (Lane& lane : mLanes)
            lane.effect->setParameter(i, values[i]);
        mControls[i] = values[i];
    }
}

bool ChannelEngine::setFactor(int factor) {
    if (!Oversampler::isValidFactor(factor))
        return false;
    mWantedFactor = factor;
    return true;
}

std::unique_ptr<PreparedGraph> ChannelEngine::takeRetired() {
    if (mRetired.empty())
        return nullptr;
    std::unique_ptr<PreparedGraph> graph = std::move(mRetired.back());
    mRetired.pop_back();
    return graph;
}

void ChannelEngine::retire() {
    const VorlixMac& heard = *mLanes[mLane].effect;
    if (!mOnDemand || !mMayRetire || mStage != kSteady || heard.fadeRemaining() > 0)
        return;
    mMayRetire = false;
    for (size_t i = 0; i < mModels.size(); ++i) {
        std::unique_ptr<PreparedGraph>& model = mModels[i];
        // The graph heard stays, and so does a model waiting to fade in.
        if (!model || graphFor(static_cast<int>(i), mLane)->graph == heard.graph ||
            (mModelWaits && static_cast<int>(i) == mModel))
            continue;
        if (mRetired.size() == mRetired.capacity()) {
            mMayRetire = true; // the rest once the caller has collected
            return;
        }
        mRetired.push_back(std::move(model));
    }
}

void ChannelEngine::reset() {
    mHeard = false;
    // A change under way ends with the new lane playing: it is at the factor asked.
    if (mStage == kWarming || mStage == kCrossfading) {
        mLanes[mLane].effect->release();
        mLane = 1 - mLane;
        mPiece = pieceFor(mLanes[mLane].factor());
    }
    if (mModelWaits)
        mLanes[mLane].effect->install(graphFor(mModel, mLane));
    mModelWaits = false;
    mSwitching = false;
    mStage = kSteady;
    mStagePos = 0;
    mMayRetire = true;
    for (Lane& lane : mLanes)
        lane.delay.reset();
    mLanes[mLane].effect->clearState();
    mLanes[mLane].oversampler->reset();
    mCabinet.reset();
}

void ChannelEngine::tune(Lane& lane, int factor) {
    lane.oversampler->setFactor(factor);
    const float rate = mBaseRate * static_cast<float>(factor);
    lane.effect->setSampleRate(rate);
    lane.effect->dispatcher(kOpSetSampleRate, 0, 0, nullptr, rate);
}

float ChannelEngine::delayTarget(int lane) const {
    if (mStage == kSteady || mStage == kSettling)
        return 0.0f;
    // Both lined up at the larger latency.
    const int own = Oversampler::latencyFor(mLanes[lane].factor());
    const int other = Oversampler::latencyFor(mLanes[1 - lane].factor());
    return static_cast<float>(std::max(0, other - own));
}

bool ChannelEngine::startChange(int factor) {
    const int next = 1 - mLane;
    PreparedGraph* graph = graphFor(mModel, next);
    if (!graph)
        return false;
    Lane& lane = mLanes[next];
    tune(lane, factor);
    lane.effect->install(graph);
    lane.effect->clearState();
    mModelWaits = false;
    // A model switch at the same factor fades at once: nothing to warm or line up.
    const bool sameFactor = factor == mLanes[mLane].factor();
    mStage = sameFactor ? kCrossfading : kWarming;
    mSwitching = sameFactor;
    mStagePos = 0;
    // Unheard until the crossfade: it starts at the delay it will have then.
    lane.delay.reset(delayTarget(next));
    return true;
}

void ChannelEngine::endChange(bool taken) {
    const int old = taken ? mLane : 1 - mLane;
    mLanes[old].effect->release();
    if (taken) {
        mLane = 1 - mLane;
        mPiece = pieceFor(mLanes[mLane].factor());
    }
    mSwitching = false;
    mStage = mLanes[mLane].delay.delay() > 0.0f ? kSettling : kSteady;
    mStagePos = 0;
    mMayRetire = true;
}

void ChannelEngine::stepFactor() {
    Lane& heard = mLanes[mLane];
    if (mStage == kWarming) {
        if (mWantedFactor == heard.factor()) {
            endChange(false); // asked back before anything of it was heard
        } else if (mWantedFactor != mLanes[1 - mLane].factor()) {
            startChange(mWantedFactor); // a newer factor: the new lane starts again at it
        } else if (mStagePos >= mWarm && heard.delay.delay() == delayTarget(mLane)) {
            mStage = kCrossfading;
            mStagePos = 0;
        }
    }
    if (mStage == kWarming || mStage == kCrossfading)
        return;
    if (mWantedFactor == heard.factor()) {
        // A model switch that waited for a change to end fades in now.
        if (mModelWaits && mStage == kSteady)
            switchTo(mModel, true);
        return;
    }
    // Nothing heard yet (nothing to crossfade from), or no graph for the other lane:
    // the lane playing takes the factor at once, from silence.
    if (mHeard && startChange(mWantedFactor))
        return;
    if (mModelWaits)
        heard.effect->install(graphFor(mModel, mLane));
    mModelWaits = false;
    tune(heard, mWantedFactor);
    heard.effect->clearState();
    heard.delay.reset();
    mStage = kSteady;
    mPiece = pieceFor(mWantedFactor);
}

uint32_t ChannelEngine::nextPiece(uint32_t left) const {
    uint32_t n = std::min(mPiece, left);
    if (mStage == kWarming || mStage == kCrossfading) {
        n = std::min(n, pieceFor(mLanes[1 - mLane].factor()));
        const int32_t length = mStage == kWarming ? mWarm : mCrossfade;
        n = std::min(n, static_cast<uint32_t>(std::max(length - mStagePos, 1)));
    }
    return std::max<uint32_t>(n, 1);
}

void ChannelEngine::sanitise(const float* in, float* to, uint32_t frames, size_t stride) {
    if (stride == 1) {
        guard::sanitise(in, to, frames);
        return;
    }
    for (uint32_t i = 0; i < frames; ++i) {
        const float x = in[i * stride];
        to[i] = std::isfinite(x) ? x : 0.0f;
    }
}

bool ChannelEngine::direct(size_t stride) const {
    return stride == 1 && !mCabinet.on();
}

void ChannelEngine::givePiece(float* out, uint32_t frames, size_t stride, float* piece) {
    // What went out, for a change that glides this lane's delay from none.
    mLanes[mLane].delay.remember(piece, static_cast<int32_t>(frames));
    if (piece == out)
        return; // no cabinet: written
    mCabinet.process(piece, frames);
    writeOut(piece, out, frames, stride);
}

void ChannelEngine::writeOut(const float* piece, float* out, uint32_t frames, size_t stride) {
    if (stride == 1) {
        std::memcpy(out, piece, frames * sizeof(float));
    } else {
        for (uint32_t i = 0; i < frames; ++i)
            out[i * stride] = piece[i];
    }
}

void ChannelEngine::runLane(Lane& lane, float* io, float* out, uint32_t frames) {
    settle(lane, out, frames,
           lane.effect->processAround(*lane.oversampler, io, out, static_cast<int32_t>(frames),
                                      mHigh.data(), mBaseRate));
}

void ChannelEngine::settle(Lane& lane, float* piece, uint32_t frames, bool finite) {
    if (finite)
        return;
    lane.effect->clearState();
    lane.oversampler->reset();
    std::memset(piece, 0, frames * sizeof(float));
}

void ChannelEngine::changePiece(const float* in, float* out, uint32_t frames, size_t stride) {
    const int32_t n = static_cast<int32_t>(frames);
    float* old = mBlock.data();
    float* next = mSpare.data();
    sanitise(in, old, frames, stride);
    if (mStage != kSettling) {
        Lane& lane = mLanes[1 - mLane];
        std::memcpy(next, old, frames * sizeof(float));
        // The new lane's input rises from silence: no step into its filters.
        if (mStage == kWarming && mStagePos < mRamp)
            fade::ramp(next, std::min(n, mRamp - mStagePos), mStagePos, mRamp, true);
        runLane(lane, next, next, frames);
        lane.delay.process(next, n, delayTarget(1 - mLane), mGlide);
    }
    Lane& heard = mLanes[mLane];
    runLane(heard, old, old, frames);
    heard.delay.process(old, n, delayTarget(mLane), mGlide);
    float* piece = old;
    if (mStage == kCrossfading) {
        fade::crossfade(old, next, n, mStagePos, mCrossfade);
        piece = next;
    }
    mStagePos += n;
    mCabinet.process(piece, frames);
    writeOut(piece, out, frames, stride);
    if (mStage == kCrossfading && mStagePos >= mCrossfade)
        endChange(true);
    else if (mStage == kSettling && heard.delay.delay() == 0.0f)
        mStage = kSteady;
}

void ChannelEngine::process(const float* in, float* out, uint32_t frames, size_t stride) {
    if (!in || !out)
        return;
    stride = stride > 0 ? stride : 1;
    for (uint32_t done = 0; done < frames;) {
        stepFactor();
        mHeard = true;
        const uint32_t n = nextPiece(frames - done);
        const float* from = in + done * stride;
        float* to = out + done * stride;
        if (mStage != kSteady) {
            changePiece(from, to, n, stride);
        } else {
            // In `to` itself when it goes straight out.
            float* piece = direct(stride) ? to : mBlock.data();
            sanitise(from, mBlock.data(), n, stride);
            runLane(mLanes[mLane], mBlock.data(), piece, n);
            givePiece(to, n, stride, piece);
        }
        done += n;
    }
    retire();
}

void ChannelEngine::processPair(ChannelEngine& a, const float* inA, float* outA, ChannelEngine& b,
                                const float* inB, float* outB, uint32_t frames, size_t stride) {
    stride = stride > 0 ? stride : 1;
    auto alone = [&]() {
        a.process(inA, outA, frames, stride);
        b.process(inB, outB, frames, stride);
    };
    if (!inA || !outA || !inB || !outB || &a == &b)
        return alone();
    a.stepFactor();
    b.stepFactor();
    Lane& laneA = a.mLanes[a.mLane];
    Lane& laneB = b.mLanes[b.mLane];
    const int factor = laneA.factor();
    if (a.mStage != kSteady || b.mStage != kSteady || laneB.factor() != factor ||
        a.mPiece != b.mPiece || a.mBaseRate != b.mBaseRate ||
        !laneA.effect->canRunWith(*laneB.effect))
        return alone();
    a.mHeard = b.mHeard = true;
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min(a.mPiece, frames - done);
        const size_t at = done * stride;
        float* ioA = a.mBlock.data();
        float* ioB = b.mBlock.data();
        sanitise(inA + at, ioA, n, stride);
        sanitise(inB + at, ioB, n, stride);
        const int32_t frames32 = static_cast<int32_t>(n);
        bool finite[2];
        // A piece after one that cleared a channel's state may no longer pair.
        if (factor > 1) {
            const QrVorlixGeneric::AroundPiece pa{laneA.oversampler.get(), ioA, ioA,
                                                  a.mHigh.data()};
            const QrVorlixGeneric::AroundPiece pb{laneB.oversampler.get(), ioB, ioB,
                                                  b.mHigh.data()};
            if (!QrVorlixGeneric::processAroundPair(*laneA.effect, pa, *laneB.effect, pb, frames32,
                                                    a.mBaseRate, finite)) {
                finite[0] =
                    laneA.effect->processAround(*pa.os, ioA, ioA, frames32, pa.high, a.mBaseRate);
                finite[1] =
                    laneB.effect->processAround(*pb.os, ioB, ioB, frames32, pb.high, b.mBaseRate);
            }
        } else {
            if (!QrVorlixGeneric::processPair(*laneA.effect, ioA, *laneB.effect, ioB, frames32)) {
                laneA.effect->process(&ioA, &ioA, frames32);
                laneB.effect->process(&ioB, &ioB, frames32);
            }
            finite[0] = laneA.effect->outputFinite();
            finite[1] = laneB.effect->outputFinite();
        }
        a.settle(laneA, ioA, n, finite[0]);
        b.settle(laneB, ioB, n, finite[1]);
        a.givePiece(outA + at, n, stride, ioA);
        b.givePiece(outB + at, n, stride, ioB);
        done += n;
    }
    a.retire();
    b.retire();
}
