// Model files, preset texts and cabinet texts on disk, as an author keeps them:
// compiled into the entries of a data archive, and checked by building every model
// from that archive exactly as the plug-in would. quorle-model check, graph and pack (and
// so the build's own archive) go through here.
#pragma once

#include "graph/BuildReason.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

class DataArchive;

namespace authoring {

// The largest source file read (bytes): the plug-in holds no larger model, and
// preset and cabinet texts are a few hundred bytes. Each file is opened once
// without blocking (main/WholeFile.h), so a FIFO or a device is refused at once and
// a huge or sparse file costs no more than this.
constexpr size_t kMaxSourceBytes = size_t(1) << 20;

// Something to tell the author, against a source file.
struct Finding {
    std::string file;
    int line = 0;         // 1-based; 0 for the file as a whole
    bool refuses = false; // an error: the model (or the archive) would be refused
    std::string message;

    // "FILE:LINE: error: message" ("warning" for a notice; no LINE for line 0).
    std::string text() const;
};

// One archive entry and the file it came from.
struct Entry {
    std::string name; // "lead.xml", "lead_amp.fxp", "cabinets/4x12-closed.wav"
    std::string bytes;
    std::string source;
};

struct Sources {
    // The models first, then the presets, then the cabinets, each by name.
    std::vector<Entry> entries;
    std::vector<Finding> findings;
    size_t models = 0;   // how many entries are models
    size_t cabinets = 0; // how many entries are cabinets
};

// The model files (*.xml) and preset texts (*.txt) of `dir`: those of
// DIR/models and DIR/presets where those folders exist, else those of DIR itself;
// sorted by name.
void listSources(const std::filesystem::path& dir, std::vector<std::filesystem::path>& models,
                 std::vector<std::filesystem::path>& presets);

// The cabinet texts (*.txt) of DIR/cabinets, sorted by name; none without it.
std::vector<std::filesystem::path> listCabinets(const std::filesystem::path& dir);

// The folders listSources() and listCabinets() read `dir`'s files from.
std::vector<std::filesystem::path> sourceFolders(const std::filesystem::path& dir);

// Drops from `files` each one whose real path (links followed) lies outside `dir`,
// with a finding that refuses naming it: nothing outside an author's folder is
// read or packed. A link that stays inside `dir` is kept (one text under two
// names), and so is one that cannot be resolved, which reading then refuses.
std::vector<Finding> keepInside(const std::filesystem::path& dir,
                                std::vector<std::filesystem::path>& files);

// Reads the models as they are, compiles each preset text into "STEM.fxp" and
// renders each cabinet text (tools/CabinetModel.h) into "cabinets/STEM.wav", a
// 48 kHz mono float WAV. An unreadable file, a preset or cabinet text that does not
// read, a cabinet name of other than letters, digits, '-' and '_', or two entries
// whose names differ only in letter case are findings that refuse.
Sources readSources(const std::vector<std::filesystem::path>& models,
                    const std::vector<std::filesystem::path>& presets,
                    const std::vector<std::filesystem::path>& cabinets = {});

// Writes the entries as a data archive at `path`; false when it cannot.
bool writeArchive(const std::string& path, const std::vector<Entry>& entries);

// The entries packed into a temporary archive and read back as the plug-in reads
// one; null when no temporary archive can be written.
std::shared_ptr<const DataArchive> packedArchive(const std::vector<Entry>& entries);

// What building every model of `sources` would report in the plug-in: the
// entries are packed into a temporary archive, read back as the plug-in reads
// one, and each model is built with its presets. Missing presets are reported
// only when `presetsKnown`. `reports`, when given, receives each model's report
// in entry order.
std::vector<Finding> checkModels(const Sources& sources, bool presetsKnown,
                                 std::vector<BuildReport>* reports = nullptr);

// Whether any finding refuses.
bool anyRefuses(const std::vector<Finding>& findings);

} // namespace authoring
