#include "platform/Components.h"

#include <new>

namespace {

// Packs one call: the instance, then the arguments in order, one word each.
template <typename... Args>
ComponentResult call(ComponentInstance instance, SInt16 selector, Args... args) {
    if (!instance || !instance->entry)
        return paramErr;
    ComponentParameters p = {};
    p.what = selector;
    p.params[0] = reinterpret_cast<intptr_t>(instance);
    intptr_t words[] = {0, (intptr_t)(args)...};
    static_assert(sizeof...(Args) < 8, "at most seven arguments");
    for (size_t i = 1; i < sizeof(words) / sizeof(words[0]); ++i)
        p.params[i] = words[i];
    p.paramSize = static_cast<uint8_t>(sizeof...(Args) * sizeof(intptr_t));
    return instance->entry(&p, instance->storage);
}

// A float travels in a word by its bits.
intptr_t floatWord(float v) {
    uint32_t bits;
    static_assert(sizeof(bits) == sizeof(v), "32-bit float");
    __builtin_memcpy(&bits, &v, 4);
    return static_cast<intptr_t>(bits);
}

} // namespace

OSStatus OpenAComponent(ComponentRoutine entry, const ComponentDescription* description,
                        ComponentInstance* outInstance) {
    if (!entry || !outInstance)
        return paramErr;
    *outInstance = nullptr;
    auto* instance = new (std::nothrow) ComponentInstanceRecord{entry, nullptr, {}};
    if (!instance)
        return memFullErr;
    if (description)
        instance->description = *description;
    ComponentResult result = call(instance, kComponentOpenSelect);
    if (result != noErr) {
        delete instance;
        return result;
    }
    *outInstance = instance;
    return noErr;
}

OSStatus CloseComponent(ComponentInstance instance) {
    if (!instance)
        return paramErr;
    ComponentResult result = call(instance, kComponentCloseSelect);
    delete instance;
    return result;
}

void SetComponentInstanceStorage(ComponentInstance instance, void* storage) {
    if (instance)
        instance->storage = storage;
}

void* GetComponentInstanceStorage(ComponentInstance instance) {
    return instance ? instance->storage : nullptr;
}

OSErr GetComponentInfo(ComponentInstance instance, ComponentDescription* description, void*, void*,
                       void*) {
    if (!instance)
        return static_cast<OSErr>(paramErr);
    if (description)
        *description = instance->description;
    return 0;
}

ComponentResult CallComponentCanDo(ComponentInstance instance, SInt16 selector) {
    return call(instance, kComponentCanDoSelect, static_cast<intptr_t>(selector));
}

ComponentResult GetComponentVersion(ComponentInstance instance) {
    return call(instance, kComponentVersionSelect);
}

ComponentResult AudioUnitInitialize(AudioUnit unit) {
    return call(unit, kAudioUnitInitializeSelect);
}

ComponentResult AudioUnitUninitialize(AudioUnit unit) {
    return call(unit, kAudioUnitUninitializeSelect);
}

ComponentResult AudioUnitGetPropertyInfo(AudioUnit unit, AudioUnitPropertyID id,
                                         AudioUnitScope scope, AudioUnitElement element,
                                         UInt32* outDataSize, Boolean* outWritable) {
    return call(unit, kAudioUnitGetPropertyInfoSelect, id, scope, element, outDataSize,
                outWritable);
}

ComponentResult AudioUnitGetProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                                     AudioUnitElement element, void* outData, UInt32* ioDataSize) {
    return call(unit, kAudioUnitGetPropertySelect, id, scope, element, outData, ioDataSize);
}

ComponentResult AudioUnitSetProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                                     AudioUnitElement element, const void* inData,
                                     UInt32 inDataSize) {
    return call(unit, kAudioUnitSetPropertySelect, id, scope, element, inData, inDataSize);
}

ComponentResult AudioUnitGetParameter(AudioUnit unit, AudioUnitParameterID id, AudioUnitScope scope,
                                      AudioUnitElement element, AudioUnitParameterValue* outValue) {
    return call(unit, kAudioUnitGetParameterSelect, id, scope, element, outValue);
}

ComponentResult AudioUnitSetParameter(AudioUnit unit, AudioUnitParameterID id, AudioUnitScope scope,
                                      AudioUnitElement element, AudioUnitParameterValue value,
                                      UInt32 bufferOffsetInFrames) {
    return call(unit, kAudioUnitSetParameterSelect, id, scope, element, floatWord(value),
                bufferOffsetInFrames);
}

ComponentResult AudioUnitScheduleParameters(AudioUnit unit, const AudioUnitParameterEvent* events,
                                            UInt32 numEvents) {
    return call(unit, kAudioUnitScheduleParametersSelect, events, numEvents);
}

ComponentResult AudioUnitRender(AudioUnit unit, AudioUnitRenderActionFlags* ioActionFlags,
                                const AudioTimeStamp* inTimeStamp, UInt32 inOutputBusNumber,
                                UInt32 inNumberFrames, AudioBufferList* ioData) {
    return call(unit, kAudioUnitRenderSelect, ioActionFlags, inTimeStamp, inOutputBusNumber,
                inNumberFrames, ioData);
}

ComponentResult AudioUnitReset(AudioUnit unit, AudioUnitScope scope, AudioUnitElement element) {
    return call(unit, kAudioUnitResetSelect, scope, element);
}

ComponentResult AudioUnitAddPropertyListener(AudioUnit unit, AudioUnitPropertyID id,
                                             AudioUnitPropertyListenerProc proc, void* refCon) {
    return call(unit, kAudioUnitAddPropertyListenerSelect, id, proc, refCon);
}

ComponentResult AudioUnitRemovePropertyListener(AudioUnit unit, AudioUnitPropertyID id,
                                                AudioUnitPropertyListenerProc proc) {
    return call(unit, kAudioUnitRemovePropertyListenerSelect, id, proc);
}

ComponentResult AudioUnitAddRenderNotify(AudioUnit unit, AURenderCallback proc, void* refCon) {
    return call(unit, kAudioUnitAddRenderNotifySelect, proc, refCon);
}

ComponentResult AudioUnitRemoveRenderNotify(AudioUnit unit, AURenderCallback proc, void* refCon) {
    return call(unit, kAudioUnitRemoveRenderNotifySelect, proc, refCon);
}
