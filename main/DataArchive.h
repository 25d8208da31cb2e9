// The data archive beside the plug-in: a zip file holding the model files and the
// presets of the building blocks, read through minizip. One archive handle is
// shared by the whole process and is open only inside the operations that need it.
//
// Archive reads and graph builds share process-wide state; callers hold
// gArchiveLock around a whole open..close sequence so that several plug-in
// instances switching models on different threads take turns.
#pragma once

#include "graph/AudioNode.h"

#include <mutex>
#include <string>

class AudioEffectX;

// The plug-in directory, ending in "/".
extern std::string gFxDir;
// The open archive (a minizip unzFile), null when closed.
extern void* gZipFile;
// Serialises every open..close sequence on gZipFile and every graph build.
extern std::recursive_mutex gArchiveLock;

// Opens gFxDir + "a.zip", else gFxDir + "quorle.data", unless one is open already.
// True when an archive is open afterwards.
bool openZip();
// Closes the archive if it is open.
void closeZip();
// What became of a preset entry.
enum class PresetStatus {
    kApplied, // its values were set
    kMissing, // no such entry, or shorter than its 56-byte header: nothing set
    kRefused, // it holds a value that is not a finite number: nothing set
};
// Applies the FXP preset entry `name` (letter case ignored) to `effect`, value i
// to parameter i, once every value has been read and found finite. Stops at the
// end of the entry when it holds fewer values than it says.
PresetStatus applyPreset(const char* name, AudioEffectX* effect);
// applyPreset, true when the preset was applied.
bool loadFXPz(const char* name, AudioEffectX* effect);
// A new building block of `type` with the preset `id` + ".fxp" applied; null for
// kFxNone or an unknown type. The caller owns the result. `preset`, when given,
// receives what became of the preset.
AudioEffectX* createEffect(AudioNode::FXType type, const char* id, PresetStatus* preset = nullptr);
// Reverses the four bytes at p in place; returns p.
void* swapBytes(void* p);

// Reads the whole entry `name` (letter case ignored) into `out`. False when it is
// missing, larger than `maxBytes`, or cannot be read in full.
bool readZipEntry(const char* name, std::string& out, size_t maxBytes);
