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
// winning. Every choice is counted; only the answer for the latest counts, so a
// restore() or a later patch:Set makes an earlier answer stale (freed unplayed).
// Without a worker the path is opened by the next setup call (activate,
// deactivate, restore).
//
// The state keeps the path the player chose, even a refused one, so that a project
// reopened where the file is plays it; a state without it means the shipped
// archive. restore() makes the rig itself and leaves it for the next run() to put
// in place, as an answer would be; nothing is closed inline.
#include "lv2/Lv2Instance.h"
#include "main/UserArchive.h"

#include <lv2/patch/patch.h>
#include <lv2/state/state.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

namespace quorlelv2 {

namespace {

// The path a patch:Set of the archive carries: null for any other message; `fault`
// says why it cannot be taken (too long, or not ended by its terminator).
const char* archiveIn(const Instance& self, const LV2_Atom_Object* object, PathFault& fault) {
    const LV2_Atom* property = nullptr;
    const LV2_Atom* value = nullptr;
    lv2_atom_object_get(object, self.uris.patchProperty, &property, self.uris.patchValue, &value,
                        0);
    if (!property || property->type != self.uris.atomUrid || property->size < sizeof(LV2_URID) ||
        reinterpret_cast<const LV2_Atom_URID*>(property)->body != self.uris.archive || !value ||
        value->type != self.uris.atomPath || value->size == 0)
        return nullptr;
    const char* path = static_cast<const char*>(LV2_ATOM_BODY_CONST(value));
    // The body is the path and its terminator; anything else is not taken.
    fault = value->size > kMaxArchivePathBytes ? PathFault::kTooLong
            : path[value->size - 1] != 0 || std::strlen(path) != value->size - 1
                ? PathFault::kUnterminated
                : PathFault::kNone;
    return path;
}

// Both copies of the chosen path: the audio side's and the one save() reads.
void choose(Instance& self, const char* path) {
    std::memcpy(self.archive, path, std::strlen(path) + 1);
    self.chosen.write(path);
    self.tellArchive = true;
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
    // run() does not run meanwhile: what waits to be freed goes now, and the state
    // decides alone what plays, as in a fresh instance: paths the control port named
    // and a rig restored before are forgotten.
    // A rig restored before but not yet played counts as a change under way.
    const bool shippedPlays = self.rig && !self.rig->players && !self.restored;
    self.fileWaiting.serial = 0;
    self.archiveWaiting = false;
    self.restored.reset();
    setupCall(self);
    const std::string cabinet =
        retrievePath(retrieve, stateHandle, self.uris.cabinetFile, self.uris.atomPath, features);
    if (cabinet.size() >= kMaxArchivePathBytes)
        logError(self,
                 "quorle: the saved cabinet file's path is longer than %u bytes and was "
                 "refused; no cabinet file is chosen\n",
                 kMaxArchivePathBytes - 1);
    chooseCabinetNow(self, cabinet.size() < kMaxArchivePathBytes ? cabinet : std::string());
    std::string path =
        retrievePath(retrieve, stateHandle, self.uris.archive, self.uris.atomPath, features);
    LV2_State_Status status = LV2_STATE_SUCCESS;
    if (path.size() >= kMaxArchivePathBytes) {
        logError(self,
                 "quorle: the saved data archive's path is longer than %u bytes and was "
                 "refused; the shipped models play\n",
                 kMaxArchivePathBytes - 1);
        path.clear();
        status = LV2_STATE_ERR_BAD_TYPE;
    }
    choose(self, path.c_str());
    ++self.archiveChoice; // an archive request still with the worker is overtaken
    if (path.empty() && shippedPlays)
        return status;
    try {
        self.restored = makeRig(self, path.c_str(), !self.worker, self.fileGood.serial,
                                /*fallback=*/!shippedPlays);
    } catch (const std::exception& e) {
        logError(self, "quorle: %s could not be played: %s\n", path.c_str(), e.what());
    }
    return status;
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
    u.status = map(kStatusUri);
    u.report = map(kReportUri);
    lv2_atom_forge_init(&self.forge, const_cast<LV2_URID_Map*>(self.map));
}

void readControl(Instance& self) {
    if (!self.control || !self.map || self.control->atom.type != self.uris.atomSequence ||
        self.control->atom.size < sizeof(LV2_Atom_Sequence_Body))
        return;
    const auto* end =
        reinterpret_cast<const uint8_t*>(&self.control->body) + self.control->atom.size;
    LV2_ATOM_SEQUENCE_FOREACH(self.control, event) {
        // An event must lie whole within the sequence, its object's header included.
        const auto* body = reinterpret_cast<const uint8_t*>(&event->body);
        if (body + sizeof(LV2_Atom) > end || body + sizeof(LV2_Atom) + event->body.size > end)
            break;
        if (event->body.type != self.uris.atomObject ||
            event->body.size < sizeof(LV2_Atom_Object_Body))
            continue;
        const auto* object = reinterpret_cast<const LV2_Atom_Object*>(&event->body);
        if (object->body.otype == self.uris.patchGet) {
            self.tellArchive = self.tellCabinet = self.tellModels = self.tellStatus = true;
            continue;
        }
        if (object->body.otype != self.uris.patchSet)
            continue;
        // A new file chosen: the last one's refusal no longer stands.
        self.statusText[0] = 0;
        self.tellStatus = true;
        if (readCabinetFile(self, object))
            continue;
        PathFault fault = PathFault::kNone;
        const char* path = archiveIn(self, object, fault);
        if (!path)
            continue;
        if (fault != PathFault::kNone) {
            self.archiveFault = fault;
            continue;
        }
        choose(self, path);
        std::memcpy(self.waiting, path, std::strlen(path) + 1);
        self.archiveWaiting = true; // sent after this run(), the last one winning
        ++self.archiveChoice;       // an answer to an earlier choice is stale
    }
}

void sendArchiveRequest(Instance& self) {
    if (!self.archiveWaiting || self.requests[kArchiveRequest].busy)
        return;
    std::memcpy(self.requested, self.waiting, sizeof(self.requested));
    Message message;
    message.kind = Message::kArchive;
    message.file = self.fileGood.serial;
    message.kept = std::max(self.fileGood.serial, self.fileFloor);
    message.shippedPlays = self.rig && !self.rig->players;
    self.requestedChoice = self.archiveChoice;
    if (ask(self, kArchiveRequest, message))
        self.archiveWaiting = false; // else asked again after the next run()
}

LV2_Worker_Status workArchive(Instance& self, const Message& message,
                              LV2_Worker_Respond_Function respond,
                              LV2_Worker_Respond_Handle handle) {
    if (message.kind == Message::kRefused) {
        logError(self, "quorle: %s\n", pathFaultText(message.fault, message.cabinet).c_str());
        return LV2_WORKER_SUCCESS;
    }
    const bool shippedPlays = message.shippedPlays;
    std::unique_ptr<Rig> rig;
    // `requested` stays as it is until the answer is taken.
    if (self.requested[0] || !shippedPlays) {
        try {
            rig = makeRig(self, self.requested, false, message.file, !shippedPlays, message.kept);
        } catch (const std::exception& e) {
            logError(self, "quorle: %s could not be played: %s\n", self.requested, e.what());
        }
    }
    return answer(self, kArchiveRequest, message, std::move(rig), respond, handle);
}

void takeArchive(Instance& self, const Message& message) {
    const bool mine = ends(self, kArchiveRequest, message);
    std::unique_ptr<Rig> rig = self.box.take<Rig>(message.ticket);
    if (mine && rig && self.requestedChoice == self.archiveChoice)
        swapRig(self, std::move(rig));
    retireRig(self, std::move(rig)); // stale: freed unplayed
}

const void* stateInterface() {
    static const LV2_State_Interface state = {save, restore};
    return &state;
}

} // namespace quorlelv2
