#include "au/AUBase.h"

#include "au/AUStatus.h"
#include "platform/Threads.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr size_t kListenerRoom = 32;

int64_t EventOffset(const AudioUnitParameterEvent& event) {
    return event.eventType == kParameterEvent_Ramped
               ? int64_t(event.eventValues.ramp.startBufferOffset)
               : int64_t(event.eventValues.immediate.bufferOffset);
}

} // namespace

AUBase::AUBase(ComponentInstance inInstance, UInt32 numInputElements, UInt32 numOutputElements,
               UInt32 numGroupElements, UInt32 numPartElements)
    : mComponentInstance(inInstance), mInitialElementCounts{1, numInputElements, numOutputElements,
                                                            numGroupElements, numPartElements} {
    mParamEvents.reserve(kMaxScheduledEvents);
    mEventScratch.resize(kMaxScheduledEvents);
    mCurrentPreset.presetName =
        CFStringCreateWithCString(kCFAllocatorDefault, "Untitled", kCFStringEncodingUTF8);
}

AUBase::~AUBase() {
    if (mCurrentPreset.presetName)
        CFRelease(mCurrentPreset.presetName);
    if (mContextName)
        CFRelease(mContextName);
}

// --- Life cycle ---

void AUBase::PostConstructor() {
    CreateElements();
}

void AUBase::PreDestructor() {
    DoCleanup();
}

void AUBase::CreateElements() {
    if (mElementsCreated)
        return;
    std::vector<std::unique_ptr<AUElement>> scopes[kNumberOfScopes];
    for (AudioUnitScope scope = 0; scope < kNumberOfScopes; ++scope) {
        scopes[scope].reserve(mInitialElementCounts[scope]);
        for (AudioUnitElement element = 0; element < mInitialElementCounts[scope]; ++element)
            scopes[scope].push_back(CreateElement(scope, element));
    }
    for (AudioUnitScope scope = 0; scope < kNumberOfScopes; ++scope)
        mScopes[scope] = std::move(scopes[scope]);
    mElementsCreated = true;
}

std::unique_ptr<AUElement> AUBase::CreateElement(AudioUnitScope scope, AudioUnitElement) {
    switch (scope) {
    case kAudioUnitScope_Input: return std::make_unique<AUInputElement>(this);
    case kAudioUnitScope_Output: return std::make_unique<AUOutputElement>(this);
    default: return std::make_unique<AUElement>(this);
    }
}

OSStatus AUBase::DoInitialize() {
    if (mInitialized)
        return noErr;
    OSStatus result;
    try {
        result = Initialize();
        if (result == noErr) {
            for (AudioUnitScope scope : {kAudioUnitScope_Input, kAudioUnitScope_Output})
                for (AudioUnitElement e = 0; e < GetNumberOfElements(scope); ++e)
                    GetIOElement(scope, e)->AllocateBuffer(mMaxFramesPerSlice);
            mInitialized = true;
            // A new run starts its sample times afresh.
            mLastRenderedSampleTime = -1.0;
        }
    } catch (...) {
        mInitialized = true;
        DoCleanup();
        throw;
    }
    if (result != noErr) {
        mInitialized = true;
        DoCleanup();
    }
    return result;
}

void AUBase::DoCleanup() {
    if (!mInitialized)
        return;
    Cleanup();
    for (AudioUnitScope scope : {kAudioUnitScope_Input, kAudioUnitScope_Output})
        for (AudioUnitElement e = 0; e < GetNumberOfElements(scope); ++e)
            GetIOElement(scope, e)->DeallocateBuffer();
    mInitialized = false;
}

OSStatus AUBase::DoReset(AudioUnitScope scope, AudioUnitElement element) {
    mLastRenderedSampleTime = -1.0;
    return Reset(scope, element);
}

// --- Elements ---

