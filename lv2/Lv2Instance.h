// One LV2 instance of the plug-in, shared by its source files: the audio side
// (quorle_lv2.cpp: ports, run()), the worker (Lv2Worker.cpp), the player's data
// archive and the state (Lv2Archive.cpp), the cabinet (Lv2Cabinet.cpp), the notify
// port (Lv2Notify.cpp), and the rigs they play (Lv2Rig.h).
//
// Threads, as LV2 has them: instantiate, activate, deactivate, restore and cleanup
// on a setup thread, never while run() runs; run() and work_response() on the audio
// thread; work() on the worker's thread, alongside run(); save() on any thread,
// alongside run(). What crosses threads: worker messages (plain values and tickets),
// the box the tickets name (Lv2Parcels.h), the rig registry (Lv2Rig.h, never
// touched by the audio thread), the stored cabinet files (under `fileLock`, never
// touched by the audio thread), the lost-answer notices and the chosen paths
// (PathBox.h). Each object has one owner at a time: docs/plugin.md has the table.
#pragma once

#include "au/quorleIds.h"
#include "blocks/LevelMeter.h"
#include "lv2/InlineDisplay.h"
#include "lv2/Lv2Parcels.h"
#include "lv2/Lv2Rig.h"
#include "lv2/PathBox.h"
#include "lv2/UiProtocol.h"
#include "main/ImpulseResponse.h"

#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/core/lv2.h>
#include <lv2/log/logger.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class DataArchive;

namespace quorlelv2 {

constexpr uint32_t kControls = 4;
constexpr uint32_t kMaxSlice = 4096;     // frames per engine call at most, whatever a host says
constexpr uint32_t kDefaultSlice = 2048; // without a host's bound
// The Cabinet port's values: the model's own (the default), no cabinet, the player's
// file, then the shipped cabinets in the fixed order of kCabinetPortNames
// (lv2/CabinetPorts.cmake: a value names the same cabinet for good). Any
// other value: none.
constexpr int32_t kCabinetOff = 0;
constexpr int32_t kCabinetFile = 1;
constexpr int32_t kCabinetFirstShipped = 2;
// The default: the shipped cabinet the model playing was voiced for (none when it
// names none). Below the other values, so that cabinets added later keep theirs.
constexpr int32_t kCabinetModelsOwn = -1;
// The Model port's largest value: archives of up to 64 models are reachable.
constexpr int kModelPortMax = 63;
// Objects retired while the box has no room wait in the instance, this many rigs.
constexpr uint32_t kLeavingRigs = 4;
// Box slots kept free for the worker's answers: the audio thread retires objects
// only while more than this many are free (at most one request of each kind is with
// the worker at a time).
constexpr uint32_t kAnswerRoom = 8;

// URIs the parameters and the state use, mapped once at instantiation.
struct Uris {
    LV2_URID atomPath = 0, atomString = 0, atomObject = 0, atomUrid = 0, atomSequence = 0;
    LV2_URID patchSet = 0, patchGet = 0, patchProperty = 0, patchValue = 0;
    LV2_URID archive = 0;     // the parameter and the state key
    LV2_URID models = 0;      // the playing archive's model names (read only)
    LV2_URID cabinetFile = 0; // the player's cabinet file: parameter and state key
    LV2_URID status = 0;      // the last file refused, one sentence (read only)
    LV2_URID report = 0;      // the object type read-only values are told in
};

constexpr size_t kStatusBytes = 512;

// Why a path arriving on the control port was not taken (told by the worker).
// kNoFile: the Cabinet port asks for the player's file and none is chosen.
enum class PathFault : uint32_t { kNone, kTooLong, kUnterminated, kNoFile };

// A worker message: plain values and at most one ticket, nothing a pointer. Every
// request is numbered (Instance::nextRequest); its answer is the same message with
// the ticket of what it brings, so that an answer names the request it ends.
//   kBuild   (audio -> worker): build `model` of rig `rig` at `factor`.
//            Answer: a BuiltGraphs (none when the model cannot be built).
//   kArchive (audio -> worker): open the path waiting in Instance::requested; the
//            new rig takes the cabinet file `file` the worker holds. Answer: a Rig
//            (none when nothing is to change).
//   kCabinet (audio -> worker): load the cabinet file Instance::fileRequested as file
//            choice `file` (or make it from the worker's copy when it holds that
//            choice already). Answer: a LoadedCabinet, none and `refused` when the
//            file cannot be used.
//   kFree    (audio -> worker): free what `ticket` names.
//   kRefused (audio -> worker): tell the log why a path was not taken (`fault`, the
//            cabinet file's when `cabinet`, else the archive's).
struct Message {
    enum Kind : uint32_t { kBuild, kArchive, kFree, kRefused, kCabinet } kind = kBuild;
    uint32_t request = 0;
    uint32_t rig = 0;   // kBuild: the rig's serial
    int32_t model = 0;  // kBuild
    int32_t factor = 1; // kBuild
    uint32_t file = 0;  // kCabinet, kArchive: a cabinet file choice
    uint32_t kept = 0;  // kCabinet, kArchive: stored files before this choice are dropped
    PathFault fault = PathFault::kNone;
    bool shippedPlays = false; // kArchive: a refused file leaves the rig playing
    bool cabinet = false;      // kRefused
    bool refused = false;      // kCabinet answer
    Ticket ticket;             // kFree, and every answer
};

// Graphs built for one model of one rig, one per channel.
struct BuiltGraphs {
    uint32_t rig = 0;
    int32_t model = -1;
    std::unique_ptr<PreparedGraph> graphs[2];
};

// The player's cabinet file made ready for each channel, for the file choice `file`.
struct LoadedCabinet {
    uint32_t file = 0;
    std::unique_ptr<Convolver> cabinets[2];
};

// A request of one kind with the worker. At most one at a time: `busy` is cleared
// by its answer, or when the worker could not deliver that answer (Instance::lost).
struct Request {
    bool busy = false;
    uint32_t number = 0;
};

// The kinds of request whose answers the worker may fail to deliver.
enum RequestKind : uint32_t { kBuildRequest, kArchiveRequest, kCabinetRequest, kRequestKinds };

// A cabinet file choice: which (counted from 1; 0: none) and its path.
struct FileChoice {
    uint32_t serial = 0;
    char path[kMaxArchivePathBytes] = {};
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
    // Everything in flight between the threads, and what waits to be freed.
    ParcelBox box;
    // Worker side (and setup calls): the cabinet files loaded whole, prepared at the
    // stream's rate, by choice; new rigs and file requests are made from them, so that
    // a file is read once per choice. Those before the last that loaded are dropped.
    std::mutex fileLock;
    std::map<uint32_t, std::shared_ptr<const ImpulseResponse>> stored;
    // A request whose answer the worker could not deliver (its number), per kind:
    // written by the worker, read by run().
    std::atomic<uint32_t> lost[kRequestKinds] = {};

