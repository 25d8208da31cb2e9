// The plug-in for LV2 hosts: a mono and a stereo plug-in, each holding one channel
// engine per channel (main/ChannelEngine.h) over the data archive in its bundle or
// one the player chooses.
//
// Ports: 0 drive, 1 post, 2 bass (0..1), 3 model (integer 0..kModelPortMax), then
// the audio inputs, then the audio outputs, then the oversampling factor (1, 2, 4,
// 8; other values go to the nearest) and the latency output (frames), then an atom
// input (patch messages) and an atom output (notify), then the cabinet (integer:
// kCabinetOff, kCabinetFile, the shipped cabinets from kCabinetFirstShipped).
//
// The Model port reaches every model of an archive of up to kModelPortMax + 1
// models; a value beyond the archive playing plays its last model. The shipped
// models are the port's scale points; the playing archive's names are told on the
// notify port (the read-only parameter quorle#models) and in the log.
//
// A host that says how many frames it hands run() at most (bufsz:maxBlockLength)
// gets engines sized for that, up to 4096 frames; without it, 2048. run() accepts
// any length: longer calls are rendered in slices.
//
// With a host's worker (work:schedule) models are built on demand: run() asks the
// worker for a model the port names that the engines lack; work() builds it, one
// graph per channel, and answers with it; work_response() hands the graphs to the
// engines, and the next run() switches with a crossfade. Everything crossing threads
// has one owner at a time and moves with its message (docs/plugin.md has the table
// of states); what run() no longer needs goes to the worker to be freed, retried at
// every run() until the host takes the message. Without a worker every model is
// built at instantiation, and what needs a file read or a free waits for the next
// setup call (activate, deactivate, restore).
#include "lv2/Lv2Instance.h"
#include "main/DataArchive.h"
#include "main/SharedArchive.h"
#include "main/UserArchive.h"

#include "blocks/LinearFade.h"

#include <lv2/buf-size/buf-size.h>
#include <lv2/options/options.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>

