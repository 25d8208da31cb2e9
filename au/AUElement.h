// The elements of an audio unit's scopes.
//
// AUElement: the parameters of one element, either in a map (ID -> record,
// created on first set) or, after UseIndexedParameters(n), in n indexed records
// with IDs 0..n-1; each record carries the current value and the scheduled event
// that the current render slice follows. An element may carry a name.
//
// AUIOElement: an input or output element; adds the stream format and the buffer
// list, whose data pointers point either at the element's own memory (allocated
// for the maximum frames per slice) or at buffers somebody else supplied.
// AUInputElement adds where the input comes from: nothing, a connected unit's
// output, or a render callback. AUOutputElement is an output bus.
//
// Threads: parameter values may be written by one thread while the render thread
// reads them; each value is read and written whole. Everything else belongs to
// the thread that owns the unit's configuration, or to the render thread while
// the unit renders.
#pragma once

#include "platform/AudioUnitTypes.h"
#include "platform/CoreFoundation.h"

#include <atomic>
#include <map>
#include <vector>

class AUBase;

// A float one thread may store while another loads it.
class SharedFloat {
  public:
    SharedFloat(Float32 v = 0.0f) : value(v) {}
    SharedFloat(const SharedFloat& other) : value(other.load()) {}
    SharedFloat& operator=(const SharedFloat& other) {
        store(other.load());
        return *this;
    }
    Float32 load() const { return value.load(std::memory_order_relaxed); }
    void store(Float32 v) { value.store(v, std::memory_order_relaxed); }

  private:
    std::atomic<Float32> value;
};

// One parameter: its current value (value 1) and the event it follows in the
// current slice. An immediate value has value 1 = value 2.
struct AUParameterRecord {
    UInt32 eventType = kParameterEvent_Immediate;
    SInt32 startOffset = 0; // event start, relative to the current slice
    UInt32 duration = 0;    // ramp length in frames
    SharedFloat value1;
    AudioUnitParameterValue value2 = 0.0f;
    UInt32 sliceDuration = 0;
};

class AUElement {
  public:
    explicit AUElement(AUBase* audioUnit);
    virtual ~AUElement();
    AUElement(const AUElement&) = delete;
    AUElement& operator=(const AUElement&) = delete;

    AUBase* GetAudioUnit() const { return mAudioUnit; }

    // Switches to indexed storage with IDs 0..n-1, each immediate at 0.0.
    void UseIndexedParameters(UInt32 numberOfParameters);
    bool UsesIndexedParameters() const { return mIndexed; }
    UInt32 GetNumberOfParameters() const;
    // Writes GetNumberOfParameters() IDs: 0..n-1 when indexed, else ascending.
    void GetParameterList(AudioUnitParameterID* outList) const;
    bool HasParameter(AudioUnitParameterID id) const;

    // The current value; an ID the element does not hold throws -10878.
    AudioUnitParameterValue GetParameter(AudioUnitParameterID id) const;
    // Makes the parameter immediate with `value`. Indexed storage throws -10878 for
    // an ID at or beyond its count; map storage creates the ID.
    void SetParameter(AudioUnitParameterID id, AudioUnitParameterValue value);

    // Render thread: the parameter takes an event that falls in the slice starting
    // at `sliceStart` (frames into the render call) and lasting `sliceFrames`.
    // Returns false, changing nothing, when the element does not hold the ID.
    // Neither allocates nor throws.
    bool SetScheduledEvent(const AudioUnitParameterEvent& event, UInt32 sliceStart,
                           UInt32 sliceFrames);
    // Where the parameter's ramp stands in the current slice: step per frame
    // (value 2 - value 1) / duration, the slice's start value value 1 + (slice
    // start - event start) * step and its end value start + slice frames * step.
    // An immediate value (or a ramp of no length) gives step 0 and value 1 at both
    // ends. Unknown IDs throw -10878.
    AudioUnitParameterRampInfo GetSliceRamp(AudioUnitParameterID id,
                                            Float32* outStepPerFrame = nullptr) const;

