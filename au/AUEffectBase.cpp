#include "au/AUEffectBase.h"

#include "au/AUStatus.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace {

// Bytes of `frames` frames in `buffer`, never more than the buffer holds.
size_t BoundedBytes(const AudioBuffer& buffer, UInt32 frames) {
    const uint64_t bytes = uint64_t(frames) * buffer.mNumberChannels * sizeof(Float32);
    return static_cast<size_t>(std::min<uint64_t>(bytes, buffer.mDataByteSize));
}

void CopyBuffers(const AudioBufferList& in, AudioBufferList& out, UInt32 frames) {
    const UInt32 count = std::min(in.mNumberBuffers, out.mNumberBuffers);
    for (UInt32 i = 0; i < count; ++i) {
        const AudioBuffer& from = in.mBuffers[i];
        AudioBuffer& to = out.mBuffers[i];
        if (from.mData && to.mData && from.mData != to.mData)
            std::memcpy(to.mData, from.mData,
                        std::min(BoundedBytes(from, frames), BoundedBytes(to, frames)));
    }
}

void ZeroBuffers(AudioBufferList& list, UInt32 frames) {
    for (UInt32 i = 0; i < list.mNumberBuffers; ++i)
        if (list.mBuffers[i].mData)
            std::memset(list.mBuffers[i].mData, 0, BoundedBytes(list.mBuffers[i], frames));
}

// Moves every buffer's data pointer by `frames` frames (back when negative).
void MoveBuffers(AudioBufferList& list, int64_t frames) {
    for (UInt32 i = 0; i < list.mNumberBuffers; ++i) {
        AudioBuffer& buffer = list.mBuffers[i];
        if (buffer.mData)
            buffer.mData = static_cast<Float32*>(buffer.mData) + frames * buffer.mNumberChannels;
    }
}

} // namespace

// --- AUKernelBase ---

AUKernelBase::AUKernelBase(AUEffectBase* inAudioUnit) : mAudioUnit(inAudioUnit) {}

AUKernelBase::~AUKernelBase() = default;

void AUKernelBase::Reset() {}

bool AUKernelBase::ProcessPair(AUKernelBase&, const Float32*, Float32*, const Float32*, Float32*,
                               UInt32, UInt32, bool&) {
    return false;
}

AudioUnitParameterValue AUKernelBase::GetParameter(AudioUnitParameterID id) {
    return mAudioUnit->GetParameter(id);
}

// --- AUEffectBase ---

AUEffectBase::AUEffectBase(ComponentInstance inInstance, bool inProcessesInPlace)
    : AUBase(inInstance, 1, 1), mProcessesInPlace(inProcessesInPlace) {}

AUEffectBase::~AUEffectBase() = default;

OSStatus AUEffectBase::Initialize() {
    AUInputElement* input = GetInput(0);
    AUOutputElement* output = GetOutput(0);
    if (!input || !output)
        return kAudioUnitErr_FailedInitialization;
    const long inChannels = input->NumberChannels();
    const long outChannels = output->NumberChannels();

    const AUChannelInfo* info = nullptr;
    const UInt32 configurations = SupportedNumChannels(&info);
    if (configurations == 0 || !info) {
        if (inChannels != outChannels || outChannels == 0)
            return kAudioUnitErr_FormatNotSupported;
    } else {
        bool matched = false;
        for (UInt32 i = 0; i < configurations && !matched; ++i) {
            const long in = info[i].inChannels;
            const long out = info[i].outChannels;
            if (in < 0 && out < 0)
                matched = (in == -1 && out == -2) || (in == -2 && out == -1) ||
                          (in == -1 && out == -1 && inChannels == outChannels);
            else
                matched = (in == -1 || in == inChannels) && (out == -1 || out == outChannels);
        }
        if (!matched)
            return kAudioUnitErr_FormatNotSupported;
    }
    MaintainKernels();
    return noErr;
}

void AUEffectBase::MaintainKernels() {
    const UInt32 channels = GetNumberOfChannels();
    if (mKernelList.size() < channels) {
        mKernelList.reserve(channels);
        while (mKernelList.size() < channels) {
            std::unique_ptr<AUKernelBase> kernel(NewKernel());
            mKernelList.push_back(std::move(kernel));
        }
    }
    while (mKernelList.size() > channels)
        mKernelList.pop_back();
    for (UInt32 i = 0; i < channels; ++i) {
        if (AUKernelBase* kernel = mKernelList[i].get()) {
            kernel->SetChannelNum(i);
            kernel->SetLastKernel(i == channels - 1);
        }
    }
}

void AUEffectBase::Cleanup() {
    mKernelList.clear();
}

