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
// buffers are sized by it. Without it, 2048. run() accepts any length either way:
// longer calls are rendered in several slices.
//
// With a host's worker (work:schedule), the unit builds models on demand: run()
// only asks the worker for a model the model port names, work() builds its graphs
// (one per channel), work_response() hands them to the unit and switches to them,
// and graphs the unit no longer needs are collected after each run() and freed by
// the worker. A port changed again before the worker answered wins: answers for
// models no longer asked for are freed unplayed. Without a worker every model is
// built at instantiation and run() switches to it directly.
//
// After the latency port: an atom input (patch messages) and an atom output. The
// plug-in's one LV2 parameter, the player's data archive (patch:writable, an
// atom:Path), arrives as patch:Set and is opened by the worker (Lv2Archive.cpp).
#include "tools/lv2/Lv2Instance.h"

#include <lv2/buf-size/buf-size.h>
#include <lv2/options/options.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>

extern "C" ComponentResult quorleEntry(ComponentParameters* params, void* storage);

namespace quorlelv2 {

namespace {

constexpr const char* kMonoUri = "http://pellark.invalid/plugins/quorle#mono";
constexpr const char* kStereoUri = "http://pellark.invalid/plugins/quorle#stereo";

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

// The latency the unit reports, in frames.
float latencyOf(AudioUnit unit, double rate) {
    Float64 seconds = 0;
    UInt32 size = sizeof(seconds);
    if (AudioUnitGetProperty(unit, kAudioUnitProperty_Latency, kAudioUnitScope_Global, 0, &seconds,
                             &size) != noErr)
        return 0;
    return static_cast<float>(std::lround(seconds * rate));
}

// Render thread: hands `factor` to the unit through the property meant for the
// render thread (stored only: no listener is called, so no lock is taken) and
// reads the latency it causes.
void setFactor(Instance* self, UInt32 factor) {
    if (AudioUnitSetProperty(self->unit, kQuorleProperty_OversamplingFromRender,
                             kAudioUnitScope_Global, 0, &factor, sizeof(factor)) != noErr)
        return;
    self->factor = factor;
    self->latencyFrames = latencyOf(self->unit, self->rate);
}

template <typename T> const T* feature(const LV2_Feature* const* features, const char* uri) {
    for (const LV2_Feature* const* f = features; f && *f; ++f)
        if (std::strcmp((*f)->URI, uri) == 0)
            return static_cast<const T*>((*f)->data);
    return nullptr;
}

// The host's bound on run()'s frames when its options carry one (a positive
// atom:Int bufsz:maxBlockLength), held to 1..kMaxSlice; else kDefaultSlice.
uint32_t sliceFor(const LV2_URID_Map* map, const LV2_Options_Option* options) {
    if (!map || !map->map || !options)
        return kDefaultSlice;
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
    return kDefaultSlice;
}

LV2_Handle instantiate(const LV2_Descriptor* descriptor, double rate, const char* bundle,
                       const LV2_Feature* const* features) {
    auto* self = new (std::nothrow) Instance;
    if (!self)
        return nullptr;
    self->channels = std::strcmp(descriptor->URI, kStereoUri) == 0 ? 2 : 1;
    self->rate = rate;
    self->bundle = bundle ? bundle : "";
    self->map = feature<LV2_URID_Map>(features, LV2_URID__map);
    if (self->map && !self->map->map)
        self->map = nullptr;
    self->maxSlice =
        sliceFor(self->map, feature<LV2_Options_Option>(features, LV2_OPTIONS__options));
    self->worker = feature<LV2_Worker_Schedule>(features, LV2_WORKER__schedule);
    if (self->worker && !self->worker->schedule_work)
        self->worker = nullptr;
    lv2_log_logger_init(&self->logger, const_cast<LV2_URID_Map*>(self->map),
                        const_cast<LV2_Log_Log*>(feature<LV2_Log_Log>(features, LV2_LOG__log)));
    if (self->map)
        mapArchiveUris(self);
    for (float& v : self->sent)
        v = std::nanf("");
    // Only an archive change through the worker fades.
    if (self->worker && self->map)
        self->fadeBuffer = new (std::nothrow) float[self->channels * self->maxSlice];
    self->unit =
        openUnit(*self, "", kQuorleDefaultOversampling, self->modelCount, self->latencyFrames);
    self->ready = self->unit && self->modelCount > 0;
    if (!self->ready)
        lv2_log_error(&self->logger,
                      "quorle: the plug-in could not start (%s); it will output silence\n",
                      self->unit ? "no models in its data archive" : "its unit did not open");
    return self;
}

void connectPort(LV2_Handle handle, uint32_t port, void* data) {
    auto* self = static_cast<Instance*>(handle);
    const uint32_t afterAudio = kControls + 2 * self->channels;
    if (port < kControls)
        self->controls[port] = static_cast<const float*>(data);
    else if (port < kControls + self->channels)
        self->inputs[port - kControls] = static_cast<const float*>(data);
    else if (port < afterAudio)
        self->outputs[port - kControls - self->channels] = static_cast<float*>(data);
    else if (port == afterAudio)
        self->oversampling = static_cast<const float*>(data);
    else if (port == afterAudio + 1)
        self->latency = static_cast<float*>(data);
    else if (port == afterAudio + 2)
        self->control = static_cast<const LV2_Atom_Sequence*>(data);
    else if (port == afterAudio + 3)
        self->notify = static_cast<LV2_Atom_Sequence*>(data);
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
    message.unit = self->unit;
    if (schedule(self, message))
        self->toFree.count = 0;
}

// Worker thread: builds the model asked for, frees graphs, closes a replaced unit,
// or (Lv2Archive.cpp) opens a player's archive. Each message names the unit it
// concerns: a unit is closed only after every message naming it was handled.
LV2_Worker_Status work(LV2_Handle handle, LV2_Worker_Respond_Function respond,
                       LV2_Worker_Respond_Handle respondHandle, uint32_t size, const void* data) {
    auto* self = static_cast<Instance*>(handle);
    WorkMessage message;
    if (size != sizeof(message) || !data)
        return LV2_WORKER_ERR_UNKNOWN;
    std::memcpy(&message, data, sizeof(message));
    switch (message.kind) {
    case WorkMessage::kFree:
        AudioUnitSetProperty(message.unit, kQuorleProperty_PreparedGraphs, kAudioUnitScope_Global,
                             0, &message.graphs, sizeof(message.graphs));
        return LV2_WORKER_SUCCESS;
    case WorkMessage::kClose: closeUnit(message.unit); return LV2_WORKER_SUCCESS;
    case WorkMessage::kArchive:
    case WorkMessage::kRefused: return workArchive(self, message, respond, respondHandle);
    case WorkMessage::kBuild: break;
    default: return LV2_WORKER_ERR_UNKNOWN;
    }
    UInt32 graphsSize = sizeof(message.graphs);
    if (AudioUnitGetProperty(message.unit, kQuorleProperty_PreparedGraphs, kAudioUnitScope_Global,
                             message.graphs.model, &message.graphs, &graphsSize) != noErr)
        message.graphs.count = 0; // the model cannot be built: the current one plays on
    if (respond(respondHandle, sizeof(message), &message) == LV2_WORKER_SUCCESS)
        return LV2_WORKER_SUCCESS;
    AudioUnitSetProperty(message.unit, kQuorleProperty_PreparedGraphs, kAudioUnitScope_Global, 0,
                         &message.graphs, sizeof(message.graphs));
    return LV2_WORKER_ERR_NO_SPACE;
}

// Render thread (run() context): hands the graphs built for the model last asked
// for to the unit and switches to it; graphs of a model asked for before it, of a
// unit since replaced, or ones the unit refuses, are sent back to be freed. An
// opened archive's unit is put in place.
LV2_Worker_Status workResponse(LV2_Handle handle, uint32_t size, const void* data) {
    auto* self = static_cast<Instance*>(handle);
    WorkMessage message;
    if (size != sizeof(message) || !data)
        return LV2_WORKER_ERR_UNKNOWN;
    std::memcpy(&message, data, sizeof(message));
    if (message.kind == WorkMessage::kArchive) {
        takeArchive(self, message);
        return LV2_WORKER_SUCCESS;
    }
    if (message.kind != WorkMessage::kBuild || message.graphs.count == 0)
        return LV2_WORKER_SUCCESS;
    const float model = static_cast<float>(message.graphs.model);
    if (model == self->requested && message.generation == self->generation) {
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
    return schedule(self, message) ? LV2_WORKER_SUCCESS : LV2_WORKER_ERR_NO_SPACE;
}

const void* extensionData(const char* uri) {
    static const LV2_Worker_Interface worker = {work, workResponse, nullptr};
    if (std::strcmp(uri, LV2_WORKER__interface) == 0)
        return &worker;
    return stateInterface() && std::strcmp(uri, "http://lv2plug.in/ns/ext/state#interface") == 0
               ? stateInterface()
               : nullptr;
}

// Render thread: mixes the unit fading out into the `n` frames just rendered at
// `offset`, with linear gains (the new unit's rises by 1/fadeLength a sample and is
// exactly 1 on the fade's last sample); at the fade's end the old unit is retired.
void fadeOut(Instance* self, const AudioTimeStamp& time, UInt32 n) {
    auto* list = reinterpret_cast<AudioBufferList*>(self->fadeList);
    list->mNumberBuffers = self->channels;
    for (uint32_t c = 0; c < self->channels; ++c) {
        list->mBuffers[c].mNumberChannels = 1;
        list->mBuffers[c].mDataByteSize = n * sizeof(float);
        list->mBuffers[c].mData = self->fadeBuffer + c * self->maxSlice;
    }
    AudioUnitRenderActionFlags flags = 0;
    const bool heard = AudioUnitRender(self->fadingUnit, &flags, &time, 0, n, list) == noErr;
    const UInt32 mixed = std::min<UInt32>(n, self->fadeLength - self->fadePos);
    const float length = static_cast<float>(self->fadeLength);
    for (uint32_t c = 0; c < self->channels && heard; ++c) {
        const float* old = self->fadeBuffer + c * self->maxSlice;
        float* out = self->outputs[c] + self->offset;
        for (UInt32 i = 0; i < mixed; ++i) {
            const float g = static_cast<float>(self->fadePos + i + 1) / length;
            out[i] = old[i] * (1.0f - g) + out[i] * g;
        }
    }
    self->fadePos += mixed;
    if (self->fadePos >= self->fadeLength || !heard) {
        retireUnit(self, self->fadingUnit);
        self->fadingUnit = nullptr;
    }
}

// Render thread: hands the controls to the unit; with a worker, a model the
// Model port names is asked of it instead.
void forwardControls(Instance* self) {
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
                request.generation = self->generation;
                request.unit = self->unit;
                request.graphs.model = static_cast<UInt32>(value);
                if (!schedule(self, request))
                    self->requested = before; // asked again at the next run()
            }
            continue;
        }
        if (!(value == self->sent[i])) {
            AudioUnitSetParameter(self->unit, i, kAudioUnitScope_Global, 0, value, 0);
            self->sent[i] = value;
        }
    }
}

