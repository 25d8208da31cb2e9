// An effect processed channel by channel: one input bus, one output bus, and one
// kernel per output channel made by the subclass's NewKernel.
//
// Initialize checks the channel configuration and makes the kernels; Cleanup
// destroys them. Render pulls input 0, points the output at the input's buffers
// when processing in place, and either passes the input through (bypass) or runs
// the kernels over the buffers, cut into slices at scheduled parameter events.
// The output is flagged silent when the input is silent and the effect's latency
// and tail have run out; a silent output not shared with the input is zeroed.
#pragma once

#include "au/AUBase.h"

#include <memory>
#include <vector>

class AUEffectBase;

class AUKernelBase {
  public:
    explicit AUKernelBase(AUEffectBase* inAudioUnit);
    virtual ~AUKernelBase();
    AUKernelBase(const AUKernelBase&) = delete;
    AUKernelBase& operator=(const AUKernelBase&) = delete;

    virtual void Reset();
    // Processes `inFramesToProcess` frames whose samples lie `inNumChannels` apart
    // (1 for a buffer of its own). `ioSilence` comes in true when the input is
    // silent; a kernel that leaves it false marks the output as sound.
    virtual void Process(const Float32* inSourceP, Float32* inDestP, UInt32 inFramesToProcess,
                         UInt32 inNumChannels, bool& ioSilence) = 0;
    // Processes this channel and the next one's kernel `other` together, as Process
    // on each would (both buffers' samples `inNumChannels` apart). False, with
    // nothing processed, when the kernels do not run together: then each runs
    // Process. By default they never do.
    virtual bool ProcessPair(AUKernelBase& other, const Float32* inSourceP, Float32* inDestP,
                             const Float32* otherSourceP, Float32* otherDestP,
                             UInt32 inFramesToProcess, UInt32 inNumChannels, bool& ioSilence);

    // The unit's current value in the global scope, element 0.
    AudioUnitParameterValue GetParameter(AudioUnitParameterID id);

    void SetChannelNum(UInt32 channel) { mChannelNum = channel; }
    UInt32 GetChannelNum() const { return mChannelNum; }
    void SetLastKernel(bool last) { mLastKernel = last; }
    bool IsLastKernel() const { return mLastKernel; }

  protected:
    AUEffectBase* mAudioUnit;

  private:
    bool mLastKernel = false;
    UInt32 mChannelNum = 0;
};

class AUEffectBase : public AUBase {
  public:
    AUEffectBase(ComponentInstance inInstance, bool inProcessesInPlace = true);
    ~AUEffectBase() override;

    // Input and output channel counts must fit a published configuration, or,
    // when none is published, be equal and not zero (else -10868).
    OSStatus Initialize() override;
    void Cleanup() override;
    OSStatus Reset(AudioUnitScope scope, AudioUnitElement element) override;

    // Bypass (21) and in-place processing (29), both global.
    OSStatus GetPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                             UInt32& outDataSize, Boolean& outWritable) override;
    OSStatus GetProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         void* outData) override;
    OSStatus SetProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         const void* inData, UInt32 inDataSize) override;

    virtual AUKernelBase* NewKernel() = 0;

    // Global scope, element 0; an unknown ID throws -10878.
    AudioUnitParameterValue GetParameter(AudioUnitParameterID id);
    void SetParameter(AudioUnitParameterID id, AudioUnitParameterValue value);
    using AUBase::GetParameter;
    using AUBase::SetParameter;

    Float64 GetSampleRate();                 // output element 0
    UInt32 GetNumberOfChannels();            // output element 0
    AUKernelBase* GetKernel(UInt32 channel); // null when missing
    size_t GetNumKernels() const { return mKernelList.size(); }

    bool ShouldBypassEffect() const { return mBypassEffect; }
    virtual void SetBypassEffect(bool bypass) { mBypassEffect = bypass; }
    bool ProcessesInPlace() const { return mProcessesInPlace; }
    void SetProcessesInPlace(bool inPlace) { mProcessesInPlace = inPlace; }
    // When set, a sample-rate change is announced as a change of the parameter list.
    void SetParamHasSampleRateDependency(bool depends) { mParamSRDep = depends; }
    bool HasParamSampleRateDependency() const { return mParamSRDep; }

    void ChangeStreamFormat(AudioUnitScope scope, AudioUnitElement element,
                            const AudioStreamBasicDescription& previous,
                            const AudioStreamBasicDescription& format) override;

    OSStatus Render(AudioUnitRenderActionFlags& ioFlags, const AudioTimeStamp& timeStamp,
                    UInt32 frames) override;

  protected:
    // Makes or destroys kernels until there is one per output channel, then numbers
    // them and flags the last.
    void MaintainKernels();
    // Whether the input counts as silent, with the tail countdown: a silent input
    // stays "not silent" until latency + tail time worth of frames have passed.
    virtual bool IsInputSilent(AudioUnitRenderActionFlags flags, UInt32 frames);
    virtual OSStatus ProcessBufferLists(AudioUnitRenderActionFlags& ioFlags,
                                        const AudioBufferList& in, AudioBufferList& out,
                                        UInt32 frames);
    OSStatus ProcessScheduledSlice(void* userData, UInt32 sliceStart, UInt32 sliceFrames,
                                   UInt32 totalFrames) override;

  private:
    // Runs kernels 0..channels-1 over the buffers `buffersOf(k)` gives (source,
    // destination), two at a time where a kernel processes its next one with it.
    template <typename Buffers>
    void RunKernels(AudioUnitRenderActionFlags& ioFlags, bool silent, UInt32 channels,
                    UInt32 frames, UInt32 stride, Buffers buffersOf);

    struct SliceLists {
        AudioUnitRenderActionFlags* flags;
        AudioBufferList* in;
        AudioBufferList* out;
        UInt32 advancedFrames; // how far the slices have moved the data pointers
    };

    std::vector<std::unique_ptr<AUKernelBase>> mKernelList;
    bool mBypassEffect = false;
    bool mParamSRDep = false;
    bool mProcessesInPlace;
    SInt32 mTailFramesRemaining = 0;
    bool mRestartTailCount = true;
};