OSStatus AUEffectBase::Reset(AudioUnitScope, AudioUnitElement) {
    for (auto& kernel : mKernelList)
        if (kernel)
            kernel->Reset();
    return noErr;
}

// --- Properties ---

OSStatus AUEffectBase::GetPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope,
                                       AudioUnitElement element, UInt32& outDataSize,
                                       Boolean& outWritable) {
    if (id == kAudioUnitProperty_BypassEffect || id == kAudioUnitProperty_InPlaceProcessing) {
        if (scope != kAudioUnitScope_Global)
            return kAudioUnitErr_InvalidScope;
        outDataSize = sizeof(UInt32);
        outWritable = true;
        return noErr;
    }
    return AUBase::GetPropertyInfo(id, scope, element, outDataSize, outWritable);
}

OSStatus AUEffectBase::GetProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                   AudioUnitElement element, void* outData) {
    if (id == kAudioUnitProperty_BypassEffect || id == kAudioUnitProperty_InPlaceProcessing) {
        if (scope != kAudioUnitScope_Global)
            return kAudioUnitErr_InvalidScope;
        const bool on =
            id == kAudioUnitProperty_BypassEffect ? ShouldBypassEffect() : ProcessesInPlace();
        const UInt32 value = on ? 1 : 0;
        std::memcpy(outData, &value, sizeof(value));
        return noErr;
    }
    return AUBase::GetProperty(id, scope, element, outData);
}

OSStatus AUEffectBase::SetProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                   AudioUnitElement element, const void* inData,
                                   UInt32 inDataSize) {
    if (id == kAudioUnitProperty_BypassEffect || id == kAudioUnitProperty_InPlaceProcessing) {
        if (scope != kAudioUnitScope_Global)
            return kAudioUnitErr_InvalidScope;
        if (inDataSize < sizeof(UInt32))
            return paramErr;
        UInt32 value;
        std::memcpy(&value, inData, sizeof(value));
        if (id == kAudioUnitProperty_InPlaceProcessing) {
            SetProcessesInPlace(value != 0);
            return noErr;
        }
        const bool bypass = value != 0;
        if (bypass != ShouldBypassEffect()) {
            // Kernels coming back from bypass start from a clean state.
            if (!bypass && IsInitialized())
                Reset(kAudioUnitScope_Global, 0);
            SetBypassEffect(bypass);
        }
        return noErr;
    }
    return AUBase::SetProperty(id, scope, element, inData, inDataSize);
}

void AUEffectBase::ChangeStreamFormat(AudioUnitScope scope, AudioUnitElement element,
                                      const AudioStreamBasicDescription& previous,
                                      const AudioStreamBasicDescription& format) {
    AUBase::ChangeStreamFormat(scope, element, previous, format);
    if (mParamSRDep && previous.mSampleRate != format.mSampleRate)
        PropertyChanged(kAudioUnitProperty_ParameterList, kAudioUnitScope_Global, 0);
}

// --- Parameters and channels ---

AudioUnitParameterValue AUEffectBase::GetParameter(AudioUnitParameterID id) {
    return SafeGetElement(kAudioUnitScope_Global, 0).GetParameter(id);
}

void AUEffectBase::SetParameter(AudioUnitParameterID id, AudioUnitParameterValue value) {
    SafeGetElement(kAudioUnitScope_Global, 0).SetParameter(id, value);
}

Float64 AUEffectBase::GetSampleRate() {
    AUOutputElement* output = GetOutput(0);
    return output ? output->GetStreamFormat().mSampleRate : 0.0;
}

UInt32 AUEffectBase::GetNumberOfChannels() {
    AUOutputElement* output = GetOutput(0);
    return output ? output->NumberChannels() : 0;
}

AUKernelBase* AUEffectBase::GetKernel(UInt32 channel) {
    return channel < mKernelList.size() ? mKernelList[channel].get() : nullptr;
}

// --- Render ---

bool AUEffectBase::IsInputSilent(AudioUnitRenderActionFlags flags, UInt32 frames) {
    if (!(flags & kAudioUnitRenderAction_OutputIsSilence)) {
        mRestartTailCount = true;
        return false;
    }
    if (mRestartTailCount) {
        const double timeout = GetSampleRate() * (GetLatency() + GetTailTime());
        // Clamped to the countdown's range (NaN counts as no tail).
        constexpr double kLongest = std::numeric_limits<SInt32>::max();
        mTailFramesRemaining = timeout > 0.0 ? SInt32(std::min(timeout, kLongest)) : 0;
        mRestartTailCount = false;
    }
    if (mTailFramesRemaining < 1)
        return true;
    mTailFramesRemaining = SInt32(std::max<int64_t>(int64_t(mTailFramesRemaining) - frames, 0));
    return false;
}