    // The element's name, or null; SetName retains the new name (null clears it).
    CFStringRef GetName() const { return mName; }
    void SetName(CFStringRef name);
    bool HasName() const { return mName != nullptr; }

  private:
    const AUParameterRecord* Find(AudioUnitParameterID id) const;
    AUParameterRecord* Find(AudioUnitParameterID id);

    AUBase* mAudioUnit;
    std::map<AudioUnitParameterID, AUParameterRecord> mParameterMap;
    bool mIndexed = false;
    std::vector<AUParameterRecord> mIndexedParameters;
    CFStringRef mName = nullptr;
};

class AUIOElement : public AUElement {
  public:
    explicit AUIOElement(AUBase* audioUnit);
    ~AUIOElement() override;

    // Every element starts at 44100 Hz, 2 channels of non-interleaved 32-bit float.
    const AudioStreamBasicDescription& GetStreamFormat() const { return mFormat; }
    // Takes the format as it is (checks are the unit's); rebuilds the buffer list
    // for its channels and reallocates own memory when it was allocated.
    virtual void SetStreamFormat(const AudioStreamBasicDescription& format);
    UInt32 NumberChannels() const { return mFormat.mChannelsPerFrame; }
    // Buffers a list of this format holds: one per channel when non-interleaved, else 1.
    UInt32 NumberBuffers() const;
    // Channels in each of those buffers.
    UInt32 ChannelsPerBuffer() const;

    // Own memory: room for `maxFrames` frames in every buffer.
    void AllocateBuffer(UInt32 maxFrames);
    void DeallocateBuffer();
    bool IsBufferAllocated() const { return mAllocated; }

    // Points the list at own memory sized for `frames` (throws -10867 when none is
    // allocated, -10874 when `frames` exceeds it).
    AudioBufferList& PrepareBuffer(UInt32 frames);
    // Null data pointers sized for `frames`, for a source that supplies its own.
    AudioBufferList& PrepareNullBuffer(UInt32 frames);
    // Points the list's buffers at the data of `buffers` (as many as both lists
    // hold), taking their byte counts; the channels per buffer stay this format's.
    AudioBufferList& UseExternalBuffer(const AudioBufferList& buffers);
    AudioBufferList& GetBufferList() { return *mList; }
    const AudioBufferList& GetBufferList() const { return *mList; }

  private:
    void RebuildList();

    AudioStreamBasicDescription mFormat;
    AudioBufferList* mList = nullptr; // header and NumberBuffers() buffers, one block
    std::vector<Float32> mMemory;
    UInt32 mAllocatedFrames = 0;
    bool mAllocated = false;
};

class AUInputElement : public AUIOElement {
  public:
    enum class InputSource { None, Connection, Callback };

    explicit AUInputElement(AUBase* audioUnit);

    // A connection with no source unit disconnects.
    void SetConnection(const AudioUnitConnection& connection);
    // A null function disconnects.
    void SetInputCallback(AURenderCallback proc, void* refCon);
    void Disconnect();
    InputSource GetSource() const { return mSource; }
    bool IsActive() const { return mSource != InputSource::None; }
    const AudioUnitConnection& GetConnection() const { return mConnection; }

    // Fetches `frames` of input into the buffer list: a connected unit renders its
    // output into buffers it supplies; a callback fills the element's own memory
    // (or supplies its own buffers). The list that comes back must still hold this
    // format's buffers, each with data and room for the frames, else -50.
    OSStatus PullInput(AudioUnitRenderActionFlags& ioFlags, const AudioTimeStamp& timeStamp,
                       AudioUnitElement inputNumber, UInt32 frames);

  private:
    InputSource mSource = InputSource::None;
    AudioUnitConnection mConnection = {};
    AURenderCallbackStruct mCallback = {};
};

class AUOutputElement : public AUIOElement {
  public:
    explicit AUOutputElement(AUBase* audioUnit) : AUIOElement(audioUnit) {}
};
