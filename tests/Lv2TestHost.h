// A small LV2 host for the tests that drive the plug-in's library directly: the
// URI map and the worker the test runs by hand (tools/Lv2HostFeatures.h), a log, the state's store
// and path mapping, and a mono or stereo instance with its ports.
#pragma once

#include "lv2/UiProtocol.h"
#include "tools/Lv2HostFeatures.h"

#include <gtest/gtest.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <dlfcn.h>
#include <sndfile.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorletest {

using UriMap = lv2host::UriMap;
using TestWorker = lv2host::Worker<>;

struct Lv2Library {
    void* handle = nullptr;
    const LV2_Descriptor* mono = nullptr;
    const LV2_Descriptor* stereo = nullptr;
    Lv2Library() {
        const std::string library = std::string(QUORLE_BUNDLE_DIR) + "/quorle_lv2.so";
        handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            return;
        auto descriptorAt =
            reinterpret_cast<const LV2_Descriptor* (*)(uint32_t)>(dlsym(handle, "lv2_descriptor"));
        mono = descriptorAt ? descriptorAt(0) : nullptr;
        stereo = descriptorAt ? descriptorAt(1) : nullptr;
    }
    ~Lv2Library() {
        if (handle)
            dlclose(handle);
    }
};

// A test of the plug-in's library, opened once for the program: its mono and
// stereo descriptors, there or the test fails at once.
struct Lv2Test : testing::Test {
    static const Lv2Library& library() {
        static const Lv2Library opened;
        return opened;
    }
    const LV2_Descriptor* const mono = library().mono;
    const LV2_Descriptor* const stereo = library().stereo;
    void SetUp() override { ASSERT_NE(stereo, nullptr) << dlerror(); }
};

// The host's log: every message the plug-in sends, in order, from any thread.
struct TestLog {
    std::mutex lock;
    std::vector<std::string> messages;
    LV2_Log_Log log = {this, &TestLog::printf, &TestLog::vprintf};
    LV2_Feature feature = {LV2_LOG__log, &log};
    static int vprintf(LV2_Log_Handle h, LV2_URID, const char* format, va_list args) {
        char text[8192];
        const int n = std::vsnprintf(text, sizeof(text), format, args);
        auto* self = static_cast<TestLog*>(h);
        std::lock_guard<std::mutex> hold(self->lock);
        self->messages.emplace_back(text);
        return n;
    }
    // The messages holding `text`.
    size_t mentions(const std::string& text) const {
        size_t n = 0;
        for (const std::string& m : messages)
            n += m.find(text) != std::string::npos;
        return n;
    }
    static int printf(LV2_Log_Handle h, LV2_URID type, const char* format, ...) {
        va_list args;
        va_start(args, format);
        const int n = vprintf(h, type, format, args);
        va_end(args);
        return n;
    }
};

// A plug-in state as a host keeps it: key to value and type.
struct TestState {
    std::map<uint32_t, std::pair<std::string, uint32_t>> values;
    static LV2_State_Status store(LV2_State_Handle h, uint32_t key, const void* value, size_t size,
                                  uint32_t type, uint32_t) {
        static_cast<TestState*>(h)->values[key] = {
            std::string(static_cast<const char*>(value), size), type};
        return LV2_STATE_SUCCESS;
    }
    static const void* retrieve(LV2_State_Handle h, uint32_t key, size_t* size, uint32_t* type,
                                uint32_t* flags) {
        auto& values = static_cast<TestState*>(h)->values;
        const auto found = values.find(key);
        if (found == values.end())
            return nullptr;
        *size = found->second.first.size();
        *type = found->second.second;
        *flags = LV2_STATE_IS_POD;
        return found->second.first.data();
    }
};

// The host's state:mapPath: a path inside `dir` is kept relative to it (a project
// folder), any other as it is.
struct TestMapPath {
    std::string dir; // ends in "/"
    LV2_State_Map_Path map = {this, &TestMapPath::abstractPath, &TestMapPath::absolutePath};
    LV2_Feature feature = {LV2_STATE__mapPath, &map};
    const LV2_Feature* features[2] = {&feature, nullptr};
    explicit TestMapPath(std::string folder) : dir(std::move(folder)) {}
    TestMapPath(const TestMapPath&) = delete;
    TestMapPath& operator=(const TestMapPath&) = delete;
    static char* abstractPath(LV2_State_Map_Path_Handle h, const char* path) {
        const std::string& dir = static_cast<TestMapPath*>(h)->dir;
        const bool inside = std::strncmp(path, dir.c_str(), dir.size()) == 0;
        return strdup(inside ? path + dir.size() : path);
    }
    static char* absolutePath(LV2_State_Map_Path_Handle h, const char* path) {
        if (path[0] == '/')
            return strdup(path);
        return strdup((static_cast<TestMapPath*>(h)->dir + path).c_str());
    }
};

