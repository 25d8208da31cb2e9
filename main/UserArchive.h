// A data archive a player names (a file of their own models and presets), checked
// before a unit is set up with it, so that what is wrong with it can be told in
// one sentence and the shipped archive keeps playing. The file is read once: the
// copy the check read is handed out to be played.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class DataArchive;

// Longest archive path taken (bytes, without the terminator); a longer one is
// refused whole, never cut.
constexpr size_t kMaxArchivePath = 4095;

struct UserArchiveCheck {
    bool usable = false;
    size_t models = 0;   // model entries the archive lists
    std::string message; // why it cannot be used, or what it holds
    // Usable archives: each model that cannot be played, with every reason the
    // graph builder gives ("NAME.xml:LINE: message"); the other models play.
    std::vector<std::string> refusedModels;
    // Usable archives: the archive as read, with the presets it lacks taken from
    // the plug-in directory's archive; give it to an effect (QrVorlixGeneric's
    // `archive`) to play it without reading the file again. Null otherwise.
    std::shared_ptr<const DataArchive> archive;
};

// Setup or worker thread (reads the file once, as DataArchive::readFile() does, so
// that a FIFO, a device or an oversized file is refused at once). Usable when
// `path` names a readable regular file, not empty, within ArchiveLimits::fileBytes,
// that is a zip archive listing at least one model. Each of its models is built
// once from the copy read, as the plug-in would build it, for refusedModels.
UserArchiveCheck checkUserArchive(const std::string& path);
// The same with the presets it lacks taken from `base` (the shipped archive the
// caller already holds; null: none).
UserArchiveCheck checkUserArchive(const std::string& path,
                                  const std::shared_ptr<const DataArchive>& base);
