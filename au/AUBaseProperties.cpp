// The property catalogue: sizes, scopes, writability, reading and writing.
#include "au/AUBase.h"

#include "au/AUStatus.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

// Callers' buffers need not be aligned for the value's type.
template <typename T> void Write(void* outData, const T& value) {
    std::memcpy(outData, &value, sizeof(T));
}

template <typename T> T Read(const void* inData) {
    T value;
    std::memcpy(&value, inData, sizeof(T));
    return value;
}

bool IsIOScope(AudioUnitScope scope) {
    return scope == kAudioUnitScope_Input || scope == kAudioUnitScope_Output;
}

bool IsGlobalOrInput(AudioUnitScope scope) {
    return scope == kAudioUnitScope_Global || scope == kAudioUnitScope_Input;
}

// The standard properties that exist in the global scope only, whether this unit
// answers them or not; in any other scope they give -10866.
bool IsGlobalOnly(AudioUnitPropertyID id) {
    switch (id) {
    case kAudioUnitProperty_ClassInfo:
    case kAudioUnitProperty_FastDispatch:
    case kAudioUnitProperty_Latency:
    case kAudioUnitProperty_SupportedNumChannels:
    case kAudioUnitProperty_MaximumFramesPerSlice:
    case kAudioUnitProperty_GetUIComponentList:
    case kAudioUnitProperty_TailTime:
    case kAudioUnitProperty_BypassEffect:
    case kAudioUnitProperty_LastRenderError:
    case kAudioUnitProperty_FactoryPresets:
    case kAudioUnitProperty_ContextName:
    case kAudioUnitProperty_HostCallbacks:
    case kAudioUnitProperty_CurrentPreset:
    case kAudioUnitProperty_InPlaceProcessing:
    case kAudioUnitProperty_CocoaUI:
    case kAudioUnitProperty_PresentPreset:
    case kAudioUnitProperty_IconLocation: return true;
    default: return false;
    }
}

// Buffers of 32-bit floats carry their byte count in 32 bits.
constexpr UInt32 kLargestMaxFrames = std::numeric_limits<UInt32>::max() / sizeof(Float32);

} // namespace

// --- The unit's own properties: none in the base ---

OSStatus AUBase::GetPropertyInfo(AudioUnitPropertyID, AudioUnitScope, AudioUnitElement, UInt32&,
                                 Boolean&) {
    return kAudioUnitErr_InvalidProperty;
}

OSStatus AUBase::GetProperty(AudioUnitPropertyID, AudioUnitScope, AudioUnitElement, void*) {
    return kAudioUnitErr_InvalidProperty;
}

OSStatus AUBase::SetProperty(AudioUnitPropertyID, AudioUnitScope, AudioUnitElement, const void*,
                             UInt32) {
    return kAudioUnitErr_InvalidProperty;
}

OSStatus AUBase::RemovePropertyValue(AudioUnitPropertyID, AudioUnitScope, AudioUnitElement) {
    return kAudioUnitErr_PropertyNotWritable;
}

// --- Sizes, scopes and writability ---

UInt32 AUBase::ParameterCountForList(AudioUnitScope scope, AUElement** outElement) {
    UInt32 most = 0;
    AUElement* chosen = nullptr;
    for (AudioUnitElement e = 0; e < GetNumberOfElements(scope); ++e) {
        AUElement* element = GetElement(scope, e);
        if (!chosen || element->GetNumberOfParameters() > most) {
            chosen = element;
            most = element->GetNumberOfParameters();
        }
    }
    if (outElement)
        *outElement = chosen;
    return most;
}

namespace {
// Global properties whose size never changes.
struct FixedGlobalProperty {
    AudioUnitPropertyID id;
    UInt32 size;
    bool writable;
};
constexpr FixedGlobalProperty kFixedGlobalProperties[] = {
    {kAudioUnitProperty_ClassInfo, sizeof(CFPropertyListRef), true},
    {kAudioUnitProperty_FastDispatch, sizeof(void*), false},
    {kAudioUnitProperty_Latency, sizeof(Float64), false},
    {kAudioUnitProperty_MaximumFramesPerSlice, sizeof(UInt32), true},
    {kAudioUnitProperty_LastRenderError, sizeof(OSStatus), false},
    {kAudioUnitProperty_ContextName, sizeof(CFStringRef), true},
    {kAudioUnitProperty_HostCallbacks, sizeof(HostCallbackInfo), true},
    {kAudioUnitProperty_CurrentPreset, sizeof(AUPreset), true},
    {kAudioUnitProperty_PresentPreset, sizeof(AUPreset), true},
};
} // namespace

