#include "au/AUElement.h"

#include "au/AUStatus.h"
#include "platform/Components.h"

#include <cstdlib>
#include <limits>
#include <new>

// --- AUElement ---

AUElement::AUElement(AUBase* audioUnit) : mAudioUnit(audioUnit) {}

AUElement::~AUElement() {
    if (mName)
        CFRelease(mName);
}

void AUElement::UseIndexedParameters(UInt32 numberOfParameters) {
    mIndexedParameters.assign(numberOfParameters, AUParameterRecord());
    mIndexed = true;
}

UInt32 AUElement::GetNumberOfParameters() const {
    return static_cast<UInt32>(mIndexed ? mIndexedParameters.size() : mParameterMap.size());
}

void AUElement::GetParameterList(AudioUnitParameterID* outList) const {
    if (mIndexed) {
        for (UInt32 i = 0; i < mIndexedParameters.size(); ++i)
            outList[i] = i;
        return;
    }
    for (const auto& entry : mParameterMap)
        *outList++ = entry.first;
}

bool AUElement::HasParameter(AudioUnitParameterID id) const {
    return Find(id) != nullptr;
}

const AUParameterRecord* AUElement::Find(AudioUnitParameterID id) const {
    if (mIndexed)
        return id < mIndexedParameters.size() ? &mIndexedParameters[id] : nullptr;
    auto it = mParameterMap.find(id);
    return it == mParameterMap.end() ? nullptr : &it->second;
}

AUParameterRecord* AUElement::Find(AudioUnitParameterID id) {
    return const_cast<AUParameterRecord*>(static_cast<const AUElement*>(this)->Find(id));
}

AudioUnitParameterValue AUElement::GetParameter(AudioUnitParameterID id) const {
    const AUParameterRecord* record = Find(id);
    if (!record)
        ThrowStatus(kAudioUnitErr_InvalidParameter);
    return record->value1.load();
}

void AUElement::SetParameter(AudioUnitParameterID id, AudioUnitParameterValue value) {
    AUParameterRecord* record = Find(id);
    if (!record) {
        if (mIndexed)
            ThrowStatus(kAudioUnitErr_InvalidParameter);
        record = &mParameterMap[id];
    }
    record->eventType = kParameterEvent_Immediate;
    record->startOffset = 0;
    record->duration = 0;
    record->value1.store(value);
    record->value2 = value;
}

bool AUElement::SetScheduledEvent(const AudioUnitParameterEvent& event, UInt32 sliceStart,
                                  UInt32 sliceFrames) {
    AUParameterRecord* record = Find(event.parameter);
    if (!record)
        return false;
    record->sliceDuration = sliceFrames;
    if (event.eventType == kParameterEvent_Ramped) {
        const auto& ramp = event.eventValues.ramp;
        int64_t offset = int64_t(ramp.startBufferOffset) - int64_t(sliceStart);
        if (offset < std::numeric_limits<SInt32>::min())
            offset = std::numeric_limits<SInt32>::min();
        record->eventType = kParameterEvent_Ramped;
        record->startOffset = static_cast<SInt32>(offset);
        record->duration = ramp.durationInFrames;
        record->value1.store(ramp.startValue);
        record->value2 = ramp.endValue;
    } else {
        const auto& immediate = event.eventValues.immediate;
        record->eventType = kParameterEvent_Immediate;
        record->startOffset = 0;
        record->duration = 0;
        record->value1.store(immediate.value);
        record->value2 = immediate.value;
    }
    return true;
}

AudioUnitParameterRampInfo AUElement::GetSliceRamp(AudioUnitParameterID id,
                                                   Float32* outStepPerFrame) const {
    const AUParameterRecord* record = Find(id);
    if (!record)
        ThrowStatus(kAudioUnitErr_InvalidParameter);
    const double value1 = record->value1.load();
    double step = 0.0;
    if (record->eventType == kParameterEvent_Ramped && record->duration > 0)
        step = (double(record->value2) - value1) / double(record->duration);
    const double start = value1 - double(record->startOffset) * step;
    const double end = start + double(record->sliceDuration) * step;
    if (outStepPerFrame)
        *outStepPerFrame = static_cast<Float32>(step);
    return AudioUnitParameterRampInfo{static_cast<Float32>(start), static_cast<Float32>(end)};
}

void AUElement::SetName(CFStringRef name) {
    if (name)
        CFRetain(name);
    if (mName)
        CFRelease(mName);
    mName = name;
}

// --- AUIOElement ---

AUIOElement::AUIOElement(AUBase* audioUnit) : AUElement(audioUnit) {
    mFormat = CanonicalStreamFormat(44100.0, 2);
    RebuildList();
}

AUIOElement::~AUIOElement() {
    std::free(mList);
}

UInt32 AUIOElement::NumberBuffers() const {
    const bool nonInterleaved = mFormat.mFormatID == kAudioFormatLinearPCM &&
                                (mFormat.mFormatFlags & kAudioFormatFlagIsNonInterleaved);
    return nonInterleaved ? mFormat.mChannelsPerFrame : 1;
}

UInt32 AUIOElement::ChannelsPerBuffer() const {
    return NumberBuffers() == mFormat.mChannelsPerFrame ? 1 : mFormat.mChannelsPerFrame;
}

void AUIOElement::SetStreamFormat(const AudioStreamBasicDescription& format) {
    const AudioStreamBasicDescription previous = mFormat;
    mFormat = format;
    try {
        RebuildList();
    } catch (...) {
        mFormat = previous; // the old list still matches the old format
        throw;
    }
    if (mAllocated) {
        try {
            AllocateBuffer(mAllocatedFrames);
        } catch (...) {
            DeallocateBuffer();
            throw;
        }
    }
}

