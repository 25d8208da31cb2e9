// The plug-in as a host sees it: an effect unit with four parameters (drive,
// post gain, bass tilt, model), the model names (property 64000), the plug-in
// directory (64001), the oversampling factor (64002), its latency (12) and the
// view location (31). Each channel runs through its own kernel, and each kernel
// owns one main effect and the oversampler around it.
//
// The oversampling factor (UInt32 1, 2, 4 or 8; 1 by default) may be set at any
// time: uninitialised, the kernels start with it; initialised, each kernel takes it
// at its next Process (no allocation, no lock). Other values are refused with
// -10851 (invalid property value). Set through 64002 (setup or UI thread), it is
// announced with the latency; through 64003 (render thread) it is only stored. The
// saved state carries it ("oversampling"); a state without it keeps the factor.
//
// Parameter values the effect cannot take never reach it: drive, post gain and
// bass are held within 0..1 (NaN becomes the default 0.5) wherever they are set,
// and a model index outside the model list is refused with -10878 (the platform
// has no separate invalid-value status), the current model playing on.
#pragma once

#include "au/AUEffectBase.h"
#include "blocks/Oversampler.h"
#include "au/quorleIds.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

class VorlixMac;
class quorleKernel;
struct PreparedGraph;

// The plug-in directory, ending in "/" (shared with the data archive). Read and
// written under gArchiveLock. The first instance that finds its bundle sets it and
// later instances leave it: a process holds one plug-in directory, so a running
// instance's model switch never sees it change.
extern std::string gFxDir;
// The name of parameters 0, 1 and 2.
extern const char* const kParameterOneName;

class quorle : public AUEffectBase {
  public:
    explicit quorle(ComponentInstance instance);
    ~quorle() override;

    ComponentResult Version() override { return kQuorleVersion; }
    OSStatus GetPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                             UInt32& outDataSize, Boolean& outWritable) override;
    OSStatus GetProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         void* outData) override;
    OSStatus GetParameterInfo(AudioUnitScope scope, AudioUnitParameterID id,
                              AudioUnitParameterInfo& outInfo) override;
    OSStatus GetParameterValueStrings(AudioUnitScope scope, AudioUnitParameterID id,
                                      CFTypeRef* outStrings) override;
    // Setup thread; the factor through 64003 from the render thread (stored only:
    // no lock, no allocation, no listener).
    OSStatus SetProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         const void* inData, UInt32 inDataSize) override;
    // False for 64003 and the on-demand properties (64004..64006), which announce nothing.
    bool AnnouncesWhenSet(AudioUnitPropertyID id) const override;
    // False for the graph properties (their values hold owned graphs) and the archive
    // path (a cut path names another file).
    bool ValueMayBeCut(AudioUnitPropertyID id) const override;
    bool SupportsTail() override { return false; }
    // The oversampler's delay at the factor set, in seconds.
    Float64 GetLatency() override;
    // Any thread: the factor last set.
    UInt32 Oversampling() const { return mOversampling.load(std::memory_order_relaxed); }
    AUKernelBase* NewKernel() override;

    // Setup thread. After the kernels are made, a model index stored while the
    // list was unknown and lying beyond it goes back to the model init loaded (0).
    OSStatus Initialize() override;
    void Cleanup() override;
    // Any thread. Parameters 0..2 are stored within 0..1 (NaN as 0.5). Parameter 3
    // must be a whole-number-representable index at or above 0 and, once the list
    // is known (initialised), within it; else -10878 and the stored value stays.
    OSStatus SetParameter(AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement element,
                          AudioUnitParameterValue value, UInt32 bufferOffset) override;
    using AUEffectBase::SetParameter;

  protected:
    // Setup thread. The base's state and the oversampling factor.
    OSStatus SaveState(CFPropertyListRef* outData) override;
    // Setup thread. The base's restore, then the restored values are held to what
    // SetParameter accepts: controls clamped, a bad model index replaced by the
    // model that was set before. A valid factor in an accepted state is set (and
    // announced when it changes); an absent or invalid one keeps the factor.
    OSStatus RestoreState(CFPropertyListRef data) override;

  private:
    bool AcceptsModel(AudioUnitParameterValue value) const;
    // Stores a valid factor; true when it differs from the one before.
    bool StoreFactor(UInt32 factor);
    // 64005 read: model `index` built for every channel (off the render thread).
    OSStatus PrepareGraphs(AudioUnitElement index, QuorleGraphs& out);
    // 64006 set: hands one graph to each channel (render thread).
    OSStatus InstallGraphs(const QuorleGraphs& graphs);
    // 64006 read: the graphs the channels no longer need (render thread).
    void CollectGraphs(QuorleGraphs& out);
    quorleKernel* Kernel(UInt32 channel);
    friend class quorleKernel;

    // Models in the list; 0 while it is not known. Written by the setup thread,
    // read by whichever thread sets a parameter.
    std::atomic<UInt32> mModelCount{0};
    std::atomic<UInt32> mOversampling{1};
    std::atomic<UInt32> mOnDemand{0}; // 64004, taken by kernels when they are made
    std::string mArchivePath;         // 64007; setup thread, read by kernels when made
};

