// The player's data archive in an LV2 host: the plug-in's writable parameter
// (quorle#archive, an atom:Path the host offers a file chooser for), opened off the
// audio thread by the worker, kept in the plug-in's state, and told back on the
// notify port with the names of the models it holds (quorle#models, read only).
//
// A path arriving as patch:Set is taken whole (one of kMaxArchivePathBytes or
// more is refused, never cut) and handed to the worker, which checks the file
// (main/UserArchive.h) and makes a rig playing it; the answer puts that rig in
// place in the run() context, fading from the old one, which goes back to the
// worker to be freed. A file that cannot be used is named in the host's log, and
// the shipped archive plays (the rig playing stays when it already plays the
// shipped archive). A path arriving while the worker is busy waits, the last one
// winning. Every request is numbered; only the answer to the latest counts, so a
// restore() or a later patch:Set makes an earlier answer stale (freed unplayed).
//
// The state keeps the path the player chose, even a refused one, so that a project
// reopened where the file is plays it; a state without it means the shipped
// archive. restore() makes the rig itself and leaves it for the next run() to put
// in place, as an answer would be; nothing is closed inline.
#include "main/UserArchive.h"
#include "tools/lv2/Lv2Instance.h"

#include <lv2/patch/patch.h>
#include <lv2/state/state.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

