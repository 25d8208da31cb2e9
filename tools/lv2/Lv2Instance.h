// One LV2 instance of the plug-in, shared by its source files: the audio side
// (quorle_lv2.cpp: ports, run()), the worker (Lv2Worker.cpp), the player's data
// archive and the state (Lv2Archive.cpp), and the rigs they play (Lv2Rig.h).
//
// Threads, as LV2 has them: instantiate, activate, restore and cleanup on a setup
// thread, never while run() runs; run() and work_response() on the audio thread;
// work() on the worker's thread, alongside run(); save() on any thread, alongside
// run(). What crosses threads: worker messages (plain values and parcel tickets,
// Lv2Parcels.h), the parcel box, the rig registry (Lv2Rig.h, never touched by
// the audio thread) and the chosen path (PathBox.h).
#pragma once

#include "au/quorleIds.h"
#include "tools/lv2/Lv2Parcels.h"
#include "tools/lv2/Lv2Rig.h"
#include "tools/lv2/PathBox.h"

#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/core/lv2.h>
#include <lv2/log/logger.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <cstdint>
#include <memory>
#include <string>

class DataArchive;

namespace quorlelv2 {

constexpr uint32_t kControls = 4;
constexpr uint32_t kMaxSlice = 4096;     // frames per engine call at most, whatever a host says
constexpr uint32_t kDefaultSlice = 2048; // without a host's bound
constexpr const char* kArchiveUri = "http://pellark.invalid/plugins/quorle#archive";
constexpr const char* kModelsUri = "http://pellark.invalid/plugins/quorle#models";
// The Model port's largest value: archives of up to 64 models are reachable.
constexpr int kModelPortMax = 63;
// Empty parcels kept to carry retired graphs to the worker; more retired graphs
// than they hold wait in the engines for the next run().
constexpr uint32_t kSpareParcels = 8;

// URIs the parameters and the state use, mapped once at instantiation.
struct Uris {
    LV2_URID atomPath = 0, atomString = 0, atomObject = 0, atomUrid = 0, atomSequence = 0;
    LV2_URID patchSet = 0, patchGet = 0, patchProperty = 0, patchValue = 0;
    LV2_URID archive = 0; // the parameter and the state key
    LV2_URID models = 0;  // the playing archive's model names (read only)
};

// A worker message: plain values and at most one ticket, nothing a pointer.
//   kBuild   (audio -> worker): build `model` of rig `rig` at `factor`.
//            Answer: a GraphsParcel (none when the model cannot be built).
//   kArchive (audio -> worker): open the path waiting in Instance::requested as
//            archive request `request`. Answer: a RigParcel.
//   kFree    (audio -> worker): free the parcel `ticket` names.
//   kRefused (audio -> worker): tell the log a path too long was refused.
struct Message {
    enum Kind : uint32_t { kBuild, kArchive, kFree, kRefused } kind = kBuild;
    uint32_t rig = 0;          // kBuild: the rig's serial
    int32_t model = 0;         // kBuild
    int32_t factor = 1;        // kBuild, kArchive
    uint32_t request = 0;      // kArchive: which archive request
    bool shippedPlays = false; // kArchive: a refused file leaves the rig playing
    Ticket ticket;             // kFree, and every answer
};

// Graphs built for one model of one rig, one per channel.
struct GraphsParcel : Parcel {
    uint32_t rig = 0;
    int32_t model = -1;
    std::unique_ptr<PreparedGraph> graphs[2];
};

// A rig made for an archive request (or a restored state), or one retired.
struct RigParcel : Parcel {
    uint32_t request = 0;
    std::unique_ptr<Rig> rig;
};

struct Instance {
    uint32_t channels = 1;
    double rate = 0;                   // Hz
    uint32_t maxSlice = kDefaultSlice; // frames per engine call
    std::string bundle;                // the bundle directory, ending in "/"

    // Setup-side: every rig alive, found by serial (never touched by run()).
    RigRegistry registry;
    // The bundle's archive, read by the first rig at instantiation and never changed
    // after (the worker and restore() only copy the pointer).
    std::shared_ptr<const DataArchive> shipped;
    ParcelBox box;

