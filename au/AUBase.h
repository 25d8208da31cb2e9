// The general base of an audio unit: its scopes and elements, the component calls
// a host makes (ComponentEntryDispatch), the property catalogue, parameter storage
// and scheduling, property listeners, render notifications, the render entry with
// its bookkeeping, and saving and restoring the unit's state as a dictionary.
//
// Scopes: 0 global (one element), 1 input, 2 output, 3 group, 4 part. Elements
// are made by CreateElements (PostConstructor calls it; calling it again does
// nothing).
//
// Errors deep inside a call are thrown as 32-bit statuses (ThrowStatus) and come
// out as the call's result at the component entry. The render entry (DoRender)
// catches everything itself, so the direct render entry returns a status too.
//
// Threads: the host's main thread opens, initialises, sets properties and state;
// the render thread renders. Parameter values may be set from other threads while
// rendering. Parameter events are scheduled on the render thread before the
// render call they belong to. The element storage is not locked; render
// notifications may be added and removed from any thread. The property-listener
// list is guarded by a lock: adding, removing and announcing changes take it (a
// listener may add or remove listeners while it is called), except on the render
// thread, which only tries it and, when it is busy, leaves a render error
// unannounced (it can still be read through the last-render-error property).
//
// Records whose layout the platform leaves open are passed by their in-memory
// size in this build (a connection, a render callback, the host callbacks, a
// preset, a string or dictionary reference each take sizeof of their type).
#pragma once

#include "au/AUElement.h"
#include "au/AURenderNotifyList.h"
#include "platform/AudioUnitTypes.h"
#include "platform/Components.h"
#include "platform/CoreFoundation.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

class AUBase {
  public:
    static constexpr UInt32 kDefaultMaxFramesPerSlice = 1156;
    static constexpr UInt32 kNumberOfScopes = 5;
    // Stream sample rates the unit runs at, in Hz, both ends included. A format or
    // sample rate outside them, or not finite, is refused with -10868 (format not
    // supported) and the element keeps the format it had.
    static constexpr Float64 kMinSampleRate = 8000.0;
    static constexpr Float64 kMaxSampleRate = 384000.0;
    // Scheduled parameter events one render call takes; the queue and the sort's
    // scratch space are allocated for this many at construction.
    static constexpr UInt32 kMaxScheduledEvents = 4096;

    AUBase(ComponentInstance inInstance, UInt32 numInputElements, UInt32 numOutputElements,
           UInt32 numGroupElements = 0, UInt32 numPartElements = 0);
    virtual ~AUBase();
    AUBase(const AUBase&) = delete;
    AUBase& operator=(const AUBase&) = delete;

    // The component call, unpacked: params[0] is the instance, params[1..] the
    // arguments. Every selector except open and close. Throws what the unit throws.
    static ComponentResult ComponentEntryDispatch(ComponentParameters* params, AUBase* This);

    // --- Life cycle ---
    virtual void PostConstructor(); // creates the elements
    virtual void PreDestructor();   // uninitialises when initialised
    void CreateElements();
    // The component's initialise: 0 when already initialised; otherwise Initialize,
    // then the unit is initialised and every input and output element gets memory
    // for the maximum frames per slice. A failure leaves the unit uninitialised,
    // with Cleanup run.
    OSStatus DoInitialize();
    // The component's uninitialise: Cleanup and release of the element memory.
    void DoCleanup();
    // The component's reset: forgets the last rendered sample time, then Reset.
    OSStatus DoReset(AudioUnitScope scope, AudioUnitElement element);
    virtual OSStatus Initialize() { return noErr; }
    virtual void Cleanup() {}
    virtual OSStatus Reset(AudioUnitScope, AudioUnitElement) { return noErr; }
    bool IsInitialized() const { return mInitialized; }
    ComponentInstance GetComponentInstance() const { return mComponentInstance; }
    virtual ComponentResult Version() { return 0; }

    // --- Elements ---
    AUElement* Globals() { return GetElement(kAudioUnitScope_Global, 0); }
    AUInputElement* GetInput(UInt32 element);
    AUOutputElement* GetOutput(UInt32 element);
    AUIOElement* GetIOElement(AudioUnitScope scope, AudioUnitElement element);
    // Null when the scope or the element does not exist.
    AUElement* GetElement(AudioUnitScope scope, AudioUnitElement element);
    // Throws -10866 for a scope that does not exist, -10877 for a missing element.
    AUElement& SafeGetElement(AudioUnitScope scope, AudioUnitElement element);
    UInt32 GetNumberOfElements(AudioUnitScope scope) const; // 0 for unknown scopes