void run(LV2_Handle handle, uint32_t frames) {
    auto* self = static_cast<Instance*>(handle);
    if (!self->ready) {
        silence(self, frames);
        if (self->latency)
            *self->latency = 0;
        writeNotify(self);
        return;
    }
    readControl(self);
    const UInt32 factor =
        factorFor(self->oversampling ? *self->oversampling : float(kQuorleDefaultOversampling));
    if (factor != self->factor)
        setFactor(self, factor);
    if (self->latency)
        *self->latency = self->latencyFrames;
    forwardControls(self);
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
            break;
        }
        if (self->fadingUnit)
            fadeOut(self, time, n);
        self->sampleTime += n;
        self->offset += n;
    }
    if (self->worker) {
        sendGraphsToFree(self);
        for (AudioUnit& unit : self->toClose) {
            WorkMessage close;
            close.kind = WorkMessage::kClose;
            close.unit = unit;
            if (unit && schedule(self, close))
                unit = nullptr;
        }
        sendArchiveRequest(self);
    }
    writeNotify(self);
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
    if (self->unit && self->toFree.count > 0)
        AudioUnitSetProperty(self->unit, kQuorleProperty_PreparedGraphs, kAudioUnitScope_Global, 0,
                             &self->toFree, sizeof(self->toFree));
    for (AudioUnit unit : self->toClose)
        closeUnit(unit);
    closeUnit(self->fadingUnit);
    closeUnit(self->unit);
    delete[] self->fadeBuffer;
    delete self;
}