    // --- audio side (run(), work_response(); restore() while run() does not run) ---
    std::unique_ptr<Rig> rig;    // playing; null: silence
    std::unique_ptr<Rig> fading; // an archive change fading out
    int32_t fadeLength = 0, fadePos = 0;
    float* fadeBuffer = nullptr; // channels x maxSlice, owned
    int32_t factor = kQuorleDefaultOversampling;
    int32_t asked = -1; // model asked of the worker for the rig playing (-1: none)
    bool heard = false; // run() rendered since instantiation or activation
    // Empty parcels ready to carry retired graphs or rigs to the worker.
    std::unique_ptr<GraphsParcel> graphSpares[kSpareParcels];
    std::unique_ptr<RigParcel> rigSpares[4];
    // A rig a restore() made, taken by the next run().
    std::unique_ptr<Rig> restored;
    // Retired without a worker: freed by the next restore() or cleanup().
    std::unique_ptr<Rig> orphans[2];

    const float* controls[kControls] = {};
    const float* inputs[2] = {};
    float* outputs[2] = {};
    const float* oversampling = nullptr; // not connected: the default factor
    float* latency = nullptr;
    const LV2_Atom_Sequence* control = nullptr; // patch messages in
    LV2_Atom_Sequence* notify = nullptr;        // patch messages out

    // Host features; each may be missing.
    const LV2_Worker_Schedule* worker = nullptr; // null: every model built at instantiation
    const LV2_URID_Map* map = nullptr;           // null: no archive parameter, no state
    LV2_Log_Logger logger = {};
    Uris uris;
    LV2_Atom_Forge forge = {};

    // The player's archive ("": the shipped one). `archive` is the audio side's
    // copy; `chosen` the same path for save(), which may run alongside run().
    char archive[kMaxArchivePathBytes] = {};
    PathBox<kMaxArchivePathBytes> chosen;
    // The path the worker opens for request `request` (written before the request
    // is scheduled, read by the worker; the next request waits for the answer).
    char requested[kMaxArchivePathBytes] = {};
    char waiting[kMaxArchivePathBytes] = {}; // asked for while the worker was busy
    uint32_t request = 0;     // the archive request that counts (stale answers are freed)
    bool archiveBusy = false; // a kArchive request is with the worker
    uint32_t busyRequest = 0; // which one: only its answer frees the worker for the next
    bool archiveWaiting = false;
    bool refusedPath = false; // a path too long arrived: the worker tells the log
    bool announce = false;    // the notify port tells the archive at the next run()
};

// Setup thread: a new rig for `path` ("": the shipped archive) at `factor`, its
// models all built when `all` (else only model 0). Null with the reason in the
// host's log. A player's file that cannot be used gives the shipped archive's rig
// unless `fallback` is false.
std::unique_ptr<Rig> makeRig(Instance& self, const char* path, int factor, bool all,
                             bool fallback = true);

// Render thread: sends a worker message (true when the host took it).
bool schedule(Instance& self, const Message& message);
// Render thread: hands `rig` to the worker to be freed (or keeps it as an orphan
// without a worker).
void retireRig(Instance& self, std::unique_ptr<Rig> rig);
// Render thread: puts `parcel` in the box and asks the worker to free it; false,
// `parcel` untouched, without a worker or room.
bool sendToFree(Instance& self, std::unique_ptr<Parcel>& parcel);
// Render thread: `next` plays, fading from the rig playing; the one fading before
// is retired.
void swapRig(Instance& self, std::unique_ptr<Rig> next);

// --- the worker (Lv2Worker.cpp) ---
LV2_Worker_Status work(LV2_Handle handle, LV2_Worker_Respond_Function respond,
                       LV2_Worker_Respond_Handle respondHandle, uint32_t size, const void* data);
LV2_Worker_Status workResponse(LV2_Handle handle, uint32_t size, const void* data);
// Render thread: the graphs the engines no longer need go to the worker.
void sendRetiredGraphs(Instance& self);
// Render thread: asks the worker for `model` of the rig playing when an engine
// lacks it. True when every engine holds it.
bool haveModel(Instance& self, int32_t model);

// --- the player's archive and the state (Lv2Archive.cpp) ---
void mapUris(Instance& self);
// Render thread: reads patch:Set / patch:Get from the control port.
void readControl(Instance& self);
// Render thread: writes the notify port.
void writeNotify(Instance& self);
// Render thread: sends a waiting archive request or a refusal to the worker.
void sendArchiveRequest(Instance& self);
// Worker thread: a kArchive or kRefused message.
LV2_Worker_Status workArchive(Instance& self, const Message& message,
                              LV2_Worker_Respond_Function respond,
                              LV2_Worker_Respond_Handle handle);
// Render thread: a RigParcel answer or a restored rig: puts it in place (fading from
// the rig playing) when it is the one that counts; else it goes back to be freed.
void takeRig(Instance& self, std::unique_ptr<RigParcel> parcel);
const void* stateInterface();

} // namespace quorlelv2