// One instance with its ports, mono or stereo as its descriptor says, at `rate` Hz
// with `bundle` as its bundle directory. Features the test offers: `worker`, the
// log, and with `map` the URI map and the atom ports (patch messages in and out).
struct Lv2Plugin {
    const LV2_Descriptor* d;
    LV2_Handle h;
    uint32_t channels;
    float controls[4] = {0.7f, 0.5f, 0.5f, 0.0f}, factor = 2.0f, latency = 0.0f, cabinet = 0.0f;
    UriMap* uris = nullptr;
    // With `uris`: the forge and the URIs the patch messages use, mapped once.
    LV2_Atom_Forge forge = {};
    LV2_URID patchSet = 0, patchProperty = 0, patchValue = 0, archive = 0;
    alignas(8) uint8_t control[4096 + 64] = {}, notify[8192] = {};
    Lv2Plugin(const LV2_Descriptor* descriptor, TestWorker* worker, UriMap* map = nullptr,
              const LV2_Feature* log = nullptr, double rate = 48000.0,
              const char* bundle = QUORLE_BUNDLE_DIR)
        : d(descriptor), channels(std::strstr(descriptor->URI, "#stereo") ? 2 : 1), uris(map) {
        LV2_Feature mapFeature = {LV2_URID__map, map ? &map->map : nullptr};
        const LV2_Feature* const features[] = {worker ? &worker->feature : nullptr,
                                               map ? &mapFeature : nullptr, log, nullptr};
        // Without a worker the list ends at once: a null ends it.
        const LV2_Feature* packed[4] = {};
        int n = 0;
        for (const LV2_Feature* f : features)
            if (f)
                packed[n++] = f;
        h = d->instantiate(d, rate, bundle, packed);
        if (worker && h) {
            worker->plugin =
                static_cast<const LV2_Worker_Interface*>(d->extension_data(LV2_WORKER__interface));
            worker->instance = h;
        }
        for (uint32_t p = 0; p < 4; ++p)
            d->connect_port(h, p, &controls[p]);
        const uint32_t afterAudio = 4 + 2 * channels;
        d->connect_port(h, afterAudio, &factor);
        d->connect_port(h, afterAudio + 1, &latency);
        if (map) {
            lv2_atom_forge_init(&forge, &map->map);
            patchSet = map->id(LV2_PATCH__Set);
            patchProperty = map->id(LV2_PATCH__property);
            patchValue = map->id(LV2_PATCH__value);
            archive = map->id("http://pellark.invalid/plugins/quorle#archive");
            clearControl();
            d->connect_port(h, afterAudio + 2, control);
            d->connect_port(h, afterAudio + 3, notify);
        }
    }
    Lv2Plugin(const LV2_Descriptor* descriptor, TestWorker* worker, UriMap* map, TestLog* log)
        : Lv2Plugin(descriptor, worker, map, log ? &log->feature : nullptr) {}
    ~Lv2Plugin() { d->cleanup(h); }
    Lv2Plugin(const Lv2Plugin&) = delete;
    Lv2Plugin& operator=(const Lv2Plugin&) = delete;

