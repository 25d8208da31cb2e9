// The plug-in as a host sees it: an effect unit with four parameters (drive,
// post gain, bass tilt, model), the model names (property 64000), the plug-in
// directory (64001), the oversampling factor (64002), the archive played (64007),
// whether model switches fade (64008), the cabinet (64009, or 64010 from the bytes
// of a file the host read), its latency (12), its
// tail (20) and the view location (31). Each channel runs through its own kernel, a thin adapter
// over one channel engine (main/ChannelEngine.h).
//
// The oversampling factor (UInt32 1, 2, 4 or 8; 1 by default) may be set at any
// time: uninitialised, the kernels start with it; initialised, each kernel takes it
// at its next Process (no allocation, no lock) and fades over the change. Other
// values are refused with -10851 (invalid property value). The change is announced
// with the latency. The saved state carries it ("oversampling"); a state without
// it keeps the factor.
//
// A model switch is heard at once by default; with 64008 set to 1 it crossfades.
//
// The cabinet (64009) is chosen while uninitialised, and SetProperty reads it then,
// on the setup thread: a shipped name is looked up in the plug-in directory's
// archive (read afresh, as Initialize reads it), anything else is read as a file.
// What was read is kept, at its own rate, so that Initialize needs no file: it
// levels it at the unit's rate and installs one convolver per channel before the
// first render (a mono response in every channel, a stereo one left in channel 0,
// right in the others). The cabinet adds no latency; its length is the unit's tail
// time, and without a cabinet the unit offers no tail time. Neither the cabinet nor the archive
// path (64007) is saved in the state: both name files of this machine, and a host sets them as it
// sets the stream format.
//
// Parameter values the effect cannot take never reach it: drive, post gain and
// bass are held within 0..1 (NaN becomes the default 0.5) wherever they are set,
// and a model index outside the model list is refused with -10878 (the platform
// has no separate invalid-value status), the current model playing on.
#pragma once

#include "au/AUEffectBase.h"
#include "au/quorleIds.h"
#include "blocks/Oversampler.h"
#include "main/ChannelEngine.h"
#include "main/ImpulseResponse.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class ChannelEngine;
class DataArchive;
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
    // Setup thread.
    OSStatus SetProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         const void* inData, UInt32 inDataSize) override;
    // False for the archive path and the cabinet: a cut path names another file.
    bool ValueMayBeCut(AudioUnitPropertyID id) const override;
    // Only a cabinet makes a tail, as long as its response: without one the
    // tail-time property is not offered (-10879).
    bool SupportsTail() override { return GetTailTime() > 0.0; }
    Float64 GetTailTime() override { return mTailSeconds.load(std::memory_order_relaxed); }
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
    // Setup thread: 64009 read and kept, or refused (-10851) with nothing changed.
    OSStatus SetCabinet(const char* text, UInt32 size);
    OSStatus SetCabinetBytes(const char* value, UInt32 size);
    void KeepCabinet(std::string choice, std::optional<ImpulseResponse> response);
    // Setup thread, once the kernels are made: `response` levelled at the unit's rate
    // in each kernel's engine; false when an engine cannot take it.
    bool InstallCabinet(const ImpulseResponse& response);
    friend class quorleKernel;

    // Models in the list; 0 while it is not known. Written by the setup thread,
    // read by whichever thread sets a parameter.
    std::atomic<UInt32> mModelCount{0};
    std::atomic<UInt32> mOversampling{1};
    std::atomic<UInt32> mFadeSwitches{0}; // 64008
    // 64007 and 64009, under mPathLock: a host may read them on one thread while
    // another sets them.
    mutable std::mutex mPathLock;
    std::string mArchivePath;
    std::string mCabinetChoice;
    // What the cabinet choice read, at its own rate; null for none.
    std::shared_ptr<const ImpulseResponse> mCabinetResponse;
    // The chosen cabinet's length: at its own rate once chosen, at the unit's once installed.
    std::atomic<Float64> mTailSeconds{0.0};
    // The archive the kernels play, read once by Initialize and shared by every channel.
    std::shared_ptr<const DataArchive> mArchive;
};

// One channel: hands the unit's parameters and factor to its channel engine when
// they change and runs it. Every model's graph is built when the kernel is made
// (setup thread), so a change of the model parameter only switches to a graph
// already built: Process allocates nothing, takes no lock and reads no archive. A
// model that cannot be built is left out, and asking for it leaves the current
// model playing.
class quorleKernel : public AUKernelBase {
  public:
    // Setup thread. The engine runs at the unit's rate and factor, sized for its
    // maximum frames per slice, on the archive the unit read; an error from the
    // effect's initialisation leaves the constructor.
    explicit quorleKernel(AUEffectBase* unit);
    ~quorleKernel() override;

    // Audio thread. Any number of frames; allocates nothing, a model switch included.
    void Process(const Float32* inSourceP, Float32* inDestP, UInt32 inFramesToProcess,
                 UInt32 inNumChannels, bool& ioSilence) override;
    // Audio thread: this channel and `other` (a kernel of the same unit) as Process
    // runs each, bit for bit, as a pair when the engines can pair.
    bool ProcessPair(AUKernelBase& other, const Float32* inSourceP, Float32* inDestP,
                     const Float32* otherSourceP, Float32* otherDestP, UInt32 inFramesToProcess,
                     UInt32 inNumChannels, bool& ioSilence) override;
    // Clears the effect's filters, delay lines and averagers and the oversampler;
    // parameters, model and factor stay.
    void Reset() override;

    ChannelEngine& engine() const { return *mEngine; }
    VorlixMac* effect() const { return &mEngine->effect(); }
    const Oversampler& oversampler() const { return mEngine->oversampler(); }
    // Model `index`'s graph as prepared at construction; null when it could not be built.
    PreparedGraph* preparedModel(size_t index) const {
        return mEngine->prepared(static_cast<int>(index));
    }

  private:
    void Forward();

    const std::atomic<UInt32>* mFactorSource; // the unit's factor
    int32_t mLastModel = 0;                   // model index last asked for (-1: none valid)
    std::unique_ptr<ChannelEngine> mEngine;
};

extern "C" ComponentResult quorleEntry(ComponentParameters* params, void* storage);
