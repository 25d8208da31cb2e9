// The data archive file read in place, as a main effect without an in-memory copy
// (main/DataArchive.h) reads it: one process-wide handle of the open archive, and
// the functions that open and close it, apply a preset entry and make a building
// block with its preset. init() lists the models, builds model 0 and applies the
// two fixed presets, each between an openZip() and a closeZip() (main/QrVorlixGeneric.h).
//
// Threads: any thread but the render thread. The handle is shared by every effect
// in the process, and effects of several units may be initialised or switch models
// on several threads at once, so gArchiveLock (main/DataArchive.h) guards it: each
// function takes the lock for its own call, and a caller using the handle over
// several calls holds the lock from openZip() to closeZip(), so that no other
// thread moves or closes the archive in between. The lock is recursive: the calls
// inside take it again on the same thread.
#pragma once

#include "graph/AudioNode.h"
#include "main/DataArchive.h"

#include <unzip.h>

#include <mutex>

class AudioEffectX;

// The open data archive; null when closed. Read and written under gArchiveLock.
extern unzFile gZipFile;

// Makes sure an archive is open: unless one is open already, opens gFxDir +
// "a.zip" if it opens as a zip archive, else gFxDir + "quorle.data". Each file is
// read as DataArchive::readFile() reads one (one open(), a regular file within
// ArchiveLimits::fileBytes, taken apart in memory), so a FIFO or a device in its
// place is passed over at once. True when an archive is open afterwards.
bool openZip();

// Closes the open archive, if any; gZipFile is null afterwards.
void closeZip();

// Applies the FXP preset entry `name` of the open archive (letter case of ASCII
// letters ignored) to `effect`: for i from 0 below the count at offset 24 of its
// 56-byte header, parameter i is set to value i (big-endian in the entry) through
// the effect's virtual setParameter, in order; reading stops at the end of the
// entry when it holds fewer values, and after DataArchive::kMaxPresetValues. A
// count of 0 or less sets nothing; so does a value that is not a finite number
// (no value is set until all are read). False, setting nothing, when no archive is
// open, no entry has that name or the entry is shorter than its header; true once
// the header was read.
bool loadFXPz(const char* name, AudioEffectX* effect);

// The archive open for a scope: holds gArchiveLock, calls openZip() on entry and
// closeZip() on every way out (an exception included).
class ZipSession {
  public:
    ZipSession() : lock(gArchiveLock), open(openZip()) {}
    ~ZipSession() { closeZip(); }
    ZipSession(const ZipSession&) = delete;
    ZipSession& operator=(const ZipSession&) = delete;
    // What openZip() answered.
    bool opened() const { return open; }

  private:
    std::lock_guard<std::recursive_mutex> lock;
    bool open;
};

// A new building block of `type` talking to gAudioMaster, with the preset `id` +
// ".fxp" of the open archive applied (none when no archive is open or it lacks
// that entry: the block keeps its defaults). Null for kFxNone or an unknown type,
// without touching the archive. The caller owns the result.
AudioEffectX* createEffect(AudioNode::FXType type, const char* id);
