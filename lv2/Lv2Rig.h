// What an LV2 instance plays: one data archive's copy and a channel engine per
// channel over it. A change of archive makes a new rig (off the audio thread) and
// fades from the old one to it.
//
// Every rig alive is listed in its instance's registry, by serial, so that the
// worker can build graphs for the rig a message names without holding a pointer
// that another thread may free: a rig is only ever destroyed off the audio thread,
// and its destructor takes it out of the registry first, under the registry's lock,
// which the worker holds while it builds.
#pragma once

#include "main/ChannelEngine.h"
#include "main/SharedCabinets.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class DataArchive;

namespace quorlelv2 {

class RigRegistry;

struct Rig {
    Rig() = default;
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;
    ~Rig();

    uint32_t serial = 0;  // given by the registry
    bool players = false; // the player's archive, not the shipped one
    uint32_t channels = 1;
    std::shared_ptr<const DataArchive> archive; // shared by the engines
    std::string file;                           // the archive's file, for messages
    std::unique_ptr<ChannelEngine> engines[2];
    RigRegistry* registry = nullptr;
    // The model names as the notify port tells them: "0 name", one a line.
    std::string names;
    // The shipped cabinets the Cabinet port chooses between, in its order, as the
    // process keeps them ready (null: one the archive lacks, played as none).
    std::vector<std::shared_ptr<const cabinet::ReadyCabinet>> ready;
    // The convolvers the cabinets play in, for each channel: shelf[slot * 2 +
    // channel], slot 0 the player's file (made for the file choice `fileChoice`, 0:
    // none), slots 1 to kPlayers convolvers with room for any shipped cabinet, each
    // handed the one chosen as it is lent (one plays, one fades in over it). While
    // one plays in an engine its place is empty and `lent` remembers it, so that it
    // goes back on the shelf when replaced; one replaced that `lent` no longer names
    // (a file chosen since) is freed instead.
    static constexpr size_t kPlayers = 2;
    std::vector<std::unique_ptr<Convolver>> shelf;
    std::vector<const Convolver*> lent;
    // Per model, the Cabinet value of the shipped cabinet it was voiced for
    // (kCabinetOff when it names none).
    std::vector<int32_t> own;
    uint32_t fileChoice = 0;
    // The Cabinet choice the engines were last given, and the file choice it was;
    // choice -1: none yet.
    int32_t cabinetChoice = -1;
    uint32_t cabinetFile = 0;
    bool heard = false; // rendered at least once

    // Setup thread, once the engines are made: fills `names`.
    void describe();
    int models() const { return engines[0] ? engines[0]->models() : 0; }
};

class RigRegistry {
  public:
    // Any thread but the audio thread: lists `rig` under a new serial.
    void add(Rig& rig);
    // Calls `build(rig)` with the rig of `serial` while it cannot be destroyed;
    // false when no such rig is alive.
    template <typename F> bool with(uint32_t serial, F&& build) {
        std::lock_guard<std::mutex> hold(mLock);
        for (Rig* rig : mRigs)
            if (rig->serial == serial) {
                build(*rig);
                return true;
            }
        return false;
    }
    size_t alive() const;

  private:
    friend struct Rig;
    mutable std::mutex mLock;
    std::vector<Rig*> mRigs;
    uint32_t mNext = 1;
};

} // namespace quorlelv2
