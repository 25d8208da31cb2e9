// A data archive a player names (a file of their own models and presets), checked
// before a unit is set up with it, so that what is wrong with it can be told in
// one sentence and the shipped archive keeps playing.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

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
};

// Setup or worker thread (reads the file). Usable when `path` names a readable
// regular file, not empty, that is a zip archive listing at least one model. Each
// of its models is built once, as the plug-in would build it, for refusedModels.
UserArchiveCheck checkUserArchive(const std::string& path);
