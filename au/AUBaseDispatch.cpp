// The component calls: unpacking each selector's argument words and calling the
// unit; the direct entries of the fast-dispatch property.
#include "au/AUBase.h"

#include "au/AUStatus.h"

#include <cstring>
#include <vector>

namespace {

UInt32 WordU32(const ComponentParameters* params, int index) {
    return static_cast<UInt32>(params->params[index]);
}

template <typename T> T WordPointer(const ComponentParameters* params, int index) {
    return reinterpret_cast<T>(params->params[index]);
}

// A float travels by its 32 bits in the low half of its word.
Float32 WordFloat(const ComponentParameters* params, int index) {
    const UInt32 bits = WordU32(params, index);
    Float32 value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

bool SelectorAlwaysAnswered(SInt16 selector) {
    return (selector >= kComponentVersionSelect && selector <= kComponentOpenSelect) ||
           (selector >= kAudioUnitInitializeSelect && selector <= kAudioUnitSetParameterSelect) ||
           (selector >= kAudioUnitResetSelect &&
            selector <= kAudioUnitRemovePropertyListenerSelect);
}

bool SelectorOfVersion2(SInt16 selector) {
    return selector >= kAudioUnitRenderSelect && selector <= kAudioUnitScheduleParametersSelect;
}

// A read into a smaller buffer than the property's hands the caller only part of
// a reference the unit retained for it; that reference is released here.
void ReleaseCutReference(AudioUnitPropertyID id, const uint8_t* produced) {
    size_t offset;
    switch (id) {
    case kAudioUnitProperty_ClassInfo:
    case kAudioUnitProperty_ParameterValueStrings:
    case kAudioUnitProperty_ContextName:
    case kAudioUnitProperty_ElementName: offset = 0; break;
    case kAudioUnitProperty_PresentPreset: offset = offsetof(AUPreset, presetName); break;
    default: return;
    }
    CFTypeRef object;
    std::memcpy(&object, produced + offset, sizeof(object));
    if (object)
        CFRelease(object);
}

} // namespace

ComponentResult AUBase::ComponentEntryDispatch(ComponentParameters* params, AUBase* This) {
    if (!params || !params->params[0])
        return paramErr;
    const SInt16 selector = params->what;
    if (selector == kComponentCanDoSelect) {
        const auto asked = static_cast<SInt16>(params->params[1]);
        if (SelectorAlwaysAnswered(asked))
            return 1;
        if (SelectorOfVersion2(asked))
            return !This || This->mInterfaceVersion >= 2 ? 1 : 0;
        return 0;
    }
    if (!This)
        return paramErr;

    switch (selector) {
    case kComponentVersionSelect: return This->Version();
    case kAudioUnitInitializeSelect: return This->DoInitialize();
    case kAudioUnitUninitializeSelect: This->DoCleanup(); return noErr;

    case kAudioUnitGetPropertyInfoSelect: {
        auto* outSize = WordPointer<UInt32*>(params, 4);
        auto* outWritable = WordPointer<Boolean*>(params, 5);
        UInt32 size = 0;
        Boolean writable = false;
        const OSStatus result = This->DispatchGetPropertyInfo(
            WordU32(params, 1), WordU32(params, 2), WordU32(params, 3), size, writable);
        if (result == noErr) {
            if (outSize)
                *outSize = size;
            if (outWritable)
                *outWritable = writable;
        }
        return result;
    }

    case kAudioUnitGetPropertySelect: {
        const AudioUnitPropertyID id = WordU32(params, 1);
        const AudioUnitScope scope = WordU32(params, 2);
        const AudioUnitElement element = WordU32(params, 3);
        void* outData = WordPointer<void*>(params, 4);
        auto* ioSize = WordPointer<UInt32*>(params, 5);
        if (!ioSize)
            return paramErr;
        if (outData && *ioSize == 0)
            return paramErr;
        OSStatus result;
        try {
            UInt32 size = 0;
            Boolean writable = false;
            result = This->DispatchGetPropertyInfo(id, scope, element, size, writable);
            if (result == noErr && !outData) {
                *ioSize = size;
            } else if (result == noErr && *ioSize >= size) {
                result = This->DispatchGetProperty(id, scope, element, outData);
                if (result == noErr)
                    *ioSize = size;
            } else if (result == noErr && !This->ValueMayBeCut(id)) {
                result = kAudioUnitErr_InvalidPropertyValue;
            } else if (result == noErr) {
                std::vector<uint8_t> scratch(size);
                result = This->DispatchGetProperty(id, scope, element, scratch.data());
                if (result == noErr) {
                    std::memcpy(outData, scratch.data(), *ioSize);
                    ReleaseCutReference(id, scratch.data());
                }
            }
        } catch (...) {
            *ioSize = 0;
            throw;
        }
        if (result != noErr)
            *ioSize = 0;
        return result;
    }

    case kAudioUnitSetPropertySelect: {
        const void* data = WordPointer<const void*>(params, 4);
        const UInt32 size = WordU32(params, 5);
        if (data && size > 0)
            return This->DispatchSetProperty(WordU32(params, 1), WordU32(params, 2),
                                             WordU32(params, 3), data, size);
        if (!data && size == 0)
            return This->DispatchRemovePropertyValue(WordU32(params, 1), WordU32(params, 2),
                                                     WordU32(params, 3));
        return paramErr;
    }

    case kAudioUnitGetParameterSelect:
        return FastGetParameter(This, WordU32(params, 1), WordU32(params, 2), WordU32(params, 3),
                                WordPointer<AudioUnitParameterValue*>(params, 4));
    case kAudioUnitSetParameterSelect:
        return This->SetParameter(WordU32(params, 1), WordU32(params, 2), WordU32(params, 3),
                                  WordFloat(params, 4), WordU32(params, 5));
    case kAudioUnitResetSelect: return This->DoReset(WordU32(params, 1), WordU32(params, 2));
    case kAudioUnitAddPropertyListenerSelect:
        return This->AddPropertyListener(WordU32(params, 1),
                                         WordPointer<AudioUnitPropertyListenerProc>(params, 2),
                                         WordPointer<void*>(params, 3));
    case kAudioUnitRemovePropertyListenerSelect:
        return This->RemovePropertyListener(WordU32(params, 1),
                                            WordPointer<AudioUnitPropertyListenerProc>(params, 2));
    case kAudioUnitRenderSelect:
        return RenderEntry(This, WordPointer<AudioUnitRenderActionFlags*>(params, 1),
                           WordPointer<const AudioTimeStamp*>(params, 2), WordU32(params, 3),
                           WordU32(params, 4), WordPointer<AudioBufferList*>(params, 5));
    case kAudioUnitAddRenderNotifySelect:
        return This->AddRenderNotification(WordPointer<AURenderCallback>(params, 1),
                                           WordPointer<void*>(params, 2));
    case kAudioUnitRemoveRenderNotifySelect:
        return This->RemoveRenderNotification(WordPointer<AURenderCallback>(params, 1),
                                              WordPointer<void*>(params, 2));
    case kAudioUnitScheduleParametersSelect:
        if (This->mInterfaceVersion < 2)
            return badComponentSelector;
        return This->ScheduleParameters(WordPointer<const AudioUnitParameterEvent*>(params, 1),
                                        WordU32(params, 2));
    default: return badComponentSelector;
    }
}

ComponentResult AUBase::RenderEntry(AUBase* unit, AudioUnitRenderActionFlags* ioFlags,
                                    const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 frames,
                                    AudioBufferList* ioData) {
    if (!unit || !timeStamp || !ioData)
        return paramErr;
    AudioUnitRenderActionFlags noFlags = 0;
    return unit->DoRender(ioFlags ? *ioFlags : noFlags, *timeStamp, bus, frames, *ioData);
}

ComponentResult AUBase::FastGetParameter(void* storage, AudioUnitParameterID id,
                                         AudioUnitScope scope, AudioUnitElement element,
                                         AudioUnitParameterValue* outValue) {
    if (!storage || !outValue)
        return paramErr;
    try {
        AudioUnitParameterValue value = 0.0f;
        const OSStatus result =
            static_cast<AUBase*>(storage)->GetParameter(id, scope, element, value);
        if (result == noErr)
            *outValue = value;
        return result;
    } catch (...) {
        return CurrentExceptionStatus();
    }
}

ComponentResult AUBase::FastSetParameter(void* storage, AudioUnitParameterID id,
                                         AudioUnitScope scope, AudioUnitElement element,
                                         AudioUnitParameterValue value, UInt32 bufferOffset) {
    if (!storage)
        return paramErr;
    try {
        return static_cast<AUBase*>(storage)->SetParameter(id, scope, element, value, bufferOffset);
    } catch (...) {
        return CurrentExceptionStatus();
    }
}

ComponentResult AUBase::FastRender(void* storage, AudioUnitRenderActionFlags* ioFlags,
                                   const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 frames,
                                   AudioBufferList* ioData) {
    try {
        return RenderEntry(static_cast<AUBase*>(storage), ioFlags, timeStamp, bus, frames, ioData);
    } catch (...) {
        return CurrentExceptionStatus();
    }
}