OSStatus AUBase::DispatchGetPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope,
                                         AudioUnitElement element, UInt32& outDataSize,
                                         Boolean& outWritable) {
    outWritable = false;
    if (scope != kAudioUnitScope_Global && IsGlobalOnly(id))
        return kAudioUnitErr_InvalidScope;
    for (const FixedGlobalProperty& p : kFixedGlobalProperties) {
        if (p.id == id) {
            outDataSize = p.size;
            outWritable = p.writable;
            return noErr;
        }
    }
    switch (id) {
    case kAudioUnitProperty_MakeConnection:
        if (!IsGlobalOrInput(scope))
            return kAudioUnitErr_InvalidScope;
        outDataSize = sizeof(AudioUnitConnection);
        outWritable = true;
        return noErr;
    case kAudioUnitProperty_SampleRate:
    case kAudioUnitProperty_StreamFormat:
        if (!IsIOScope(scope))
            return kAudioUnitErr_InvalidScope;
        if (!GetIOElement(scope, element))
            return kAudioUnitErr_InvalidElement;
        outDataSize = id == kAudioUnitProperty_SampleRate ? sizeof(Float64)
                                                          : sizeof(AudioStreamBasicDescription);
        outWritable = !mInitialized;
        return noErr;
    case kAudioUnitProperty_ParameterList:
        if (scope >= kNumberOfScopes)
            return kAudioUnitErr_InvalidScope;
        outDataSize = UInt32(sizeof(AudioUnitParameterID)) * ParameterCountForList(scope, nullptr);
        return noErr;
    case kAudioUnitProperty_ParameterInfo:
        if (scope >= kNumberOfScopes)
            return kAudioUnitErr_InvalidScope;
        outDataSize = sizeof(AudioUnitParameterInfo);
        return noErr;
    case kAudioUnitProperty_ElementCount:
        if (scope >= kNumberOfScopes)
            return kAudioUnitErr_InvalidScope;
        outDataSize = sizeof(UInt32);
        return noErr;
    case kAudioUnitProperty_SupportedNumChannels: {
        const AUChannelInfo* info = nullptr;
        const UInt32 count = SupportedNumChannels(&info);
        if (count == 0 || !info)
            return kAudioUnitErr_InvalidProperty;
        outDataSize = count * UInt32(sizeof(AUChannelInfo));
        return noErr;
    }
    case kAudioUnitProperty_ParameterValueStrings: {
        if (scope >= kNumberOfScopes)
            return kAudioUnitErr_InvalidScope;
        const OSStatus result = GetParameterValueStrings(scope, element, nullptr);
        if (result != noErr)
            return result;
        outDataSize = sizeof(CFTypeRef);
        return noErr;
    }
    case kAudioUnitProperty_TailTime:
        if (!SupportsTail())
            return kAudioUnitErr_InvalidProperty;
        outDataSize = sizeof(Float64);
        return noErr;
    case kAudioUnitProperty_SetRenderCallback:
        if (!IsGlobalOrInput(scope))
            return kAudioUnitErr_InvalidScope;
        if (!GetInput(element))
            return kAudioUnitErr_InvalidElement;
        outDataSize = sizeof(AURenderCallbackStruct);
        outWritable = true;
        return noErr;
    case kAudioUnitProperty_ElementName:
        if (scope >= kNumberOfScopes)
            return kAudioUnitErr_InvalidScope;
        if (!GetElement(scope, element))
            return kAudioUnitErr_InvalidElement;
        outDataSize = sizeof(CFStringRef);
        outWritable = true;
        return noErr;
    default: return GetPropertyInfo(id, scope, element, outDataSize, outWritable);
    }
}

// --- Reading ---