void AUIOElement::RebuildList() {
    const UInt32 buffers = NumberBuffers();
    auto* list = static_cast<AudioBufferList*>(std::calloc(1, AudioBufferListSize(buffers)));
    if (!list)
        throw std::bad_alloc();
    std::free(mList);
    mList = list;
    mList->mNumberBuffers = buffers;
    for (UInt32 i = 0; i < buffers; ++i)
        mList->mBuffers[i].mNumberChannels = ChannelsPerBuffer();
}

void AUIOElement::AllocateBuffer(UInt32 maxFrames) {
    const size_t samplesPerBuffer = size_t(maxFrames) * ChannelsPerBuffer();
    // A buffer's byte count has to fit the list's 32-bit size field.
    if (samplesPerBuffer * sizeof(Float32) > std::numeric_limits<UInt32>::max())
        ThrowStatus(kAudioUnitErr_TooManyFramesToProcess);
    std::vector<Float32>(samplesPerBuffer * NumberBuffers(), 0.0f).swap(mMemory);
    mAllocatedFrames = maxFrames;
    mAllocated = true;
    PrepareBuffer(maxFrames);
}

void AUIOElement::DeallocateBuffer() {
    std::vector<Float32>().swap(mMemory);
    mAllocated = false;
    mAllocatedFrames = 0;
    PrepareNullBuffer(0);
}

AudioBufferList& AUIOElement::PrepareBuffer(UInt32 frames) {
    if (!mAllocated)
        ThrowStatus(kAudioUnitErr_Uninitialized);
    if (frames > mAllocatedFrames)
        ThrowStatus(kAudioUnitErr_TooManyFramesToProcess);
    const UInt32 channels = ChannelsPerBuffer();
    const size_t stride = size_t(mAllocatedFrames) * channels;
    mList->mNumberBuffers = NumberBuffers();
    for (UInt32 i = 0; i < mList->mNumberBuffers; ++i) {
        AudioBuffer& buffer = mList->mBuffers[i];
        buffer.mNumberChannels = channels;
        buffer.mDataByteSize = frames * channels * UInt32(sizeof(Float32));
        buffer.mData = mMemory.data() + i * stride;
    }
    return *mList;
}

AudioBufferList& AUIOElement::PrepareNullBuffer(UInt32 frames) {
    const UInt32 channels = ChannelsPerBuffer();
    mList->mNumberBuffers = NumberBuffers();
    for (UInt32 i = 0; i < mList->mNumberBuffers; ++i) {
        AudioBuffer& buffer = mList->mBuffers[i];
        buffer.mNumberChannels = channels;
        buffer.mDataByteSize = frames * channels * UInt32(sizeof(Float32));
        buffer.mData = nullptr;
    }
    return *mList;
}

AudioBufferList& AUIOElement::UseExternalBuffer(const AudioBufferList& buffers) {
    const UInt32 count = buffers.mNumberBuffers < mList->mNumberBuffers ? buffers.mNumberBuffers
                                                                        : mList->mNumberBuffers;
    for (UInt32 i = 0; i < count; ++i) {
        mList->mBuffers[i].mData = buffers.mBuffers[i].mData;
        mList->mBuffers[i].mDataByteSize = buffers.mBuffers[i].mDataByteSize;
    }
    return *mList;
}

// --- AUInputElement ---

AUInputElement::AUInputElement(AUBase* audioUnit) : AUIOElement(audioUnit) {}

void AUInputElement::SetConnection(const AudioUnitConnection& connection) {
    if (!connection.sourceAudioUnit) {
        Disconnect();
        return;
    }
    mConnection = connection;
    mCallback = {};
    mSource = InputSource::Connection;
}

void AUInputElement::SetInputCallback(AURenderCallback proc, void* refCon) {
    if (!proc) {
        Disconnect();
        return;
    }
    mCallback = AURenderCallbackStruct{proc, refCon};
    mConnection = {};
    mSource = InputSource::Callback;
}

void AUInputElement::Disconnect() {
    mSource = InputSource::None;
    mConnection = {};
    mCallback = {};
}

OSStatus AUInputElement::PullInput(AudioUnitRenderActionFlags& ioFlags,
                                   const AudioTimeStamp& timeStamp, AudioUnitElement inputNumber,
                                   UInt32 frames) {
    OSStatus result;
    switch (mSource) {
    case InputSource::Connection:
        PrepareNullBuffer(frames);
        result = AudioUnitRender(mConnection.sourceAudioUnit, &ioFlags, &timeStamp,
                                 mConnection.sourceOutputNumber, frames, &GetBufferList());
        break;
    case InputSource::Callback:
        PrepareBuffer(frames);
        result = mCallback.inputProc(mCallback.inputProcRefCon, &ioFlags, &timeStamp, inputNumber,
                                     frames, &GetBufferList());
        break;
    default: return kAudioUnitErr_NoConnection;
    }
    if (result != noErr)
        return result;

    // The source may have replaced the data pointers; it must not have shrunk or
    // grown the list, nor left a buffer without room for the frames.
    AudioBufferList& list = GetBufferList();
    if (list.mNumberBuffers != NumberBuffers()) {
        list.mNumberBuffers = NumberBuffers();
        return paramErr;
    }
    for (UInt32 i = 0; i < list.mNumberBuffers; ++i) {
        const AudioBuffer& buffer = list.mBuffers[i];
        const uint64_t needed = uint64_t(frames) * buffer.mNumberChannels * sizeof(Float32);
        if (!buffer.mData || buffer.mNumberChannels == 0 || buffer.mDataByteSize < needed)
            return paramErr;
    }
    return noErr;
}
