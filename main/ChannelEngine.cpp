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

// The oversampling change's stages.
enum FactorStage { kSteady = 0, kFalling = 1, kRising = 2 };

} // namespace

ChannelEngine::ChannelEngine(const EngineSetup& setup)
    : mBaseRate(static_cast<float>(setup.rate)), mOnDemand(!setup.prepareAll),
      mBlock(std::max<uint32_t>(setup.maxFrames, 1)), mEffect(std::make_unique<VorlixMac>()),
      mCabinet(setup.rate, std::max<uint32_t>(setup.maxFrames, 1)) {
    if (!(setup.rate >= kMinRate && setup.rate <= kMaxRate))
        throw std::invalid_argument("the sample rate is outside 8000..384000 Hz");
    if (!Oversampler::isValidFactor(setup.factor))
        throw std::invalid_argument("the oversampling factor is not 1, 2, 4 or 8");
    const int factor = setup.factor;
    mWantedFactor = factor;
    // The effect's work buffers hold a whole call at the starting factor, so that
    // at that factor (or a lower one) no call is cut; a factor raised later runs in
    // shorter pieces. At most the effect's own length, at least one base-rate frame
    // at the highest factor.
    const uint64_t wanted = static_cast<uint64_t>(mBlock.size()) * static_cast<uint64_t>(factor);
    mEffect->setMaxBlock(static_cast<int32_t>(
        std::min<uint64_t>(std::max<uint64_t>(wanted, Oversampler::kMaxFactor), kSlotLength)));
    // The effect runs at the stream's rate times the factor.
    const float rate = mBaseRate * static_cast<float>(factor);
    mEffect->archive = setup.archive;
    mEffect->setSampleRate(rate);
    mEffect->init();
    mEffect->dispatcher(kOpSetSampleRate, 0, 0, nullptr, rate);
    const size_t models = mEffect->modelNames.size();
    mModels.resize(models);
    // Room for every model's graph and one hand-in more per model.
    mRetired.reserve(2 * models + 2);
    if (mOnDemand) {
        const int start = setup.startModel;
        if (start >= 0 && static_cast<size_t>(start) < models)
            mModels[static_cast<size_t>(start)] = mEffect->prepare(start);
    } else {
        for (size_t i = 0; i < models; ++i)
            mModels[i] = mEffect->prepare(static_cast<int>(i));
    }
    // What init loaded plays until the first switch; model 0's prepared graph (or
    // the start model's) takes over at once, so that every graph heard is one the
    // channel holds.
    const int start = setup.startModel >= 0 && static_cast<size_t>(setup.startModel) < models
                          ? setup.startModel
                          : 0;
    if (PreparedGraph* first = prepared(start))
        mEffect->install(first);
    // The oversampled piece fits the effect's buffer at every factor.
    size_t high = 0;
    for (int f = 2; f <= Oversampler::kMaxFactor; f *= 2)
        high = std::max<size_t>(high, static_cast<size_t>(pieceFor(f)) * static_cast<size_t>(f));
    mHigh.assign(high, 0.0f);
    // The oversampler streams the same whatever its calls' lengths, so it works
    // through a piece in short runs and keeps its own buffers small.
    mOversampler = std::make_unique<Oversampler>(
        setup.rate, static_cast<int>(std::min(pieceFor(2), kOversamplerRun)));
    mOversampler->setFactor(factor);
    mPiece = pieceFor(factor);
    mFactorFade = fade::samplesFor(setup.rate, fade::kFadeMs / 2.0);
    std::fill(std::begin(mControls), std::end(mControls), std::nanf(""));
    std::fill(std::begin(mAsked), std::end(mAsked), std::nanf(""));
}

ChannelEngine::~ChannelEngine() {
    // The effect goes first: it may still point at the graphs it played.
    mEffect.reset();
}

const std::vector<std::string>& ChannelEngine::modelNames() const {
    return mEffect->modelNames;
}

int ChannelEngine::model() const {
    return mEffect->currentModel;
}