AUElement* AUBase::GetElement(AudioUnitScope scope, AudioUnitElement element) {
    if (scope >= kNumberOfScopes || element >= mScopes[scope].size())
        return nullptr;
    return mScopes[scope][element].get();
}

AUElement& AUBase::SafeGetElement(AudioUnitScope scope, AudioUnitElement element) {
    if (scope >= kNumberOfScopes)
        ThrowStatus(kAudioUnitErr_InvalidScope);
    AUElement* found = GetElement(scope, element);
    if (!found)
        ThrowStatus(kAudioUnitErr_InvalidElement);
    return *found;
}

UInt32 AUBase::GetNumberOfElements(AudioUnitScope scope) const {
    return scope < kNumberOfScopes ? static_cast<UInt32>(mScopes[scope].size()) : 0;
}

// Input and output elements are made by CreateElement as AUInputElement and
// AUOutputElement (or classes derived from them).
AUInputElement* AUBase::GetInput(UInt32 element) {
    return static_cast<AUInputElement*>(GetElement(kAudioUnitScope_Input, element));
}

AUOutputElement* AUBase::GetOutput(UInt32 element) {
    return static_cast<AUOutputElement*>(GetElement(kAudioUnitScope_Output, element));
}

AUIOElement* AUBase::GetIOElement(AudioUnitScope scope, AudioUnitElement element) {
    if (scope != kAudioUnitScope_Input && scope != kAudioUnitScope_Output)
        return nullptr;
    return static_cast<AUIOElement*>(GetElement(scope, element));
}

// --- Parameters ---

OSStatus AUBase::GetParameterInfo(AudioUnitScope, AudioUnitParameterID, AudioUnitParameterInfo&) {
    return kAudioUnitErr_InvalidParameter;
}

OSStatus AUBase::GetParameterValueStrings(AudioUnitScope, AudioUnitParameterID, CFTypeRef*) {
    return kAudioUnitErr_InvalidProperty;
}

OSStatus AUBase::GetParameter(AudioUnitParameterID id, AudioUnitScope scope,
                              AudioUnitElement element, AudioUnitParameterValue& outValue) {
    if (scope == kAudioUnitScope_Group)
        return kAudioUnitErr_InvalidScope;
    outValue = SafeGetElement(scope, element).GetParameter(id);
    return noErr;
}

OSStatus AUBase::SetParameter(AudioUnitParameterID id, AudioUnitScope scope,
                              AudioUnitElement element, AudioUnitParameterValue value, UInt32) {
    if (scope == kAudioUnitScope_Group)
        return kAudioUnitErr_InvalidScope;
    SafeGetElement(scope, element).SetParameter(id, value);
    return noErr;
}

OSStatus AUBase::ScheduleParameters(const AudioUnitParameterEvent* events, UInt32 numEvents) {
    if (!events && numEvents > 0)
        return paramErr;
    for (UInt32 i = 0; i < numEvents; ++i) {
        // The queue never grows past the room it was given: no allocation here.
        if (mParamEvents.size() >= kMaxScheduledEvents)
            return paramErr;
        const AudioUnitParameterEvent& event = events[i];
        if (event.eventType != kParameterEvent_Immediate &&
            event.eventType != kParameterEvent_Ramped)
            return paramErr;
        if (event.scope == kAudioUnitScope_Group)
            return kAudioUnitErr_InvalidScope;
        AUElement& element = SafeGetElement(event.scope, event.element);
        if (event.eventType == kParameterEvent_Immediate)
            element.SetParameter(event.parameter, event.eventValues.immediate.value);
        else if (!element.HasParameter(event.parameter))
            return kAudioUnitErr_InvalidParameter;
        mParamEvents.push_back(event);
    }
    return noErr;
}

