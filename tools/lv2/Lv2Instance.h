// One LV2 instance of the plug-in, shared by the plug-in's two source files: the
// audio side (quorle_lv2.cpp: ports, run(), the model worker) and the player's
// data archive (Lv2Archive.cpp: the archive parameter, its worker job, the state).
#pragma once

#include "au/quorleIds.h"
#include "platform/Components.h"

#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/core/lv2.h>
#include <lv2/log/logger.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <cstdint>
#include <string>

namespace quorlelv2 {

constexpr uint32_t kControls = 4;
constexpr uint32_t kMaxSlice = 4096;     // frames per render call at most, whatever a host says
constexpr uint32_t kDefaultSlice = 2048; // without a host's bound: 1.2 MB per mono instance
constexpr const char* kArchiveUri = "http://pellark.invalid/plugins/quorle#archive";
constexpr double kFadeMs = 20.0; // crossfade from one archive's unit to the next

// URIs the archive parameter and the state use, mapped once at instantiation.
struct Uris {
    LV2_URID atomPath = 0, atomObject = 0, atomUrid = 0, atomSequence = 0;
    LV2_URID patchSet = 0, patchGet = 0, patchProperty = 0, patchValue = 0;
    LV2_URID archive = 0; // the parameter and the state key
};

// A worker message. kBuild: build model graphs.model of unit generation
// `generation` (the answer carries the graphs, none when the model cannot be
// built). kFree: free the graphs. kArchive: open a unit for the path in
// Instance::pendingPath (the answer carries it). kClose: close `unit`. kRefused: tell
// the log a path was refused whole.
struct WorkMessage {
    enum Kind : uint32_t { kBuild, kFree, kArchive, kClose, kRefused } kind = kBuild;
    uint32_t generation = 0;
    QuorleGraphs graphs;
    AudioUnit unit = nullptr;  // kArchive answer, kClose
    uint32_t models = 0;       // kArchive answer: models the unit lists
    UInt32 factor = 1;         // kArchive: the factor to start at
    float latencyFrames = 0;   // kArchive answer: at `factor`
    bool archiveTaken = false; // kArchive answer: the player's archive plays
};

struct Instance {
    uint32_t channels = 1;
    double rate = 0;                   // Hz
    uint32_t maxSlice = kDefaultSlice; // frames per render call the unit is set up for
    std::string bundle;                // the bundle directory, ending in "/"

    AudioUnit unit = nullptr;
    bool ready = false; // the unit initialised; otherwise run() writes silence
    uint32_t modelCount = 0;
    uint32_t generation = 0; // counts units: graphs built for another are not played
    UInt32 factor = kQuorleDefaultOversampling; // the factor last handed to the unit
    float latencyFrames = 0;                    // at `factor`

    const float* controls[kControls] = {};
    float sent[kControls]; // values last handed to the unit
    const float* inputs[2] = {};
    float* outputs[2] = {};
    const float* oversampling = nullptr; // not connected: the default factor
    float* latency = nullptr;
    const LV2_Atom_Sequence* control = nullptr; // patch messages in
    LV2_Atom_Sequence* notify = nullptr;        // patch messages out
    uint32_t offset = 0;                        // frames of the current run() already rendered
    double sampleTime = 0; // advances by every rendered slice, so no render repeats a time
    alignas(8) unsigned char list[AudioBufferListSize(2)];
    alignas(8) unsigned char fadeList[AudioBufferListSize(2)]; // the fading unit's

    // Host features; each may be missing.
    const LV2_Worker_Schedule* worker = nullptr; // null: every model built at instantiation
    const LV2_URID_Map* map = nullptr;           // null: no archive parameter, no state
    LV2_Log_Logger logger = {};
    Uris uris;
    LV2_Atom_Forge forge = {}; // set up at instantiation (it maps URIs) when map is offered

    float requested = 0; // with a worker: the model last asked of it (a unit starts on 0)
    QuorleGraphs toFree; // with a worker: graphs waiting to be sent to it for freeing
    // Units replaced, waiting to be sent to the worker to be closed. One archive
    // request is with the worker at a time and one unit fades out, so four places
    // never run out.
    AudioUnit toClose[4] = {};
    // An archive change fades from the unit replaced to the new one over kFadeMs:
    // both render meanwhile, the old one into `fadeBuffer` (channels x maxSlice).
    AudioUnit fadingUnit = nullptr;
    uint32_t fadeLength = 0, fadePos = 0; // samples
    float* fadeBuffer = nullptr;          // owned; null: changes are heard at once

    // The archive the player chose ("": the shipped one), kept in the state even
    // when it was refused, so that a project reopened where the file exists plays it.
    char archive[kMaxArchivePathBytes] = {};
    char pendingPath[kMaxArchivePathBytes] = {}; // the path the worker is opening
    char waitingPath[kMaxArchivePathBytes] = {}; // asked for while the worker was busy
    bool archiveBusy = false;                    // a kArchive request is with the worker
    bool archiveWaiting = false;                 // waitingPath is to be sent when it answers
    bool refusedPath = false;    // a path too long arrived: the worker tells the log
    bool announce = false;       // the notify port tells the archive at the next run()
    bool playingPlayers = false; // the unit plays the player's archive, not the shipped one
};

// Opens, sets up and initialises a unit for `self`'s stream at `factor`, playing
// `archive` ("" : the bundle's). Setup or worker thread. Null on failure.
AudioUnit openUnit(const Instance& self, const char* archive, UInt32 factor, uint32_t& models,
                   float& latencyFrames);
void closeUnit(AudioUnit unit);

// Render thread: sends a worker request (true when the host took it).
bool schedule(Instance* self, const WorkMessage& message);
// Render thread: `unit` waits in toClose for the worker (sent after run()).
void retireUnit(Instance* self, AudioUnit unit);

// --- the player's archive (Lv2Archive.cpp) ---
void mapArchiveUris(Instance* self);
// Render thread: reads patch:Set / patch:Get of the archive from the control port.
void readControl(Instance* self);
// Render thread: writes the notify port (an empty sequence, or the archive's path).
void writeNotify(Instance* self);
// Render thread: sends a waiting archive request or a refusal to the worker.
void sendArchiveRequest(Instance* self);
// Worker thread: a kArchive or kRefused request.
LV2_Worker_Status workArchive(Instance* self, WorkMessage& message,
                              LV2_Worker_Respond_Function respond,
                              LV2_Worker_Respond_Handle handle);
// Render thread: a kArchive answer puts the new unit in place.
void takeArchive(Instance* self, const WorkMessage& answer);
// Setup thread (state save/restore: never while run() runs).
const void* stateInterface();

} // namespace quorlelv2