    // `in` to every channel; the first channel's output to `out`.
    void run(const float* in, float* out, uint32_t frames) {
        const float* ins[2] = {in, in};
        float* outs[2] = {out, out};
        run(ins, outs, frames);
    }
    // One buffer a channel (the second ones ignored by a mono instance).
    void run(const float* const* in, float* const* out, uint32_t frames) {
        for (uint32_t c = 0; c < channels; ++c) {
            d->connect_port(h, 4 + c, const_cast<float*>(in[c]));
            d->connect_port(h, 4 + channels + c, out[c]);
        }
        auto* sequence = reinterpret_cast<LV2_Atom*>(notify);
        sequence->type = 0;
        sequence->size = sizeof(notify) - sizeof(LV2_Atom); // the capacity, as hosts give it
        d->run(h, frames);
        if (uris)
            clearControl();
    }
    void clearControl() {
        lv2_atom_forge_set_buffer(&forge, control, sizeof(control));
        LV2_Atom_Forge_Frame frame;
        lv2_atom_forge_sequence_head(&forge, &frame, 0);
        lv2_atom_forge_pop(&forge, &frame);
    }
    // The Cabinet port (left unconnected until a test chooses) set to `value`.
    void chooseCabinet(float value) {
        cabinet = value;
        d->connect_port(h, 8 + 2 * channels, &cabinet);
    }
    // A patch:Set of the data archive (`bytes` of path, its terminator included),
    // heard at the next run().
    void setArchive(const char* path, uint32_t bytes) { setPath(archive, path, bytes); }
    // The same of the path parameter `property`.
    void setPath(LV2_URID property, const char* path, uint32_t bytes) {
        lv2_atom_forge_set_buffer(&forge, control, sizeof(control));
        LV2_Atom_Forge_Frame sequence, object;
        lv2_atom_forge_sequence_head(&forge, &sequence, 0);
        lv2_atom_forge_frame_time(&forge, 0);
        lv2_atom_forge_object(&forge, &object, 0, patchSet);
        lv2_atom_forge_key(&forge, patchProperty);
        lv2_atom_forge_urid(&forge, property);
        lv2_atom_forge_key(&forge, patchValue);
        lv2_atom_forge_atom(&forge, bytes, forge.Path);
        lv2_atom_forge_write(&forge, path, bytes);
        lv2_atom_forge_pop(&forge, &object);
        lv2_atom_forge_pop(&forge, &sequence);
    }
    // A patch:Get, which asks the plug-in to tell all it tells, at the next run().
    void askAll() {
        lv2_atom_forge_set_buffer(&forge, control, sizeof(control));
        LV2_Atom_Forge_Frame sequence, object;
        lv2_atom_forge_sequence_head(&forge, &sequence, 0);
        lv2_atom_forge_frame_time(&forge, 0);
        lv2_atom_forge_object(&forge, &object, 0, uris->id(LV2_PATCH__Get));
        lv2_atom_forge_pop(&forge, &object);
        lv2_atom_forge_pop(&forge, &sequence);
    }
    void setArchive(const std::string& path) { setPath(archive, path); }
    void setPath(LV2_URID property, const std::string& path) {
        setPath(property, path.c_str(), static_cast<uint32_t>(path.size() + 1));
    }
    // The value (a path or a string) of the last patch:Set of `property` the notify
    // port carried in the last run(); "" when none did.
    std::string toldValue(const char* property) const { return told(property).value_or(""); }
    // The same, nullopt when the notify port carried none in the last run().
    // A host writes the archive and the cabinet file (patch:Set); everything else is
    // a report, which a host passes on without reading (a patch:Set would name a
    // property it cannot write).
    std::optional<std::string> told(const char* property) const {
        const bool writable = std::strcmp(property, quorlelv2::kArchiveUri) == 0 ||
                              std::strcmp(property, quorlelv2::kCabinetFileUri) == 0;
        const LV2_URID key = uris->id(property),
                       set = uris->id(writable ? LV2_PATCH__Set : quorlelv2::kReportUri),
                       object = uris->id(LV2_ATOM__Object);
        const auto* sequence = reinterpret_cast<const LV2_Atom_Sequence*>(notify);
        std::optional<std::string> value;
        LV2_ATOM_SEQUENCE_FOREACH(sequence, event) {
            if (event->body.type != object)
                continue;
            const auto* o = reinterpret_cast<const LV2_Atom_Object*>(&event->body);
            const LV2_Atom* p = nullptr;
            const LV2_Atom* v = nullptr;
            lv2_atom_object_get(o, uris->id(LV2_PATCH__property), &p, uris->id(LV2_PATCH__value),
                                &v, 0);
            if (o->body.otype == set && p && v &&
                reinterpret_cast<const LV2_Atom_URID*>(p)->body == key)
                value =
                    std::string(static_cast<const char*>(LV2_ATOM_BODY_CONST(v)),
                                strnlen(static_cast<const char*>(LV2_ATOM_BODY_CONST(v)), v->size));
        }
        return value;
    }
    const LV2_State_Interface* state() const {
        return static_cast<const LV2_State_Interface*>(d->extension_data(LV2_STATE__interface));
    }
    LV2_State_Status save(TestState& into, const LV2_Feature* const* features = nullptr) {
        return state()->save(h, &TestState::store, &into, LV2_STATE_IS_POD, features);
    }
    LV2_State_Status restore(TestState& from, const LV2_Feature* const* features = nullptr) {
        return state()->restore(h, &TestState::retrieve, &from, 0, features);
    }
};

