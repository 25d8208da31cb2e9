// The plug-in for LV2 hosts: a mono and a stereo plug-in, each a thin host of the
// unit. The unit is opened through quorleEntry and driven with the client
// functions, exactly as any other host drives it; this library carries the unit
// inside, so the unit's own directory is the LV2 bundle with its data archive.
//
// Ports: 0 drive, 1 post, 2 bass (0..1), 3 model (integer), then the audio inputs,
// then the audio outputs, then the oversampling factor (1, 2, 4, 8; other values go
// to the nearest) and the latency output (frames). The factor is handed to the unit
// from run() through the property meant for the render thread (64003): the unit
// stores it without announcing it, and its kernels switch at their next render, all
// without a lock or an allocation.
//
// A host that says how many frames it hands run() at most (bufsz:maxBlockLength
// through the options feature, read with its URI map) gets a unit set up for
// render calls of that length, and no longer than 4096 frames; the unit's work
// buffers are sized by it. Without it, 4096. run() accepts any length either way:
// longer calls are rendered in several slices.
//
// With a host's worker (work:schedule), the unit builds models on demand: run()
// only asks the worker for a model the model port names, work() builds its graphs
// (one per channel), work_response() hands them to the unit and switches to them,
// and graphs the unit no longer needs are collected after each run() and freed by
// the worker. A port changed again before the worker answered wins: answers for
// models no longer asked for are freed unplayed. Without a worker every model is
// built at instantiation and run() switches to it directly.
#include "au/quorleIds.h"
#include "platform/Components.h"

#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>

extern "C" ComponentResult quorleEntry(ComponentParameters* params, void* storage);

