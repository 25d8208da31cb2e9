// The player's data archive in an LV2 host: the plug-in's one LV2 parameter
// (quorle#archive, an atom:Path the host offers a file chooser for), opened off the
// audio thread by the worker, kept in the plug-in's state, and told back on the
// notify port.
//
// A path arriving as patch:Set is taken whole (one of kMaxArchivePathBytes or
// more is refused, never cut) and handed to the worker, which checks the file
// (main/UserArchive.h) and opens a unit playing it; the answer puts that unit in
// place in the run() context and the worker closes the old one. A file that cannot
// be used is named in the host's log, and the shipped archive plays (the unit
// playing stays when it already plays the shipped archive). A path arriving while
// the worker is busy waits, the last one winning. The state keeps the path the
// player chose, even a refused one, so that a project reopened where the file is
// plays it; a state without it means the shipped archive.
#include "main/UserArchive.h"
#include "tools/lv2/Lv2Instance.h"

#include <lv2/patch/patch.h>
#include <lv2/state/state.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

namespace quorlelv2 {

namespace {

// The path a patch:Set of the archive carries: null for any other message; `fits`
// false when the path (with its terminator) is longer than the plug-in takes.
const char* archiveIn(const Instance* self, const LV2_Atom_Object* object, bool& fits) {
    const LV2_Atom* property = nullptr;
    const LV2_Atom* value = nullptr;
    lv2_atom_object_get(object, self->uris.patchProperty, &property, self->uris.patchValue, &value,
                        0);
    if (!property || property->type != self->uris.atomUrid ||
        reinterpret_cast<const LV2_Atom_URID*>(property)->body != self->uris.archive || !value ||
        value->type != self->uris.atomPath || value->size == 0)
        return nullptr;
    const char* path = static_cast<const char*>(LV2_ATOM_BODY_CONST(value));
    // The body is the path and its terminator; anything else is not taken.
    fits = value->size <= kMaxArchivePathBytes && path[value->size - 1] == 0 &&
           std::strlen(path) == value->size - 1;
    return path;
}

// Opens the unit `path` asks for ("": the shipped archive), telling the log what
// was wrong with a file that cannot be used. Null (with `answer` untouched) when
// the unit playing stays: the file was refused and the shipped archive already
// plays, or no unit could be opened.
void openArchive(Instance* self, const char* path, WorkMessage& answer) {
    uint32_t models = 0;
    float latency = 0;
    AudioUnit unit = nullptr;
    bool taken = false;
    if (path[0]) {
        const UserArchiveCheck check = checkUserArchive(path);
        if (check.usable) {
            unit = openUnit(*self, path, answer.factor, models, latency);
            taken = unit && models > 0;
            if (!taken) {
                closeUnit(unit);
                unit = nullptr;
                lv2_log_error(&self->logger,
                              "quorle: %s could not be played; the shipped models play\n", path);
            } else {
                lv2_log_note(&self->logger, "quorle: playing %s\n", check.message.c_str());
                for (const std::string& refused : check.refusedModels)
                    lv2_log_warning(&self->logger, "quorle: %s: %s (that model cannot be played)\n",
                                    path, refused.c_str());
            }
        } else {
            lv2_log_error(&self->logger, "quorle: %s; the shipped models play\n",
                          check.message.c_str());
        }
    }
    if (!unit && self->playingPlayers)
        unit = openUnit(*self, "", answer.factor, models, latency);
    answer.unit = unit;
    answer.models = models;
    answer.latencyFrames = latency;
    answer.archiveTaken = taken;
}

// Puts the unit of `answer` in place of the one playing; the old one is returned.
AudioUnit replaceUnit(Instance* self, const WorkMessage& answer) {
    AudioUnit old = self->unit;
    self->unit = answer.unit;
    self->modelCount = answer.models;
    self->factor = answer.factor;
    self->latencyFrames = answer.latencyFrames;
    self->playingPlayers = answer.archiveTaken;
    self->ready = answer.models > 0;
    ++self->generation;  // graphs built for the old unit are not played
    self->requested = 0; // a unit starts on model 0; the port is asked again
    for (float& v : self->sent)
        v = std::nanf("");
    return old;
}

LV2_State_Status save(LV2_Handle handle, LV2_State_Store_Function store,
                      LV2_State_Handle stateHandle, uint32_t, const LV2_Feature* const* features) {
    auto* self = static_cast<Instance*>(handle);
    if (!self->map)
        return LV2_STATE_ERR_NO_FEATURE;
    if (!self->archive[0])
        return LV2_STATE_SUCCESS; // the shipped archive: nothing to keep
    const LV2_State_Map_Path* mapPath = nullptr;
    const LV2_State_Free_Path* freePath = nullptr;
    for (const LV2_Feature* const* f = features; f && *f; ++f) {
        if (std::strcmp((*f)->URI, LV2_STATE__mapPath) == 0)
            mapPath = static_cast<const LV2_State_Map_Path*>((*f)->data);
        else if (std::strcmp((*f)->URI, LV2_STATE__freePath) == 0)
            freePath = static_cast<const LV2_State_Free_Path*>((*f)->data);
    }
    char* abstract = mapPath ? mapPath->abstract_path(mapPath->handle, self->archive) : nullptr;
    const char* kept = abstract ? abstract : self->archive;
    const LV2_State_Status status =
        store(stateHandle, self->uris.archive, kept, std::strlen(kept) + 1, self->uris.atomPath,
              LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
    if (abstract) {
        if (freePath)
            freePath->free_path(freePath->handle, abstract);
        else
            std::free(abstract);
    }
    return status;
}

LV2_State_Status restore(LV2_Handle handle, LV2_State_Retrieve_Function retrieve,
                         LV2_State_Handle stateHandle, uint32_t,
                         const LV2_Feature* const* features) {
    auto* self = static_cast<Instance*>(handle);
    if (!self->map)
        return LV2_STATE_ERR_NO_FEATURE;
    size_t size = 0;
    uint32_t type = 0, flags = 0;
    const void* value = retrieve(stateHandle, self->uris.archive, &size, &type, &flags);
    std::string path;
    if (value && type == self->uris.atomPath && size > 0) {
        const char* text = static_cast<const char*>(value);
        path.assign(text, strnlen(text, size));
        const LV2_State_Map_Path* mapPath = nullptr;
        for (const LV2_Feature* const* f = features; f && *f; ++f)
            if (std::strcmp((*f)->URI, LV2_STATE__mapPath) == 0)
                mapPath = static_cast<const LV2_State_Map_Path*>((*f)->data);
        if (mapPath) {
            if (char* absolute = mapPath->absolute_path(mapPath->handle, path.c_str())) {
                path = absolute;
                std::free(absolute);
            }
        }
    }
    if (path.size() >= kMaxArchivePathBytes) {
        lv2_log_error(&self->logger,
                      "quorle: the saved data archive's path is longer than %u bytes and was "
                      "refused; the archive playing stays\n",
                      kMaxArchivePathBytes - 1);
        return LV2_STATE_ERR_BAD_TYPE;
    }
    std::memcpy(self->archive, path.c_str(), path.size() + 1);
    self->announce = true;
    // Never while run() runs: the unit is replaced here and the old one closed.
    WorkMessage answer;
    answer.factor = self->factor;
    openArchive(self, self->archive, answer);
    if (answer.unit)
        closeUnit(replaceUnit(self, answer));
    return LV2_STATE_SUCCESS;
}

} // namespace

void mapArchiveUris(Instance* self) {
    auto map = [&](const char* uri) { return self->map->map(self->map->handle, uri); };
    Uris& u = self->uris;
    u.atomPath = map(LV2_ATOM__Path);
    u.atomObject = map(LV2_ATOM__Object);
    u.atomUrid = map(LV2_ATOM__URID);
    u.atomSequence = map(LV2_ATOM__Sequence);
    u.patchSet = map(LV2_PATCH__Set);
    u.patchGet = map(LV2_PATCH__Get);
    u.patchProperty = map(LV2_PATCH__property);
    u.patchValue = map(LV2_PATCH__value);
    u.archive = map(kArchiveUri);
    lv2_atom_forge_init(&self->forge, const_cast<LV2_URID_Map*>(self->map));
}

void readControl(Instance* self) {
    if (!self->control || !self->map || self->control->atom.type != self->uris.atomSequence)
        return;
    LV2_ATOM_SEQUENCE_FOREACH(self->control, event) {
        if (event->body.type != self->uris.atomObject)
            continue;
        const auto* object = reinterpret_cast<const LV2_Atom_Object*>(&event->body);
        if (object->body.otype == self->uris.patchGet) {
            self->announce = true;
            continue;
        }
        if (object->body.otype != self->uris.patchSet)
            continue;
        bool fits = false;
        const char* path = archiveIn(self, object, fits);
        if (!path)
            continue;
        if (!fits) {
            self->refusedPath = true;
            continue;
        }
        std::memcpy(self->archive, path, std::strlen(path) + 1);
        std::memcpy(self->waitingPath, path, std::strlen(path) + 1);
        self->archiveWaiting = true; // sent after this run(), the last one winning
        self->announce = true;
    }
}

void sendArchiveRequest(Instance* self) {
    if (self->refusedPath) {
        WorkMessage refused;
        refused.kind = WorkMessage::kRefused;
        if (schedule(self, refused))
            self->refusedPath = false;
    }
    if (self->archiveBusy || !self->archiveWaiting)
        return;
    std::memcpy(self->pendingPath, self->waitingPath, sizeof(self->pendingPath));
    WorkMessage request;
    request.kind = WorkMessage::kArchive;
    request.factor = self->factor;
    // Set first: a worker may answer within schedule_work() (offline hosts).
    self->archiveBusy = true;
    self->archiveWaiting = false;
    if (!schedule(self, request)) {
        self->archiveBusy = false;
        self->archiveWaiting = true; // asked again after the next run()
    }
}

LV2_Worker_Status workArchive(Instance* self, WorkMessage& message,
                              LV2_Worker_Respond_Function respond,
                              LV2_Worker_Respond_Handle handle) {
    if (message.kind == WorkMessage::kRefused) {
        lv2_log_error(&self->logger,
                      "quorle: a data archive path of %u bytes or more was refused; the archive "
                      "playing stays\n",
                      kMaxArchivePathBytes);
        return LV2_WORKER_SUCCESS;
    }
    // pendingPath stays as it is until the answer is taken.
    openArchive(self, self->pendingPath, message);
    if (respond(handle, sizeof(message), &message) == LV2_WORKER_SUCCESS)
        return LV2_WORKER_SUCCESS;
    closeUnit(message.unit);
    return LV2_WORKER_ERR_NO_SPACE;
}

void takeArchive(Instance* self, const WorkMessage& answer) {
    self->archiveBusy = false;
    if (!answer.unit)
        return; // the unit playing stays
    const bool wasPlaying = self->ready;
    AudioUnit old = replaceUnit(self, answer);
    // A fade under way ends: the unit fading out is cut, the one replaced now fades.
    if (self->fadingUnit)
        retireUnit(self, self->fadingUnit);
    self->fadingUnit = nullptr;
    if (!self->fadeBuffer || !wasPlaying || !self->ready) {
        retireUnit(self, old);
        return;
    }
    self->fadingUnit = old;
    self->fadeLength =
        static_cast<uint32_t>(std::max(1.0, std::round(kFadeMs * self->rate / 1000.0)));
    self->fadePos = 0;
}

void writeNotify(Instance* self) {
    if (!self->notify)
        return;
    if (!self->map) {
        self->notify->atom.size = sizeof(LV2_Atom_Sequence_Body);
        self->notify->body.unit = 0;
        self->notify->body.pad = 0;
        return;
    }
    LV2_Atom_Forge* forge = &self->forge;
    lv2_atom_forge_set_buffer(forge, reinterpret_cast<uint8_t*>(self->notify),
                              self->notify->atom.size + sizeof(LV2_Atom));
    LV2_Atom_Forge_Frame sequence;
    if (!lv2_atom_forge_sequence_head(forge, &sequence, 0))
        return;
    if (self->announce) {
        LV2_Atom_Forge_Frame object;
        if (lv2_atom_forge_frame_time(forge, 0) &&
            lv2_atom_forge_object(forge, &object, 0, self->uris.patchSet)) {
            lv2_atom_forge_key(forge, self->uris.patchProperty);
            lv2_atom_forge_urid(forge, self->uris.archive);
            lv2_atom_forge_key(forge, self->uris.patchValue);
            lv2_atom_forge_path(forge, self->archive,
                                static_cast<uint32_t>(std::strlen(self->archive)));
            lv2_atom_forge_pop(forge, &object);
            self->announce = false;
        }
    }
    lv2_atom_forge_pop(forge, &sequence);
}

const void* stateInterface() {
    static const LV2_State_Interface state = {save, restore};
    return &state;
}

} // namespace quorlelv2