OSStatus AUBase::DispatchGetProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                     AudioUnitElement element, void* outData) {
    UInt32 size = 0;
    Boolean writable = false;
    const OSStatus valid = DispatchGetPropertyInfo(id, scope, element, size, writable);
    if (valid != noErr)
        return valid;

    switch (id) {
    case kAudioUnitProperty_ClassInfo: {
        CFPropertyListRef state = nullptr;
        const OSStatus result = SaveState(&state);
        if (result == noErr)
            Write(outData, state);
        return result;
    }
    case kAudioUnitProperty_MakeConnection:
    case kAudioUnitProperty_SetRenderCallback: return kAudioUnitErr_InvalidProperty; // set-only
    case kAudioUnitProperty_SampleRate:
        Write(outData, GetIOElement(scope, element)->GetStreamFormat().mSampleRate);
        return noErr;
    case kAudioUnitProperty_StreamFormat:
        Write(outData, GetIOElement(scope, element)->GetStreamFormat());
        return noErr;
    case kAudioUnitProperty_ParameterList: {
        AUElement* chosen = nullptr;
        const UInt32 count = ParameterCountForList(scope, &chosen);
        if (count > 0) {
            std::vector<AudioUnitParameterID> ids(count);
            chosen->GetParameterList(ids.data());
            std::memcpy(outData, ids.data(), count * sizeof(AudioUnitParameterID));
        }
        return noErr;
    }
    case kAudioUnitProperty_ParameterInfo: {
        AudioUnitParameterInfo info = {};
        const OSStatus result = GetParameterInfo(scope, element, info);
        if (result == noErr)
            Write(outData, info);
        return result;
    }
    case kAudioUnitProperty_FastDispatch: {
        void* entry = nullptr;
        switch (element) {
        case kAudioUnitGetParameterSelect: {
            AudioUnitGetParameterProc proc = &AUBase::FastGetParameter;
            std::memcpy(&entry, &proc, sizeof(entry));
            break;
        }
        case kAudioUnitSetParameterSelect: {
            AudioUnitSetParameterProc proc = &AUBase::FastSetParameter;
            std::memcpy(&entry, &proc, sizeof(entry));
            break;
        }
        case kAudioUnitRenderSelect: {
            AudioUnitRenderProc proc = &AUBase::FastRender;
            std::memcpy(&entry, &proc, sizeof(entry));
            break;
        }
        default: return kAudioUnitErr_InvalidProperty;
        }
        Write(outData, entry);
        return noErr;
    }
    case kAudioUnitProperty_ElementCount: Write(outData, GetNumberOfElements(scope)); return noErr;
    case kAudioUnitProperty_Latency: Write(outData, GetLatency()); return noErr;
    case kAudioUnitProperty_SupportedNumChannels: {
        const AUChannelInfo* info = nullptr;
        const UInt32 count = SupportedNumChannels(&info);
        if (count * sizeof(AUChannelInfo) != size || !info)
            return kAudioUnitErr_InvalidProperty; // changed since its size was given
        std::memcpy(outData, info, size);
        return noErr;
    }
    case kAudioUnitProperty_MaximumFramesPerSlice: Write(outData, mMaxFramesPerSlice); return noErr;
    case kAudioUnitProperty_ParameterValueStrings: {
        CFTypeRef strings = nullptr;
        const OSStatus result = GetParameterValueStrings(scope, element, &strings);
        if (result == noErr)
            Write(outData, strings);
        return result;
    }
    case kAudioUnitProperty_TailTime: Write(outData, GetTailTime()); return noErr;
    case kAudioUnitProperty_LastRenderError: Write(outData, TakeLastRenderError()); return noErr;
    case kAudioUnitProperty_ContextName:
        if (!mContextName)
            return kAudioUnitErr_InvalidPropertyValue;
        CFRetain(mContextName); // the caller's reference
        Write(outData, mContextName);
        return noErr;
    case kAudioUnitProperty_HostCallbacks: Write(outData, mHostCallbacks); return noErr;
    case kAudioUnitProperty_CurrentPreset: Write(outData, mCurrentPreset); return noErr;
    case kAudioUnitProperty_PresentPreset:
        if (mCurrentPreset.presetName)
            CFRetain(mCurrentPreset.presetName); // the caller's reference
        Write(outData, mCurrentPreset);
        return noErr;
    case kAudioUnitProperty_ElementName: {
        CFStringRef name = GetElement(scope, element)->GetName();
        if (!name)
            return kAudioUnitErr_InvalidPropertyValue;
        CFRetain(name); // the caller's reference
        Write(outData, name);
        return noErr;
    }
    default: return GetProperty(id, scope, element, outData);
    }
}

