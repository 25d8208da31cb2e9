// One channel of the plug-in, whatever hosts it (the unit's kernel, the LV2
// plug-in, quorle-render): the main effect between the oversampler's upsampler and
// downsampler, the model graphs prepared for it, and the fades that make a model
// switch or an oversampling change click-free.
//
//   input -> sanitise -> upsample x factor -> main effect (its model graph) -> downsample
//         -> cabinet (none unless one is offered) -> output
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
    // Every model's graph built now; false: only `startModel`'s, others offered later.
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
    // The model heard (fading in during a fade).
    int model() const;
    // Any thread but the audio thread: model `index` built for this channel at the
    // stream rate times `factor`; null when it cannot be built or is out of range.
    std::unique_ptr<PreparedGraph> prepare(int index, int factor) const;
    // Why the last prepare() on this thread failed, in the builder's words.
    const BuildReasons& lastRefusal() const;

    // --- audio thread ---
    // Whether the channel holds a graph for model `index`.
    bool has(int index) const;
    // Keeps `graph` for its model (false, with `graph` untouched, when there is no
    // room or it names no model of the list). One for a model already held is
    // retired at once.
    bool offer(std::unique_ptr<PreparedGraph>& graph);
    // Plays model `index`: with `fade`, crossfading over fade::kFadeMs from the model
    // playing (at once while nothing has been heard); else at once. False, nothing
    // changing, when no graph for it is held.
    bool switchTo(int index, bool fade);
    // Drive, post gain and bass, 0..1 (NaN: 0.5). Handed on only when changed.
    void setControls(float drive, float post, float bass);
    // Asks for oversampling `factor` (1, 2, 4, 8; false for others). The output
    // fades out at the factor playing (fade::kFadeMs / 2), the factor changes, and
    // once the new factor's sound has come through its latency it fades in again.
    bool setFactor(int factor);
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
    // they play the same model at the same factor with no fade under way; otherwise
    // each runs alone.
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

    // For tests and measurement.
    VorlixMac& effect() { return *mEffect; }
    const Oversampler& oversampler() const { return *mOversampler; }
    PreparedGraph* prepared(int index) const {
        return has(index) ? mModels[static_cast<size_t>(index)].get() : nullptr;
    }

  private:
    // Base-rate frames the oversampler runs through at a time (its buffers' length).
    static constexpr uint32_t kOversamplerRun = 256;

    uint32_t pieceFor(int factor) const;
    // Takes a factor change when its fade-out has ended; true while one is under way.
    void stepFactor();
    // The sanitised piece the effect is to run over, at its rate.
    float* takePiece(const float* in, uint32_t frames, size_t stride);
    // Whether a piece goes straight out, without fade or cabinet: then the effect (at
    // factor 1) or the downsampler writes the output itself.
    bool direct(size_t stride) const;
    // Where the effect writes the piece it runs in `io`: `io`, or the output itself.
    float* effectOutput(float* io, float* out, size_t stride) const;
    // The effect's output to `out`: downsampled, checked, faded, through the cabinet.
    // `result` is where the effect wrote it at factor 1 (`out` when effectOutput() said so).
    void givePiece(float* out, uint32_t frames, size_t stride, const float* result);
    // Frames the next piece may hold: within the buffers and the factor fade's stages.
    uint32_t nextPiece(uint32_t left) const;
    void retire();

    float mBaseRate;
    bool mOnDemand;
    bool mHeard = false;
    std::vector<float> mBlock; // one base-rate piece
    std::vector<float> mHigh;  // the piece at the oversampled rate
    uint32_t mPiece = 1;
    float mControls[3]; // as handed to the effect
    float mAsked[3];    // as setControls() was last called
    int mWantedFactor = 1;
    // An oversampling change: mFactorFade samples fading out, then in again.
    int32_t mFactorFade = 1;
    int32_t mFactorPos = 0;  // samples of the stage already heard
    int32_t mFactorWait = 0; // rising: silent samples before the fade in (the latency)
    int mFactorStage = 0;    // steady, falling or rising
    bool mMayRetire = false;
    // Made before the effect, so that the graphs outlive the effect that plays them.
    std::vector<std::unique_ptr<PreparedGraph>> mModels;
    std::vector<std::unique_ptr<PreparedGraph>> mRetired; // capacity reserved, never exceeded
    std::unique_ptr<VorlixMac> mEffect;
    std::unique_ptr<Oversampler> mOversampler;
    CabinetStage mCabinet;
};