namespace quorlelv2 {

namespace {

// The path a patch:Set of the archive carries: null for any other message; `fits`
// false when the path (with its terminator) is longer than the plug-in takes.
const char* archiveIn(const Instance& self, const LV2_Atom_Object* object, bool& fits) {
    const LV2_Atom* property = nullptr;
    const LV2_Atom* value = nullptr;
    lv2_atom_object_get(object, self.uris.patchProperty, &property, self.uris.patchValue, &value,
                        0);
    if (!property || property->type != self.uris.atomUrid ||
        reinterpret_cast<const LV2_Atom_URID*>(property)->body != self.uris.archive || !value ||
        value->type != self.uris.atomPath || value->size == 0)
        return nullptr;
    const char* path = static_cast<const char*>(LV2_ATOM_BODY_CONST(value));
    // The body is the path and its terminator; anything else is not taken.
    fits = value->size <= kMaxArchivePathBytes && path[value->size - 1] == 0 &&
           std::strlen(path) == value->size - 1;
    return path;
}

// Both copies of the chosen path: the audio side's and the one save() reads.
void choose(Instance& self, const char* path) {
    std::memcpy(self.archive, path, std::strlen(path) + 1);
    self.chosen.write(path);
    self.announce = true;
}

// Render thread: keeps an empty rig parcel for carrying a retired rig, or frees it.
void keepOrFree(Instance& self, std::unique_ptr<RigParcel> parcel) {
    for (auto& spare : self.rigSpares)
        if (!spare) {
            spare = std::move(parcel);
            return;
        }
    std::unique_ptr<Parcel> carried = std::move(parcel);
    if (!sendToFree(self, carried))
        (void)carried.release(); // not reached: an empty parcel is kept rather than freed here
}

const LV2_Feature* findFeature(const LV2_Feature* const* features, const char* uri) {
    for (const LV2_Feature* const* f = features; f && *f; ++f)
        if (std::strcmp((*f)->URI, uri) == 0)
            return *f;
    return nullptr;
}

template <typename T> const T* featureData(const LV2_Feature* const* features, const char* uri) {
    const LV2_Feature* f = findFeature(features, uri);
    return f ? static_cast<const T*>(f->data) : nullptr;
}

// Stores `path` under `key`, made abstract by the host's state:mapPath when it has one.
LV2_State_Status storePath(LV2_State_Store_Function store, LV2_State_Handle stateHandle,
                           LV2_URID key, LV2_URID type, const std::string& path,
                           const LV2_Feature* const* features) {
    const auto* mapPath = featureData<LV2_State_Map_Path>(features, LV2_STATE__mapPath);
    const auto* freePath = featureData<LV2_State_Free_Path>(features, LV2_STATE__freePath);
    char* abstract = mapPath ? mapPath->abstract_path(mapPath->handle, path.c_str()) : nullptr;
    const char* kept = abstract ? abstract : path.c_str();
    const LV2_State_Status status = store(stateHandle, key, kept, std::strlen(kept) + 1, type,
                                          LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
    if (abstract) {
        if (freePath)
            freePath->free_path(freePath->handle, abstract);
        else
            std::free(abstract);
    }
    return status;
}

// The path kept under `key` ("" when none), made absolute by the host's
// state:mapPath when it has one.
std::string retrievePath(LV2_State_Retrieve_Function retrieve, LV2_State_Handle stateHandle,
                         LV2_URID key, LV2_URID pathType, const LV2_Feature* const* features) {
    size_t size = 0;
    uint32_t type = 0, flags = 0;
    const void* value = retrieve(stateHandle, key, &size, &type, &flags);
    std::string path;
    if (!value || type != pathType || size == 0)
        return path;
    const char* text = static_cast<const char*>(value);
    path.assign(text, strnlen(text, size));
    const auto* mapPath = featureData<LV2_State_Map_Path>(features, LV2_STATE__mapPath);
    if (mapPath) {
        if (char* absolute = mapPath->absolute_path(mapPath->handle, path.c_str())) {
            path = absolute;
            std::free(absolute);
        }
    }
    return path;
}

LV2_State_Status save(LV2_Handle handle, LV2_State_Store_Function store,
                      LV2_State_Handle stateHandle, uint32_t, const LV2_Feature* const* features) {
    auto& self = *static_cast<Instance*>(handle);
    if (!self.map)
        return LV2_STATE_ERR_NO_FEATURE;
    // Any thread, while run() may run: the whole of one path run() stored. An empty
    // one (the shipped archive, no cabinet file) is not kept.
    LV2_State_Status status = LV2_STATE_SUCCESS;
    const std::string path = self.chosen.read();
    if (!path.empty())
        status =
            storePath(store, stateHandle, self.uris.archive, self.uris.atomPath, path, features);
    const std::string cabinet = self.cabinetChosen.read();
    if (!cabinet.empty() && status == LV2_STATE_SUCCESS)
        status = storePath(store, stateHandle, self.uris.cabinetFile, self.uris.atomPath, cabinet,
                           features);
    return status;
}

LV2_State_Status restore(LV2_Handle handle, LV2_State_Retrieve_Function retrieve,
                         LV2_State_Handle stateHandle, uint32_t,
                         const LV2_Feature* const* features) {
    auto& self = *static_cast<Instance*>(handle);
    if (!self.map)
        return LV2_STATE_ERR_NO_FEATURE;
    const std::string cabinet =
        retrievePath(retrieve, stateHandle, self.uris.cabinetFile, self.uris.atomPath, features);
    if (cabinet.size() >= kMaxArchivePathBytes)
        lv2_log_error(&self.logger,
                      "quorle: the saved cabinet file's path is longer than %u bytes and was "
                      "refused; no cabinet file is chosen\n",
                      kMaxArchivePathBytes - 1);
    restoreCabinetFile(self, cabinet.size() < kMaxArchivePathBytes ? cabinet : std::string());
    const std::string path =
        retrievePath(retrieve, stateHandle, self.uris.archive, self.uris.atomPath, features);
    if (path.size() >= kMaxArchivePathBytes) {
        lv2_log_error(&self.logger,
                      "quorle: the saved data archive's path is longer than %u bytes and was "
                      "refused; the archive playing stays\n",
                      kMaxArchivePathBytes - 1);
        return LV2_STATE_ERR_BAD_TYPE;
    }
    // run() does not run meanwhile: what it retired without a worker goes now, the
    // parcels that carry retired rigs to the worker are made up again (a restored
    // rig brings none), and any archive request still with the worker is overtaken.
    for (auto& orphan : self.orphans)
        orphan.reset();
    for (auto& spare : self.rigSpares)
        if (!spare)
            spare.reset(new (std::nothrow) RigParcel);
    choose(self, path.c_str());
    ++self.request;
    self.archiveWaiting = false;
    const bool shippedPlays = self.rig && !self.rig->players && !self.restored;
    if (path.empty() && shippedPlays)
        return LV2_STATE_SUCCESS;
    try {
        std::unique_ptr<Rig> rig = makeRig(self, path.c_str(), self.factor, !self.worker,
                                           /*fallback=*/!shippedPlays);
        if (rig)
            self.restored = std::move(rig); // a restored rig not yet taken goes here
    } catch (const std::exception& e) {
        lv2_log_error(&self.logger, "quorle: the saved data archive could not be played: %s\n",
                      e.what());
    }
    return LV2_STATE_SUCCESS;
}

} // namespace

void mapUris(Instance& self) {
    auto map = [&](const char* uri) { return self.map->map(self.map->handle, uri); };
    Uris& u = self.uris;
    u.atomPath = map(LV2_ATOM__Path);
    u.atomString = map(LV2_ATOM__String);
    u.atomObject = map(LV2_ATOM__Object);
    u.atomUrid = map(LV2_ATOM__URID);
    u.atomSequence = map(LV2_ATOM__Sequence);
    u.patchSet = map(LV2_PATCH__Set);
    u.patchGet = map(LV2_PATCH__Get);
    u.patchProperty = map(LV2_PATCH__property);
    u.patchValue = map(LV2_PATCH__value);
    u.archive = map(kArchiveUri);
    u.models = map(kModelsUri);
    u.cabinetFile = map(kCabinetFileUri);
    lv2_atom_forge_init(&self.forge, const_cast<LV2_URID_Map*>(self.map));
}

void readControl(Instance& self) {
    if (!self.control || !self.map || self.control->atom.type != self.uris.atomSequence)
        return;
    LV2_ATOM_SEQUENCE_FOREACH(self.control, event) {
        if (event->body.type != self.uris.atomObject)
            continue;
        const auto* object = reinterpret_cast<const LV2_Atom_Object*>(&event->body);
        if (object->body.otype == self.uris.patchGet) {
            self.announce = true;
            continue;
        }
        if (object->body.otype != self.uris.patchSet || readCabinetFile(self, object))
            continue;
        bool fits = false;
        const char* path = archiveIn(self, object, fits);
        if (!path)
            continue;
        if (!fits) {
            self.refusedPath = true;
            continue;
        }
        choose(self, path);
        std::memcpy(self.waiting, path, std::strlen(path) + 1);
        self.archiveWaiting = true; // sent after this run(), the last one winning
        ++self.request;             // an answer to an earlier request is stale
    }
}

void sendArchiveRequest(Instance& self) {
    if (self.refusedPath) {
        Message refused;
        refused.kind = Message::kRefused;
        if (schedule(self, refused))
            self.refusedPath = false;
    }
    if (self.archiveBusy || !self.archiveWaiting)
        return;
    std::memcpy(self.requested, self.waiting, sizeof(self.requested));
    Message message;
    message.kind = Message::kArchive;
    message.factor = self.factor;
    message.request = self.request;
    message.shippedPlays = self.rig && !self.rig->players;
    // Set first: a worker may answer within schedule_work() (offline hosts).
    self.archiveBusy = true;
    self.busyRequest = self.request;
    self.archiveWaiting = false;
    if (!schedule(self, message)) {
        self.archiveBusy = false;
        self.archiveWaiting = true; // asked again after the next run()
    }
}

LV2_Worker_Status workArchive(Instance& self, const Message& message,
                              LV2_Worker_Respond_Function respond,
                              LV2_Worker_Respond_Handle handle) {
    if (message.kind == Message::kRefused && message.cabinet) {
        lv2_log_error(&self.logger,
                      "quorle: a cabinet file path of %u bytes or more was refused; the cabinet "
                      "playing stays\n",
                      kMaxArchivePathBytes);
        return LV2_WORKER_SUCCESS;
    }
    if (message.kind == Message::kRefused) {
        lv2_log_error(&self.logger,
                      "quorle: a data archive path of %u bytes or more was refused; the archive "
                      "playing stays\n",
                      kMaxArchivePathBytes);
        return LV2_WORKER_SUCCESS;
    }
    const bool shippedPlays = message.shippedPlays;
    auto parcel = std::make_unique<RigParcel>();
    parcel->request = message.request;
    // `requested` stays as it is until the answer is taken.
    if (self.requested[0] || !shippedPlays) {
        try {
            parcel->rig = makeRig(self, self.requested, message.factor, false, !shippedPlays);
        } catch (const std::exception& e) {
            lv2_log_error(&self.logger, "quorle: %s could not be played: %s\n", self.requested,
                          e.what());
        }
    }
    Message reply = message;
    std::unique_ptr<Parcel> carried = std::move(parcel);
    if (!self.box.put(carried, reply.ticket))
        reply.ticket = {}; // the rig is freed here; the answer still frees the request
    if (respond(handle, sizeof(reply), &reply) == LV2_WORKER_SUCCESS)
        return LV2_WORKER_SUCCESS;
    self.box.take(reply.ticket);
    return LV2_WORKER_ERR_NO_SPACE;
}

void takeRig(Instance& self, std::unique_ptr<RigParcel> parcel) {
    if (parcel->request == self.request && parcel->rig)
        swapRig(self, std::move(parcel->rig));
    if (parcel->rig) {
        // Stale: freed unplayed, in its own parcel.
        std::unique_ptr<Parcel> carried = std::move(parcel);
        if (sendToFree(self, carried))
            return;
        parcel.reset(static_cast<RigParcel*>(carried.release()));
        retireRig(self, std::move(parcel->rig));
    }
    keepOrFree(self, std::move(parcel));
}

void writeNotify(Instance& self) {
    if (!self.notify)
        return;
    if (!self.map) {
        self.notify->atom.size = sizeof(LV2_Atom_Sequence_Body);
        self.notify->body.unit = 0;
        self.notify->body.pad = 0;
        return;
    }
    LV2_Atom_Forge* forge = &self.forge;
    lv2_atom_forge_set_buffer(forge, reinterpret_cast<uint8_t*>(self.notify),
                              self.notify->atom.size + sizeof(LV2_Atom));
    LV2_Atom_Forge_Frame sequence;
    if (!lv2_atom_forge_sequence_head(forge, &sequence, 0))
        return;
    if (self.announce) {
        bool told = true;
        LV2_Atom_Forge_Frame object;
        if (lv2_atom_forge_frame_time(forge, 0) &&
            lv2_atom_forge_object(forge, &object, 0, self.uris.patchSet)) {
            lv2_atom_forge_key(forge, self.uris.patchProperty);
            lv2_atom_forge_urid(forge, self.uris.archive);
            lv2_atom_forge_key(forge, self.uris.patchValue);
            told = lv2_atom_forge_path(forge, self.archive,
                                       static_cast<uint32_t>(std::strlen(self.archive)));
            lv2_atom_forge_pop(forge, &object);
        } else {
            told = false;
        }
        told = told && tellCabinetFile(self);
        if (told && self.rig && lv2_atom_forge_frame_time(forge, 0) &&
            lv2_atom_forge_object(forge, &object, 0, self.uris.patchSet)) {
            lv2_atom_forge_key(forge, self.uris.patchProperty);
            lv2_atom_forge_urid(forge, self.uris.models);
            lv2_atom_forge_key(forge, self.uris.patchValue);
            told = lv2_atom_forge_string(forge, self.rig->names.c_str(),
                                         static_cast<uint32_t>(self.rig->names.size()));
            lv2_atom_forge_pop(forge, &object);
        }
        self.announce = !told;
    }
    lv2_atom_forge_pop(forge, &sequence);
}

const void* stateInterface() {
    static const LV2_State_Interface state = {save, restore};
    return &state;
}

} // namespace quorlelv2
