// Temporary plug-in directories with archives made on the spot.
#pragma once

#include "main/DataArchive.h"
#include "tools/ZipWriter.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

// A fresh directory, removed with everything in it at the end of the test; while
// it lives it is the plug-in directory.
class PluginDir {
  public:
    PluginDir() {
        char pattern[] = "/tmp/quorle-test-XXXXXX";
        path = mkdtemp(pattern);
        saved = gFxDir;
        gFxDir = path + "/";
    }
    ~PluginDir() {
        gFxDir = saved;
        std::filesystem::remove_all(path);
    }
    // Writes an archive `file` with the given entries.
    void archive(const std::string& file, const std::map<std::string, std::string>& entries) {
        ZipWriter zip(path + "/" + file);
        for (auto& [name, bytes] : entries)
            zip.add(name, bytes);
        zip.close();
    }
    std::string path;

  private:
    std::string saved;
};

// An FXP record holding `values` (and claiming `count` of them).
inline std::string fxp(const std::vector<float>& values, int32_t count) {
    std::string r(56, '\0');
    std::memcpy(&r[0], "CcnK", 4);
    std::memcpy(&r[8], "FxCk", 4);
    auto be = [](uint32_t v) {
        std::string b(4, '\0');
        for (int i = 0; i < 4; ++i)
            b[i] = static_cast<char>(v >> (24 - 8 * i));
        return b;
    };
    r.replace(24, 4, be(static_cast<uint32_t>(count)));
    for (float v : values) {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        r += be(bits);
    }
    return r;
}
inline std::string fxp(const std::vector<float>& values) {
    return fxp(values, static_cast<int32_t>(values.size()));
}