namespace quorlelv2 {

namespace {

// The factor a port value asks for: the nearest of 1, 2, 4 and 8 (NaN: the default).
int32_t factorFor(float value) {
    if (std::isnan(value))
        return kQuorleDefaultOversampling;
    return value < 1.5f ? 1 : value < 3.0f ? 2 : value < 6.0f ? 4 : 8;
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

// Setup thread: meters that read nothing heard yet.
void resetMeters(Instance& self) {
    for (LevelMeter* m : {&self.inMeter, &self.outMeter})
        m->reset(self.rate, kPeakHoldSeconds, kPeakFallDbPerSecond, kRmsSeconds, kMeterFloorDb);
}

// Render thread: the output meter takes this cycle's output, and every connected
// meter port gets its reading (the input meter took its block before the render).
void writeMeters(Instance& self, uint32_t frames) {
    const float* out[2] = {self.outputs[0], self.channels > 1 ? self.outputs[1] : nullptr};
    if (!self.rig)
        self.inMeter.process(self.inputs, self.channels, frames);
    self.outMeter.process(out, self.channels, frames);
    const float readings[4] = {self.inMeter.peakDb(), self.inMeter.rmsDb(), self.outMeter.peakDb(),
                               self.outMeter.rmsDb()};
    for (int i = 0; i < 4; ++i)
        if (self.meterPorts[i])
            *self.meterPorts[i] = readings[i];
}

LV2_Handle instantiate(const LV2_Descriptor* descriptor, double rate, const char* bundle,
                       const LV2_Feature* const* features) {
    auto* self = new (std::nothrow) Instance;
    if (!self)
        return nullptr;
    try {
        self->channels = std::strcmp(descriptor->URI, kStereoUri) == 0 ? 2 : 1;
        self->rate = rate;
        resetMeters(*self);
        self->display.start(feature<InlineQueueDraw>(features, kInlineDisplayQueueDrawUri), rate);
        self->bundle = bundle ? bundle : "";
        if (!self->bundle.empty() && self->bundle.back() != '/')
            self->bundle += '/';
        {
            // The plug-in directory of this process, for anything reading it by name.
            std::lock_guard<std::recursive_mutex> lock(gArchiveLock);
            if (gFxDir.empty())
                gFxDir = self->bundle;
        }
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
            mapUris(*self);
        self->fadeBuffer = new float[self->channels * self->maxSlice]();
        self->rig = makeRig(*self, "", !self->worker, 0);
    } catch (const std::exception& e) {
        logError(*self, "quorle: the plug-in could not start: %s\n", e.what());
    }
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
    else if (port == afterAudio + 1) {
        // Told at once: a host may read it before the first run().
        self->latency = static_cast<float*>(data);
        if (self->latency)
            *self->latency =
                self->rig ? static_cast<float>(Oversampler::latencyFor(self->factor)) : 0;
    } else if (port == afterAudio + 2)
        self->control = static_cast<const LV2_Atom_Sequence*>(data);
    else if (port == afterAudio + 3)
        self->notify = static_cast<LV2_Atom_Sequence*>(data);
    else if (port == afterAudio + 4)
        self->cabinetPort = static_cast<const float*>(data);
    else if (port >= afterAudio + 5 && port < afterAudio + 9)
        self->meterPorts[port - afterAudio - 5] = static_cast<float*>(data);
}

// Render thread: hands the inline display the model playing and the output meter;
// the model's name ("N name" lines in the rig's names) looked up only when it changed.
void showInline(Instance& self, uint32_t frames) {
    if (!self.rig || !self.display.active())
        return;
    const int32_t model = self.rig->engines[0]->model();
    const char* name = nullptr;
    uint32_t bytes = 0;
    if (model != self.display.modelShown()) {
        const std::string& names = self.rig->names;
        size_t line = 0;
        for (int32_t m = 0; m < model && line != std::string::npos; ++m) {
            line = names.find('\n', line);
            line = line == std::string::npos ? line : line + 1;
        }
        if (line != std::string::npos && line < names.size()) {
            const size_t space = names.find(' ', line), end = names.find('\n', line);
            if (space != std::string::npos && space < end) {
                name = names.data() + space + 1;
                bytes = static_cast<uint32_t>((end == std::string::npos ? names.size() : end) -
                                              space - 1);
            }
        }
    }
    self.display.update(model, name, bytes, self.outMeter.peakDb(), self.outMeter.rmsDb(), frames);
}

void silence(Instance& self, uint32_t frames) {
    for (uint32_t c = 0; c < self.channels; ++c)
        if (self.outputs[c])
            std::memset(self.outputs[c], 0, frames * sizeof(float));
}

float control(const Instance& self, uint32_t port, float otherwise) {
    return self.controls[port] ? *self.controls[port] : otherwise;
}

// Runs `rig`'s engines over `n` frames at `offset`, from the inputs into `out`.
void render(Instance& self, Rig& rig, float* const* out, uint32_t offset, uint32_t n) {
    const float* in[2] = {self.inputs[0] + offset, self.inputs[self.channels > 1 ? 1 : 0] + offset};
    if (self.channels == 2)
        ChannelEngine::processPair(*rig.engines[0], in[0], out[0], *rig.engines[1], in[1], out[1],
                                   n);
    else
        rig.engines[0]->process(in[0], out[0], n);
}

// The slice of an archive change: the rig fading out renders into the fade buffer
// and is mixed under the new one; at the fade's end it goes to the worker.
void fadeOut(Instance& self, float* const* out, uint32_t offset, uint32_t n) {
    float* old[2] = {self.fadeBuffer, self.fadeBuffer + (self.channels - 1) * self.maxSlice};
    render(self, *self.fading, old, offset, n);
    const int32_t mixed =
        std::min<int32_t>(static_cast<int32_t>(n), self.fadeLength - self.fadePos);
    for (uint32_t c = 0; c < self.channels; ++c)
        fade::crossfade(old[c], out[c], mixed, self.fadePos, self.fadeLength);
    self.fadePos += mixed;
    if (self.fadePos >= self.fadeLength)
        retireRig(self, std::move(self.fading));
}

// The factor the Oversampling port names, handed on to the engines once the port
// holds still (the value of the last run()) or has named it for kFactorHoldMs: a
// host ramping the port through the factors (Ardour joins two automation points
// with a line, a new value every run) makes one change at the ramp's end, not one
// per factor passed, for ramps from 8x to 1x up to 1.1 s (4x is named for 3/7 of
// one, under kFactorHoldMs); a port that never holds still is followed within
// kFactorHoldMs. Before anything is heard it is taken at once.
constexpr double kFactorHoldMs = 500.0;

void takeFactor(Instance& self, uint32_t frames) {
    const float value = self.oversampling ? *self.oversampling : float(kQuorleDefaultOversampling);
    const int32_t named = factorFor(value);
    if (named != self.namedFactor)
        self.namedFrames = 0;
    self.namedFactor = named;
    const bool still = value == self.oversamplingValue ||
                       (std::isnan(value) && std::isnan(self.oversamplingValue));
    if (!self.heard || still ||
        static_cast<double>(self.namedFrames) >= kFactorHoldMs * self.rate / 1000.0)
        self.factor = named;
    self.oversamplingValue = value;
    self.namedFrames += frames;
}

// The controls and the factor to every engine of `rig`.
void setControls(Instance& self, Rig& rig) {
    const float drive = control(self, 0, 0.5f), post = control(self, 1, 0.5f),
                bass = control(self, 2, 0.5f);
    for (uint32_t c = 0; c < self.channels; ++c) {
        rig.engines[c]->setControls(drive, post, bass);
        rig.engines[c]->setFactor(self.factor);
    }
}

// Render thread: a request whose answer the worker could not deliver is with it
// no longer; what it asked for is asked again.
void forgetLostRequests(Instance& self) {
    for (uint32_t kind = 0; kind < kRequestKinds; ++kind) {
        Request& request = self.requests[kind];
        if (!request.busy || self.lost[kind].load(std::memory_order_acquire) != request.number)
            continue;
        request.busy = false;
        if (kind == kBuildRequest)
            self.buildModel = -1;
        if (kind == kArchiveRequest && self.requestedChoice == self.archiveChoice &&
            !self.archiveWaiting) {
            std::memcpy(self.waiting, self.requested, sizeof(self.waiting));
            self.archiveWaiting = true;
        }
        if (kind == kCabinetRequest)
            self.fileResend = true; // asked again by updateCabinet()
    }
}

// Render thread: sends the tickets of retired objects to be freed, in order, until
// the host's queue is full (the rest go at a later run()).
void sendOutbox(Instance& self) {
    uint32_t sent = 0;
    for (; sent < self.outboxCount; ++sent) {
        Message message;
        message.kind = Message::kFree;
        message.ticket = self.outbox[sent];
        if (!schedule(self, message))
            break;
    }
    std::memmove(self.outbox, self.outbox + sent, (self.outboxCount - sent) * sizeof(Ticket));
    self.outboxCount -= sent;
}

// Render thread: tells the worker's log of a path the control port did not take.
void sendRefusal(Instance& self, PathFault& fault, bool cabinet) {
    if (fault == PathFault::kNone)
        return;
    Message message;
    message.kind = Message::kRefused;
    message.fault = fault;
    message.cabinet = cabinet;
    if (schedule(self, message))
        fault = PathFault::kNone;
}

void run(LV2_Handle handle, uint32_t frames) {
    auto* self = static_cast<Instance*>(handle);
    // A rig restore() made plays from here, as an answered archive would.
    if (self->restored)
        swapRig(*self, std::move(self->restored));
    forgetLostRequests(*self);
    readControl(*self);
    takeFactor(*self, frames);
    if (self->latency)
        *self->latency = self->rig ? static_cast<float>(Oversampler::latencyFor(self->factor)) : 0;
    collectRetired(*self);
    if (!self->rig) {
        silence(*self, frames);
    } else {
        Rig& rig = *self->rig;
        setControls(*self, rig);
        if (self->fading)
            setControls(*self, *self->fading);
        // A whole model number; beyond the archive playing, its last model.
        const float asked = std::fmax(std::nearbyint(control(*self, 3, 0.0f)), 0.0f);
        const int32_t model =
            static_cast<int32_t>(std::fmin(asked, static_cast<float>(rig.models() - 1)));
        if (model != rig.engines[0]->model() && haveModel(*self, model))
            for (uint32_t c = 0; c < self->channels; ++c)
                rig.engines[c]->switchTo(model, true);
        updateCabinet(*self, rig, model);
        // The input as the host handed it, before an in-place output overwrites it.
        self->inMeter.process(self->inputs, self->channels, frames);
        for (uint32_t offset = 0; offset < frames;) {
            const uint32_t n = std::min(frames - offset, self->maxSlice);
            float* out[2] = {self->outputs[0] + offset,
                             self->outputs[self->channels > 1 ? 1 : 0] + offset};
            render(*self, rig, out, offset, n);
            if (self->fading)
                fadeOut(*self, out, offset, n);
            offset += n;
        }
        self->heard = self->heard || frames > 0;
        rig.heard = self->heard;
    }
    writeMeters(*self, frames);
    showInline(*self, frames);
    if (self->worker) {
        sendArchiveRequest(*self);
        sendRefusal(*self, self->archiveFault, false);
        sendRefusal(*self, self->cabinetFault, true);
        sendOutbox(*self);
    }
    writeNotify(*self);
}

// Setup thread: the host (re)starts the instance, which must forget what it has
// heard before, as a freshly instantiated one.
void activate(LV2_Handle handle) {
    auto* self = static_cast<Instance*>(handle);
    setupCall(*self);
    self->heard = false;
    resetMeters(*self);
    for (Rig* rig : {self->rig.get(), self->fading.get()}) {
        if (rig)
            rig->heard = false; // a cabinet chosen now plays at once, as in a fresh instance
        for (uint32_t c = 0; rig && c < rig->channels; ++c)
            rig->engines[c]->reset();
    }
}

void deactivate(LV2_Handle handle) {
    setupCall(*static_cast<Instance*>(handle));
}

void cleanup(LV2_Handle handle) {
    auto* self = static_cast<Instance*>(handle);
    // Whatever a message still names, answered or not, goes with the box.
    self->box.freeAll();
    delete[] self->fadeBuffer;
    delete self;
}

const void* extensionData(const char* uri) {
    static const LV2_Worker_Interface worker = {work, workResponse, nullptr};
    static const InlineDisplayInterface inlineDisplay = {
        [](LV2_Handle handle, uint32_t width, uint32_t maxHeight) {
            return static_cast<Instance*>(handle)->display.render(width, maxHeight);
        }};
    if (std::strcmp(uri, LV2_WORKER__interface) == 0)
        return &worker;
    if (std::strcmp(uri, kInlineDisplayInterfaceUri) == 0)
        return &inlineDisplay;
    return std::strcmp(uri, "http://lv2plug.in/ns/ext/state#interface") == 0 ? stateInterface()
                                                                             : nullptr;
}

const LV2_Descriptor kDescriptors[] = {
    {kMonoUri, instantiate, connectPort, activate, run, deactivate, cleanup, extensionData},
    {kStereoUri, instantiate, connectPort, activate, run, deactivate, cleanup, extensionData},
};

} // namespace

bool schedule(Instance& self, const Message& message) {
    return self.worker && self.worker->schedule_work(self.worker->handle, sizeof(message),
                                                     &message) == LV2_WORKER_SUCCESS;
}

bool ask(Instance& self, RequestKind kind, Message& message, bool overtake) {
    Request& request = self.requests[kind];
    if ((request.busy && !overtake) || !self.worker)
        return false;
    const Request before = request;
    message.request = ++self.nextRequest;
    // Busy first: a worker may answer within schedule_work() (offline hosts).
    request.busy = true;
    request.number = message.request;
    if (schedule(self, message))
        return true;
    request = before;
    return false;
}

bool ends(Instance& self, RequestKind kind, const Message& message) {
    Request& request = self.requests[kind];
    if (!request.busy || message.request != request.number)
        return false; // an answer delivered again, or to a request since forgotten
    request.busy = false;
    return true;
}

void retireRig(Instance& self, std::unique_ptr<Rig> rig) {
    if (!rig || retire(self, rig))
        return;
    for (auto& leaving : self.leaving)
        if (!leaving) {
            leaving = std::move(rig);
            return;
        }
    // Not reached: a rig arrives only with a worker's answer or a setup call, and
    // both leave room. Were it reached, the rig would be kept rather than freed here.
    (void)rig.release();
}

void swapRig(Instance& self, std::unique_ptr<Rig> next) {
    std::unique_ptr<Rig> old = std::move(self.rig);
    self.rig = std::move(next);
    self.tellModels = true;
    self.refusedModel = -1;
    // A fade under way ends: the rig fading out is cut, the one replaced now fades.
    retireRig(self, std::move(self.fading));
    if (!old || !self.heard) {
        retireRig(self, std::move(old)); // nothing heard yet: nothing to fade from
        return;
    }
    self.fading = std::move(old);
    self.fadeLength = fade::samplesFor(self.rate);
    self.fadePos = 0;
}

void setupCall(Instance& self) {
    for (uint32_t i = 0; i < self.outboxCount; ++i)
        self.box.release(self.outbox[i]);
    self.outboxCount = 0;
    for (auto& leaving : self.leaving)
        leaving.reset();
    if (self.worker)
        return;
    // Without a worker: the paths the control port named are taken now.
    for (PathFault* fault : {&self.archiveFault, &self.cabinetFault})
        if (*fault != PathFault::kNone) {
            logError(self, "quorle: %s\n",
                     pathFaultText(*fault, fault == &self.cabinetFault).c_str());
            *fault = PathFault::kNone;
        }
    if (self.fileWaiting.serial != 0) {
        const std::string path = self.fileWaiting.path;
        self.fileWaiting.serial = 0;
        lv2_log_note(&self.logger,
                     "quorle: this host offers no worker: the cabinet file %s chosen while "
                     "playing is loaded now\n",
                     path.c_str());
        chooseCabinetNow(self, path);
    }
    if (self.archiveWaiting) {
        self.archiveWaiting = false;
        lv2_log_note(&self.logger,
                     "quorle: this host offers no worker: the data archive %s chosen while "
                     "playing is opened now\n",
                     self.waiting);
        const bool shippedPlays = self.rig && !self.rig->players && !self.restored;
        if (self.waiting[0] || !shippedPlays)
            if (std::unique_ptr<Rig> rig =
                    makeRig(self, self.waiting, true, self.fileGood.serial, !shippedPlays))
                self.restored = std::move(rig);
    }
}

std::unique_ptr<Rig> makeRig(Instance& self, const char* path, bool all, uint32_t file,
                             bool fallback, uint32_t kept) {
    if (!(self.rate >= ChannelEngine::kMinRate && self.rate <= ChannelEngine::kMaxRate)) {
        logError(self,
                 "quorle: the sample rate %.0f Hz is not supported (%.0f to %.0f Hz); the "
                 "plug-in will output silence\n",
                 self.rate, ChannelEngine::kMinRate, ChannelEngine::kMaxRate);
        return nullptr;
    }
    // The bundle's archive is read once per process, by the first rig, and shared by
    // every rig and instance after.
    if (!self.shipped)
        self.shipped = archive::sharedDirectory(self.bundle);
    const std::shared_ptr<const DataArchive> shipped = self.shipped;
    if (!shipped->found() || shipped->modelNames().empty()) {
        logError(self, "quorle: %s%s; the plug-in will output silence\n",
                 (self.bundle + "quorle.data").c_str(),
                 shipped->found() ? " holds no models" : " is missing or unreadable");
        return nullptr;
    }
    auto rig = std::make_unique<Rig>();
    rig->channels = self.channels;
    rig->archive = shipped;
    rig->file = self.bundle + "quorle.data";
    if (path && path[0]) {
        const UserArchiveCheck check = checkUserArchive(path, shipped);
        if (check.usable) {
            rig->archive = check.archive; // read once, by the check
            rig->file = path;
            rig->players = true;
            lv2_log_note(&self.logger, "quorle: playing %s\n", check.message.c_str());
            for (const std::string& refused : check.refusedModels)
                lv2_log_warning(&self.logger, "quorle: %s: %s (that model cannot be played)\n",
                                path, refused.c_str());
        } else {
            logError(self, "quorle: %s; the shipped models play\n", check.message.c_str());
            if (!fallback)
                return nullptr;
        }
    }
    EngineSetup setup;
    setup.rate = self.rate;
    setup.maxFrames = self.maxSlice;
    // Every rig starts at the same factor, whatever plays when it is made, and
    // changes to the one asked at its first run(): the engines cut the effect's work
    // in pieces sized by the factor they started at, and a model whose sound depends
    // on them must sound the same in every rig.
    setup.factor = kQuorleDefaultOversampling;
    setup.prepareAll = all;
    setup.archive = rig->archive;
    for (uint32_t c = 0; c < self.channels; ++c)
        rig->engines[c] = std::make_unique<ChannelEngine>(setup);
    const int models = rig->models();
    if (models > kModelPortMax + 1)
        lv2_log_warning(&self.logger,
                        "quorle: the archive holds %d models; the Model control reaches the "
                        "first %d\n",
                        models, kModelPortMax + 1);
    stockShelf(self, *rig, file, kept);
    rig->describe();
    self.registry.add(*rig);
    return rig;
}

} // namespace quorlelv2

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index < 2 ? &quorlelv2::kDescriptors[index] : nullptr;
}
