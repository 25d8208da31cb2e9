// The data archive beside the plug-in: a zip file holding the model files, the
// presets of the building blocks and the cabinets' impulse responses, read into
// memory once, in one pass (setup thread). Model switches, preset loading and
// cabinet loading then read that copy and never touch a file. The copy is
// immutable and shared (a unit's channels, a player's archive checked and then
// played), so several instances, on any threads, use it without a file handle or
// a lock. The archive functions that read the file itself, as
// the effect does when it has no copy, are in main/ZipArchive.h.
#pragma once

#include "effect/AEffect.h"
#include "graph/EffectFactory.h"

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class AudioEffectX;

// The plug-in directory, ending in "/".
extern std::string gFxDir;
// Guards gFxDir, which the first plug-in instance that finds its bundle sets while
// others may be reading it, and the open archive file of main/ZipArchive.h.
extern std::recursive_mutex gArchiveLock;

// What one read of an archive may hold.
struct ArchiveLimits {
    // Largest archive file read (bytes); the shipped archive is about 24 KB.
    size_t fileBytes = size_t(64) << 20;
    // Largest model entry held (bytes); models are a few kilobytes of XML.
    size_t modelBytes = size_t(1) << 20;
    // Everything held together: entries, their names and their bookkeeping (bytes).
    // Checked against each entry's size claim before anything of that size is
    // allocated; the shipped archive holds about 30 KB.
    size_t totalBytes = size_t(64) << 20;
};

class DataArchive {
  public:
    // Longest entry name a lookup can find (bytes), as minizip compares names.
    static constexpr size_t kMaxNameBytes = 255;
    // Longest model-list name (bytes); longer model names are not listed.
    static constexpr size_t kMaxListedNameBytes = 99;
    // Bytes of a preset that are kept: its header and at most 1024 values.
    static constexpr size_t kPresetHeaderBytes = 56;
    static constexpr size_t kMaxPresetValues = 1024;

    // Reads `dir` + "a.zip", else `dir` + "quorle.data" (`dir` ends in "/"). Never
    // null: without either file the copy is empty and found() is false.
    static std::shared_ptr<const DataArchive> readDirectory(const std::string& dir,
                                                            ArchiveLimits limits = {});
    // Reads the archive file at `path`: opened once, without blocking, checked on
    // that descriptor to be a regular file of 1 to limits.fileBytes bytes, read
    // whole from it and taken apart in memory. Never null: when the file cannot be
    // read or is not a zip archive the copy is empty, found() is false and
    // `error`, when given, receives one sentence naming the path ("PATH is not a
    // regular file", "PATH is larger than 64 MB", "PATH: No such file or
    // directory", "PATH is not a data archive (not a zip file)").
    static std::shared_ptr<const DataArchive>
    readFile(const std::string& path, ArchiveLimits limits = {}, std::string* error = nullptr);

    // A copy of `archive` that also holds every preset of `base` it lacks: a
    // player's archive whose models use the shipped presets (and the fixed stage's
    // "bass" and "lo_mid") need not carry them. Models stay `archive`'s alone.
    static std::shared_ptr<const DataArchive> withPresetsOf(const DataArchive& archive,
                                                            const DataArchive& base);

    // Whether an archive file was opened.
    bool found() const { return opened; }
    // The names of the model entries (names containing ".xml", at most
    // kMaxListedNameBytes long), sorted byte-wise.
    const std::vector<std::string>& modelNames() const { return listed; }
    // The whole model entry `name` (letter case ignored); null when the archive has
    // no such entry, or the first entry of that name was larger than the limit,
    // over the budget, damaged (short data, a bad checksum) or unreadable.
    const std::string* model(const std::string& name) const;
    // Applies the FXP preset entry `name` (letter case ignored) to `effect`, value i
    // to parameter i, once every value has been read and found finite. Stops at the
    // end of the entry when it holds fewer values than it says.
    PresetStatus applyPreset(const char* name, AudioEffectX* effect) const;
    // The names of the cabinet entries ("cabinets/NAME.wav" in any letter case,
    // NAME without a "/"), as NAME, the first entry of each name only, sorted
    // byte-wise.
    const std::vector<std::string>& cabinetNames() const { return cabinetList; }
    // The whole cabinet entry "cabinets/" + `name` + ".wav" (letter case ignored),
    // a WAV file; null when the archive has no such entry, or it was larger than
    // the model limit, over the budget, damaged or unreadable.
    const std::string* cabinet(const std::string& name) const;
    // Bytes the copy holds: entries, names and bookkeeping.
    size_t heldBytes() const { return held; }

  private:
    using Entries = std::map<std::string, std::optional<std::string>>;
    bool opened = false;
    std::vector<std::string> listed;
    // By lower-cased name, the first entry of each name; no value when unreadable.
    Entries models;   // names containing ".xml" in any letter case
    Entries presets;  // names ending in ".fxp" in any letter case
    Entries cabinets; // "cabinets/NAME.wav" in any letter case
    std::vector<std::string> cabinetList;
    size_t held = 0;

    friend class ArchiveReader;
};

// Makes the building blocks of a model with their presets from an in-memory archive.
class ArchiveEffectFactory : public EffectFactory {
  public:
    // `archive` may be null (every preset is missing); it must outlive the factory.
    ArchiveEffectFactory(const DataArchive* archive, HostCallback callback)
        : archive(archive), callback(callback) {}
    // The block with the preset `id` + ".fxp" applied.
    AudioEffectX* create(AudioNode::FXType type, const char* id, PresetStatus* status) override;

  private:
    const DataArchive* archive;
    HostCallback callback;
};

// Applies an FXP preset record held whole (its 56-byte header and the values that
// follow) to `effect`, value i to parameter i, once every value has been found
// finite; at most the values the record holds and DataArchive::kMaxPresetValues.
// kMissing, setting nothing, when it is shorter than its header.
PresetStatus applyPresetRecord(const std::string& record, AudioEffectX* effect);

// Reverses the four bytes at p in place; returns p.
void* swapBytes(void* p);
