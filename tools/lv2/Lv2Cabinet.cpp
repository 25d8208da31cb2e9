// The speaker cabinet in an LV2 host: the Cabinet port chooses none, the player's
// file or a shipped cabinet; the file is the plug-in's writable parameter
// (quorle#cabinetFile, an atom:Path the host offers a file chooser for), kept in
// the state and told on the notify port.
//
// Every rig makes the shipped cabinets for each channel with its engines (setup or
// worker thread) and keeps them on its shelf, so that the port switches between
// them within run(): the one chosen is lent to the engines, which crossfade to it,
// and comes back to the shelf when replaced. The player's file is loaded,
// resampled and levelled by the worker (main/CabinetLoad.h, main/ImpulseResponse.h)
// and handed over in a parcel; a file replaced goes back to the worker to be freed.
// A file that cannot be used is named in the host's log and the cabinet playing
// stays. Without a worker the file is loaded only by restore().
#include "main/CabinetLoad.h"
#include "main/DataArchive.h"
#include "tools/lv2/Lv2Instance.h"

#include <cmath>
#include <cstring>
#include <exception>

namespace quorlelv2 {

namespace {

// The Cabinet port's choice: kCabinetOff for a value that names nothing.
int32_t choiceOf(const Instance& self, const Rig& rig) {
    if (!self.cabinetPort || !std::isfinite(*self.cabinetPort))
        return kCabinetOff;
    const float value = std::nearbyint(*self.cabinetPort);
    const float shipped = static_cast<float>(rig.shelf.size() / 2);
    if (value == float(kCabinetFile) ||
        (value >= float(kCabinetFirstShipped) && value < float(kCabinetFirstShipped) + shipped))
        return static_cast<int32_t>(value);
    return kCabinetOff;
}

// Any thread but the audio thread: the file at `path` made ready for each channel,
// or refused with the reason in the log.
std::unique_ptr<CabinetParcel> loadFile(Instance& self, const char* path, uint32_t serial) {
    auto parcel = std::make_unique<CabinetParcel>();
    parcel->file = serial;
    parcel->refused = true;
    std::string error;
    try {
        if (const auto read = impulse::readFile(path, error)) {
            const ImpulseResponse ready = impulse::prepared(*read, self.rate);
            for (uint32_t c = 0; c < self.channels; ++c)
                parcel->cabinets[c] = cabinet::convolverFor(ready, c, self.maxSlice);
            parcel->refused = !parcel->cabinets[0];
            if (parcel->refused)
                error = "a cabinet cannot play at this sample rate";
        }
    } catch (const std::exception& e) {
        error = std::string(path) + " could not be loaded: " + e.what();
    }
    if (parcel->refused) {
        for (auto& c : parcel->cabinets)
            c.reset();
        lv2_log_error(&self.logger, "quorle: %s; the cabinet playing stays\n", error.c_str());
    }
    return parcel;
}

// Render thread: sends `parcel` to the worker to be freed (kept alive, not freed
// here, when there is no worker or room: not reached while the box has room).
void discard(Instance& self, std::unique_ptr<Parcel> parcel) {
    if (parcel && !sendToFree(self, parcel))
        (void)parcel.release();
}

// Render thread: offers channel `c` of `rig` the cabinet `next` (null: none).
bool offer(Rig& rig, uint32_t c, std::unique_ptr<Convolver>& next) {
    return rig.engines[c]->offerCabinet(next, rig.heard);
}

// Render thread: asks the worker for the chosen file, unless a request is with it.
void requestFile(Instance& self) {
    if (self.cabinetBusy || !self.worker)
        return;
    std::memcpy(self.cabinetRequested, self.cabinetFile, sizeof(self.cabinetRequested));
    Message message;
    message.kind = Message::kCabinet;
    message.request = self.cabinetFileSerial;
    // Set first: a worker may answer within schedule_work() (offline hosts).
    self.cabinetBusy = true;
    self.cabinetBusySerial = message.request;
    if (!schedule(self, message))
        self.cabinetBusy = false; // asked again at the next run()
}

} // namespace

void stockShelf(Instance& self, Rig& rig) {
    const DataArchive& shipped = *self.shipped;
    const std::vector<std::string>& names = shipped.cabinetNames();
    rig.shelf.resize(names.size() * 2);
    rig.lent.assign(names.size() * 2, nullptr);
    for (size_t i = 0; i < names.size(); ++i) {
        std::string error;
        const auto ready = cabinet::load(shipped, names[i], self.rate, error);
        if (!ready) {
            lv2_log_error(&self.logger, "quorle: %s\n", error.c_str());
            continue; // that choice plays no cabinet
        }
        for (uint32_t c = 0; c < self.channels; ++c)
            rig.shelf[i * 2 + c] = cabinet::convolverFor(*ready, c, self.maxSlice);
    }
}

void updateCabinet(Instance& self, Rig& rig) {
    const int32_t choice = choiceOf(self, rig);
    const uint32_t file = choice == kCabinetFile ? self.cabinetFileSerial : 0;
    if (choice == rig.cabinetChoice && file == rig.cabinetFile)
        return;
    for (uint32_t c = 0; c < rig.channels; ++c)
        if (!rig.engines[c]->canOfferCabinet())
            return; // taken after the crossfade under way
    std::unique_ptr<Convolver> next[2];
    if (choice == kCabinetFile) {
        if (file == 0 || file == self.cabinetRefused) {
            // No file chosen, or one that could not be used: what plays stays.
            rig.cabinetChoice = choice;
            rig.cabinetFile = file;
            return;
        }
        if (!self.cabinetReady || self.cabinetReady->file != file) {
            requestFile(self);
            return;
        }
        for (uint32_t c = 0; c < rig.channels; ++c)
            next[c] = std::move(self.cabinetReady->cabinets[c]);
        discard(self, std::move(self.cabinetReady)); // the empty parcel
    } else if (choice >= kCabinetFirstShipped) {
        const size_t slot = static_cast<size_t>(choice - kCabinetFirstShipped) * 2;
        for (uint32_t c = 0; c < rig.channels; ++c) {
            next[c] = std::move(rig.shelf[slot + c]);
            rig.lent[slot + c] = next[c].get();
            if (next[c])
                next[c]->reset(); // it may have played before
        }
    }
    // The engines were checked to take an offer, and every convolver is made for
    // their pieces (Instance::maxSlice): each offer succeeds.
    for (uint32_t c = 0; c < rig.channels; ++c)
        offer(rig, c, next[c]);
    rig.cabinetChoice = choice;
    rig.cabinetFile = file;
}

std::unique_ptr<Convolver> retiredCabinet(Instance& self, uint32_t channel) {
    Rig& rig = *self.rig;
    while (std::unique_ptr<Convolver> back = rig.engines[channel]->takeRetiredCabinet()) {
        bool shelved = false;
        for (size_t i = channel; i < rig.lent.size() && !shelved; i += 2)
            if (rig.lent[i] == back.get() && !rig.shelf[i]) {
                rig.shelf[i] = std::move(back);
                rig.lent[i] = nullptr;
                shelved = true;
            }
        if (!shelved)
            return back;
    }
    return nullptr;
}

bool readCabinetFile(Instance& self, const LV2_Atom_Object* object) {
    const LV2_Atom* property = nullptr;
    const LV2_Atom* value = nullptr;
    lv2_atom_object_get(object, self.uris.patchProperty, &property, self.uris.patchValue, &value,
                        0);
    if (!property || property->type != self.uris.atomUrid ||
        reinterpret_cast<const LV2_Atom_URID*>(property)->body != self.uris.cabinetFile)
        return false;
    if (!value || value->type != self.uris.atomPath || value->size == 0)
        return true; // not a path: ignored
    const char* path = static_cast<const char*>(LV2_ATOM_BODY_CONST(value));
    // The body is the path and its terminator; anything else is not taken.
    if (value->size > kMaxArchivePathBytes || path[value->size - 1] != 0 ||
        std::strlen(path) != value->size - 1) {
        self.refusedCabinetPath = true;
        return true;
    }
    std::memcpy(self.cabinetFile, path, value->size);
    self.cabinetChosen.write(path);
    ++self.cabinetFileSerial;
    if (self.cabinetFileSerial == 0) // 0 means none chosen
        ++self.cabinetFileSerial;
    self.announce = true;
    return true;
}

void sendCabinetRefusal(Instance& self) {
    if (!self.refusedCabinetPath)
        return;
    Message refused;
    refused.kind = Message::kRefused;
    refused.cabinet = true;
    if (schedule(self, refused))
        self.refusedCabinetPath = false;
}

LV2_Worker_Status workCabinet(Instance& self, const Message& message,
                              LV2_Worker_Respond_Function respond,
                              LV2_Worker_Respond_Handle handle) {
    // `cabinetRequested` stays as it is until the answer is taken.
    std::unique_ptr<Parcel> parcel = loadFile(self, self.cabinetRequested, message.request);
    Message reply = message;
    if (!self.box.put(parcel, reply.ticket))
        reply.ticket = {}; // freed here; the answer still frees the request
    if (respond(handle, sizeof(reply), &reply) == LV2_WORKER_SUCCESS)
        return LV2_WORKER_SUCCESS;
    self.box.take(reply.ticket);
    return LV2_WORKER_ERR_NO_SPACE;
}

void takeCabinet(Instance& self, const Message& message) {
    // An earlier answer delivered again leaves the request with the worker busy.
    if (message.request == self.cabinetBusySerial)
        self.cabinetBusy = false;
    std::unique_ptr<Parcel> parcel = self.box.take(message.ticket);
    auto* ready = dynamic_cast<CabinetParcel*>(parcel.get());
    if (!ready)
        return;
    if (ready->file != self.cabinetFileSerial) {
        discard(self, std::move(parcel)); // a file chosen since
        return;
    }
    if (ready->refused) {
        self.cabinetRefused = ready->file;
        discard(self, std::move(parcel));
        return;
    }
    discard(self, std::move(self.cabinetReady));
    parcel.release();
    self.cabinetReady.reset(ready);
}

void restoreCabinetFile(Instance& self, const std::string& path) {
    std::memcpy(self.cabinetFile, path.c_str(), path.size() + 1);
    self.cabinetChosen.write(path.c_str());
    ++self.cabinetFileSerial;
    if (self.cabinetFileSerial == 0)
        ++self.cabinetFileSerial;
    self.cabinetReady.reset();
    self.cabinetRefused = 0;
    self.announce = true;
    if (path.empty())
        return;
    try {
        self.cabinetReady = loadFile(self, path.c_str(), self.cabinetFileSerial);
        if (self.cabinetReady->refused) {
            self.cabinetRefused = self.cabinetFileSerial;
            self.cabinetReady.reset();
        }
    } catch (const std::exception& e) {
        lv2_log_error(&self.logger, "quorle: the saved cabinet file could not be loaded: %s\n",
                      e.what());
    }
}

bool tellCabinetFile(Instance& self) {
    LV2_Atom_Forge* forge = &self.forge;
    LV2_Atom_Forge_Frame object;
    if (!lv2_atom_forge_frame_time(forge, 0) ||
        !lv2_atom_forge_object(forge, &object, 0, self.uris.patchSet))
        return false;
    lv2_atom_forge_key(forge, self.uris.patchProperty);
    lv2_atom_forge_urid(forge, self.uris.cabinetFile);
    lv2_atom_forge_key(forge, self.uris.patchValue);
    const bool told = lv2_atom_forge_path(forge, self.cabinetFile,
                                          static_cast<uint32_t>(std::strlen(self.cabinetFile)));
    lv2_atom_forge_pop(forge, &object);
    return told;
}

} // namespace quorlelv2
