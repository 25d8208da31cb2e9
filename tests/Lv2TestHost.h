// A small LV2 host for the tests that drive the plug-in's library directly: a URI
// map, a worker the test runs by hand, and a mono instance with its ports.
#pragma once

#include <gtest/gtest.h>
#include <lv2/atom/forge.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/patch/patch.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace quorletest {

// A URI map for the LV2 plug-in: URIs numbered from 1 in the order asked.
struct UriMap {
    std::vector<std::string> uris;
    LV2_URID_Map map = {this, &UriMap::mapUri};
    LV2_URID id(const char* uri) { return mapUri(this, uri); }
    static LV2_URID mapUri(LV2_URID_Map_Handle handle, const char* uri) {
        auto* self = static_cast<UriMap*>(handle);
        for (size_t i = 0; i < self->uris.size(); ++i)
            if (self->uris[i] == uri)
                return static_cast<LV2_URID>(i + 1);
        self->uris.emplace_back(uri);
        return static_cast<LV2_URID>(self->uris.size());
    }
};

// A host's worker, run by the test between run() calls as a threaded host runs it
// between cycles (or at once, as an offline host may). Messages are kept in fixed
// storage, so scheduling and responding allocate nothing of the test's own.
struct TestWorker {
    struct Message {
        uint32_t size = 0;
        alignas(8) unsigned char data[512];
    };
    const LV2_Worker_Interface* plugin = nullptr;
    LV2_Handle instance = nullptr;
    Message requests[64], responses[64];
    int requestCount = 0, responseCount = 0;
    bool immediate = false; // work and answer inside schedule_work()
    LV2_Worker_Schedule schedule = {this, &TestWorker::scheduleWork};
    LV2_Feature feature = {LV2_WORKER__schedule, &schedule};

    static LV2_Worker_Status put(Message* queue, int& count, uint32_t size, const void* data) {
        if (count == 64 || size > sizeof(Message::data))
            return LV2_WORKER_ERR_NO_SPACE;
        queue[count].size = size;
        std::memcpy(queue[count].data, data, size);
        ++count;
        return LV2_WORKER_SUCCESS;
    }
    static LV2_Worker_Status scheduleWork(LV2_Worker_Schedule_Handle h, uint32_t size,
                                          const void* data) {
        auto* self = static_cast<TestWorker*>(h);
        if (!self->immediate)
            return put(self->requests, self->requestCount, size, data);
        self->plugin->work(self->instance, &TestWorker::respond, self, size, data);
        self->answer();
        return LV2_WORKER_SUCCESS;
    }
    static LV2_Worker_Status respond(LV2_Worker_Respond_Handle h, uint32_t size, const void* data) {
        auto* self = static_cast<TestWorker*>(h);
        return put(self->responses, self->responseCount, size, data);
    }
    // The worker thread's turn: every request waiting.
    void work() {
        for (int i = 0; i < requestCount; ++i)
            plugin->work(instance, &TestWorker::respond, this, requests[i].size, requests[i].data);
        requestCount = 0;
    }
    // The render thread's turn before the next run(): every answer waiting.
    void answer() {
        for (int i = 0; i < responseCount; ++i)
            plugin->work_response(instance, responses[i].size, responses[i].data);
        responseCount = 0;
    }
};

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