OSStatus AUEffectBase::ProcessBufferLists(AudioUnitRenderActionFlags& ioFlags,
                                          const AudioBufferList& in, AudioBufferList& out,
                                          UInt32 frames) {
    const bool silent = IsInputSilent(ioFlags, frames);
    ioFlags |= kAudioUnitRenderAction_OutputIsSilence;

    if (in.mNumberBuffers == 1) {
        // One buffer holding every channel, `stride` samples per frame: kernel k
        // takes channel k.
        const UInt32 stride = in.mBuffers[0].mNumberChannels;
        if (out.mNumberBuffers < 1 || out.mBuffers[0].mNumberChannels != stride)
            return paramErr;
        const auto* source = static_cast<const Float32*>(in.mBuffers[0].mData);
        auto* destination = static_cast<Float32*>(out.mBuffers[0].mData);
        const UInt32 channels = std::min<UInt32>(static_cast<UInt32>(mKernelList.size()), stride);
        RunKernels(ioFlags, silent, channels, frames, stride,
                   [&](UInt32 k) { return std::make_pair(source + k, destination + k); });
        return noErr;
    }

    const UInt32 channels = std::min<UInt32>(
        {static_cast<UInt32>(mKernelList.size()), in.mNumberBuffers, out.mNumberBuffers});
    RunKernels(ioFlags, silent, channels, frames, 1, [&](UInt32 k) {
        return std::make_pair(static_cast<const Float32*>(in.mBuffers[k].mData),
                              static_cast<Float32*>(out.mBuffers[k].mData));
    });
    return noErr;
}

template <typename Buffers>
void AUEffectBase::RunKernels(AudioUnitRenderActionFlags& ioFlags, bool silent, UInt32 channels,
                              UInt32 frames, UInt32 stride, Buffers buffersOf) {
    for (UInt32 k = 0; k < channels; ++k) {
        AUKernelBase* kernel = mKernelList[k].get();
        if (!kernel)
            continue;
        bool kernelSilence = silent;
        const auto [source, destination] = buffersOf(k);
        AUKernelBase* next = k + 1 < channels ? mKernelList[k + 1].get() : nullptr;
        if (next) {
            const auto [nextSource, nextDestination] = buffersOf(k + 1);
            if (kernel->ProcessPair(*next, source, destination, nextSource, nextDestination, frames,
                                    stride, kernelSilence)) {
                ++k; // the next channel is done too
                if (!kernelSilence)
                    ioFlags &= ~kAudioUnitRenderAction_OutputIsSilence;
                continue;
            }
        }
        kernel->Process(source, destination, frames, stride, kernelSilence);
        if (!kernelSilence)
            ioFlags &= ~kAudioUnitRenderAction_OutputIsSilence;
    }
}

OSStatus AUEffectBase::ProcessScheduledSlice(void* userData, UInt32, UInt32 sliceFrames, UInt32) {
    auto* lists = static_cast<SliceLists*>(userData);
    const OSStatus result = ProcessBufferLists(*lists->flags, *lists->in, *lists->out, sliceFrames);
    MoveBuffers(*lists->in, sliceFrames);
    MoveBuffers(*lists->out, sliceFrames);
    lists->advancedFrames += sliceFrames;
    return result;
}

OSStatus AUEffectBase::Render(AudioUnitRenderActionFlags& ioFlags, const AudioTimeStamp& timeStamp,
                              UInt32 frames) {
    AUInputElement* input = GetInput(0);
    if (!input || !input->IsActive())
        return kAudioUnitErr_NoConnection;
    OSStatus result = input->PullInput(ioFlags, timeStamp, 0, frames);
    if (result != noErr)
        return result;

    AUOutputElement* output = GetOutput(0);
    AudioBufferList& in = input->GetBufferList();
    if (mProcessesInPlace)
        output->UseExternalBuffer(in);
    AudioBufferList& out = output->GetBufferList();

    if (ShouldBypassEffect()) {
        if (!mProcessesInPlace)
            CopyBuffers(in, out, frames);
    } else if (GetParamEventList().empty()) {
        result = ProcessBufferLists(ioFlags, in, out, frames);
    } else {
        SliceLists lists = {&ioFlags, &in, &out, 0};
        result = ProcessForScheduledParams(GetParamEventList(), frames, &lists);
        // Back to where the slices started, by exactly as far as they went.
        MoveBuffers(in, -int64_t(lists.advancedFrames));
        MoveBuffers(out, -int64_t(lists.advancedFrames));
    }

    if ((ioFlags & kAudioUnitRenderAction_OutputIsSilence) && !mProcessesInPlace)
        ZeroBuffers(out, frames);
    return result;
}
