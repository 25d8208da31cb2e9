// Temporary plug-in directories with archives made on the spot.
#pragma once

#include "main/DataArchive.h"
#include "tools/ZipWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
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

// Runs `call` on a thread of its own and waits at most `seconds` for its result:
// nothing when it has not finished by then, so that a call that blocks fails its
// test instead of hanging it. On a time-out `unblock` (when given) is run to free
// the call, and the thread is left to end on its own. `call` must own what it uses.
template <typename T>
std::optional<T> within(double seconds, std::function<T()> call,
                        std::function<void()> unblock = {}) {
    auto done = std::make_shared<std::promise<T>>();
    std::future<T> result = done->get_future();
    std::thread([done, call] { done->set_value(call()); }).detach();
    if (result.wait_for(std::chrono::duration<double>(seconds)) == std::future_status::ready)
        return result.get();
    if (unblock)
        unblock();
    return std::nullopt;
}

// A FIFO at `path` for the life of the object; on request its writing end is
// opened and closed, which frees a reader blocked in opening it.
struct Fifo {
    explicit Fifo(std::string path) : path(std::move(path)) {
        ok = mkfifo(this->path.c_str(), 0600) == 0;
    }
    ~Fifo() { unlink(path.c_str()); }
    // Frees a reader blocked on the FIFO: it sees its end at once.
    static void release(const std::string& path) {
        const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            close(fd);
    }
    std::string path;
    bool ok = false;
};

// `call(path)` as within() runs it, for at most 60 s (generous: a loaded machine is
// slow, and a blocked read never returns at all); on a time-out a reader blocked on
// a FIFO at `path` is freed.
template <typename Call> auto withinReleasing(const std::string& path, Call call) {
    return within<decltype(call(path))>(
        60, [path, call] { return call(path); }, [path] { Fifo::release(path); });
}

// Every byte of the file at `path`.
inline std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
