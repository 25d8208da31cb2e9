// The host side of urid:map/unmap and worker:schedule, for our own programs that
// drive LV2 plug-ins without a host library's help: the CPU comparison in
// quorle-model measure and the tests that load the plug-in's library.
#pragma once

#include <lv2/core/lv2.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace lv2host {

// URIs numbered from 1 in the order asked, as urid:map and urid:unmap hand them out.
struct UriMap {
    std::vector<std::string> uris;
    LV2_URID_Map map = {this, &UriMap::mapUri};
    LV2_URID_Unmap unmap = {this, &UriMap::unmapUri};
    LV2_URID id(const char* uri) { return mapUri(this, uri); }
    static LV2_URID mapUri(LV2_URID_Map_Handle handle, const char* uri) {
        auto* self = static_cast<UriMap*>(handle);
        for (size_t i = 0; i < self->uris.size(); ++i)
            if (self->uris[i] == uri)
                return static_cast<LV2_URID>(i + 1);
        self->uris.emplace_back(uri);
        return static_cast<LV2_URID>(self->uris.size());
    }
    static const char* unmapUri(LV2_URID_Unmap_Handle handle, LV2_URID urid) {
        auto* self = static_cast<UriMap*>(handle);
        return urid >= 1 && urid <= self->uris.size() ? self->uris[urid - 1].c_str() : nullptr;
    }
};

// A host's worker, run between run() calls as a threaded host runs it between
// cycles (or at once, as an offline host may). Messages are kept in fixed storage
// of `Slots` messages of up to `Bytes` each, so scheduling and responding allocate
// nothing; a full queue or a longer message is refused with NO_SPACE.
template <int Slots = 64, uint32_t Bytes = 512> struct Worker {
    struct Message {
        uint32_t size = 0;
        alignas(8) unsigned char data[Bytes];
    };
    const LV2_Worker_Interface* plugin = nullptr; // set once the instance exists
    LV2_Handle instance = nullptr;
    Message requests[Slots], responses[Slots];
    int requestCount = 0, responseCount = 0;
    int failures = 0;       // work() and work_response() calls that did not succeed
    bool immediate = false; // work and answer inside schedule_work()
    LV2_Worker_Schedule schedule = {this, &Worker::scheduleWork};
    LV2_Feature feature = {LV2_WORKER__schedule, &schedule};

    bool pending() const { return requestCount > 0; }
    // The worker thread's turn: every request waiting, in order.
    void work() {
        workAllBut([](const Message&) { return false; });
    }
    // A host that never gets round to some requests: those `skip` names stay queued
    // (in order), the others are worked.
    template <typename Skip> void workAllBut(Skip skip) {
        int kept = 0;
        for (int i = 0; i < requestCount; ++i) {
            if (skip(requests[i]))
                requests[kept++] = requests[i];
            else
                call(requests[i]);
        }
        requestCount = kept;
    }
    // The render thread's turn before the next run(): every answer waiting.
    void answer() {
        for (int i = 0; i < responseCount; ++i)
            count(plugin->work_response(instance, responses[i].size, responses[i].data));
        responseCount = 0;
    }
    // One whole turn between two cycles: the work, the answers, the end of the run.
    void serve() {
        if (!plugin || !plugin->work) {
            requestCount = 0;
            return;
        }
        work();
        if (plugin->work_response)
            answer();
        else
            responseCount = 0;
        if (plugin->end_run)
            plugin->end_run(instance);
    }

  private:
    static LV2_Worker_Status put(Message* queue, int& count, uint32_t size, const void* data) {
        if (count == Slots || size > Bytes)
            return LV2_WORKER_ERR_NO_SPACE;
        queue[count].size = size;
        std::memcpy(queue[count].data, data, size);
        ++count;
        return LV2_WORKER_SUCCESS;
    }
    static LV2_Worker_Status scheduleWork(LV2_Worker_Schedule_Handle h, uint32_t size,
                                          const void* data) {
        auto* self = static_cast<Worker*>(h);
        if (!self->immediate)
            return put(self->requests, self->requestCount, size, data);
        self->call(size, data);
        self->answer();
        return LV2_WORKER_SUCCESS;
    }
    static LV2_Worker_Status respond(LV2_Worker_Respond_Handle h, uint32_t size, const void* data) {
        auto* self = static_cast<Worker*>(h);
        return put(self->responses, self->responseCount, size, data);
    }
    void call(const Message& m) { call(m.size, m.data); }
    void call(uint32_t size, const void* data) {
        count(plugin->work(instance, &Worker::respond, this, size, data));
    }
    void count(LV2_Worker_Status status) { failures += status != LV2_WORKER_SUCCESS; }
};

} // namespace lv2host
