// The component call interface between a host and a plug-in: the component
// description, the parameter block of one call, the instance record, and the
// client functions with which every host in this project talks to the plug-in.
//
// A call is packed into a ComponentParameters block: `what` is the selector,
// params[0] the component instance, params[1..] the call's arguments in the order
// the client function takes them (pointers and integers each in one word, a float
// parameter value by its 32 bits in the low half of its word).
#pragma once

#include "platform/AudioUnitTypes.h"
#include "platform/CoreFoundation.h"

using OSType = UInt32;

struct ComponentDescription {
    OSType componentType;
    OSType componentSubType;
    OSType componentManufacturer;
    UInt32 componentFlags;
    UInt32 componentFlagsMask;
};

constexpr OSType kAudioUnitType_Effect = 0x61756678; // 'aufx'

struct ComponentParameters {
    uint8_t flags;
    uint8_t paramSize; // bytes of the argument words, the instance excluded
    SInt16 what;       // selector
    intptr_t params[8];
};

using ComponentRoutine = ComponentResult (*)(ComponentParameters* params, void* storage);

// An open component instance: the entry it was opened with, the storage the
// component set for it, and the description it was registered under.
struct ComponentInstanceRecord {
    ComponentRoutine entry;
    void* storage;
    ComponentDescription description;
};

// --- Component manager side ---
// Opens an instance of the component behind `entry`, registered as `description`.
OSStatus OpenAComponent(ComponentRoutine entry, const ComponentDescription* description,
                        ComponentInstance* outInstance);
OSStatus CloseComponent(ComponentInstance instance);
void SetComponentInstanceStorage(ComponentInstance instance, void* storage);
void* GetComponentInstanceStorage(ComponentInstance instance);
OSErr GetComponentInfo(ComponentInstance instance, ComponentDescription* description, void* name,
                       void* info, void* icon);
ComponentResult CallComponentCanDo(ComponentInstance instance, SInt16 selector);
ComponentResult GetComponentVersion(ComponentInstance instance);

// --- Audio unit client functions ---
ComponentResult AudioUnitInitialize(AudioUnit unit);
ComponentResult AudioUnitUninitialize(AudioUnit unit);
ComponentResult AudioUnitGetPropertyInfo(AudioUnit unit, AudioUnitPropertyID id,
                                         AudioUnitScope scope, AudioUnitElement element,
                                         UInt32* outDataSize, Boolean* outWritable);
ComponentResult AudioUnitGetProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                                     AudioUnitElement element, void* outData, UInt32* ioDataSize);
ComponentResult AudioUnitSetProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                                     AudioUnitElement element, const void* inData,
                                     UInt32 inDataSize);
ComponentResult AudioUnitGetParameter(AudioUnit unit, AudioUnitParameterID id, AudioUnitScope scope,
                                      AudioUnitElement element, AudioUnitParameterValue* outValue);
ComponentResult AudioUnitSetParameter(AudioUnit unit, AudioUnitParameterID id, AudioUnitScope scope,
                                      AudioUnitElement element, AudioUnitParameterValue value,
                                      UInt32 bufferOffsetInFrames);
ComponentResult AudioUnitScheduleParameters(AudioUnit unit, const AudioUnitParameterEvent* events,
                                            UInt32 numEvents);
ComponentResult AudioUnitRender(AudioUnit unit, AudioUnitRenderActionFlags* ioActionFlags,
                                const AudioTimeStamp* inTimeStamp, UInt32 inOutputBusNumber,
                                UInt32 inNumberFrames, AudioBufferList* ioData);
ComponentResult AudioUnitReset(AudioUnit unit, AudioUnitScope scope, AudioUnitElement element);
ComponentResult AudioUnitAddPropertyListener(AudioUnit unit, AudioUnitPropertyID id,
                                             AudioUnitPropertyListenerProc proc, void* refCon);
ComponentResult AudioUnitRemovePropertyListener(AudioUnit unit, AudioUnitPropertyID id,
                                                AudioUnitPropertyListenerProc proc);
ComponentResult AudioUnitAddRenderNotify(AudioUnit unit, AURenderCallback proc, void* refCon);
ComponentResult AudioUnitRemoveRenderNotify(AudioUnit unit, AURenderCallback proc, void* refCon);