// The name the mono tests know it by.
using Lv2Mono = Lv2Plugin;

using Out = std::vector<std::vector<float>>; // one buffer a channel

// An instance with every feature a host may offer (at `rate` Hz, `bundle` its
// bundle directory), its worker run by the test (or at once, as an offline host
// does, when `immediate`), played in blocks of `block`
// frames of one input (the second channel hears it inverted unless `sameOnBoth`),
// the output appended to `out`.
struct Lv2Session {
    UriMap uris;
    TestLog log;
    TestWorker worker;
    Lv2Plugin plugin;
    Out out;
    uint32_t block;
    bool sameOnBoth = false;
    explicit Lv2Session(const LV2_Descriptor* d, bool immediate = false, uint32_t frames = 512,
                        double rate = 48000.0, const char* bundle = QUORLE_BUNDLE_DIR)
        : plugin((worker.immediate = immediate, d), &worker, &uris, &log.feature, rate, bundle),
          out(plugin.channels), block(frames) {}

    // Block `b` of `in`, the output appended.
    void run(const std::vector<float>& in, size_t b) {
        std::vector<float> inverted(block), left(block), right(block);
        for (uint32_t i = 0; i < block; ++i)
            inverted[i] = sameOnBoth ? in[b * block + i] : -in[b * block + i];
        const float* ins[2] = {in.data() + b * block, inverted.data()};
        float* outs[2] = {left.data(), right.data()};
        plugin.run(ins, outs, block);
        for (uint32_t c = 0; c < plugin.channels; ++c)
            out[c].insert(out[c].end(), outs[c], outs[c] + block);
    }
    // A threaded host's cycle: the answers waiting, run(), then the worker's turn.
    void cycle(const std::vector<float>& in, size_t b, bool work = true) {
        worker.answer();
        run(in, b);
        if (work)
            worker.work();
    }
    // Blocks [first, first + blocks) of `in` cycled; what they gave, one buffer a channel.
    Out play(const std::vector<float>& in, size_t first, size_t blocks) {
        const size_t from = out[0].size();
        for (size_t b = first; b < first + blocks; ++b)
            cycle(in, b);
        Out played;
        for (auto& channel : out)
            played.emplace_back(channel.begin() + static_cast<long>(from), channel.end());
        return played;
    }
    // A state naming `path` as the data archive; without the archive key for "".
    TestState stateFor(const std::string& path) {
        TestState state;
        if (!path.empty())
            state.values[plugin.archive] = {path + '\0', uris.id(LV2_ATOM__Path)};
        return state;
    }
};

// Samples of `a` from `fromA` on whose bits differ from those of `b` from `fromB`
// on; -1 when the two tails differ in length.
inline long differing(const Out& a, size_t fromA, const Out& b, size_t fromB) {
    if (a.size() != b.size())
        return -1;
    long n = 0;
    for (size_t c = 0; c < a.size(); ++c) {
        if (a[c].size() < fromA || b[c].size() < fromB ||
            a[c].size() - fromA != b[c].size() - fromB)
            return -1;
        for (size_t i = fromA; i < a[c].size(); ++i)
            n += std::memcmp(&a[c][i], &b[c][i - fromA + fromB], sizeof(float)) != 0;
    }
    return n;
}

// A float WAV at `rate` of `samples` interleaved, `channels` to a frame; its path.
inline std::string writeWav(const std::string& path, const std::vector<float>& samples, int rate,
                            int channels = 1) {
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr) << path;
    sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size() / channels));
    sf_close(file);
    return path;
}

// A model over the graph builder's memory budget from its line 211 on.
inline std::string overBudgetModel() {
    std::string big = "<quorle>";
    for (int i = 0; i < 300; ++i)
        big += "\n<fx id=\"d" + std::to_string(i) + "\" type=\"delay\"/>";
    return big + "</quorle>";
}

// Every sample finite, and not all of them silent.
inline bool finiteAndSounding(const Out& out) {
    bool sounding = false;
    for (const auto& channel : out)
        for (float v : channel) {
            if (!std::isfinite(v))
                return false;
            sounding = sounding || v != 0.0f;
        }
    return sounding;
}

// A fresh directory (its path ends in "/"), removed with what it holds at the end
// of the test.
struct ScratchDir {
    std::string path;
    ScratchDir() {
        char pattern[] = "/tmp/quorle-lv2-test-XXXXXX";
        path = std::string(mkdtemp(pattern)) + "/";
    }
    ~ScratchDir() { std::filesystem::remove_all(path); }
};

} // namespace quorletest