// --- Writing ---

OSStatus AUBase::DispatchSetProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                     AudioUnitElement element, const void* inData,
                                     UInt32 inDataSize) {
    if (scope != kAudioUnitScope_Global && IsGlobalOnly(id))
        return kAudioUnitErr_InvalidScope;
    switch (id) {
    case kAudioUnitProperty_ClassInfo:
    case kAudioUnitProperty_MakeConnection:
    case kAudioUnitProperty_SampleRate:
    case kAudioUnitProperty_ParameterList:
    case kAudioUnitProperty_ParameterInfo:
    case kAudioUnitProperty_FastDispatch:
    case kAudioUnitProperty_StreamFormat:
    case kAudioUnitProperty_ElementCount:
    case kAudioUnitProperty_Latency:
    case kAudioUnitProperty_SupportedNumChannels:
    case kAudioUnitProperty_MaximumFramesPerSlice:
    case kAudioUnitProperty_ParameterValueStrings:
    case kAudioUnitProperty_TailTime:
    case kAudioUnitProperty_LastRenderError:
    case kAudioUnitProperty_SetRenderCallback:
    case kAudioUnitProperty_ContextName:
    case kAudioUnitProperty_HostCallbacks:
    case kAudioUnitProperty_CurrentPreset:
    case kAudioUnitProperty_PresentPreset:
    case kAudioUnitProperty_ElementName: {
        // Scope and element as for reading.
        UInt32 size = 0;
        Boolean writable = false;
        const OSStatus valid = DispatchGetPropertyInfo(id, scope, element, size, writable);
        if (valid != noErr)
            return valid;
        break;
    }
    default: {
        const OSStatus result = SetProperty(id, scope, element, inData, inDataSize);
        if (result == noErr)
            PropertyChanged(id, scope, element);
        return result;
    }
    }

    switch (id) {
    case kAudioUnitProperty_ClassInfo:
        if (inDataSize != sizeof(CFPropertyListRef))
            return kAudioUnitErr_InvalidPropertyValue;
        return RestoreState(Read<CFPropertyListRef>(inData));
    case kAudioUnitProperty_MakeConnection: {
        if (inDataSize < sizeof(AudioUnitConnection))
            return paramErr;
        const auto connection = Read<AudioUnitConnection>(inData);
        AUInputElement* input = GetInput(connection.destInputNumber);
        if (!input)
            return kAudioUnitErr_InvalidElement;
        input->SetConnection(connection);
        PropertyChanged(id, kAudioUnitScope_Input, connection.destInputNumber);
        return noErr;
    }
    case kAudioUnitProperty_SampleRate: {
        if (inDataSize != sizeof(Float64))
            return paramErr;
        AudioStreamBasicDescription format = GetIOElement(scope, element)->GetStreamFormat();
        format.mSampleRate = Read<Float64>(inData);
        return SetStreamFormatProperty(scope, element, format);
    }
    case kAudioUnitProperty_StreamFormat: {
        // The record's published size leaves out the trailing reserved word.
        constexpr UInt32 kPublishedSize = offsetof(AudioStreamBasicDescription, mReserved);
        if (inDataSize < kPublishedSize)
            return paramErr;
        AudioStreamBasicDescription format = {};
        std::memcpy(&format, inData, kPublishedSize);
        return SetStreamFormatProperty(scope, element, format);
    }
    case kAudioUnitProperty_MaximumFramesPerSlice:
        if (inDataSize != sizeof(UInt32))
            return paramErr;
        return SetMaxFramesPerSlice(Read<UInt32>(inData));
    case kAudioUnitProperty_SetRenderCallback: {
        if (inDataSize < sizeof(AURenderCallbackStruct))
            return paramErr;
        const auto callback = Read<AURenderCallbackStruct>(inData);
        GetInput(element)->SetInputCallback(callback.inputProc, callback.inputProcRefCon);
        PropertyChanged(id, scope, element);
        return noErr;
    }
    case kAudioUnitProperty_ContextName: {
        if (inDataSize != sizeof(CFStringRef))
            return paramErr;
        CFStringRef name = Read<CFStringRef>(inData);
        if (name)
            CFRetain(name);
        if (mContextName)
            CFRelease(mContextName);
        mContextName = name;
        PropertyChanged(id, scope, element);
        return noErr;
    }
    case kAudioUnitProperty_HostCallbacks: {
        // A shorter (older) record fills the start; the rest stays zero.
        HostCallbackInfo callbacks = {};
        std::memcpy(&callbacks, inData, std::min<size_t>(inDataSize, sizeof(callbacks)));
        mHostCallbacks = callbacks;
        PropertyChanged(id, scope, element);
        return noErr;
    }
    case kAudioUnitProperty_CurrentPreset:
    case kAudioUnitProperty_PresentPreset: return SetPresetProperty(inData, inDataSize);
    case kAudioUnitProperty_ElementName:
        if (inDataSize != sizeof(CFStringRef))
            return kAudioUnitErr_InvalidPropertyValue;
        GetElement(scope, element)->SetName(Read<CFStringRef>(inData));
        PropertyChanged(id, scope, element);
        return noErr;
    default: return kAudioUnitErr_PropertyNotWritable;
    }
}