// The host's log: every message the plug-in sends, in order.
struct TestLog {
    std::vector<std::string> messages;
    LV2_Log_Log log = {this, &TestLog::printf, &TestLog::vprintf};
    LV2_Feature feature = {LV2_LOG__log, &log};
    static int vprintf(LV2_Log_Handle h, LV2_URID, const char* format, va_list args) {
        char text[8192];
        const int n = std::vsnprintf(text, sizeof(text), format, args);
        static_cast<TestLog*>(h)->messages.emplace_back(text);
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

// One mono instance with its ports. Features the test offers: `worker`, and with
// `map` the URI map, the log and the atom ports (patch messages in and out).
struct Lv2Mono {
    const LV2_Descriptor* d;
    LV2_Handle h;
    float controls[4] = {0.7f, 0.5f, 0.5f, 0.0f}, factor = 2.0f, latency = 0.0f;
    UriMap* uris = nullptr;
    alignas(8) uint8_t control[4096 + 64] = {}, notify[8192] = {};
    Lv2Mono(const LV2_Descriptor* descriptor, TestWorker* worker, UriMap* map = nullptr,
            TestLog* log = nullptr)
        : d(descriptor), uris(map) {
        LV2_Feature mapFeature = {LV2_URID__map, map ? &map->map : nullptr};
        const LV2_Feature* const features[] = {worker ? &worker->feature : nullptr,
                                               map ? &mapFeature : nullptr,
                                               log ? &log->feature : nullptr, nullptr};
        // Without a worker the list ends at once: a null ends it.
        const LV2_Feature* packed[4] = {};
        int n = 0;
        for (const LV2_Feature* f : features)
            if (f)
                packed[n++] = f;
        h = d->instantiate(d, 48000.0, QUORLE_BUNDLE_DIR, packed);
        if (worker && h) {
            worker->plugin =
                static_cast<const LV2_Worker_Interface*>(d->extension_data(LV2_WORKER__interface));
            worker->instance = h;
        }
        for (uint32_t p = 0; p < 4; ++p)
            d->connect_port(h, p, &controls[p]);
        d->connect_port(h, 6, &factor);
        d->connect_port(h, 7, &latency);
        if (map) {
            clearControl();
            d->connect_port(h, 8, control);
            d->connect_port(h, 9, notify);
        }
    }
    ~Lv2Mono() { d->cleanup(h); }
    Lv2Mono(const Lv2Mono&) = delete;
    Lv2Mono& operator=(const Lv2Mono&) = delete;

    void run(const float* in, float* out, uint32_t frames) {
        d->connect_port(h, 4, const_cast<float*>(in));
        d->connect_port(h, 5, out);
        auto* sequence = reinterpret_cast<LV2_Atom*>(notify);
        sequence->type = 0;
        sequence->size = sizeof(notify) - sizeof(LV2_Atom); // the capacity, as hosts give it
        d->run(h, frames);
        if (uris)
            clearControl();
    }
    void clearControl() {
        LV2_Atom_Forge forge;
        lv2_atom_forge_init(&forge, &uris->map);
        lv2_atom_forge_set_buffer(&forge, control, sizeof(control));
        LV2_Atom_Forge_Frame frame;
        lv2_atom_forge_sequence_head(&forge, &frame, 0);
        lv2_atom_forge_pop(&forge, &frame);
    }
    // A patch:Set of the data archive (`bytes` of path, its terminator included),
    // heard at the next run().
    void setArchive(const char* path, uint32_t bytes) {
        LV2_Atom_Forge forge;
        lv2_atom_forge_init(&forge, &uris->map);
        lv2_atom_forge_set_buffer(&forge, control, sizeof(control));
        LV2_Atom_Forge_Frame sequence, object;
        lv2_atom_forge_sequence_head(&forge, &sequence, 0);
        lv2_atom_forge_frame_time(&forge, 0);
        lv2_atom_forge_object(&forge, &object, 0, uris->id(LV2_PATCH__Set));
        lv2_atom_forge_key(&forge, uris->id(LV2_PATCH__property));
        lv2_atom_forge_urid(&forge, uris->id("http://pellark.invalid/plugins/quorle#archive"));
        lv2_atom_forge_key(&forge, uris->id(LV2_PATCH__value));
        lv2_atom_forge_atom(&forge, bytes, forge.Path);
        lv2_atom_forge_write(&forge, path, bytes);
        lv2_atom_forge_pop(&forge, &object);
        lv2_atom_forge_pop(&forge, &sequence);
    }
    void setArchive(const std::string& path) {
        setArchive(path.c_str(), static_cast<uint32_t>(path.size() + 1));
    }
    // The notify port's last output as text: holds the path the plug-in told.
    std::string told() const {
        const auto* sequence = reinterpret_cast<const LV2_Atom*>(notify);
        return std::string(reinterpret_cast<const char*>(notify) + sizeof(LV2_Atom),
                           sequence->size);
    }
};

} // namespace quorletest
