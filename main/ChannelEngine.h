// One channel of the plug-in, whatever hosts it (the unit's kernel, the LV2
// plug-in, quorle-render): the main effect between the oversampler's upsampler and
// downsampler, the model graphs prepared for it, and the fades that make a model
// switch or an oversampling change click-free.
//
//   input -> sanitise -> upsample x factor -> main effect (its model graph) -> downsample
//         -> cabinet (none unless one is offered) -> output
//
// Above factor 1 the equalisers at the ends of a model's graph (the fixed stage and
// the head before the first non-linear node, the tail after the last) run at the
// stream's rate, before the upsampler and after the downsampler, where their voicing
// allows (graph/LinearEnds.h, QrVorlixGeneric::processAround): they hear nothing the
// stream's rate cannot carry, and cost the factor over when oversampled. A model
// switch with a fade then crossfades between the two lanes below, as each graph has
// ends of its own: the new model starts in the lane not heard, from silence, and
// the output crossfades to it over fade::kFadeMs. At factor 1 the effect fades itself.
//
// An oversampling change plays without a gap. The channel holds two lanes (an
// oversampler and a main effect each, the second working in the first's buffers)
// and every prepared graph holds a twin for the second. Asked for another factor,
// the lane not heard starts at it beside the lane playing, on the same input (that
// input rising from silence over kRampMs): it runs unheard for kWarmMs, so that
// its filters and followers come out of their start, then the output crossfades
// to it over fade::kFadeMs (linear gains, as a model switch).
//
// The lanes' latencies differ (0, 3, 4 and 5 frames by factor), and two copies of
// a bright sound a few frames apart, mixed half and half, lose up to 3 dB. So the
// crossfade mixes them lined up at the larger latency: a lane going to a larger
// one glides its delay there while the new lane warms up; a new lane with the
// smaller one is delayed by the difference and, heard alone, glides back to none
// (GlidingDelay, 5.5 frames in kWarmMs at most: the pitch up to 0.6 % off for those
// milliseconds). The latency reported is the factor asked's from the moment it is
// asked.
//
// A factor asked for while the new lane warms up replaces its target (it starts
// again at that factor, unheard); one asked for during the crossfade is taken when
// it ends, the last one asked winning. A ramp a host draws from 8x to 1x, through
// 4x and 2x, within kWarmMs is one change.
//
// Threads. The constructor and prepare() run on any thread but the audio thread
// (they read the archive copy, build graphs and allocate). Everything else runs on
// the audio thread and allocates nothing, takes no lock, does no I/O and frees
// nothing: graphs the channel no longer needs are handed out by takeRetired() to
// be freed elsewhere.
//
// The effect only ever hears finite samples: a NaN or infinite input sample is
// replaced by 0. Should its output still hold a non-finite sample, its state is
// cleared and that piece is written as silence, so the output always recovers.
#pragma once

#include "blocks/GlidingDelay.h"
#include "blocks/Oversampler.h"
#include "main/CabinetStage.h"
#include "main/QrVorlixGeneric.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class DataArchive;
class VorlixMac;

struct EngineSetup {
    double rate = 48000.0;    // the stream's rate, Hz
    uint32_t maxFrames = 512; // frames per process() call the buffers are sized for
    int factor = 1;           // oversampling factor to start at: 1, 2, 4 or 8
    // Every model's graph built now; false: only `startModel`'s (model 0's when it
    // names none), others offered later.
    bool prepareAll = true;
    int startModel = 0;
    // The archive copy to play (shared by every channel); null: the plug-in
    // directory's, read once by this channel.
    std::shared_ptr<const DataArchive> archive;
};

class ChannelEngine {
  public:
    // Stream rates the engine runs at, Hz.
    static constexpr double kMinRate = 8000.0;
    static constexpr double kMaxRate = 384000.0;

    // Setup thread. Throws std::out_of_range when the archive lists no model,
    // std::invalid_argument for a rate outside kMinRate..kMaxRate or a factor it
    // cannot take, std::bad_alloc.
    explicit ChannelEngine(const EngineSetup& setup);
    ~ChannelEngine();
    ChannelEngine(const ChannelEngine&) = delete;
    ChannelEngine& operator=(const ChannelEngine&) = delete;