    // --- Properties ---
    // The unit's own properties, asked after the standard ones; the base knows none.
    virtual OSStatus GetPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope,
                                     AudioUnitElement element, UInt32& outDataSize,
                                     Boolean& outWritable);
    virtual OSStatus GetProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                 AudioUnitElement element, void* outData);
    virtual OSStatus SetProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                 AudioUnitElement element, const void* inData, UInt32 inDataSize);
    virtual OSStatus RemovePropertyValue(AudioUnitPropertyID id, AudioUnitScope scope,
                                         AudioUnitElement element);
    // False for a property whose value may not be cut to a shorter buffer than its
    // size (a path, which cut names another file): a shorter buffer is then
    // refused with -10851.
    virtual bool ValueMayBeCut(AudioUnitPropertyID) const { return true; }
    // Standard properties first, then the virtual ones above.
    OSStatus DispatchGetPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope,
                                     AudioUnitElement element, UInt32& outDataSize,
                                     Boolean& outWritable);
    // `outData` holds the size DispatchGetPropertyInfo gives.
    OSStatus DispatchGetProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                 AudioUnitElement element, void* outData);
    OSStatus DispatchSetProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                 AudioUnitElement element, const void* inData, UInt32 inDataSize);
    OSStatus DispatchRemovePropertyValue(AudioUnitPropertyID id, AudioUnitScope scope,
                                         AudioUnitElement element);
    // Calls every listener registered for `id`. Setup thread: waits for the
    // listener lock.
    void PropertyChanged(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element);
    OSStatus AddPropertyListener(AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc,
                                 void* refCon);
    OSStatus RemovePropertyListener(AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc);

    // --- Parameters ---
    virtual OSStatus GetParameterInfo(AudioUnitScope scope, AudioUnitParameterID id,
                                      AudioUnitParameterInfo& outInfo);
    // `outStrings` may be null to ask whether names exist.
    virtual OSStatus GetParameterValueStrings(AudioUnitScope scope, AudioUnitParameterID id,
                                              CFTypeRef* outStrings);
    // Scope 3 throws -10866, a missing element -10877, an unknown ID -10878.
    OSStatus GetParameter(AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement element,
                          AudioUnitParameterValue& outValue);
    // Takes effect at once; the buffer offset is not used. A unit may override it
    // to bound or refuse values; both parameter entries of a host come here.
    virtual OSStatus SetParameter(AudioUnitParameterID id, AudioUnitScope scope,
                                  AudioUnitElement element, AudioUnitParameterValue value,
                                  UInt32 bufferOffset);
    // Applies immediate events at once and queues every event for the next render.
    // Each event's element must exist, and a ramp's parameter too (an immediate
    // event creates its parameter in map storage); else that status, with the
    // earlier events kept. An event type other than immediate or ramped gives -50.
    // Once kMaxScheduledEvents are queued for the coming render, the next event
    // gives -50: it and the events after it are neither queued nor applied, the
    // earlier ones stay queued.
    OSStatus ScheduleParameters(const AudioUnitParameterEvent* events, UInt32 numEvents);
    // Sorts `count` events by (start) buffer offset, ascending; events at the same
    // offset keep their order. `scratch` has room for `count` events. Allocates
    // nothing; makes at most count * ceil(log2(count)) comparisons, and returns how
    // many it made.
    static size_t SortEventsByOffset(AudioUnitParameterEvent* events, size_t count,
                                     AudioUnitParameterEvent* scratch);

    // --- Stream formats ---
    // Linear PCM, one frame per packet, 4-byte non-interleaved native-endian floats.
    static bool IsCanonicalFormat(const AudioStreamBasicDescription& format);
    // Finite and within kMinSampleRate..kMaxSampleRate.
    static bool IsSupportedSampleRate(Float64 rate);
    static bool SameFormat(const AudioStreamBasicDescription& a,
                           const AudioStreamBasicDescription& b);
    // Gives the element its new format and announces it.
    virtual void ChangeStreamFormat(AudioUnitScope scope, AudioUnitElement element,
                                    const AudioStreamBasicDescription& previous,
                                    const AudioStreamBasicDescription& format);
    UInt32 GetMaxFramesPerSlice() const { return mMaxFramesPerSlice; }

    // --- Channels, latency and tail ---
    // No configurations published by default (0, *outInfo null).
    virtual UInt32 SupportedNumChannels(const AUChannelInfo** outInfo);
    virtual bool SupportsTail() { return false; }
    virtual Float64 GetLatency() { return 0.0; }
    virtual Float64 GetTailTime() { return 0.0; }

    // --- Render ---
    // The component's render: flush-to-zero for its duration, the checks, the
    // notifications, rendering the bus unless this sample time was rendered last,
    // and the last-render-error record. Any exception becomes the status.
    OSStatus DoRender(AudioUnitRenderActionFlags& ioFlags, const AudioTimeStamp& timeStamp,
                      UInt32 bus, UInt32 frames, AudioBufferList& ioData);
    virtual OSStatus RenderBus(AudioUnitRenderActionFlags& ioFlags, const AudioTimeStamp& timeStamp,
                               UInt32 bus, UInt32 frames);
    virtual OSStatus Render(AudioUnitRenderActionFlags& ioFlags, const AudioTimeStamp& timeStamp,
                            UInt32 frames);
    OSStatus AddRenderNotification(AURenderCallback proc, void* refCon);
    OSStatus RemoveRenderNotification(AURenderCallback proc, void* refCon);
    // The render thread is recorded at each render when wanted.
    void SetWantsRenderThreadID(bool wants) { mWantsRenderThreadID = wants; }
    uintptr_t GetRenderThreadID() const { return mRenderThreadID.load(); }
    // The pending render error; reading clears it.
    OSStatus TakeLastRenderError() { return mLastRenderError.exchange(noErr); }

    // --- State ---
    CFStringRef GetContextName() const { return mContextName; }
    const AUPreset& GetCurrentPreset() const { return mCurrentPreset; }

  protected:
    using ParameterEventList = std::vector<AudioUnitParameterEvent>;

    virtual std::unique_ptr<AUElement> CreateElement(AudioUnitScope scope,
                                                     AudioUnitElement element);

    // Cuts a render of `frames` into slices at the events' offsets, gives every
    // event that falls in a slice to its element, and calls ProcessScheduledSlice
    // for each slice; a failing slice ends the loop with its status. Sorts `events`,
    // which hold at most kMaxScheduledEvents (more give -50, nothing processed).
    OSStatus ProcessForScheduledParams(ParameterEventList& events, UInt32 frames, void* userData);
    virtual OSStatus ProcessScheduledSlice(void* userData, UInt32 sliceStart, UInt32 sliceFrames,
                                           UInt32 totalFrames);
    ParameterEventList& GetParamEventList() { return mParamEvents; }

    // The class-info dictionary; the caller owns it.
    virtual OSStatus SaveState(CFPropertyListRef* outData);
    virtual OSStatus RestoreState(CFPropertyListRef data);
    // A preset number of 0 or more asks for a factory preset; none exist.
    virtual OSStatus NewFactoryPresetSet(const AUPreset& preset);
    // Takes `name` (retained) as the current preset name with number `number`.
    void SetCurrentPreset(SInt32 number, CFStringRef name);

  private:
    // The direct entries handed out by the fast-dispatch property; `storage` is the
    // unit. They return statuses for every exception.
    static ComponentResult FastGetParameter(void* storage, AudioUnitParameterID id,
                                            AudioUnitScope scope, AudioUnitElement element,
                                            AudioUnitParameterValue* outValue);
    static ComponentResult FastSetParameter(void* storage, AudioUnitParameterID id,
                                            AudioUnitScope scope, AudioUnitElement element,
                                            AudioUnitParameterValue value, UInt32 bufferOffset);
    static ComponentResult FastRender(void* storage, AudioUnitRenderActionFlags* ioFlags,
                                      const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 frames,
                                      AudioBufferList* ioData);
    // The unit's render with its argument checks, shared by both render entries.
    static ComponentResult RenderEntry(AUBase* unit, AudioUnitRenderActionFlags* ioFlags,
                                       const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 frames,
                                       AudioBufferList* ioData);
    OSStatus SetStreamFormatProperty(AudioUnitScope scope, AudioUnitElement element,
                                     const AudioStreamBasicDescription& format);
    OSStatus SetMaxFramesPerSlice(UInt32 frames);
    OSStatus SetPresetProperty(const void* inData, UInt32 inDataSize);
    OSStatus RenderChecked(AudioUnitRenderActionFlags& ioFlags, const AudioTimeStamp& timeStamp,
                           UInt32 bus, UInt32 frames, AudioBufferList& ioData);
    OSStatus RenderOutputBus(AudioUnitRenderActionFlags& ioFlags, const AudioTimeStamp& timeStamp,
                             UInt32 bus, UInt32 frames, AudioBufferList& ioData);
    // Render thread: records the first pending error and announces it when the
    // listener lock is free at once.
    void RecordRenderError(OSStatus error);
    // Calls the listeners for `id`; the caller holds mListenerLock.
    void CallListeners(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element);
    UInt32 ParameterCountForList(AudioUnitScope scope, AUElement** outElement);

    struct PropertyListener {
        AudioUnitPropertyID id;
        AudioUnitPropertyListenerProc proc;
        void* refCon;
    };

    ComponentInstance mComponentInstance;
    const UInt32 mInitialElementCounts[kNumberOfScopes];
    bool mElementsCreated = false;
    std::vector<std::unique_ptr<AUElement>> mScopes[kNumberOfScopes];

    bool mInitialized = false;
    UInt32 mInterfaceVersion = 2;
    UInt32 mMaxFramesPerSlice = kDefaultMaxFramesPerSlice;
    Float64 mLastRenderedSampleTime = -1.0;
    ParameterEventList mParamEvents;  // room for kMaxScheduledEvents
    ParameterEventList mEventScratch; // kMaxScheduledEvents, for sorting
    AURenderNotifyList mRenderNotify;
    std::atomic<OSStatus> mLastRenderError{noErr};
    bool mWantsRenderThreadID = false;
    std::atomic<uintptr_t> mRenderThreadID{0};

    std::recursive_mutex mListenerLock; // guards mPropertyListeners
    std::vector<PropertyListener> mPropertyListeners;
    AUPreset mCurrentPreset = {-1, nullptr};
    CFStringRef mContextName = nullptr;
    HostCallbackInfo mHostCallbacks = {};
};