size_t AUBase::SortEventsByOffset(AudioUnitParameterEvent* events, size_t count,
                                  AudioUnitParameterEvent* scratch) {
    // Bottom-up merge sort: runs of 1, 2, 4, ... events are merged pairwise,
    // back and forth between the two arrays.
    size_t comparisons = 0;
    AudioUnitParameterEvent* from = events;
    AudioUnitParameterEvent* to = scratch;
    for (size_t width = 1; width < count; width *= 2) {
        for (size_t left = 0; left < count; left += 2 * width) {
            const size_t middle = std::min(left + width, count);
            const size_t right = std::min(left + 2 * width, count);
            size_t i = left, j = middle, k = left;
            while (i < middle && j < right) {
                ++comparisons;
                // The right run's event goes first only when strictly earlier.
                if (EventOffset(from[j]) < EventOffset(from[i]))
                    to[k++] = from[j++];
                else
                    to[k++] = from[i++];
            }
            while (i < middle)
                to[k++] = from[i++];
            while (j < right)
                to[k++] = from[j++];
        }
        std::swap(from, to);
    }
    if (from != events)
        std::copy(from, from + count, events);
    return comparisons;
}

OSStatus AUBase::ProcessForScheduledParams(ParameterEventList& events, UInt32 frames,
                                           void* userData) {
    if (events.size() > mEventScratch.size())
        return paramErr;
    // Stable: events at the same offset keep their order, so a later immediate
    // value overrides an earlier one.
    SortEventsByOffset(events.data(), events.size(), mEventScratch.data());

    UInt32 start = 0;
    while (start < frames) {
        int64_t end = frames;
        for (const AudioUnitParameterEvent& event : events) {
            const int64_t offset = EventOffset(event);
            if (offset > start && offset < end) {
                end = offset;
                break;
            }
            if (event.eventType == kParameterEvent_Ramped) {
                const int64_t rampEnd = offset + event.eventValues.ramp.durationInFrames;
                if (rampEnd > start && rampEnd < end)
                    end = rampEnd;
            }
        }
        const UInt32 sliceFrames = static_cast<UInt32>(end - start);

        for (const AudioUnitParameterEvent& event : events) {
            const int64_t offset = EventOffset(event);
            bool falls;
            if (event.eventType == kParameterEvent_Ramped)
                falls = offset < end && offset + event.eventValues.ramp.durationInFrames > start;
            else
                falls = offset <= start;
            if (!falls)
                continue;
            if (AUElement* element = GetElement(event.scope, event.element))
                element->SetScheduledEvent(event, start, sliceFrames);
        }

        const OSStatus result = ProcessScheduledSlice(userData, start, sliceFrames, frames);
        if (result != noErr)
            return result;
        start += sliceFrames;
    }
    return noErr;
}

OSStatus AUBase::ProcessScheduledSlice(void*, UInt32, UInt32, UInt32) {
    return noErr;
}

// --- Property listeners ---

OSStatus AUBase::AddPropertyListener(AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc,
                                     void* refCon) {
    if (!proc)
        return paramErr;
    std::lock_guard<std::recursive_mutex> lock(mListenerLock);
    if (mPropertyListeners.capacity() == 0)
        mPropertyListeners.reserve(kListenerRoom);
    mPropertyListeners.push_back(PropertyListener{id, proc, refCon});
    return noErr;
}

OSStatus AUBase::RemovePropertyListener(AudioUnitPropertyID id,
                                        AudioUnitPropertyListenerProc proc) {
    std::lock_guard<std::recursive_mutex> lock(mListenerLock);
    auto& list = mPropertyListeners;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const PropertyListener& listener) {
                                  return listener.id == id && listener.proc == proc;
                              }),
               list.end());
    return noErr;
}

void AUBase::PropertyChanged(AudioUnitPropertyID id, AudioUnitScope scope,
                             AudioUnitElement element) {
    std::lock_guard<std::recursive_mutex> lock(mListenerLock);
    CallListeners(id, scope, element);
}

