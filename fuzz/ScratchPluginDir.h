// A plug-in directory of the harness's own, made once per process (in /dev/shm, else /tmp) and
// removed when the process ends; archives written there are what the plug-in reads.
#pragma once

#include "main/DataArchive.h"
#include "tools/ZipWriter.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace fuzz {

using Entries = std::vector<std::pair<std::string, std::string>>;

class ScratchPluginDir {
  public:
    // The process's directory, made on first use.
    static ScratchPluginDir& get() {
        static ScratchPluginDir dir;
        return dir;
    }

    const std::string& path() const { return dirPath; }
    // The directory as gFxDir holds it, with its trailing "/".
    std::string asFxDir() const { return dirPath + "/"; }

    // Writes `bytes` as the file `name` in the directory.
    void writeFile(const std::string& name, const std::string& bytes) const {
        std::ofstream out(dirPath + "/" + name, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    // Writes a zip archive `name` holding `entries`, stored without compression.
    void writeArchive(const std::string& name, const Entries& entries) const {
        ZipWriter zip(dirPath + "/" + name);
        for (const auto& [entry, bytes] : entries)
            zip.add(entry, bytes, true);
        zip.close();
    }

    ~ScratchPluginDir() {
        std::error_code ignored;
        if (dirPath != "/tmp")
            std::filesystem::remove_all(dirPath, ignored);
    }

  private:
    ScratchPluginDir() {
        // In memory where the system offers it: every input is written there.
        std::error_code error;
        const bool shm = std::filesystem::is_directory("/dev/shm", error);
        std::string pattern = std::string(shm ? "/dev/shm" : "/tmp") + "/quorle-fuzz-XXXXXX";
        const char* made = mkdtemp(pattern.data());
        dirPath = made ? made : "/tmp";
    }
    std::string dirPath;
};

// The whole of a file, empty when it cannot be read.
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The built presets of the shipped data (QUORLE_DATA_DIR/fxp), as archive entries.
inline const Entries& shippedPresets() {
    static const Entries presets = [] {
        Entries found;
        std::error_code error;
        for (const auto& file :
             std::filesystem::directory_iterator(std::string(QUORLE_DATA_DIR) + "fxp", error))
            if (file.path().extension() == ".fxp")
                found.emplace_back(file.path().filename().string(), readFile(file.path()));
        return found;
    }();
    return presets;
}

} // namespace fuzz