    // --- audio side (run(), work_response(); setup calls while run() does not run) ---
    std::unique_ptr<Rig> rig;    // playing; null: silence
    std::unique_ptr<Rig> fading; // an archive change fading out
    int32_t fadeLength = 0, fadePos = 0;
    float* fadeBuffer = nullptr;                // channels x maxSlice, owned
    std::unique_ptr<Rig> leaving[kLeavingRigs]; // retired, waiting for room in the box
    // Tickets of retired objects not yet sent to be freed (the host's queue was full,
    // or there is no worker: then freed by the next setup call).
    Ticket outbox[ParcelBox::kSlots];
    uint32_t outboxCount = 0;
    int32_t factor = kQuorleDefaultOversampling; // handed to the engines (see run())
    bool heard = false;                          // run() rendered since instantiation or activation
    // The Oversampling port at the last run(), the factor it named, and the frames
    // that factor has been named for.
    float oversamplingValue = 0.0f;
    int32_t namedFactor = kQuorleDefaultOversampling;
    uint64_t namedFrames = 0;
    uint32_t nextRequest = 0;
    Request requests[kRequestKinds];
    // The model build with the worker, and one the builder refused (not asked again
    // while the port names it), each for a rig serial.
    int32_t buildModel = -1;
    uint32_t buildRig = 0;
    uint32_t refusedRig = 0;
    int32_t refusedModel = -1;
    // A rig a restore() made, taken by the next run().
    std::unique_ptr<Rig> restored;

    const float* controls[kControls] = {};
    const float* inputs[2] = {};
    float* outputs[2] = {};
    const float* oversampling = nullptr; // not connected: the default factor
    float* latency = nullptr;
    const LV2_Atom_Sequence* control = nullptr; // patch messages in
    LV2_Atom_Sequence* notify = nullptr;        // patch messages out
    const float* cabinetPort = nullptr;         // not connected: no cabinet
    // The meters' outputs (UiProtocol.h), each may be unconnected: input and
    // output, peak and RMS, dBFS.
    float* meterPorts[4] = {};
    LevelMeter inMeter, outMeter;
    InlineDisplay display; // Ardour's mixer-strip picture, when the host offers one