void AUBase::CallListeners(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element) {
    // By index and by copy: a listener may add or remove listeners while called.
    // When the slot no longer holds the listener just called, an entry at or before
    // it was removed and the slot holds the next one still to call.
    for (size_t i = 0; i < mPropertyListeners.size();) {
        const PropertyListener listener = mPropertyListeners[i];
        if (listener.id == id)
            listener.proc(listener.refCon, mComponentInstance, id, scope, element);
        const bool moved = i >= mPropertyListeners.size() ||
                           mPropertyListeners[i].id != listener.id ||
                           mPropertyListeners[i].proc != listener.proc ||
                           mPropertyListeners[i].refCon != listener.refCon;
        if (!moved)
            ++i;
    }
}

// --- Stream formats and channels ---

bool AUBase::IsCanonicalFormat(const AudioStreamBasicDescription& format) {
    return format.mFormatID == kAudioFormatLinearPCM && format.mFramesPerPacket == 1 &&
           format.mBytesPerPacket == format.mBytesPerFrame &&
           (format.mFormatFlags & kAudioFormatFlagIsFloat) &&
           (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) &&
           !(format.mFormatFlags & kAudioFormatFlagIsBigEndian) && format.mBitsPerChannel == 32 &&
           format.mBytesPerFrame == 4;
}

bool AUBase::IsSupportedSampleRate(Float64 rate) {
    return std::isfinite(rate) && rate >= kMinSampleRate && rate <= kMaxSampleRate;
}

bool AUBase::SameFormat(const AudioStreamBasicDescription& a,
                        const AudioStreamBasicDescription& b) {
    return a.mSampleRate == b.mSampleRate && a.mFormatID == b.mFormatID &&
           a.mFormatFlags == b.mFormatFlags && a.mBytesPerPacket == b.mBytesPerPacket &&
           a.mFramesPerPacket == b.mFramesPerPacket && a.mBytesPerFrame == b.mBytesPerFrame &&
           a.mChannelsPerFrame == b.mChannelsPerFrame && a.mBitsPerChannel == b.mBitsPerChannel;
}

void AUBase::ChangeStreamFormat(AudioUnitScope scope, AudioUnitElement element,
                                const AudioStreamBasicDescription&,
                                const AudioStreamBasicDescription& format) {
    AUIOElement* io = GetIOElement(scope, element);
    if (!io)
        ThrowStatus(kAudioUnitErr_InvalidElement);
    io->SetStreamFormat(format);
    PropertyChanged(kAudioUnitProperty_StreamFormat, scope, element);
}

UInt32 AUBase::SupportedNumChannels(const AUChannelInfo** outInfo) {
    if (outInfo)
        *outInfo = nullptr;
    return 0;
}

// --- Render ---

OSStatus AUBase::AddRenderNotification(AURenderCallback proc, void* refCon) {
    if (!proc)
        return paramErr;
    mRenderNotify.Add(proc, refCon);
    return noErr;
}

OSStatus AUBase::RemoveRenderNotification(AURenderCallback proc, void* refCon) {
    if (!proc)
        return paramErr;
    mRenderNotify.Remove(proc, refCon);
    return noErr;
}

OSStatus AUBase::DoRender(AudioUnitRenderActionFlags& ioFlags, const AudioTimeStamp& timeStamp,
                          UInt32 bus, UInt32 frames, AudioBufferList& ioData) {
    DenormalGuard floatModes;
    OSStatus result;
    try {
        result = RenderChecked(ioFlags, timeStamp, bus, frames, ioData);
    } catch (...) {
        result = CurrentExceptionStatus();
    }
    // Events belong to the render call they were scheduled for, even a failed one.
    mParamEvents.clear();
    if (result != noErr)
        RecordRenderError(result);
    return result;
}