const LV2_Descriptor kDescriptors[] = {
    {kMonoUri, instantiate, connectPort, activate, run, nullptr, cleanup, extensionData},
    {kStereoUri, instantiate, connectPort, activate, run, nullptr, cleanup, extensionData},
};

} // namespace

AudioUnit openUnit(const Instance& self, const char* archive, UInt32 factor, uint32_t& models,
                   float& latencyFrames) {
    models = 0;
    AudioUnit unit = nullptr;
    if (OpenAComponent(quorleEntry, &kQuorleDescription, &unit) != noErr)
        return nullptr;
    AudioStreamBasicDescription format = {self.rate,
                                          kAudioFormatLinearPCM,
                                          kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked |
                                              kAudioFormatFlagIsNonInterleaved,
                                          4,
                                          1,
                                          4,
                                          self.channels,
                                          32,
                                          0};
    bool ok = true;
    for (AudioUnitScope scope : {kAudioUnitScope_Input, kAudioUnitScope_Output})
        ok = ok && AudioUnitSetProperty(unit, kAudioUnitProperty_StreamFormat, scope, 0, &format,
                                        sizeof(format)) == noErr;
    UInt32 maxFrames = self.maxSlice;
    AURenderCallbackStruct callback = {supplyInput, const_cast<Instance*>(&self)};
    const UInt32 onDemand = self.worker ? 1 : 0;
    ok = ok &&
         AudioUnitSetProperty(unit, kAudioUnitProperty_MaximumFramesPerSlice,
                              kAudioUnitScope_Global, 0, &maxFrames, sizeof(maxFrames)) == noErr &&
         AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 0,
                              &callback, sizeof(callback)) == noErr &&
         AudioUnitSetProperty(unit, kQuorleProperty_Oversampling, kAudioUnitScope_Global, 0,
                              &factor, sizeof(factor)) == noErr &&
         AudioUnitSetProperty(unit, kQuorleProperty_PrepareOnDemand, kAudioUnitScope_Global, 0,
                              &onDemand, sizeof(onDemand)) == noErr;
    if (ok && archive && archive[0])
        ok = AudioUnitSetProperty(unit, kQuorleProperty_ArchivePath, kAudioUnitScope_Global, 0,
                                  archive, static_cast<UInt32>(std::strlen(archive) + 1)) == noErr;
    if (!ok || AudioUnitInitialize(unit) != noErr) {
        CloseComponent(unit);
        return nullptr;
    }
    for (UInt32 m = 0;; ++m) {
        char name[kModelNameSize];
        UInt32 size = sizeof(name);
        if (AudioUnitGetProperty(unit, kQuorleProperty_ModelName, kAudioUnitScope_Global, m, name,
                                 &size) != noErr)
            break;
        models = m + 1;
    }
    latencyFrames = latencyOf(unit, self.rate);
    return unit;
}

void closeUnit(AudioUnit unit) {
    if (!unit)
        return;
    AudioUnitUninitialize(unit);
    CloseComponent(unit);
}

void retireUnit(Instance* self, AudioUnit unit) {
    for (AudioUnit& slot : self->toClose) {
        if (!slot) {
            slot = unit;
            return;
        }
    }
    // Never reached (see toClose): a unit without a place would leak rather than be
    // closed on the render thread.
}

bool schedule(Instance* self, const WorkMessage& message) {
    return self->worker && self->worker->schedule_work(self->worker->handle, sizeof(message),
                                                       &message) == LV2_WORKER_SUCCESS;
}

} // namespace quorlelv2

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index < 2 ? &quorlelv2::kDescriptors[index] : nullptr;
}