    const std::vector<std::string>& modelNames() const;
    int models() const { return static_cast<int>(mModels.size()); }
    // The model heard (the one fading in during a fade).
    int model() const;
    // Any thread but the audio thread: model `index` built for this channel at the
    // stream rate times `factor`, with its twin; null when it cannot be built or is
    // out of range.
    std::unique_ptr<PreparedGraph> prepare(int index, int factor) const;
    // Why the last prepare() on this thread failed, in the builder's words.
    const BuildReasons& lastRefusal() const;

    // --- audio thread ---
    // Whether the channel holds a graph for model `index`.
    bool has(int index) const;
    // Keeps `graph` for its model (false, with `graph` untouched, when there is no
    // room, it names no model of the list or it has no twin: prepare() makes both).
    // One for a model already held is retired at once.
    bool offer(std::unique_ptr<PreparedGraph>& graph);
    // Plays model `index`: with `fade`, crossfading over fade::kFadeMs from the model
    // playing (at once while nothing has been heard); else at once. False, nothing
    // changing, when no graph for it is held. Above factor 1 the crossfade runs
    // between the lanes (the new model in the lane not heard, from silence), as the
    // lanes run the graphs' linear ends at the stream's rate; at factor 1 the effect
    // crossfades itself. One asked with a fade during an oversampling change or a
    // model crossfade waits for it to end, the last one asked winning.
    bool switchTo(int index, bool fade);
    // Drive, post gain and bass, 0..1 (NaN: 0.5). Handed on only when changed.
    void setControls(float drive, float post, float bass);
    // Asks for oversampling `factor` (1, 2, 4, 8; false for others), taken at the
    // next process(): at once while nothing has been heard, else crossfaded from a
    // lane warmed up at it (see the top of this file).
    bool setFactor(int factor);
    // Whether a factor change is under way (a new lane warming up or fading in, or
    // the lane heard gliding back to no delay).
    bool changingFactor() const { return mStage != kSteady && !mSwitching; }
    // Stream-rate samples left of the model crossfade under way (0: none).
    int32_t switchRemaining() const;
    // The factor asked for last, and the latency it brings, in base-rate frames.
    int factor() const { return mWantedFactor; }
    int latency() const { return Oversampler::latencyFor(mWantedFactor); }
    // The oldest graph no longer needed, now the caller's (null when none).
    std::unique_ptr<PreparedGraph> takeRetired();
    // Whether takeRetired() or takeRetiredCabinet() has anything to hand out.
    bool hasRetired() const { return !mRetired.empty() || mCabinet.hasRetired(); }
    // `frames` samples `stride` apart from `in` to `out` (in place is fine).
    void process(const float* in, float* out, uint32_t frames, size_t stride = 1);
    // Two channels as process() runs each, bit for bit, their effects as a pair when
    // they play the same model at the same factor and rate with no fade under way
    // (QrVorlixGeneric::processPair, processAroundPair); otherwise each runs alone.
    static void processPair(ChannelEngine& a, const float* inA, float* outA, ChannelEngine& b,
                            const float* inB, float* outB, uint32_t frames, size_t stride = 1);
    // Forgets what was heard (filters, delay lines, oversampler, cabinet); settings stay.
    void reset();

    // The cabinet after the effect (CabinetStage): `cabinet` (null: none) takes over
    // with a crossfade (at once without `fade`); false, `cabinet` untouched, while one
    // is under way. A convolver must take pieces of maxPiece() frames. It adds no latency.
    bool offerCabinet(std::unique_ptr<Convolver>& cabinet, bool fade = true) {
        return mCabinet.offer(cabinet, fade);
    }
    // Setup thread, while process() does not run: `cabinet` plays at once (CabinetStage::install).
    bool installCabinet(std::unique_ptr<Convolver>& cabinet) { return mCabinet.install(cabinet); }
    bool canOfferCabinet() const { return mCabinet.canOffer(); }
    bool cabinetOn() const { return mCabinet.on(); }
    std::unique_ptr<Convolver> takeRetiredCabinet() { return mCabinet.takeRetired(); }
    // Base-rate frames the engine hands on at a time, at most.
    uint32_t maxPiece() const { return static_cast<uint32_t>(mBlock.size()); }

    // For tests and measurement: the lane heard (the one fading out during a change).
    VorlixMac& effect() { return *mLanes[mLane].effect; }
    const Oversampler& oversampler() const { return *mLanes[mLane].oversampler; }
    PreparedGraph* prepared(int index) const {
        return has(index) ? mModels[static_cast<size_t>(index)].get() : nullptr;
    }

