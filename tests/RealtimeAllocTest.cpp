// The render paths allocate nothing and take no lock, counted at the outermost face
// that reaches each scenario: the LV2 plug-in's run() and work_response() (controls,
// model and factor changes, the worker, archives, cabinets), the unit's render for
// what only a unit host does (scheduled events, bypass, notifications, resets), and
// an averager on the block where its window length in samples changes (a window in
// milliseconds follows a rate change within the ring it reserved). Every heap
// allocation of this program is counted, and any one of them can be made to fail;
// every mutex acquisition, file opened and thread started is counted too. The bytes
// the allocations hold are summed as well, so that what an instance keeps can be
// bounded.
#include "AUTestUnit.h"
#include "GraphTestUtil.h"
#include "Lv2TestHost.h"
#include "QuorleUnitHost.h"
#include "lv2/InlineDisplay.h"

#include "blocks/QrIIRFilter.h"
#include "effect/MasterCallback.h"
#include "graph/AveragerAN.h"
#include "graph/DividerAN.h"
#include "graph/MixerAudioNode.h"
#include "graph/xmlreader.h"
#include "main/DataArchive.h"
#include "main/VorlixMac.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <dlfcn.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace {
std::atomic<long> gAllocations{0};
std::atomic<long> gHeldBytes{0}; // usable bytes of the allocations not yet freed
// While above 0, counts allocations down; the one that reaches 0 fails.
std::atomic<long> gFailIn{0};

bool failsNow() {
    return gFailIn.load() > 0 && gFailIn.fetch_sub(1) == 1;
}
void* held(void* p) {
    if (p)
        gHeldBytes += static_cast<long>(malloc_usable_size(p));
    return p;
}
void release(void* p) {
    if (p)
        gHeldBytes -= static_cast<long>(malloc_usable_size(p));
    std::free(p);
}

std::atomic<long> gLocks{0}; // mutexes acquired, by any thread
using MutexCall = int (*)(pthread_mutex_t*);
std::atomic<MutexCall> gLock{nullptr}, gTryLock{nullptr};
MutexCall next(std::atomic<MutexCall>& slot, const char* name) {
    MutexCall call = slot.load();
    if (!call) {
        call = reinterpret_cast<MutexCall>(dlsym(RTLD_NEXT, name));
        slot.store(call);
    }
    return call;
}
int counted(int result) {
    gLocks += result == 0 ? 1 : 0;
    return result;
}

// Files opened and threads created, by any thread.
std::atomic<long> gOpens{0}, gThreads{0};
// Bytes of anonymous memory mapped (as buffers laid out in pages of their own are),
// counted up only: a window that maps none shows no change.
std::atomic<long> gMappedBytes{0};
template <typename F> F nextCall(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
} // namespace

// The replacement pairs malloc with free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
    ++gAllocations;
    if (failsNow())
        throw std::bad_alloc();
    if (void* p = held(std::malloc(size ? size : 1)))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++gAllocations;
    return failsNow() ? nullptr : held(std::malloc(size ? size : 1));
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete[](void* p) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    release(p);
}

// The program exports its symbols, so the standard library's mutexes, this
// program's and those of the LV2 library it loads are all locked through these.
extern "C" int pthread_mutex_lock(pthread_mutex_t* mutex) noexcept {
    return counted(next(gLock, "pthread_mutex_lock")(mutex));
}
extern "C" int pthread_mutex_trylock(pthread_mutex_t* mutex) noexcept {
    return counted(next(gTryLock, "pthread_mutex_trylock")(mutex));
}

// Files opened and threads created, counted the same way (exported by name: the
// headers declare these hidden).
// Anonymous mappings count as allocations, and their bytes as kept.
extern "C" __attribute__((visibility("default"))) void*
mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) noexcept {
    static const auto real = nextCall<void* (*)(void*, size_t, int, int, int, off_t)>("mmap");
    void* p = real(address, length, protection, flags, fd, offset);
    if (p != MAP_FAILED && (flags & MAP_ANONYMOUS)) {
        ++gAllocations;
        gMappedBytes += static_cast<long>(length);
    }
    return p;
}