// One channel: forwards changed parameters to its main effect, then runs it at
// the stream rate times the unit's oversampling factor, between the oversampler's
// upsampler and downsampler (blocks/Oversampler.h). A new factor is taken at the start
// of Process: the oversampler switches, the effect is told the new rate and its
// state is cleared.
//
// Every model's graph is built and readied when the kernel is made (setup thread)
// and kept for the kernel's life, so a change of the model parameter only switches
// to a graph already built, with the effect's crossfade (at once when nothing has
// been rendered since the kernel was made or reset): Process allocates nothing,
// takes no lock and reads no archive for it. A model that cannot be built is left
// out, and asking for it leaves the current model playing.
//
// On demand (the unit's 64004), the kernel builds only the model it starts on;
// graphs for others are built off the render thread (PrepareModel) and handed in
// between renders (Offer). A change of the model parameter to a model without a
// graph waits, retried at each Process, until one is handed in. Once no fade is
// under way, graphs other than the one playing are retired: moved aside for the
// caller to collect (TakeRetired) and free off the render thread.
//
// The effect only ever hears finite samples: a NaN or infinite input sample is
// replaced by 0. Should its output still hold a non-finite sample, its state is
// cleared and that block is written as silence, so the output always recovers.
class quorleKernel : public AUKernelBase {
  public:
    // Setup thread. Creates and initialises the effect at the unit's sample rate
    // times its oversampling factor, with work buffers of the unit's maximum frames
    // per slice times that factor (at most kSlotLength frames), a work block of the
    // unit's maximum frames per slice and the oversampler; an error from the
    // effect's initialisation leaves the constructor (nothing is kept).
    explicit quorleKernel(AUEffectBase* unit);
    ~quorleKernel() override;

    // Audio thread. Any number of frames (longer calls run in pieces of the work
    // block, and oversampled pieces never exceed the effect's buffer, so a factor
    // raised above the starting one runs in shorter pieces); allocates nothing, a
    // model switch included.
    void Process(const Float32* inSourceP, Float32* inDestP, UInt32 inFramesToProcess,
                 UInt32 inNumChannels, bool& ioSilence) override;
    // Audio thread: this channel and `other` (a kernel of the same unit) as Process
    // runs each, bit for bit, their effects run as a pair (QrVorlixGeneric::processPair)
    // when both play the same model at the same factor with no fade under way. False,
    // with nothing rendered, when they cannot pair.
    bool ProcessPair(AUKernelBase& other, const Float32* inSourceP, Float32* inDestP,
                     const Float32* otherSourceP, Float32* otherDestP, UInt32 inFramesToProcess,
                     UInt32 inNumChannels, bool& ioSilence) override;
    // Clears the effect's filters, delay lines and averagers and the oversampler;
    // parameters, model and factor stay.
    void Reset() override;

    VorlixMac* effect() const { return mEffect.get(); }
    const Oversampler& oversampler() const { return *mOversampler; }
    // Model `index`'s graph as prepared at construction; null when it could not be built.
    PreparedGraph* preparedModel(size_t index) const {
        return index < mModels.size() ? mModels[index].get() : nullptr;
    }

    // Any thread but the render thread: model `index` built for this channel at the
    // stream rate times the unit's factor; null when it cannot be built.
    std::unique_ptr<PreparedGraph> PrepareModel(int index);
    // Render thread: whether Offer() can take a graph now.
    bool CanTakeGraph() const { return mRetired.size() < mRetired.capacity(); }
    // Render thread, between renders, when CanTakeGraph(): keeps `graph` for its
    // model; one the kernel already has a graph for is retired at once.
    void Offer(std::unique_ptr<PreparedGraph> graph);
    // Render thread: the oldest retired graph (null when none), now the caller's.
    std::unique_ptr<PreparedGraph> TakeRetired();

  private:
    // Base-rate frames the oversampler runs through at a time (its buffers' length).
    static constexpr UInt32 kOversamplerRun = 256;

    void ForwardParameters();
    void TakeFactor();
    // One piece of `frames` base-rate frames `stride` apart, made finite and brought to
    // the effect's rate; returns where the effect runs over it (frames times factor).
    float* TakePiece(const Float32* in, UInt32 frames, size_t stride);
    // The effect's output brought back to the base rate and written `stride` apart;
    // a non-finite output clears the channel and is written as silence.
    void GivePiece(Float32* out, UInt32 frames, size_t stride);
    // On demand, once no fade is under way: retires every graph but the one playing.
    void Retire();
    // Base-rate frames per piece at `factor`: the work block, cut so that the piece
    // times the factor fits the effect's buffer.
    UInt32 PieceFor(int factor) const;

    const std::atomic<UInt32>* mFactorSource; // the unit's factor
    float mBaseRate;                          // Hz
    UInt32 mPiece = 1;                        // base-rate frames per piece at the factor
    std::vector<float> mBlock;                // samples for the effect, one piece at a time
    std::vector<float> mHigh;                 // the piece at the oversampled rate
    float mLastControls[3];                   // drive, post gain, bass as last forwarded
    int32_t mLastModel;                       // model index last asked for (-1: none valid)
    bool mHeard = false; // a block was rendered since construction or the last reset
    // Every model's graph, by index (null where the model cannot be built). Made
    // before the effect, so that it outlives the effect that plays them.
    std::vector<std::unique_ptr<PreparedGraph>> mModels;
    // On demand: graphs no longer needed, waiting to be collected (the capacity,
    // reserved when the kernel is made, is never exceeded).
    std::vector<std::unique_ptr<PreparedGraph>> mRetired;
    bool mOnDemand = false;
    bool mMayRetire = false; // a graph may have become unneeded
    std::unique_ptr<VorlixMac> mEffect;
    std::unique_ptr<Oversampler> mOversampler;
};

extern "C" ComponentResult quorleEntry(ComponentParameters* params, void* storage);