const BuildReasons& ChannelEngine::lastRefusal() const {
    return mEffect->lastRefusal();
}

uint32_t ChannelEngine::pieceFor(int factor) const {
    const uint32_t block =
        static_cast<uint32_t>(std::min<size_t>(mBlock.size(), std::numeric_limits<int32_t>::max()));
    // At factor 1 the effect cuts a piece longer than its buffer itself.
    if (factor <= 1)
        return block;
    const uint32_t fit = static_cast<uint32_t>(mEffect->bufferSize / factor);
    return std::max<uint32_t>(1, std::min(block, fit));
}

std::unique_ptr<PreparedGraph> ChannelEngine::prepare(int index, int factor) const {
    if (index < 0 || index >= models() || !Oversampler::isValidFactor(factor))
        return nullptr;
    return mEffect->prepare(index, mBaseRate * static_cast<float>(factor));
}

bool ChannelEngine::has(int index) const {
    return index >= 0 && index < models() && mModels[static_cast<size_t>(index)] != nullptr;
}

bool ChannelEngine::offer(std::unique_ptr<PreparedGraph>& graph) {
    if (!graph || graph->model < 0 || graph->model >= models() ||
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
    PreparedGraph* next = prepared(index);
    if (!next)
        return false;
    mMayRetire = true;
    // Nothing heard yet: nothing to fade from.
    if (fade && mHeard)
        mEffect->switchTo(next);
    else
        mEffect->install(next);
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
        mEffect->setParameter(i, values[i]);
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
    if (!mOnDemand || !mMayRetire || mEffect->fadeRemaining() > 0)
        return;
    mMayRetire = false;
    for (std::unique_ptr<PreparedGraph>& model : mModels) {
        if (!model || model->graph == mEffect->graph)
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
    mEffect->clearState();
    mOversampler->reset();
    mCabinet.reset();
}

void ChannelEngine::stepFactor() {
    const int playing = mOversampler->factor();
    if (mFactorStage == kSteady) {
        if (mWantedFactor == playing)
            return;
        mFactorStage = kFalling;
        mFactorPos = 0;
    } else if (mFactorStage == kRising && mWantedFactor != playing) {
        // Asked again while fading in: fade out from the gain reached.
        mFactorStage = kFalling;
        mFactorPos = std::max(0, mFactorFade - std::max(0, mFactorPos - mFactorWait) - 1);
    }
    // Nothing heard yet: nothing to fade.
    if (mFactorStage == kFalling && !mHeard)
        mFactorPos = mFactorFade;
    if (mFactorStage == kFalling && mFactorPos >= mFactorFade) {
        if (mWantedFactor != playing && mOversampler->setFactor(mWantedFactor)) {
            mPiece = pieceFor(mWantedFactor);
            const float rate = mBaseRate * static_cast<float>(mWantedFactor);
            mEffect->setSampleRate(rate); // models built from now on are built at this rate
            mEffect->dispatcher(kOpSetSampleRate, 0, 0, nullptr, rate);
            mEffect->clearState();
        }
        mFactorStage = mHeard ? kRising : kSteady;
        mFactorPos = 0;
        mFactorWait = Oversampler::latencyFor(mOversampler->factor());
    } else if (mFactorStage == kRising && mFactorPos >= mFactorWait + mFactorFade) {
        mFactorStage = kSteady;
        mFactorPos = 0;
    }
}

uint32_t ChannelEngine::nextPiece(uint32_t left) const {
    uint32_t n = std::min(mPiece, left);
    if (mFactorStage == kFalling)
        n = std::min(n, static_cast<uint32_t>(mFactorFade - mFactorPos));
    else if (mFactorStage == kRising)
        n = std::min(n, static_cast<uint32_t>(mFactorWait + mFactorFade - mFactorPos));
    return std::max<uint32_t>(n, 1);
}

float* ChannelEngine::takePiece(const float* in, uint32_t frames, size_t stride) {
    float* block = mBlock.data();
    if (stride == 1) {
        guard::sanitise(in, block, frames);
    } else {
        for (uint32_t i = 0; i < frames; ++i) {
            const float x = in[i * stride];
            block[i] = std::isfinite(x) ? x : 0.0f;
        }
    }
    if (mOversampler->factor() == 1)
        return block;
    mOversampler->upsample(block, static_cast<int>(frames), mHigh.data());
    return mHigh.data();
}

bool ChannelEngine::direct(size_t stride) const {
    return stride == 1 && mFactorStage == kSteady && !mCabinet.on();
}

float* ChannelEngine::effectOutput(float* io, float* out, size_t stride) const {
    return mOversampler->factor() == 1 && direct(stride) ? out : io;
}

void ChannelEngine::givePiece(float* out, uint32_t frames, size_t stride, const float* result) {
    float* block = mBlock.data();
    float* piece; // the base-rate piece: `out` itself when it goes straight out
    bool finite;
    if (mOversampler->factor() == 1) {
        piece = result == out ? out : block;
        finite = mEffect->outputFinite(); // checked as the effect wrote it
    } else {
        piece = direct(stride) ? out : block;
        mOversampler->downsample(mHigh.data(), piece, static_cast<int>(frames));
        finite = guard::all(piece, frames);
    }
    if (!finite) {
        mEffect->clearState();
        mOversampler->reset();
        std::memset(piece, 0, frames * sizeof(float));
    }
    if (piece == out)
        return; // no fade, no cabinet: written
    if (mFactorStage == kFalling) {
        fade::ramp(block, static_cast<int32_t>(frames), mFactorPos, mFactorFade, false);
        mFactorPos += static_cast<int32_t>(frames);
    } else if (mFactorStage == kRising) {
        // Silent until the new factor's first output has come through its latency
        // (the oversampler starts from silence: its onset is abrupt), then rising.
        for (uint32_t i = 0; i < frames; ++i, ++mFactorPos)
            block[i] = mFactorPos < mFactorWait
                           ? 0.0f
                           : block[i] * fade::gainAt(mFactorPos - mFactorWait, mFactorFade);
    }
    mCabinet.process(block, frames);
    if (stride == 1) {
        std::memcpy(out, block, frames * sizeof(float));
    } else {
        for (uint32_t i = 0; i < frames; ++i)
            out[i * stride] = block[i];
    }
}

void ChannelEngine::process(const float* in, float* out, uint32_t frames, size_t stride) {
    if (!in || !out)
        return;
    stride = stride > 0 ? stride : 1;
    for (uint32_t done = 0; done < frames;) {
        stepFactor();
        mHeard = true;
        const uint32_t n = nextPiece(frames - done);
        float* io = takePiece(in + done * stride, n, stride);
        float* result = effectOutput(io, out + done * stride, stride);
        const int32_t high = static_cast<int32_t>(n) * mOversampler->factor();
        mEffect->process(&io, &result, high);
        givePiece(out + done * stride, n, stride, result);
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
    if (a.mFactorStage != kSteady || b.mFactorStage != kSteady ||
        a.mOversampler->factor() != b.mOversampler->factor() || a.mPiece != b.mPiece ||
        !a.mEffect->canRunWith(*b.mEffect))
        return alone();
    const int factor = a.mOversampler->factor();
    a.mHeard = b.mHeard = true;
    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min(a.mPiece, frames - done);
        const size_t at = done * stride;
        float* ioA = a.takePiece(inA + at, n, stride);
        float* ioB = b.takePiece(inB + at, n, stride);
        const int32_t high = static_cast<int32_t>(n) * factor;
        // A piece after one that cleared a channel's state may no longer pair.
        if (!QrVorlixGeneric::processPair(*a.mEffect, ioA, *b.mEffect, ioB, high)) {
            a.mEffect->process(&ioA, &ioA, high);
            b.mEffect->process(&ioB, &ioB, high);
        }
        a.givePiece(outA + at, n, stride, ioA);
        b.givePiece(outB + at, n, stride, ioB);
        done += n;
    }
    a.retire();
    b.retire();
}