extern "C" __attribute__((visibility("default"))) int open(const char* path, int flags, ...) {
    ++gOpens;
    va_list args;
    va_start(args, flags);
    const auto mode = static_cast<mode_t>(va_arg(args, unsigned));
    va_end(args);
    static const auto real = nextCall<int (*)(const char*, int, ...)>("open");
    return real(path, flags, mode);
}
extern "C" __attribute__((visibility("default"))) FILE* fopen(const char* path, const char* mode) {
    ++gOpens;
    static const auto real = nextCall<FILE* (*)(const char*, const char*)>("fopen");
    return real(path, mode);
}
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* arg) noexcept {
    ++gThreads;
    static const auto real =
        nextCall<int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*)>(
            "pthread_create");
    return real(thread, attr, start, arg);
}

namespace {

// in -> eq -> eq2 -> mixer(eq2, in) with the dry gain from a divider of an envelope.
struct TestGraph {
    AudioNode* in;
    AveragerAN* envelope;

    TestGraph() {
        in = startGraph();
        auto* eq = fxNode(new QrIIRFilter(masterCallback), in, 3, "eq");
        eq->effect->setParameter(QrIIRFilter::kK, 0.8f);
        auto* eq2 = fxNode(new QrIIRFilter(masterCallback), eq, 2, "eq2");
        envelope = new AveragerAN;
        envelope->input = in;
        envelope->params.push_back(ParamMapping{256.0f, nullptr, 0, 0});
        auto* ratio = new DividerAN;
        ratio->params.push_back(ParamMapping{1.0f, envelope, 0, 0});
        auto* mix = new MixerAudioNode;
        mix->input = eq2;
        mix->input2 = in;
        mix->outBuffer = kOutputSlot;
        mix->params.push_back(ParamMapping{1.0f, ratio, 2, 1});
        buildNodeList(mix);
        in->dispatcher(10, 0, 0, nullptr, 48000.0f);
    }
    ~TestGraph() { delete in; }
};

TEST(Realtime, OnlyAChangedAveragerWindowAllocates) {
    SlotTable slots;
    TestGraph graph;
    walkGraph(graph.in, slots.buffers(), 64);

    long before = gAllocations;
    for (int block = 0; block < 100; ++block) {
        if (block % 10 == 0) // a new window every tenth block
            graph.envelope->params[0].value = 100.0f + static_cast<float>(block);
        walkGraph(graph.in, slots.buffers(), 64);
    }
    EXPECT_EQ(gAllocations - before, 10);
}

TEST(Realtime, AMillisecondWindowFollowsRateChangesWithoutAllocating) {
    TiXmlDocument doc;
    doc.Parse(R"(<quorle><processor id="env" type="averager" input="in"><param set="0" ms="50"/>
        </processor><mixer input="in" input2="in"><param set="0" node="env" get="0"/></mixer>
        </quorle>)");
    std::unique_ptr<AudioNode> graph(parseElement(doc.RootElement(), kInputSlot, kOutputSlot));
    ASSERT_TRUE(graph);
    auto* env = dynamic_cast<AveragerAN*>(graph->next);
    ASSERT_NE(env, nullptr);
    graph->dispatcher(10, 0, 0, nullptr, 44100.0f);
    prepareGraph(graph.get());
    SlotTable slots;
    std::fill_n(slots.slot(kInputSlot), 512, 0.5f);

    const long before = gAllocations;
    for (float rate : {48000.0f, 96000.0f, 384000.0f, 3072000.0f, 8000.0f, 44100.0f}) {
        graph->dispatcher(10, 0, 0, nullptr, rate);
        for (int block = 0; block < 10; ++block)
            walkGraph(graph.get(), slots.buffers(), 512);
        EXPECT_EQ(env->averageSamples, static_cast<int32_t>(std::lround(0.05 * rate))) << rate;
    }
    EXPECT_EQ(gAllocations - before, 0);
}
OSStatus Quiet(void*, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32, UInt32,
               AudioBufferList*) {
    return noErr;
}

// Scheduled events, buffers handed out, silence, bypass and a render notification
// queued from outside the render: none of them allocates once initialised.
TEST(Realtime, RenderingTheAudioUnitAllocatesNothing) {
    autest::Host host;
    ASSERT_EQ(noErr, AudioUnitInitialize(host.unit));
    autest::BufferList out(2, 512), handed(2, 512, false);
    ASSERT_EQ(noErr, host.Render(out, 512, 0.0));
    ASSERT_EQ(noErr, AudioUnitAddRenderNotify(host.unit, Quiet, nullptr));
    AudioUnitParameterEvent events[24] = {};
    for (int i = 0; i < 24; ++i) {
        events[i].eventType = i % 2 ? kParameterEvent_Ramped : kParameterEvent_Immediate;
        if (i % 2)
            events[i].eventValues.ramp = {SInt32(i * 20), 15, 0.1f, 0.9f};
        else
            events[i].eventValues.immediate = {UInt32(i * 20), 0.5f};
    }
    ASSERT_EQ(noErr, AudioUnitScheduleParameters(host.unit, events, 24));

    const long before = gAllocations;
    ASSERT_EQ(noErr, host.Render(out, 512, 512.0)); // applies the queued notification too
    ASSERT_EQ(noErr, host.Render(handed, 512, 1024.0));
    host.inputSilent = true;
    ASSERT_EQ(noErr, host.Render(out, 512, 1536.0));
    ASSERT_EQ(noErr, host.SetUInt32(kAudioUnitProperty_BypassEffect, 1));
    ASSERT_EQ(noErr, host.Render(out, 512, 2048.0));
    EXPECT_EQ(gAllocations - before, 0);
    EXPECT_GT(host.object->calls.size(), 24u); // the events did cut the first render
}

using quorletest::Lv2Plugin;
using quorletest::tone;

using quorletest::finiteAndSounding;

// What the render thread did inside the calls counted: allocations, mutexes
// acquired, files opened, threads started. Counting allocates nothing itself.
struct RenderCounts {
    long allocated = 0, locked = 0, opened = 0, threads = 0;
    template <typename F> void count(F&& f) {
        const long a = gAllocations, l = gLocks, o = gOpens, t = gThreads;
        f();
        allocated += gAllocations - a, locked += gLocks - l;
        opened += gOpens - o, threads += gThreads - t;
    }
    // Read before any check: a failed check allocates and locks.
    void expectNone() const {
        EXPECT_EQ(allocated, 0);
        EXPECT_EQ(locked, 0);
        EXPECT_EQ(opened, 0);
        EXPECT_EQ(threads, 0);
    }
};

// An oversampling change, whatever arrives while it runs, allocates nothing and
// takes no lock nor file: changes up and down, a newer factor while the new lane
// warms up, a factor asked back, factors asked during the crossfade, model
// switches in every stage, resets in the middle of one, blocks of 1 to 700 frames,
// a channel alone and two run as a pair (which run apart during a change).
TEST(Realtime, AnOversamplingChangeAllocatesNothingWhateverArrivesDuringIt) {
    gFxDir = QUORLE_DATA_DIR;
    EngineSetup setup;
    setup.rate = 44100.0;
    setup.maxFrames = 700;
    setup.factor = 2;
    setup.archive = DataArchive::readDirectory(gFxDir);
    ChannelEngine alone(setup), left(setup), right(setup);
    ChannelEngine* const engines[] = {&alone, &left, &right};
    const std::vector<float> in = tone(230.0, 44100.0, 700, 0.4f);
    std::vector<float> out(700), other(700);
    const int factors[] = {8, 1, 4, 2, 1, 8, 2, 4};
    RenderCounts counts;
    int changing = 0;
    for (int block = 0; block < 800; ++block) {
        const uint32_t frames = block % 11 == 0 ? 1 : 1 + static_cast<uint32_t>(block * 97) % 700;
        counts.count([&] {
            for (ChannelEngine* e : engines) {
                if (block % 13 == 0 || block % 13 == 2 || block % 29 == 3)
                    e->setFactor(factors[(block / 13 + block % 3) % 8]);
                if (block % 7 == 1)
                    e->switchTo(block / 7 % 6, true);
                if (block % 50 == 5)
                    e->reset();
                e->setControls(0.5f + 0.001f * static_cast<float>(block % 9), 0.5f, 0.5f);
            }
            alone.process(in.data(), out.data(), frames);
            ChannelEngine::processPair(left, in.data(), out.data(), right, in.data(), other.data(),
                                       frames);
        });
        changing += alone.changingFactor();
    }
    counts.expectNone();
    EXPECT_GT(changing, 100) << "the blocks met changes under way";
    EXPECT_TRUE(finiteAndSounding({out, other}));
}

// The plug-in's library, opened once for the program.
using RealtimeLv2 = quorletest::Lv2Test;

// The LV2 plug-in as an LV2 host runs it, mono and stereo: after instantiation, run()
// allocates nothing and takes no lock, whatever the block length (one frame included),
// control changes and model switches (the kernel fading to prepared graphs), nor when
// the oversampling port changes every few blocks, to values between the factors too:
// run() hands the factor to the unit and reads its latency.
TEST_F(RealtimeLv2, ThePluginRunsAndChangesItsFactorWithoutAllocatingOrLocking) {
    for (const LV2_Descriptor* descriptor : {mono, stereo}) {
        const long atStart = gAllocations, locksAtStart = gLocks;
        // With the meters connected and Ardour's inline display asking for redraws.
        int draws = 0;
        quorlelv2::InlineQueueDraw queue = {&draws, [](void* h) { ++*static_cast<int*>(h); }};
        LV2_Feature display = {quorlelv2::kInlineDisplayQueueDrawUri, &queue};
        Lv2Plugin plugin(descriptor, nullptr, nullptr, &display, 44100.0);
        ASSERT_NE(plugin.h, nullptr);
        float meters[4] = {};
        for (uint32_t m = 0; m < 4; ++m)
            plugin.d->connect_port(plugin.h, 9 + 2 * plugin.channels + m, &meters[m]);
        // The library's allocations reach these counters, and setting up announces
        // properties under the unit's listener lock: a zero below means something.
        EXPECT_GT(gAllocations - atStart, 100) << "instantiation is counted";
        EXPECT_GT(gLocks - locksAtStart, 0) << "instantiation is counted";
        SCOPED_TRACE(testing::Message() << plugin.channels << " channels");
        std::vector<float> in = tone(230.0, 44100.0, 5000, 0.4f), out(5000);
        plugin.run(in.data(), out.data(), 256); // settles the first model's state
        RenderCounts counts;
        for (int block = 0; block < 400; ++block) {
            plugin.controls[block % 3] = 0.3f + 0.001f * static_cast<float>(block);
            plugin.controls[3] = static_cast<float>(block / 50 % 6); // stereo pairs between fades
            const uint32_t frames = block % 7 == 0 ? 1 : 1 + (block * 131) % 5000;
            counts.count([&] { plugin.run(in.data(), out.data(), frames); });
        }
        const float values[] = {8.0f, 1.0f, 4.0f, 3.0f, 2.0f, 7.5f, 1.2f, 4.0f};
        float latencies[8] = {};
        for (int block = 0; block < 80; ++block) {
            plugin.factor = values[(block / 5) % 8];
            counts.count([&] { plugin.run(in.data(), out.data(), 1 + (block * 173) % 4096); });
            latencies[(block / 5) % 8] = plugin.latency;
        }
        counts.expectNone();
        EXPECT_GT(draws, 0);
        EXPECT_GT(meters[2], -60.0f);
        // The factors did change: the latency output followed them (in frames).
        const std::pair<int, int> expected[] = {{0, 8}, {1, 1}, {2, 4}, {3, 4},
                                                {4, 2}, {5, 8}, {6, 1}, {7, 4}};
        for (const auto& [at, to] : expected)
            EXPECT_EQ(latencies[at], float(Oversampler::latencyFor(to))) << values[at];
        EXPECT_GT(latencies[0], 0.0f);
    }
}

// Out of memory at any single allocation while the unit initialises: the host
// hears -108 (or success, where the failure was absorbed), never a crash, and the
// unit is left uninitialised and able to initialise and render afterwards.
TEST(Realtime, InitialisationSurvivesAFailingAllocationAnywhere) {
    quorletest::LocalUnit unit(512);
    const std::vector<float> in = tone(230.0, 48000.0, 512, 0.4f);
    std::vector<float> out(512);
    ASSERT_EQ(unit.initialize(), noErr); // what is made once per process is made here
    AudioUnitUninitialize(unit.unit);
    const long before = gAllocations;
    ASSERT_EQ(unit.initialize(), noErr);
    const long allocations = gAllocations - before;
    AudioUnitUninitialize(unit.unit);
    ASSERT_GT(allocations, 50);

    long refused = 0;
    for (long n = 1; n <= allocations; ++n) {
        gFailIn = n;
        const OSStatus status = unit.initialize();
        gFailIn = 0;
        ASSERT_TRUE(status == memFullErr || status == noErr)
            << "allocation " << n << " of " << allocations << ": status " << status;
        if (status == memFullErr) {
            ++refused;
            ASSERT_EQ(unit.render(in.data(), out.data(), 512), kAudioUnitErr_Uninitialized) << n;
        }
        AudioUnitUninitialize(unit.unit);
        ASSERT_EQ(unit.initialize(), noErr) << "after allocation " << n;
        ASSERT_EQ(unit.render(in.data(), out.data(), 512), noErr) << n;
        ASSERT_TRUE(finiteAndSounding({out})) << n;
        AudioUnitUninitialize(unit.unit);
    }
    EXPECT_GT(refused, 0);
}

// The unit's own guards cost no allocation: non-finite input, a poisoned effect
// silenced and cleared, host resets, and values refused or held in range.
TEST(Realtime, TheUnitsGuardsAllocateNothing) {
    quorletest::LocalUnit unit(1024);
    ASSERT_EQ(unit.initialize(), noErr);
    ASSERT_EQ(unit.setParameter(3, 3.0f), noErr);
    std::vector<float> in = tone(230.0, 48000.0, 1024, 0.4f), out(1024);
    ASSERT_EQ(unit.render(in.data(), out.data(), 1024), noErr); // builds the model
    for (size_t i = 0; i < in.size(); i += 97)
        in[i] = i % 2 ? std::numeric_limits<float>::infinity() : std::nanf("");
    const std::vector<float> nan(1024, std::nanf(""));

    const long before = gAllocations;
    for (int block = 0; block < 200; ++block) {
        if (block % 50 == 10)
            AudioUnitReset(unit.unit, kAudioUnitScope_Global, 0);
        if (block % 50 == 30) {
            float* poison = const_cast<float*>(nan.data());
            float* sink = out.data();
            unit.kernel()->effect()->process(&poison, &sink, 1024);
        }
        if (block % 7 == 0) {
            unit.setParameter(static_cast<AudioUnitParameterID>(block % 3), std::nanf(""));
            unit.setParameter(static_cast<AudioUnitParameterID>((block + 1) % 3), 1e30f);
            unit.setParameter(3, 99.0f);
        }
        ASSERT_EQ(unit.render(in.data(), out.data(), 1 + (block * 131) % 1024), noErr);
    }
    EXPECT_EQ(gAllocations - before, 0);
}

// The work buffers an initialised unit keeps are sized to its slices: 50 slots of
// maximum frames per slice x factor, 1.6 MB at the LV2 plug-in's 4096 frames x 2,
// where the slots' full length would keep 28.8 MB. The bounds hold the convolver of
// the cabinet the first model names as well (2x12-bright, 56 ms since the cabinets
// have their real resonances, whose ringing lengthens them), and the second lane an
// oversampling change plays through with every graph's twin (63 KB at 512 frames,
// 77 KB at 4096), and every graph's linear ends with their filters' twins at the
// stream's rate (50 KB for the twelve graphs): 2.12 MB, 1.24 MB and 377 KB kept in
// all, measured.
TEST(Realtime, AnInitialisedUnitKeepsBuffersForItsSlicesOnly) {
    {
        quorletest::LocalUnit warm(512); // what is made once per process is made here
        ASSERT_EQ(warm.initialize(), noErr);
    }
    struct Case {
        UInt32 maxFrames, factor;
        long bound; // bytes
    };
    for (const Case& c : {Case{4096, 2, 2150000}, Case{4096, 1, 1280000}, Case{512, 1, 400000}}) {
        SCOPED_TRACE(testing::Message() << c.maxFrames << " frames x" << c.factor);
        quorletest::LocalUnit unit(c.maxFrames);
        ASSERT_EQ(unit.setProperty(kQuorleProperty_Oversampling, &c.factor, sizeof(c.factor)),
                  noErr);
        const long before = gHeldBytes + gMappedBytes;
        ASSERT_EQ(unit.initialize(), noErr);
        const long kept = gHeldBytes + gMappedBytes - before;
        const long slots = 50L * c.maxFrames * c.factor * static_cast<long>(sizeof(float));
        EXPECT_GE(kept, slots) << "the work buffers are counted";
        EXPECT_LE(kept, c.bound);
    }
}

// The LV2 plug-in sets its unit up for the block length a host bounds run() to
// through the options feature, keeping buffers for it alone; without one, or with
// one it cannot read, 2048 frames. Blocks within the bound render as without it, and
// longer ones (a host breaking its word) run in slices without allocating.
TEST_F(RealtimeLv2, ThePluginSizesItsUnitToTheHostsMaximumBlock) {
    quorletest::UriMap uris;
    const LV2_URID maxBlock = uris.id(LV2_BUF_SIZE__maxBlockLength);
    const LV2_URID integer = uris.id(LV2_ATOM__Int), real = uris.id(LV2_ATOM__Float);
    const int32_t frames = 256, negative = -1, none = 0;
    const float framesAsFloat = 256.0f;
    const LV2_Feature mapFeature = {LV2_URID__map, &uris.map};
    // Kept while the instances live: the instance may read them at instantiation only,
    // but a host keeps them anyway.
    LV2_Options_Option bounded[] = {
        {LV2_OPTIONS_INSTANCE, 0, maxBlock, sizeof(int32_t), integer, &frames},
        {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr}};
    LV2_Options_Option unreadable[] = {
        {LV2_OPTIONS_INSTANCE, 0, maxBlock, sizeof(float), real, &framesAsFloat},
        {LV2_OPTIONS_INSTANCE, 0, maxBlock, sizeof(int32_t), integer, &negative},
        {LV2_OPTIONS_INSTANCE, 0, maxBlock, sizeof(int32_t), integer, &none},
        {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr}};
    const LV2_Feature boundedOptions = {LV2_OPTIONS__options, bounded};
    const LV2_Feature unreadableOptions = {LV2_OPTIONS__options, unreadable};
    const LV2_Feature* const withBound[] = {&mapFeature, &boundedOptions, nullptr};
    const LV2_Feature* const withUnreadable[] = {&mapFeature, &unreadableOptions, nullptr};
    const LV2_Feature* const withoutMap[] = {&boundedOptions, nullptr};

    { Lv2Plugin warm(mono, nullptr); }
    // Each instance's bytes kept, and the instance.
    auto make = [&](const LV2_Feature* const* features, long& kept) {
        const long before = gHeldBytes + gMappedBytes;
        LV2_Handle plugin = mono->instantiate(mono, 48000.0, QUORLE_BUNDLE_DIR, features);
        kept = gHeldBytes + gMappedBytes - before;
        return plugin;
    };
    long keptBounded = 0, keptPlain = 0, keptUnreadable = 0, keptWithoutMap = 0;
    LV2_Handle plugins[] = {make(withBound, keptBounded), make(nullptr, keptPlain),
                            make(withUnreadable, keptUnreadable), make(withoutMap, keptWithoutMap)};
    ASSERT_EQ(std::count(std::begin(plugins), std::end(plugins), nullptr), 0);
    // 50 slots of 256 x 2 frames against 2048 x 2 (the default factor is 2; the slots
    // are mapped in pages of their own, resident only once written), and besides the
    // slots and the crossfade's two buffers of a slot's length less than half a
    // megabyte (the unit's event queue, 256 KB, the largest part; every model's
    // prepared graph, about 36 KB).
    const long slots = 50L * 2048 * 2 * static_cast<long>(sizeof(float));
    const long fade = 2L * 2048 * 2 * static_cast<long>(sizeof(float));
    EXPECT_GE(keptPlain - keptBounded, slots - 50L * 256 * 2 * static_cast<long>(sizeof(float)));
    EXPECT_GE(keptPlain, slots + fade);
    EXPECT_LE(keptPlain, slots + fade + 500000);
    // The same but for a few bytes (strings of the bundle's path).
    EXPECT_NEAR(keptUnreadable, keptPlain, 4096);
    EXPECT_NEAR(keptWithoutMap, keptPlain, 4096);

    // The controls, the factor and the latency (the audio ports, 4 and 5, set by run()).
    float ports[8] = {0.7f, 0.5f, 0.5f, 2.0f, 0.0f, 0.0f, 2.0f, 0.0f};
    const std::vector<float> in = tone(230.0, 48000.0, 8192, 0.4f);
    std::vector<std::vector<float>> out(2, std::vector<float>(in.size()));
    // `frames` of the input from `at` on through instance `i`.
    auto run = [&](int i, size_t at, uint32_t frames) {
        mono->connect_port(plugins[i], 4, const_cast<float*>(in.data()) + at);
        mono->connect_port(plugins[i], 5, out[i].data() + at);
        mono->run(plugins[i], frames);
    };
    for (int i = 0; i < 2; ++i) {
        for (uint32_t p : {0u, 1u, 2u, 3u, 6u, 7u})
            mono->connect_port(plugins[i], p, &ports[p]);
        mono->activate(plugins[i]);
        for (size_t at = 0; at < 4096; at += 256)
            run(i, at, 256);
    }
    EXPECT_EQ(out[0], out[1]) << "blocks within the bound render as without it";
    const long before = gAllocations;
    run(0, 4096, 4096);
    EXPECT_EQ(gAllocations - before, 0);
    EXPECT_TRUE(finiteAndSounding({std::vector<float>(out[0].begin() + 4096, out[0].end())}));
    for (LV2_Handle p : plugins)
        mono->cleanup(p);
}

// What every model's prepared graph keeps, per channel: the shipped models' six
// graphs at 44.1 kHz, each under 64 KB and all of them under 256 KB.
TEST(Realtime, PreparedGraphsOfTheShippedModelsAreSmall) {
    gFxDir = QUORLE_DATA_DIR;
    VorlixMac fx;
    fx.init();
    std::vector<std::unique_ptr<PreparedGraph>> bank;
    long total = 0;
    for (size_t i = 0; i < fx.modelNames.size(); ++i) {
        const long before = gHeldBytes;
        bank.push_back(fx.prepare(static_cast<int>(i)));
        const long kept = gHeldBytes - before;
        ASSERT_TRUE(bank.back()) << fx.modelNames[i];
        EXPECT_GT(kept, 0);
        EXPECT_LT(kept, 64 * 1024) << fx.modelNames[i];
        total += kept;
    }
    EXPECT_LT(total, 256 * 1024);
}

// With a host's worker the model port's change is built by the worker and played
// from the first run() after its answer: the output equals, bit for bit, that of an
// instance without a worker (every model built at instantiation) whose port changes
// one run later, at 64 and 512 frames, fades included. run() and work_response()
// allocate nothing and take no lock; graphs the unit no longer needs go back to the
// worker, so the instance holds no more than without a worker, and after cleanup
// nothing the instances allocated is still held.
TEST_F(RealtimeLv2, TheWorkerBuildsModelsOffTheRenderThread) {
    { Lv2Plugin warm(mono, nullptr); } // the library's one-time allocations
    const long heldAtStart = gHeldBytes;
    for (uint32_t frames : {64u, 512u}) {
        SCOPED_TRACE(testing::Message() << frames << " frames");
        quorletest::TestWorker worker;
        const long beforeBoth = gHeldBytes;
        Lv2Plugin direct(mono, nullptr);
        const long keptDirect = gHeldBytes - beforeBoth;
        Lv2Plugin onDemand(mono, &worker);
        const long keptOnDemand = gHeldBytes - beforeBoth - keptDirect;
        ASSERT_NE(worker.plugin, nullptr);
        EXPECT_LT(keptOnDemand, keptDirect - 20000) << "five models fewer built";
        const std::vector<float> in = tone(230.0, 48000.0, frames, 0.4f);
        std::vector<float> a(frames), b(frames);
        RenderCounts counts;
        long differing = 0, peakHeld = 0;
        for (int block = 0; block < 1400; ++block) {
            if (block % 100 == 1)
                direct.controls[3] = static_cast<float>((block / 100 + 2) % 6);
            if (block % 100 == 0)
                onDemand.controls[3] = static_cast<float>((block / 100 + 2) % 6);
            direct.run(in.data(), a.data(), frames);
            counts.count([&] {
                worker.answer();
                onDemand.run(in.data(), b.data(), frames);
            });
            worker.work();
            differing += a != b;
            peakHeld = std::max(peakHeld, gHeldBytes - heldAtStart);
        }
        counts.expectNone();
        EXPECT_EQ(differing, 0);
        EXPECT_TRUE(finiteAndSounding({b}));
        // The graph playing, one fading out and one coming in at most, each with its
        // twin (38-44 KB measured); graphs kept once retired would come to some 90 KB
        // (every model's pair, 6 to 22 KB each).
        EXPECT_LT(peakHeld - keptDirect - keptOnDemand, 60000) << "retired graphs are freed";
    }
    // Within a few hundred bytes the test's own messages hold; a graph is kilobytes.
    EXPECT_NEAR(gHeldBytes, heldAtStart, 1024)
        << "nothing left behind, every answer freed or played";
}

// A player's archive set through the LV2 parameter: the worker opens its unit, and
// the answer puts it in place and crossfades to it within run(); then a state
// restored (the shipped archive back): the run() that puts its rig in place, the
// crossfade and the old rig's way to the worker. Then the cabinet switched every way
// a player can while it plays: the port through the shipped cabinets and off, the
// player's files set by patch:Set (loaded by the worker, one that cannot be used
// among them). Neither run() nor work_response() allocates, locks, opens a file or
// starts a thread, the fades and the way of the replaced units and cabinets to the
// worker or back to the shelf included.
TEST_F(RealtimeLv2,
       ArchivesRestoresAndCabinetsChangeWithNothingAllocatedOrOpenedOnTheRenderThread) {
    quorletest::ScratchDir dir;
    // A short decaying response, and a file that is not a sound.
    const std::string bad = dir.path + "cabinet-test.txt";
    const std::string good = quorletest::writeWav(dir.path + "cabinet-test.wav",
                                                  {0.6f, -0.25f, 0.12f, -0.06f, 0.03f}, 44100);
    std::ofstream(bad) << "not a sound\n";
    quorletest::Lv2Session session(stereo, false, 256);
    auto& plugin = session.plugin;
    const std::vector<float> in = tone(230.0, 48000.0, 256, 0.4f);
    std::vector<float> heard(256); // the first channel's last block
    plugin.chooseCabinet(5.0f);
    plugin.run(in.data(), heard.data(), 256);
    // Cycles of a threaded host, each run() after the answers waiting counted; the
    // worker's turns may allocate (they open files and free what the unit let go),
    // and the files they open are summed.
    RenderCounts counts;
    long workerOpens = 0;
    auto cycles = [&](int n) {
        for (int i = 0; i < n; ++i) {
            counts.count([&] {
                session.worker.answer();
                plugin.run(in.data(), heard.data(), 256);
            });
            const long before = gOpens;
            session.worker.work();
            workerOpens += gOpens - before;
        }
    };
    plugin.setArchive(std::string(QUORLE_REFERENCE_DATA_DIR) + "quorle.data");
    cycles(24);
    ASSERT_FALSE(session.log.messages.empty());
    EXPECT_NE(session.log.messages[0].find("4 models"), std::string::npos)
        << "the archive was opened";
    EXPECT_TRUE(finiteAndSounding({heard}));
    quorletest::TestState shipped;
    ASSERT_EQ(plugin.restore(shipped), LV2_STATE_SUCCESS);
    cycles(24);
    EXPECT_TRUE(finiteAndSounding({heard}));

    workerOpens = 0;
    for (float choice : {2.0f, 3.0f, 0.0f, 4.0f, 5.0f}) {
        plugin.cabinet = choice;
        cycles(6); // past the 20 ms crossfade
    }
    plugin.cabinet = 1.0f;
    for (const std::string& file : {good, bad, good}) {
        plugin.setPath(session.uris.id("http://pellark.invalid/plugins/quorle#cabinetFile"), file);
        cycles(6);
    }
    plugin.cabinet = 3.0f;
    cycles(6);
    counts.expectNone();
    EXPECT_GE(workerOpens, 2) << "the worker opened the files";
    ASSERT_EQ(session.log.messages.size(), 2u);
    EXPECT_NE(session.log.messages[1].find(bad), std::string::npos) << session.log.messages[1];
    EXPECT_EQ(session.worker.failures, 0);
    EXPECT_TRUE(finiteAndSounding({heard}));
}

} // namespace
