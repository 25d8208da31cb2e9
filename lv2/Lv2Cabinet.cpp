// The speaker cabinet in an LV2 host: the Cabinet port chooses none, the player's
// file or a shipped cabinet; the file is the plug-in's writable parameter
// (quorle#cabinetFile, an atom:Path the host offers a file chooser for), kept in
// the state and told on the notify port.
//
// Every rig keeps a shelf of convolvers made for each channel: two players with
// room for any shipped cabinet (the responses the process keeps ready,
// SharedCabinets.h), and the player's file. The port switches between them within
// run(): a player is handed the cabinet chosen and lent to the engines, which
// crossfade to it, and comes back to the shelf when replaced. The file is read
// once per choice, by the worker when it is chosen (whatever the port says): the
// worker keeps it prepared, makes the rig's convolvers from it, and makes those of
// a rig for a new archive from the same copy. A file chosen on the control port
// that cannot be used is named in the host's log and the last file that loaded is
// chosen again (what plays stays); one a restored state names that cannot be used
// plays no cabinet, as in a fresh instance.
#include "lv2/CabinetPorts.h"
#include "lv2/Lv2Instance.h"
#include "main/CabinetLoad.h"
#include "main/DataArchive.h"
#include "main/SharedCabinets.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>

namespace quorlelv2 {

namespace {

constexpr size_t kFileSlot = 0;

// The Cabinet port's choice, the model's own cabinet made the one it names:
// kCabinetOff for a value that names nothing.
int32_t choiceOf(const Instance& self, const Rig& rig, int32_t model) {
    if (!self.cabinetPort || !std::isfinite(*self.cabinetPort))
        return kCabinetOff;
    const float value = std::nearbyint(*self.cabinetPort);
    if (value == float(kCabinetModelsOwn))
        return model >= 0 && static_cast<size_t>(model) < rig.own.size()
                   ? rig.own[static_cast<size_t>(model)]
                   : kCabinetOff;
    const float shipped = static_cast<float>(rig.ready.size());
    if (value == float(kCabinetFile) ||
        (value >= float(kCabinetFirstShipped) && value < float(kCabinetFirstShipped) + shipped))
        return static_cast<int32_t>(value);
    return kCabinetOff;
}

// Which of `ready`'s responses channel `channel` plays: a mono one feeds every
// channel, a stereo one gives channel 0 its left and every other its right.
size_t playedBy(const cabinet::ReadyCabinet& ready, uint32_t channel) {
    return std::min<size_t>(channel, ready.channels.size() - 1);
}

// Any thread but the audio thread: the file at `path` prepared at the stream's rate;
// null with the reason in the log (the file named first).
std::shared_ptr<const ImpulseResponse> readResponse(Instance& self, const char* path) {
    std::string error;
    try {
        if (const auto read = impulse::readFile(path, error)) {
            std::string why;
            auto ready =
                std::make_shared<ImpulseResponse>(impulse::prepared(*read, self.rate, &why));
            if (!ready->channels.empty())
                return ready;
            error = std::string(path) + ": " +
                    (why.empty() ? "a cabinet cannot play at this sample rate" : why);
        }
    } catch (const std::exception& e) {
        error = std::string(path) + " could not be loaded: " + e.what();
    }
    logError(self, "quorle: %s; the cabinet playing stays\n", error.c_str());
    return nullptr;
}

// Any thread but the audio thread: the stored copy of file choice `file` (null when
// there is none), the copies of choices before `kept` dropped first.
std::shared_ptr<const ImpulseResponse> storedCopy(Instance& self, uint32_t file, uint32_t kept) {
    std::lock_guard<std::mutex> hold(self.fileLock);
    self.stored.erase(self.stored.begin(), self.stored.lower_bound(kept));
    const auto found = self.stored.find(file);
    return found == self.stored.end() ? nullptr : found->second;
}

// Any thread but the audio thread: `response` made for each channel, as file choice
// `file`; null when it cannot be.
std::unique_ptr<LoadedCabinet> cabinetsOf(Instance& self, const ImpulseResponse& response,
                                          uint32_t file) {
    auto loaded = std::make_unique<LoadedCabinet>();
    loaded->file = file;
    for (uint32_t c = 0; c < self.channels; ++c)
        loaded->cabinets[c] = cabinet::convolverFor(response, c, self.maxSlice);
    return loaded->cabinets[0] ? std::move(loaded) : nullptr;
}

// Render thread: `next` (null: none) plays in every engine of `rig`. The engines
// were checked to take an offer, and every convolver is made for their pieces.
void give(Rig& rig, std::unique_ptr<Convolver>* next) {
    for (uint32_t c = 0; c < rig.channels; ++c)
        rig.engines[c]->offerCabinet(next[c], rig.heard);
}

// Render thread: puts `loaded` on `rig`'s shelf as its file; the file it replaces
// goes to be freed (or, while it plays, once it is replaced).
void shelveFile(Instance& self, Rig& rig, LoadedCabinet& loaded) {
    for (uint32_t c = 0; c < rig.channels; ++c) {
        std::unique_ptr<Convolver>& slot = rig.shelf[kFileSlot * 2 + c];
        if (slot && !retire(self, slot))
            return; // no room: the file waits for a later run()
        slot = std::move(loaded.cabinets[c]);
        rig.lent[kFileSlot * 2 + c] = nullptr;
    }
    rig.fileChoice = loaded.file;
}

// Render thread: asks the worker for the file chosen when the rig lacks it; first
// again for one whose answer was lost, so that the files chosen are loaded in turn.
void requestFile(Instance& self, const Rig& rig) {
    if (self.fileResend && !self.requests[kCabinetRequest].busy) {
        Message message;
        message.kind = Message::kCabinet;
        message.file = self.fileAsked; // its path still in `fileRequested`
        message.kept = std::max(self.fileGood.serial, self.fileFloor);
        self.fileResend = !ask(self, kCabinetRequest, message);
        return;
    }
    const FileChoice& chosen = self.fileChosen;
    if (chosen.serial == 0 || chosen.serial == self.fileRefused || rig.fileChoice == chosen.serial)
        return;
    if (self.requests[kCabinetRequest].busy)
        return;
    Message message;
    message.kind = Message::kCabinet;
    message.file = chosen.serial;
    message.kept = std::max(self.fileGood.serial, self.fileFloor);
    std::memcpy(self.fileRequested, chosen.path, sizeof(self.fileRequested));
    self.fileAsked = chosen.serial;
    self.fileResend = !ask(self, kCabinetRequest, message); // not taken: this one again
}

} // namespace

void stockShelf(Instance& self, Rig& rig, uint32_t file, uint32_t kept) {
    const DataArchive& shipped = *self.shipped;
    // By the port's values, each the cabinet of that name in the shipped archive,
    // made ready once per process and rate.
    const auto count = static_cast<size_t>(kCabinetPortCount);
    rig.ready.assign(count, nullptr);
    std::vector<const Convolver::Response*> fits[2];
    for (size_t i = 0; i < count; ++i) {
        std::string error;
        const std::string name = cabinet::shippedName(shipped, kCabinetPortNames[i]);
        if (!name.empty())
            rig.ready[i] = cabinet::shared(shipped, name, self.rate, error);
        else
            error =
                std::string("the shipped archive has no cabinet \"") + kCabinetPortNames[i] + "\"";
        if (!rig.ready[i] || rig.ready[i]->channels.empty()) {
            logError(self, "quorle: %s\n", error.c_str());
            rig.ready[i] = nullptr;
            continue; // that choice plays no cabinet
        }
        for (uint32_t c = 0; c < self.channels; ++c)
            fits[c].push_back(rig.ready[i]->channels[playedBy(*rig.ready[i], c)].get());
    }
    // This rig's own state: the players, each with room for the largest.
    rig.shelf.resize((Rig::kPlayers + 1) * 2);
    rig.lent.assign(rig.shelf.size(), nullptr);
    if (!fits[0].empty())
        for (size_t p = 1; p <= Rig::kPlayers; ++p)
            for (uint32_t c = 0; c < self.channels; ++c)
                rig.shelf[p * 2 + c] = std::make_unique<Convolver>(fits[c], self.maxSlice);
    // Each model's own cabinet, by the name it gives, among the shipped ones.
    const std::vector<std::string> models = rig.archive->modelNames();
    rig.own.assign(models.size(), kCabinetOff);
    for (size_t m = 0; m < models.size(); ++m) {
        const std::string named = cabinet::modelsOwn(*rig.archive, models[m], shipped);
        for (size_t i = 0; i < count; ++i)
            if (!named.empty() && named == cabinet::shippedName(shipped, kCabinetPortNames[i]))
                rig.own[m] = kCabinetFirstShipped + static_cast<int32_t>(i);
    }
    const std::shared_ptr<const ImpulseResponse> stored = storedCopy(self, file, kept);
    if (file != 0 && stored)
        if (std::unique_ptr<LoadedCabinet> loaded = cabinetsOf(self, *stored, file)) {
            for (uint32_t c = 0; c < self.channels; ++c)
                rig.shelf[kFileSlot * 2 + c] = std::move(loaded->cabinets[c]);
            rig.fileChoice = file;
        }
}

void updateCabinet(Instance& self, Rig& rig, int32_t model) {
    requestFile(self, rig);
    const int32_t choice = choiceOf(self, rig, model);
    // The file choice that plays: none while none is chosen or it was refused.
    uint32_t file = 0;
    if (choice == kCabinetFile && self.fileChosen.serial != self.fileRefused)
        file = self.fileChosen.serial;
    // File without a file plays none: said once each time the port comes to it.
    if (choice != kCabinetFile || self.fileChosen.serial != 0)
        self.noFileTold = false;
    else if (!self.noFileTold && self.cabinetFault == PathFault::kNone) {
        self.cabinetFault = PathFault::kNoFile;
        self.noFileTold = true;
    }
    if (choice == kCabinetFile && file != 0 && rig.fileChoice != file)
        return; // what plays stays until the rig holds the file chosen
    if (choice == rig.cabinetChoice && file == rig.cabinetFile)
        return;
    for (uint32_t c = 0; c < rig.channels; ++c)
        if (!rig.engines[c]->canOfferCabinet())
            return; // taken after the crossfade under way
    std::unique_ptr<Convolver> next[2];
    const cabinet::ReadyCabinet* ready =
        file == 0 && choice >= kCabinetFirstShipped
            ? rig.ready[static_cast<size_t>(choice - kCabinetFirstShipped)].get()
            : nullptr;
    if (file != 0 || ready) {
        size_t slot = kFileSlot;
        if (ready) { // a player on the shelf for every channel
            slot = 0;
            for (size_t p = 1; p <= Rig::kPlayers && slot == 0; ++p) {
                bool free = true;
                for (uint32_t c = 0; c < rig.channels; ++c)
                    free = free && rig.shelf[p * 2 + c] != nullptr;
                slot = free ? p : 0;
            }
            if (slot == 0)
                return; // both still with the engines: taken once one is back
        }
        // One still on its way back from an engine: taken once it is on the shelf.
        for (uint32_t c = 0; c < rig.channels; ++c)
            if (!rig.shelf[slot * 2 + c] && rig.lent[slot * 2 + c])
                return;
        for (uint32_t c = 0; c < rig.channels; ++c) {
            next[c] = std::move(rig.shelf[slot * 2 + c]);
            rig.lent[slot * 2 + c] = next[c].get();
            if (!next[c])
                continue;
            if (ready) // from silence, made with room for it
                next[c]->rebind(ready->channels[playedBy(*ready, c)].get());
            else
                next[c]->reset(); // it may have played before
        }
    }
    give(rig, next);
    rig.cabinetChoice = choice;
    rig.cabinetFile = file;
}

bool shelve(Rig& rig, uint32_t channel, std::unique_ptr<Convolver>& back) {
    for (size_t i = channel; i < rig.lent.size(); i += 2)
        if (rig.lent[i] == back.get() && !rig.shelf[i]) {
            rig.shelf[i] = std::move(back);
            rig.lent[i] = nullptr;
            return true;
        }
    return false;
}

bool readCabinetFile(Instance& self, const LV2_Atom_Object* object) {
    const LV2_Atom* property = nullptr;
    const LV2_Atom* value = nullptr;
    lv2_atom_object_get(object, self.uris.patchProperty, &property, self.uris.patchValue, &value,
                        0);
    if (!property || property->type != self.uris.atomUrid || property->size < sizeof(LV2_URID) ||
        reinterpret_cast<const LV2_Atom_URID*>(property)->body != self.uris.cabinetFile)
        return false;
    if (!value || value->type != self.uris.atomPath || value->size == 0)
        return true; // not a path: ignored
    const char* path = static_cast<const char*>(LV2_ATOM_BODY_CONST(value));
    // The body is the path and its terminator; anything else is not taken.
    if (value->size > kMaxArchivePathBytes) {
        self.cabinetFault = PathFault::kTooLong;
        return true;
    }
    if (path[value->size - 1] != 0 || std::strlen(path) != value->size - 1) {
        self.cabinetFault = PathFault::kUnterminated;
        return true;
    }
    FileChoice& chosen = self.worker ? self.fileChosen : self.fileWaiting;
    chosen.serial = ++self.fileSerials;
    std::memcpy(chosen.path, path, value->size);
    if (self.worker)
        self.cabinetChosen.write(path);
    self.tellCabinet = true;
    return true;
}

LV2_Worker_Status workCabinet(Instance& self, const Message& message,
                              LV2_Worker_Respond_Function respond,
                              LV2_Worker_Respond_Handle handle) {
    // Read already: made again from the copy. Else `fileRequested`, which stays as it
    // is until the answer is taken.
    std::shared_ptr<const ImpulseResponse> response = storedCopy(self, message.file, message.kept);
    if (!response) {
        response = readResponse(self, self.fileRequested);
        if (response) {
            std::lock_guard<std::mutex> hold(self.fileLock);
            self.stored[message.file] = response;
        }
    }
    std::unique_ptr<LoadedCabinet> loaded;
    if (response)
        loaded = cabinetsOf(self, *response, message.file);
    Message reply = message;
    reply.refused = !loaded;
    return answer(self, kCabinetRequest, reply, std::move(loaded), respond, handle);
}

void takeCabinet(Instance& self, const Message& message) {
    const bool mine = ends(self, kCabinetRequest, message);
    std::unique_ptr<LoadedCabinet> loaded = self.box.take<LoadedCabinet>(message.ticket);
    if (mine && message.refused && message.file == self.fileGood.serial)
        self.fileRefused = message.file; // loaded once, gone since: not asked again
    else if (mine && message.refused && message.file == self.fileChosen.serial) {
        // The file chosen cannot be used: the last one that loaded is chosen again.
        self.fileChosen = self.fileGood;
        self.cabinetChosen.write(self.fileChosen.path);
        self.tellCabinet = true;
    }
    // A file that loaded is the one a later refusal falls back to, even when another
    // was chosen meanwhile: the choices count, not how fast the worker was.
    if (mine && loaded && loaded->file > self.fileGood.serial && loaded->file > self.fileFloor) {
        self.fileGood.serial = loaded->file;
        std::memcpy(self.fileGood.path, self.fileRequested, sizeof(self.fileGood.path));
    }
    if (loaded && loaded->file == self.fileChosen.serial && self.rig &&
        self.rig->fileChoice != loaded->file)
        shelveFile(self, *self.rig, *loaded);
    if (loaded) {
        for (auto& cabinet : loaded->cabinets)
            if (cabinet && !retire(self, cabinet))
                (void)cabinet.release(); // not reached while the box keeps room for answers
        if (!retire(self, loaded))
            (void)loaded.release();
    }
}

void chooseCabinetNow(Instance& self, const std::string& path) {
    FileChoice& chosen = self.fileChosen;
    chosen.serial = ++self.fileSerials;
    std::memcpy(chosen.path, path.c_str(), path.size() + 1);
    self.cabinetChosen.write(chosen.path);
    self.tellCabinet = true;
    self.fileRefused = 0;
    self.fileFloor = chosen.serial; // an answer to a choice before this one changes nothing
    self.fileResend = false;
    std::shared_ptr<const ImpulseResponse> response;
    if (!path.empty())
        response = readResponse(self, chosen.path);
    {
        std::lock_guard<std::mutex> hold(self.fileLock);
        self.stored.clear();
        if (response)
            self.stored[chosen.serial] = response;
    }
    if (path.empty() || !response) {
        self.fileRefused = path.empty() ? 0 : chosen.serial;
        self.fileGood = FileChoice();
        if (path.empty())
            chosen.serial = 0;
        return;
    }
    self.fileGood = chosen;
    // The rigs alive take it now (run() does not run).
    for (Rig* rig : {self.rig.get(), self.restored.get()}) {
        if (!rig)
            continue;
        if (std::unique_ptr<LoadedCabinet> loaded = cabinetsOf(self, *response, chosen.serial))
            for (uint32_t c = 0; c < rig->channels; ++c) {
                rig->shelf[kFileSlot * 2 + c] = std::move(loaded->cabinets[c]);
                rig->lent[kFileSlot * 2 + c] = nullptr;
                rig->fileChoice = chosen.serial;
            }
    }
}

std::string pathFaultText(PathFault fault, bool cabinet) {
    const std::string what = cabinet ? "a cabinet file path" : "a data archive path";
    const std::string stays =
        cabinet ? "; the cabinet playing stays" : "; the archive playing stays";
    switch (fault) {
    case PathFault::kNoFile:
        return "the Cabinet control is set to File but no cabinet file is chosen; no cabinet "
               "plays until one is";
    case PathFault::kTooLong:
        return what + " of " + std::to_string(kMaxArchivePathBytes) + " bytes or more was refused" +
               stays;
    case PathFault::kUnterminated:
        return what + " not ended by a NUL byte within its atom was refused" + stays;
    default: return what + " was refused" + stays;
    }
}

} // namespace quorlelv2