    // Host features; each may be missing.
    const LV2_Worker_Schedule* worker = nullptr; // null: work done by the setup calls
    const LV2_URID_Map* map = nullptr;           // null: no archive parameter, no state
    LV2_Log_Logger logger = {};
    Uris uris;
    LV2_Atom_Forge forge = {};

    // The player's archive ("": the shipped one). `archive` is the audio side's
    // copy; `chosen` the same path for save(), which may run alongside run().
    char archive[kMaxArchivePathBytes] = {};
    PathBox<kMaxArchivePathBytes> chosen;
    // The path the worker opens for the archive request with it (written only while
    // none is); the path chosen meanwhile waits, the last one winning.
    char requested[kMaxArchivePathBytes] = {};
    char waiting[kMaxArchivePathBytes] = {};
    bool archiveWaiting = false;
    uint32_t archiveChoice = 0;   // counts the archives chosen: which one counts
    uint32_t requestedChoice = 0; // the choice the request with the worker opens

    // The player's cabinet file: the latest chosen (what save() keeps and the notify
    // port tells; `cabinetChosen` the same for save()), and the latest that loaded
    // (a choice refused falls back to it). Without a worker a file chosen on the
    // control port waits in `fileWaiting` for the next setup call.
    FileChoice fileChosen, fileGood, fileWaiting;
    PathBox<kMaxArchivePathBytes> cabinetChosen;
    char fileRequested[kMaxArchivePathBytes] = {}; // with the worker (as `requested`)
    uint32_t fileAsked = 0;                        // the choice the request with the worker loads
    bool fileResend = false;  // its answer was lost: asked again before any other
    uint32_t fileRefused = 0; // a restored choice that could not be used
    uint32_t fileSerials = 0; // counts the file choices
    uint32_t fileFloor = 0;   // the choice restore() made: answers to earlier ones are stale

    // Paths refused on the control port, told in the log by the worker (without a
    // worker, by the next setup call).
    PathFault archiveFault = PathFault::kNone, cabinetFault = PathFault::kNone;
    bool noFileTold = false; // kNoFile told since the port last asked for the file
    // The last error the log was told, for the interface: written by the worker and
    // the setup calls (in turn, under `statusLock`), counted in `statusCount`, which
    // run() compares with the count it told last.
    PathBox<kStatusBytes> status;
    std::mutex statusLock;
    std::atomic<uint32_t> statusCount{0};
    uint32_t statusTold = 0;
    char statusText[kStatusBytes] = {}; // the audio side's copy, as told

