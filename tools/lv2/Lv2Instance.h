// One LV2 instance of the plug-in, shared by its source files: the audio side
// (quorle_lv2.cpp: ports, run()), the worker (Lv2Worker.cpp), the player's data
// archive and the state (Lv2Archive.cpp), the cabinet (Lv2Cabinet.cpp), and the
// rigs they play (Lv2Rig.h).
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
constexpr const char* kCabinetFileUri = "http://pellark.invalid/plugins/quorle#cabinetFile";
// The Cabinet port's values: no cabinet, the player's file, then the shipped
// cabinets in the order the shipped archive lists them. Any other value: none.
constexpr int32_t kCabinetOff = 0;
constexpr int32_t kCabinetFile = 1;
constexpr int32_t kCabinetFirstShipped = 2;
// The Model port's largest value: archives of up to 64 models are reachable.
constexpr int kModelPortMax = 63;
// Empty parcels kept to carry retired graphs to the worker; more retired graphs
// than they hold wait in the engines for the next run().
constexpr uint32_t kSpareParcels = 8;

// URIs the parameters and the state use, mapped once at instantiation.
struct Uris {
    LV2_URID atomPath = 0, atomString = 0, atomObject = 0, atomUrid = 0, atomSequence = 0;
    LV2_URID patchSet = 0, patchGet = 0, patchProperty = 0, patchValue = 0;
    LV2_URID archive = 0;     // the parameter and the state key
    LV2_URID models = 0;      // the playing archive's model names (read only)
    LV2_URID cabinetFile = 0; // the player's cabinet file: parameter and state key
};

// A worker message: plain values and at most one ticket, nothing a pointer.
//   kBuild   (audio -> worker): build `model` of rig `rig` at `factor`.
//            Answer: a GraphsParcel (none when the model cannot be built).
//   kArchive (audio -> worker): open the path waiting in Instance::requested as
//            archive request `request`. Answer: a RigParcel.
//   kFree    (audio -> worker): free the parcel `ticket` names.
//   kRefused (audio -> worker): tell the log a path too long was refused (the
//            cabinet file's when `cabinet`, else the archive's).
//   kCabinet (audio -> worker): load the cabinet file waiting in
//            Instance::cabinetRequested as its choice number `request`. Answer: a
//            CabinetParcel.
struct Message {
    enum Kind : uint32_t { kBuild, kArchive, kFree, kRefused, kCabinet } kind = kBuild;
    uint32_t rig = 0;          // kBuild: the rig's serial
    int32_t model = 0;         // kBuild
    int32_t factor = 1;        // kBuild, kArchive
    uint32_t request = 0;      // kArchive: which archive request
    bool shippedPlays = false; // kArchive: a refused file leaves the rig playing
    bool cabinet = false;      // kRefused
    Ticket ticket;             // kFree, and every answer
};

// Graphs built for one model of one rig, one per channel; or, on their way to be
// freed, graphs and cabinets the engines no longer play.
struct GraphsParcel : Parcel {
    uint32_t rig = 0;
    int32_t model = -1;
    std::unique_ptr<PreparedGraph> graphs[2];
    std::unique_ptr<Convolver> cabinets[2];
};

// The player's cabinet file made ready for each channel, for the choice numbered
// `file`; none when the file could not be used (`refused`, told in the log).
struct CabinetParcel : Parcel {
    uint32_t file = 0;
    bool refused = false;
    std::unique_ptr<Convolver> cabinets[2];
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
    const float* cabinetPort = nullptr;         // not connected: no cabinet

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

    // The player's cabinet file ("": none chosen), as the archive's path is kept:
    // the audio side's copy, the one save() reads, and the one the worker loads
    // (written only while no cabinet request is with the worker).
    char cabinetFile[kMaxArchivePathBytes] = {};
    PathBox<kMaxArchivePathBytes> cabinetChosen;
    char cabinetRequested[kMaxArchivePathBytes] = {};
    uint32_t cabinetFileSerial = 0; // counts the files chosen: which choice counts
    bool cabinetBusy = false;       // a kCabinet request is with the worker
    uint32_t cabinetBusySerial = 0;
    uint32_t cabinetRefused = 0; // the choice whose file could not be used (0: none)
    bool refusedCabinetPath = false;
    // The chosen file made ready, waiting for an engine to take it (see Lv2Cabinet.cpp).
    std::unique_ptr<CabinetParcel> cabinetReady;
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
// Render thread: the graphs and cabinets the engines no longer need go to the worker.
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

// --- the cabinet (Lv2Cabinet.cpp) ---
// Setup or worker thread: the shipped cabinets on `rig`'s shelf, made for each channel.
void stockShelf(Instance& self, Rig& rig);
// Render thread: puts the cabinet the Cabinet port and the file ask for in `rig`'s
// engines when it differs from what they were given (with a crossfade once the rig
// has been heard), or asks the worker for the file.
void updateCabinet(Instance& self, Rig& rig);
// Render thread: the oldest cabinet an engine of the rig playing no longer plays,
// to be freed; cabinets of the shelf go back on it first. Null when none.
std::unique_ptr<Convolver> retiredCabinet(Instance& self, uint32_t channel);
// Render thread: a patch:Set of the cabinet file (true when `object` is one).
bool readCabinetFile(Instance& self, const LV2_Atom_Object* object);
// Render thread: sends a cabinet refusal to the worker to be logged.
void sendCabinetRefusal(Instance& self);
// Worker thread: a kCabinet message.
LV2_Worker_Status workCabinet(Instance& self, const Message& message,
                              LV2_Worker_Respond_Function respond,
                              LV2_Worker_Respond_Handle handle);
// Render thread: a kCabinet answer.
void takeCabinet(Instance& self, const Message& message);
// Setup thread (restore(), while run() does not run): `path` ("": none) becomes the
// cabinet file, loaded now; a file that cannot be used is told in the log.
void restoreCabinetFile(Instance& self, const std::string& path);
// Render thread: the cabinet file told on the notify port (false when no room).
bool tellCabinetFile(Instance& self);

} // namespace quorlelv2