namespace {

constexpr const char* kMonoUri = "http://pellark.invalid/plugins/quorle#mono";
constexpr const char* kStereoUri = "http://pellark.invalid/plugins/quorle#stereo";
constexpr uint32_t kControls = 4;
constexpr uint32_t kMaxSlice = 4096; // frames per render call at most (and without a host's bound)

struct Instance {
    uint32_t channels = 1;
    AudioUnit unit = nullptr;
    bool ready = false; // the unit initialised; otherwise run() writes silence
    uint32_t modelCount = 0;
    const float* controls[kControls] = {};
    float sent[kControls]; // values last handed to the unit
    const float* inputs[2] = {};
    float* outputs[2] = {};
    const float* oversampling = nullptr; // not connected: the default factor
    float* latency = nullptr;
    UInt32 factor = kQuorleDefaultOversampling; // the factor last handed to the unit
    uint32_t maxSlice = kMaxSlice;              // frames per render call the unit is set up for
    double rate = 0;                            // Hz
    float latencyFrames = 0;                    // at `factor`
    uint32_t offset = 0;                        // frames of the current run() already rendered
    double sampleTime = 0; // advances by every rendered slice, so no render repeats a time
    const LV2_Worker_Schedule* worker = nullptr; // null: every model built at instantiation
    float requested = 0; // with a worker: the model last asked of it (the unit starts on 0)
    QuorleGraphs toFree; // with a worker: graphs waiting to be sent to it for freeing
    alignas(AudioBufferList) unsigned char list[AudioBufferListSize(2)];
};

OSStatus supplyInput(void* refCon, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32,
                     UInt32 frames, AudioBufferList* data) {
    auto* self = static_cast<Instance*>(refCon);
    for (UInt32 c = 0; c < data->mNumberBuffers && c < self->channels; ++c)
        std::memcpy(data->mBuffers[c].mData, self->inputs[c] + self->offset,
                    frames * sizeof(float));
    return noErr;
}

// The factor a port value asks for: the nearest of 1, 2, 4 and 8 (NaN: the default).
UInt32 factorFor(float value) {
    if (std::isnan(value))
        return kQuorleDefaultOversampling;
    return value < 1.5f ? 1 : value < 3.0f ? 2 : value < 6.0f ? 4 : 8;
}

// Hands `factor` to the unit and reads the latency it causes, in frames. Setup
// thread, or the audio thread with `fromRun` (the factor is then stored only: no
// listener is called, so no lock is taken).
void setFactor(Instance* self, UInt32 factor, bool fromRun) {
    const AudioUnitPropertyID id =
        fromRun ? kQuorleProperty_OversamplingFromRender : kQuorleProperty_Oversampling;
    if (AudioUnitSetProperty(self->unit, id, kAudioUnitScope_Global, 0, &factor, sizeof(factor)) !=
        noErr)
        return;
    self->factor = factor;
    Float64 seconds = 0;
    UInt32 size = sizeof(seconds);
    if (AudioUnitGetProperty(self->unit, kAudioUnitProperty_Latency, kAudioUnitScope_Global, 0,
                             &seconds, &size) == noErr)
        self->latencyFrames = static_cast<float>(std::lround(seconds * self->rate));
}

// The host's bound on run()'s frames when its options carry one (a positive
// atom:Int bufsz:maxBlockLength), held to 1..kMaxSlice; else kMaxSlice.
// A worker message: build a model's graphs, or free graphs. The answer to a build
// carries the graphs (none when the model cannot be built).
struct WorkMessage {
    enum Kind : uint32_t { kBuild, kFree } kind = kBuild;
    QuorleGraphs graphs; // kBuild: graphs.model names the model
};

const LV2_Worker_Schedule* workerFor(const LV2_Feature* const* features) {
    for (const LV2_Feature* const* f = features; f && *f; ++f)
        if (std::strcmp((*f)->URI, LV2_WORKER__schedule) == 0 && (*f)->data &&
            static_cast<const LV2_Worker_Schedule*>((*f)->data)->schedule_work)
            return static_cast<const LV2_Worker_Schedule*>((*f)->data);
    return nullptr;
}

uint32_t sliceFor(const LV2_Feature* const* features) {
    const LV2_URID_Map* map = nullptr;
    const LV2_Options_Option* options = nullptr;
    for (const LV2_Feature* const* f = features; f && *f; ++f) {
        if (std::strcmp((*f)->URI, LV2_URID__map) == 0)
            map = static_cast<const LV2_URID_Map*>((*f)->data);
        else if (std::strcmp((*f)->URI, LV2_OPTIONS__options) == 0)
            options = static_cast<const LV2_Options_Option*>((*f)->data);
    }
    if (!map || !map->map || !options)
        return kMaxSlice;
    const LV2_URID key = map->map(map->handle, LV2_BUF_SIZE__maxBlockLength);
    const LV2_URID integer = map->map(map->handle, LV2_ATOM__Int);
    // The list ends with an option of key 0 and no value.
    for (const LV2_Options_Option* o = options; o->key != 0 || o->value; ++o) {
        if (o->key != key || o->type != integer || o->size != sizeof(int32_t) || !o->value)
            continue;
        int32_t frames = 0;
        std::memcpy(&frames, o->value, sizeof(frames));
        if (frames > 0)
            return std::min(static_cast<uint32_t>(frames), kMaxSlice);
    }
    return kMaxSlice;
}

OSStatus startUnit(Instance* self, double rate) {
    OSStatus status = OpenAComponent(quorleEntry, &kQuorleDescription, &self->unit);
    if (status != noErr) {
        self->unit = nullptr;
        return status;
    }
    AudioStreamBasicDescription format = {rate,
                                          kAudioFormatLinearPCM,
                                          kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked |
                                              kAudioFormatFlagIsNonInterleaved,
                                          4,
                                          1,
                                          4,
                                          self->channels,
                                          32,
                                          0};
    for (AudioUnitScope scope : {kAudioUnitScope_Input, kAudioUnitScope_Output})
        if ((status = AudioUnitSetProperty(self->unit, kAudioUnitProperty_StreamFormat, scope, 0,
                                           &format, sizeof(format))) != noErr)
            return status;
    UInt32 maxFrames = self->maxSlice;
    if ((status = AudioUnitSetProperty(self->unit, kAudioUnitProperty_MaximumFramesPerSlice,
                                       kAudioUnitScope_Global, 0, &maxFrames, sizeof(maxFrames))) !=
        noErr)
        return status;
    AURenderCallbackStruct callback = {supplyInput, self};
    if ((status = AudioUnitSetProperty(self->unit, kAudioUnitProperty_SetRenderCallback,
                                       kAudioUnitScope_Input, 0, &callback, sizeof(callback))) !=
        noErr)
        return status;
    self->rate = rate;
    setFactor(self, kQuorleDefaultOversampling, false); // the kernels start at it
    const UInt32 onDemand = self->worker ? 1 : 0;
    if ((status = AudioUnitSetProperty(self->unit, kQuorleProperty_PrepareOnDemand,
                                       kAudioUnitScope_Global, 0, &onDemand, sizeof(onDemand))) !=
        noErr)
        return status;
    if ((status = AudioUnitInitialize(self->unit)) != noErr)
        return status;
    for (UInt32 m = 0;; ++m) {
        char name[kModelNameSize];
        UInt32 size = sizeof(name);
        if (AudioUnitGetProperty(self->unit, kQuorleProperty_ModelName, kAudioUnitScope_Global, m,
                                 name, &size) != noErr)
            break;
        self->modelCount = m + 1;
    }
    return noErr;
}

LV2_Handle instantiate(const LV2_Descriptor* descriptor, double rate, const char*,
                       const LV2_Feature* const* features) {
    auto* self = new (std::nothrow) Instance;
    if (!self)
        return nullptr;
    self->channels = std::strcmp(descriptor->URI, kStereoUri) == 0 ? 2 : 1;
    self->maxSlice = sliceFor(features);
    self->worker = workerFor(features);
    for (float& v : self->sent)
        v = std::nanf("");
    OSStatus status = startUnit(self, rate);
    self->ready = status == noErr && self->modelCount > 0;
    if (!self->ready)
        std::fprintf(stderr,
                     "quorle: the plug-in could not start (status %d%s); it will output "
                     "silence\n",
                     static_cast<int>(status),
                     status == noErr ? ", no models in its data archive" : "");
    return self;
}

void connectPort(LV2_Handle handle, uint32_t port, void* data) {
    auto* self = static_cast<Instance*>(handle);
    if (port < kControls)
        self->controls[port] = static_cast<const float*>(data);
    else if (port < kControls + self->channels)
        self->inputs[port - kControls] = static_cast<const float*>(data);
    else if (port < kControls + 2 * self->channels)
        self->outputs[port - kControls - self->channels] = static_cast<float*>(data);
    else if (port == kControls + 2 * self->channels)
        self->oversampling = static_cast<const float*>(data);
    else if (port == kControls + 2 * self->channels + 1)
        self->latency = static_cast<float*>(data);
}

void silence(Instance* self, uint32_t frames) {
    for (uint32_t c = 0; c < self->channels; ++c)
        if (self->outputs[c])
            std::memset(self->outputs[c], 0, frames * sizeof(float));
}

// Render thread: collects the graphs the unit no longer needs and sends them, with
// any refused ones, to the worker to be freed (kept for the next run() when the
// worker's queue is full).
void sendGraphsToFree(Instance* self) {
    if (self->toFree.count == 0) {
        UInt32 size = sizeof(self->toFree);
        if (AudioUnitGetProperty(self->unit, kQuorleProperty_InstalledGraphs,
                                 kAudioUnitScope_Global, 0, &self->toFree, &size) != noErr)
            self->toFree.count = 0;
    }
    if (self->toFree.count == 0)
        return;
    WorkMessage message;
    message.kind = WorkMessage::kFree;
    message.graphs = self->toFree;
    if (self->worker->schedule_work(self->worker->handle, sizeof(message), &message) ==
        LV2_WORKER_SUCCESS)
        self->toFree.count = 0;
}

// Worker thread: builds the model asked for, or frees graphs.
LV2_Worker_Status work(LV2_Handle handle, LV2_Worker_Respond_Function respond,
                       LV2_Worker_Respond_Handle respondHandle, uint32_t size, const void* data) {
    auto* self = static_cast<Instance*>(handle);
    WorkMessage message;
    if (size != sizeof(message) || !data)
        return LV2_WORKER_ERR_UNKNOWN;
    std::memcpy(&message, data, sizeof(message));
    if (message.kind == WorkMessage::kFree) {
        AudioUnitSetProperty(self->unit, kQuorleProperty_PreparedGraphs, kAudioUnitScope_Global, 0,
                             &message.graphs, sizeof(message.graphs));
        return LV2_WORKER_SUCCESS;
    }
    UInt32 graphsSize = sizeof(message.graphs);
    if (AudioUnitGetProperty(self->unit, kQuorleProperty_PreparedGraphs, kAudioUnitScope_Global,
                             message.graphs.model, &message.graphs, &graphsSize) != noErr)
        message.graphs.count = 0; // the model cannot be built: the current one plays on
    if (respond(respondHandle, sizeof(message), &message) == LV2_WORKER_SUCCESS)
        return LV2_WORKER_SUCCESS;
    AudioUnitSetProperty(self->unit, kQuorleProperty_PreparedGraphs, kAudioUnitScope_Global, 0,
                         &message.graphs, sizeof(message.graphs));
    return LV2_WORKER_ERR_NO_SPACE;
}

// Render thread (run() context): hands the graphs built for the model last asked for
// to the unit and switches to it; graphs of a model asked for before it, or ones the
// unit refuses, are sent back to be freed.
LV2_Worker_Status workResponse(LV2_Handle handle, uint32_t size, const void* data) {
    auto* self = static_cast<Instance*>(handle);
    WorkMessage message;
    if (size != sizeof(message) || !data)
        return LV2_WORKER_ERR_UNKNOWN;
    std::memcpy(&message, data, sizeof(message));
    if (message.graphs.count == 0)
        return LV2_WORKER_SUCCESS;
    const float model = static_cast<float>(message.graphs.model);
    if (model == self->requested) {
        if (AudioUnitSetProperty(self->unit, kQuorleProperty_InstalledGraphs,
                                 kAudioUnitScope_Global, 0, &message.graphs,
                                 sizeof(message.graphs)) == noErr) {
            AudioUnitSetParameter(self->unit, 3, kAudioUnitScope_Global, 0, model, 0);
            return LV2_WORKER_SUCCESS;
        }
        self->requested = std::nanf(""); // refused (no room yet): asked again at the next run()
    }
    // Not played: freed by the worker, now or (its queue full) after the next run().
    if (self->toFree.count + message.graphs.count <= kQuorleMaxGraphs) {
        for (UInt32 i = 0; i < message.graphs.count; ++i)
            self->toFree.graphs[self->toFree.count++] = message.graphs.graphs[i];
        return LV2_WORKER_SUCCESS;
    }
    message.kind = WorkMessage::kFree;
    return self->worker->schedule_work(self->worker->handle, sizeof(message), &message);
}

const void* extensionData(const char* uri) {
    static const LV2_Worker_Interface worker = {work, workResponse, nullptr};
    return std::strcmp(uri, LV2_WORKER__interface) == 0 ? &worker : nullptr;
}

void run(LV2_Handle handle, uint32_t frames) {
    auto* self = static_cast<Instance*>(handle);
    if (!self->ready) {
        silence(self, frames);
        if (self->latency)
            *self->latency = 0;
        return;
    }
    const UInt32 factor =
        factorFor(self->oversampling ? *self->oversampling : float(kQuorleDefaultOversampling));
    if (factor != self->factor)
        setFactor(self, factor, true);
    if (self->latency)
        *self->latency = self->latencyFrames;
    for (uint32_t i = 0; i < kControls; ++i) {
        if (!self->controls[i])
            continue;
        float value = *self->controls[i];
        if (i == 3) // a whole model number within the list
            value = std::fmin(std::fmax(std::nearbyint(value), 0.0f),
                              static_cast<float>(self->modelCount - 1));
        else
            value = std::fmin(std::fmax(value, 0.0f), 1.0f);
        if (i == 3 && self->worker) {
            // Asked of the worker; work_response() sets the parameter.
            if (!(value == self->requested)) {
                // Set first: a worker may answer within schedule_work() (offline hosts).
                const float before = self->requested;
                self->requested = value;
                WorkMessage request;
                request.graphs.model = static_cast<UInt32>(value);
                if (self->worker->schedule_work(self->worker->handle, sizeof(request), &request) !=
                    LV2_WORKER_SUCCESS)
                    self->requested = before; // asked again at the next run()
            }
            continue;
        }
        if (!(value == self->sent[i])) {
            AudioUnitSetParameter(self->unit, i, kAudioUnitScope_Global, 0, value, 0);
            self->sent[i] = value;
        }
    }
    auto* list = reinterpret_cast<AudioBufferList*>(self->list);
    list->mNumberBuffers = self->channels;
    for (self->offset = 0; self->offset < frames;) {
        const UInt32 n = std::min(frames - self->offset, self->maxSlice);
        for (uint32_t c = 0; c < self->channels; ++c) {
            list->mBuffers[c].mNumberChannels = 1;
            list->mBuffers[c].mDataByteSize = n * sizeof(float);
            list->mBuffers[c].mData = self->outputs[c] + self->offset;
        }
        AudioTimeStamp time = {};
        time.mSampleTime = self->sampleTime;
        time.mFlags = kAudioTimeStampSampleTimeValid;
        AudioUnitRenderActionFlags flags = 0;
        if (AudioUnitRender(self->unit, &flags, &time, 0, n, list) != noErr) {
            silence(self, frames);
            return;
        }
        self->sampleTime += n;
        self->offset += n;
    }
    if (self->worker)
        sendGraphsToFree(self);
}

// Setup thread: the host (re)starts the instance, which must forget what it has
// heard before, as a freshly instantiated one.
void activate(LV2_Handle handle) {
    auto* self = static_cast<Instance*>(handle);
    if (self->ready)
        AudioUnitReset(self->unit, kAudioUnitScope_Global, 0);
}

void cleanup(LV2_Handle handle) {
    auto* self = static_cast<Instance*>(handle);
    if (self->unit) {
        if (self->toFree.count > 0)
            AudioUnitSetProperty(self->unit, kQuorleProperty_PreparedGraphs, kAudioUnitScope_Global,
                                 0, &self->toFree, sizeof(self->toFree));
        AudioUnitUninitialize(self->unit);
        CloseComponent(self->unit);
    }
    delete self;
}

const LV2_Descriptor kDescriptors[] = {
    {kMonoUri, instantiate, connectPort, activate, run, nullptr, cleanup, extensionData},
    {kStereoUri, instantiate, connectPort, activate, run, nullptr, cleanup, extensionData},
};

} // namespace

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index < 2 ? &kDescriptors[index] : nullptr;
}