    // What the notify port tells at the next run().
    bool tellArchive = false, tellCabinet = false, tellModels = false, tellStatus = false;
};

// Setup or worker thread: a new rig for `path` ("": the shipped archive) at the
// default factor, its models all built when `all` (else only model 0), its file cabinet
// made from the stored file when that is choice `file`. Null with the reason in the
// host's log. A player's file that cannot be used gives the shipped archive's rig
// unless `fallback` is false.
std::unique_ptr<Rig> makeRig(Instance& self, const char* path, bool all, uint32_t file,
                             bool fallback = true, uint32_t kept = 0);

// Render thread: sends a worker message (true when the host took it).
bool schedule(Instance& self, const Message& message);
// Render thread: a new request of `kind` (its number set in `message`) sent to the
// worker; false, nothing changed, when the host did not take it or one of that kind
// is with the worker already (unless `overtake`: then the new one is the one waited
// for, and the answer to the old one ends nothing).
bool ask(Instance& self, RequestKind kind, Message& message, bool overtake = false);
// Render thread: whether the answer `message` ends the request of `kind` with the
// worker (then it is no longer busy).
bool ends(Instance& self, RequestKind kind, const Message& message);
// Render thread: `object` goes to the worker to be freed (kept in the box until the
// host takes the message). False, `object` untouched, when the box has no room.
template <typename T> bool retire(Instance& self, std::unique_ptr<T>& object) {
    if (!object)
        return true;
    Ticket ticket;
    if (self.box.held() + kAnswerRoom >= ParcelBox::kSlots || !self.box.put(object, ticket))
        return false;
    self.outbox[self.outboxCount++] = ticket;
    return true;
}
// Render thread: `rig` is retired (waiting in the instance while the box has no room).
void retireRig(Instance& self, std::unique_ptr<Rig> rig);
// Render thread: `next` plays, fading from the rig playing; the one fading before
// is retired.
void swapRig(Instance& self, std::unique_ptr<Rig> next);
// Setup thread, while run() does not run: what waits to be freed is freed now, and
// work a host without a worker left waiting is done.
void setupCall(Instance& self);

// --- the worker (Lv2Worker.cpp) ---
LV2_Worker_Status work(LV2_Handle handle, LV2_Worker_Respond_Function respond,
                       LV2_Worker_Respond_Handle respondHandle, uint32_t size, const void* data);
LV2_Worker_Status workResponse(LV2_Handle handle, uint32_t size, const void* data);
// Worker thread: `message` with the ticket of `object` (none for null) as the answer;
// when the host cannot take it, `object` is freed here and the request is marked lost.
template <typename T>
LV2_Worker_Status answer(Instance& self, RequestKind kind, Message message,
                         std::unique_ptr<T> object, LV2_Worker_Respond_Function respond,
                         LV2_Worker_Respond_Handle handle) {
    message.ticket = {};
    if (object)
        self.box.put(object, message.ticket); // no room: freed here, the answer still goes
    if (respond(handle, sizeof(message), &message) == LV2_WORKER_SUCCESS)
        return LV2_WORKER_SUCCESS;
    self.box.release(message.ticket);
    self.lost[kind].store(message.request, std::memory_order_release);
    return LV2_WORKER_ERR_NO_SPACE;
}
// Render thread: the retired graphs, cabinets and rigs go to the worker; the
// shipped cabinets and files the engines no longer play go back on the shelf.
void collectRetired(Instance& self);
// Render thread: asks the worker for `model` of the rig playing when an engine
// lacks it. True when every engine holds it.
bool haveModel(Instance& self, int32_t model);

// --- the player's archive and the state (Lv2Archive.cpp) ---
void mapUris(Instance& self);
// Render thread: reads patch:Set / patch:Get from the control port.
void readControl(Instance& self);
// Render thread: sends a waiting archive request or a refusal to the worker.
void sendArchiveRequest(Instance& self);
// Worker thread: a kArchive or kRefused message.
LV2_Worker_Status workArchive(Instance& self, const Message& message,
                              LV2_Worker_Respond_Function respond,
                              LV2_Worker_Respond_Handle handle);
// Render thread: a kArchive answer.
void takeArchive(Instance& self, const Message& message);
const void* stateInterface();

// --- the notify port (Lv2Notify.cpp) ---
// Setup or worker thread (never the audio thread): tells the host's log an error, as
// printf does, and keeps it as the status the notify port tells.
void logError(Instance& self, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Render thread: writes the notify port: each message whole or not at all.
void writeNotify(Instance& self);

// --- the cabinet (Lv2Cabinet.cpp) ---
// Setup or worker thread: the shipped cabinets on `rig`'s shelf, made for each
// channel, and the stored file's when it is choice `file` (stored files before choice
// `kept` are dropped).
void stockShelf(Instance& self, Rig& rig, uint32_t file, uint32_t kept);
// Render thread: puts the cabinet the Cabinet port and the file ask for in `rig`'s
// engines when it differs from what they were given (with a crossfade once the rig
// has been heard), and asks the worker for a file chosen that the rig lacks. The
// model's own cabinet is that of `model`, the model the port asks for.
void updateCabinet(Instance& self, Rig& rig, int32_t model);
// Render thread: a cabinet `rig`'s engine `channel` no longer plays goes back on the
// shelf; false when `back` is not the rig's to keep (then it is to be freed).
bool shelve(Rig& rig, uint32_t channel, std::unique_ptr<Convolver>& back);
// Render thread: a patch:Set of the cabinet file (true when `object` is one).
bool readCabinetFile(Instance& self, const LV2_Atom_Object* object);
// Worker thread: a kCabinet message.
LV2_Worker_Status workCabinet(Instance& self, const Message& message,
                              LV2_Worker_Respond_Function respond,
                              LV2_Worker_Respond_Handle handle);
// Render thread: a kCabinet answer.
void takeCabinet(Instance& self, const Message& message);
// Setup thread, while run() does not run: `path` ("": none) becomes the cabinet file,
// loaded now; a file that cannot be used is told in the log and plays no cabinet.
void chooseCabinetNow(Instance& self, const std::string& path);
// The sentence telling why a path was not taken (the cabinet file's, else the archive's).
std::string pathFaultText(PathFault fault, bool cabinet);

} // namespace quorlelv2