OSStatus AUBase::RenderChecked(AudioUnitRenderActionFlags& ioFlags, const AudioTimeStamp& timeStamp,
                               UInt32 bus, UInt32 frames, AudioBufferList& ioData) {
    if (!mInitialized)
        return kAudioUnitErr_Uninitialized;
    if (frames > mMaxFramesPerSlice)
        return kAudioUnitErr_TooManyFramesToProcess;
    AUOutputElement* output = GetOutput(bus);
    if (!output)
        return kAudioUnitErr_InvalidElement;
    if (ioData.mNumberBuffers != output->NumberBuffers())
        return paramErr;
    // Buffers the host supplies must all be there, with room for the frames.
    if (ioData.mNumberBuffers > 0 && ioData.mBuffers[0].mData) {
        const uint64_t bytes = uint64_t(frames) * output->ChannelsPerBuffer() * sizeof(Float32);
        for (UInt32 i = 0; i < ioData.mNumberBuffers; ++i)
            if (!ioData.mBuffers[i].mData || ioData.mBuffers[i].mDataByteSize < bytes)
                return paramErr;
    }
    if (mWantsRenderThreadID)
        mRenderThreadID.store(currentThreadId());

    mRenderNotify.Update();
    mRenderNotify.Call(ioFlags | kAudioUnitRenderAction_PreRender, timeStamp, bus, frames, &ioData);
    OSStatus result;
    try {
        result = RenderOutputBus(ioFlags, timeStamp, bus, frames, ioData);
    } catch (...) {
        result = CurrentExceptionStatus();
    }
    mRenderNotify.Call(ioFlags | kAudioUnitRenderAction_PostRender, timeStamp, bus, frames,
                       &ioData);
    return result;
}

OSStatus AUBase::RenderOutputBus(AudioUnitRenderActionFlags& ioFlags,
                                 const AudioTimeStamp& timeStamp, UInt32 bus, UInt32 frames,
                                 AudioBufferList& ioData) {
    AUOutputElement& output = *GetOutput(bus);
    const bool hostMemory = ioData.mNumberBuffers > 0 && ioData.mBuffers[0].mData != nullptr;
    output.PrepareBuffer(frames);
    if (hostMemory && GetNumberOfElements(kAudioUnitScope_Output) == 1)
        output.UseExternalBuffer(ioData);

    if (timeStamp.mSampleTime != mLastRenderedSampleTime) {
        mLastRenderedSampleTime = timeStamp.mSampleTime;
        const OSStatus result = RenderBus(ioFlags, timeStamp, bus, frames);
        if (result != noErr)
            return result;
    }

    const AudioBufferList& rendered = output.GetBufferList();
    const UInt32 bytes = frames * output.ChannelsPerBuffer() * UInt32(sizeof(Float32));
    for (UInt32 i = 0; i < ioData.mNumberBuffers; ++i) {
        AudioBuffer& host = ioData.mBuffers[i];
        const AudioBuffer& ours = rendered.mBuffers[i];
        if (!hostMemory) {
            host.mData = ours.mData;
        } else if (host.mData != ours.mData && ours.mData && bytes > 0) {
            std::memcpy(host.mData, ours.mData, std::min(bytes, ours.mDataByteSize));
        }
        host.mDataByteSize = bytes;
        host.mNumberChannels = output.ChannelsPerBuffer();
    }
    return noErr;
}

OSStatus AUBase::RenderBus(AudioUnitRenderActionFlags& ioFlags, const AudioTimeStamp& timeStamp,
                           UInt32, UInt32 frames) {
    return Render(ioFlags, timeStamp, frames);
}

OSStatus AUBase::Render(AudioUnitRenderActionFlags&, const AudioTimeStamp&, UInt32) {
    return noErr;
}

void AUBase::RecordRenderError(OSStatus error) {
    OSStatus none = noErr;
    if (!mLastRenderError.compare_exchange_strong(none, error))
        return;
    // Never waits: while the setup thread holds the listener list, the error
    // stays unannounced but readable.
    std::unique_lock<std::recursive_mutex> lock(mListenerLock, std::try_to_lock);
    if (lock.owns_lock())
        CallListeners(kAudioUnitProperty_LastRenderError, kAudioUnitScope_Global, 0);
}