  private:
    // Base-rate frames the oversampler runs through at a time (its buffers' length).
    static constexpr uint32_t kOversamplerRun = 256;
    // An oversampling change: the new lane's input rises over kRampMs, the lane
    // runs unheard for kWarmMs (the rise included), then fades in over fade::kFadeMs.
    static constexpr double kRampMs = 2.0;
    static constexpr double kWarmMs = 20.0;
    // kSettling: the lane heard alone, its delay gliding back to none.
    enum Stage { kSteady, kWarming, kCrossfading, kSettling };

    // A factor's chain: its oversampler, the main effect between its halves, and the
    // delay that lines its output up with the other lane's.
    struct Lane {
        std::unique_ptr<VorlixMac> effect;
        std::unique_ptr<Oversampler> oversampler;
        GlidingDelay delay;
        int factor() const { return oversampler->factor(); }
    };

    uint32_t pieceFor(int factor) const;
    // Model `index`'s graph for lane `lane` (the twin for lane 1); null when none held.
    PreparedGraph* graphFor(int index, int lane) const;
    // Hands the lane its factor and its effect the rate it brings; clears nothing.
    void tune(Lane& lane, int factor);
    // Takes the factor asked for, at the start of a piece: at once while nothing has
    // been heard, else by starting, restarting or ending a change.
    void stepFactor();
    // The lane not heard starts at `factor`, playing the model the channel plays
    // (mModel): warming up when the factor differs from the lane heard's, else (a
    // model switch) crossfading at once. False, nothing started, when the channel
    // holds no graph for it.
    bool startChange(int factor);
    // The change ends: the new lane plays alone (`taken`) or is dropped; the lane
    // left playing settles when it is delayed.
    void endChange(bool taken);
    // The delay lane `lane` glides to in the stage under way, in frames.
    float delayTarget(int lane) const;
    // The sanitised piece of `in` into `to`.
    static void sanitise(const float* in, float* to, uint32_t frames, size_t stride);
    // Whether a piece goes straight out, without cabinet: then the lane writes the
    // output itself.
    bool direct(size_t stride) const;
    // The piece the lane heard wrote into `piece` (`out` itself when it went straight
    // out) to `out`: remembered for a change, through the cabinet.
    void givePiece(float* out, uint32_t frames, size_t stride, float* piece);
    // Runs `lane` over the base-rate piece `io` (overwritten) into `out` (`io` is fine).
    void runLane(Lane& lane, float* io, float* out, uint32_t frames);
    // A piece that came out not finite clears the lane and is silence.
    void settle(Lane& lane, float* piece, uint32_t frames, bool finite);
    // A piece during a change: both lanes over the input (the lane heard alone while
    // it settles), lined up, the old heard or mixed with the new, through the
    // cabinet to `out`.
    void changePiece(const float* in, float* out, uint32_t frames, size_t stride);
    // `piece` to `out`, `stride` apart.
    static void writeOut(const float* piece, float* out, uint32_t frames, size_t stride);
    // Frames the next piece may hold: within the buffers and the change's stages.
    uint32_t nextPiece(uint32_t left) const;
    void retire();

    float mBaseRate;
    bool mOnDemand;
    bool mHeard = false;
    std::vector<float> mBlock; // one base-rate piece
    std::vector<float> mSpare; // one base-rate piece: the new lane's during a change
    std::vector<float> mHigh;  // the piece at the oversampled rate
    uint32_t mPiece = 1;
    float mControls[3]; // as handed to the effect
    float mAsked[3];    // as setControls() was last called
    int mWantedFactor = 1;
    int mModel = 0;           // the model switched to last (the one the lanes play or head for)
    bool mModelWaits = false; // a switch to mModel waits for the change under way to end
    bool mSwitching = false;  // the change under way is a model switch between the lanes
    // An oversampling change under way: its stage and the samples of it heard.
    Stage mStage = kSteady;
    int32_t mStagePos = 0;
    int32_t mRamp = 1, mWarm = 1, mCrossfade = 1; // samples
    float mGlide = 1.0f;                          // frames of delay a lane's may move a sample
    bool mMayRetire = false;
    // Made before the lanes, so that the graphs outlive the effects that play them.
    std::vector<std::unique_ptr<PreparedGraph>> mModels;
    std::vector<std::unique_ptr<PreparedGraph>> mRetired; // capacity reserved, never exceeded
    Lane mLanes[2];
    int mLane = 0; // the lane heard (fading out during a change)
    CabinetStage mCabinet;
};