OSStatus AUBase::SetStreamFormatProperty(AudioUnitScope scope, AudioUnitElement element,
                                         const AudioStreamBasicDescription& format) {
    const AudioStreamBasicDescription previous = GetIOElement(scope, element)->GetStreamFormat();
    if (!IsCanonicalFormat(format) || !IsSupportedSampleRate(format.mSampleRate))
        return kAudioUnitErr_FormatNotSupported;
    if (SameFormat(previous, format))
        return noErr;
    if (mInitialized)
        return kAudioUnitErr_PropertyNotWritable;
    ChangeStreamFormat(scope, element, previous, format);
    return noErr;
}

OSStatus AUBase::SetMaxFramesPerSlice(UInt32 frames) {
    if (mInitialized)
        return kAudioUnitErr_Initialized;
    if (frames > kLargestMaxFrames)
        return kAudioUnitErr_InvalidPropertyValue;
    mMaxFramesPerSlice = frames;
    for (AudioUnitScope scope : {kAudioUnitScope_Input, kAudioUnitScope_Output})
        for (AudioUnitElement e = 0; e < GetNumberOfElements(scope); ++e) {
            AUIOElement* io = GetIOElement(scope, e);
            if (io->IsBufferAllocated())
                io->AllocateBuffer(frames);
        }
    PropertyChanged(kAudioUnitProperty_MaximumFramesPerSlice, kAudioUnitScope_Global, 0);
    return noErr;
}

OSStatus AUBase::SetPresetProperty(const void* inData, UInt32 inDataSize) {
    if (inDataSize != sizeof(AUPreset))
        return kAudioUnitErr_InvalidPropertyValue;
    const auto preset = Read<AUPreset>(inData);
    if (preset.presetNumber >= 0)
        return NewFactoryPresetSet(preset);
    if (!preset.presetName)
        return kAudioUnitErr_InvalidPropertyValue;
    SetCurrentPreset(preset.presetNumber, preset.presetName);
    PropertyChanged(kAudioUnitProperty_CurrentPreset, kAudioUnitScope_Global, 0);
    PropertyChanged(kAudioUnitProperty_PresentPreset, kAudioUnitScope_Global, 0);
    return noErr;
}

// --- Removing ---

OSStatus AUBase::DispatchRemovePropertyValue(AudioUnitPropertyID id, AudioUnitScope scope,
                                             AudioUnitElement element) {
    UInt32 size = 0;
    Boolean writable = false;
    const OSStatus valid = DispatchGetPropertyInfo(id, scope, element, size, writable);
    if (valid != noErr)
        return valid;
    switch (id) {
    case kAudioUnitProperty_MakeConnection:
    case kAudioUnitProperty_SetRenderCallback:
        if (!GetInput(element))
            return kAudioUnitErr_InvalidElement;
        GetInput(element)->Disconnect();
        break;
    case kAudioUnitProperty_ContextName:
        if (mContextName)
            CFRelease(mContextName);
        mContextName = nullptr;
        break;
    case kAudioUnitProperty_ElementName: GetElement(scope, element)->SetName(nullptr); break;
    default: return RemovePropertyValue(id, scope, element);
    }
    PropertyChanged(id, scope, element);
    return noErr;
}
