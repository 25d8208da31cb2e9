// Several units of the plug-in in one process, on several threads at once, as a
// host with more than one track uses them: each unit renders on a thread of its
// own while the host's other threads open, initialise and close further units and
// add and remove property listeners. Whatever the others do, a unit's output is
// the output it gives alone. Built as a program of its own so that the
// ThreadSanitizer build can run just these.
#include "au/quorleIds.h"
#include "main/ChannelEngine.h"
#include "main/DataArchive.h"
#include "main/SharedArchive.h"
#include "main/SharedCabinets.h"
#include "tools/PluckedPhrase.h"
#include "tools/PluginHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr size_t kShippedModels = 6;

// What one rendering unit is given: its stream, its controls and, block by block,
// the model it plays.
struct Script {
    double rate;
    UInt32 channels;
    UInt32 block; // frames per render call, also the unit's maximum
    size_t blocks;
    float drive;
    size_t switchEvery; // blocks between model changes
    size_t firstModel;
    size_t tooLongEvery; // every this many blocks a call of block + 1 frames, refused

    float modelAt(size_t b) const {
        return static_cast<float>((firstModel + b / switchEvery) % kShippedModels);
    }
    bool switchesAt(size_t b) const { return b % switchEvery == 0; }
    bool tooLongAt(size_t b) const { return b % tooLongEvery == tooLongEvery / 2; }
};

using Channels = std::vector<std::vector<float>>;

// A plucked phrase, a stretch of its own on every channel.
Channels signal(const Script& s) {
    const size_t n = s.block * s.blocks;
    const std::vector<float> phrase = pluckedPhrase(s.rate, double(n * s.channels + 1) / s.rate);
    Channels in;
    for (size_t c = 0; c < s.channels; ++c)
        in.emplace_back(phrase.begin() + long(c * n), phrase.begin() + long((c + 1) * n));
    return in;
}

// Not silent on any channel: the comparison below compares sound.
bool audible(const Channels& a) {
    return !a.empty() && std::all_of(a.begin(), a.end(), [](const std::vector<float>& c) {
        return std::inner_product(c.begin(), c.end(), c.begin(), 0.0) > 1e-3;
    });
}

// The shipped bundle's unit opened in `host`.
testing::AssertionResult loaded(PluginHost& host) {
    std::string error;
    return host.load(QUORLE_BUNDLE_DIR, error) ? testing::AssertionSuccess()
                                               : testing::AssertionFailure() << error;
}

testing::AssertionResult started(PluginHost& host, const Script& s) {
    if (testing::AssertionResult opened = loaded(host); !opened)
        return opened;
    if (OSStatus status = host.start(s.rate, s.channels, s.block))
        return testing::AssertionFailure() << "start: status " << status;
    if (OSStatus status = host.setParameter(0, s.drive))
        return testing::AssertionFailure() << "drive: status " << status;
    return testing::AssertionSuccess();
}

// Plays `s` through a started unit; the calls that did not answer as they should.
int play(PluginHost& host, const Script& s, const Channels& in, Channels& out) {
    int wrong = 0;
    out.assign(s.channels, std::vector<float>(in[0].size()));
    Channels scratch(s.channels, std::vector<float>(s.block + 1));
    std::vector<const float*> ins(s.channels);
    std::vector<float*> outs(s.channels);
    for (size_t b = 0; b < s.blocks; ++b) {
        if (s.switchesAt(b) && host.setParameter(3, s.modelAt(b)) != noErr)
            ++wrong;
        if (s.tooLongAt(b)) {
            // A host's mistake: refused untouched, and announced to render-error listeners.
            for (size_t c = 0; c < s.channels; ++c)
                ins[c] = outs[c] = scratch[c].data();
            if (host.render(ins.data(), outs.data(), s.block + 1) !=
                kAudioUnitErr_TooManyFramesToProcess)
                ++wrong;
        }
        for (size_t c = 0; c < s.channels; ++c) {
            ins[c] = in[c].data() + b * s.block;
            outs[c] = out[c].data() + b * s.block;
        }
        if (host.render(ins.data(), outs.data(), s.block) != noErr)
            ++wrong;
    }
    return wrong;
}

// Runs `work` on a thread of its own after all the others have started, so that
// they overlap.
struct Crew {
    std::vector<std::function<void()>> tasks;
    void add(std::function<void()> work) { tasks.push_back(std::move(work)); }
    void run() {
        std::atomic<size_t> ready{0};
        std::vector<std::thread> threads;
        for (auto& task : tasks)
            threads.emplace_back([&, task] {
                ++ready;
                while (ready.load() < tasks.size())
                    std::this_thread::yield();
                task();
            });
        for (auto& thread : threads)
            thread.join();
    }
};

// Opens, starts and closes a unit of the shipped bundle; false if any step fails
// or it does not list the shipped models.
bool openStartClose() {
    PluginHost host;
    return loaded(host) && host.start(44100.0, 1, 256) == noErr &&
           host.modelNames().size() == kShippedModels;
}

struct ListenerLog {
    std::atomic<int> calls{0}, wrong{0};
    std::vector<AudioUnit> units;
};

void onRenderError(void* refCon, AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                   AudioUnitElement element) {
    auto* log = static_cast<ListenerLog*>(refCon);
    ++log->calls;
    const bool known = std::find(log->units.begin(), log->units.end(), unit) != log->units.end();
    if (!known || id != kAudioUnitProperty_LastRenderError || scope != kAudioUnitScope_Global ||
        element != 0)
        ++log->wrong;
}

void onFormat(void*, AudioUnit, AudioUnitPropertyID, AudioUnitScope, AudioUnitElement) {}

// Two units switching models render, each on a thread of its own, what they render
// alone, while two more threads open, start and close units at once (the rendering
// units keep the library loaded throughout, as a track that keeps the plug-in does:
// unloading runs its destructors under the loader's own lock, which the thread
// checker cannot see) and a window adds and removes listeners.
TEST(Concurrency, UnitsRenderAsTheyDoAloneWhileOthersComeAndGoOnSeveralThreads) {
    const Script scripts[] = {
        {44100.0, 1, 256, 240, 0.7f, 3, 0, 11},
        {48000.0, 2, 512, 120, 0.3f, 4, 2, 7},
    };
    std::vector<Channels> inputs, alone(2), together(2);
    PluginHost hosts[2];
    for (size_t u = 0; u < 2; ++u) {
        inputs.push_back(signal(scripts[u]));
        // The same work, one unit at a time on this thread.
        PluginHost host;
        ASSERT_TRUE(started(host, scripts[u]));
        ASSERT_EQ(play(host, scripts[u], inputs[u], alone[u]), 0);
        // Started here, as a host's main thread does, then rendered on threads of their own.
        ASSERT_TRUE(started(hosts[u], scripts[u]));
    }
    ListenerLog log;
    log.units = {hosts[0].unit(), hosts[1].unit()};

    std::atomic<int> rendering{2}, wrongCalls{0}, failedUnits{0}, listenerErrors{0};
    std::atomic<int> unitsOpened{0}, listenerRounds{0};
    Crew crew;
    for (size_t u = 0; u < 2; ++u)
        crew.add([&, u] {
            wrongCalls += play(hosts[u], scripts[u], inputs[u], together[u]);
            --rendering;
        });
    for (int t = 0; t < 2; ++t) // other tracks' units, added and removed over and over
        crew.add([&] {
            do {
                failedUnits += openStartClose() ? 0 : 1;
                ++unitsOpened;
            } while (rendering.load() > 0);
        });
    const std::pair<AudioUnitPropertyID, AudioUnitPropertyListenerProc> listeners[] = {
        {kAudioUnitProperty_LastRenderError, &onRenderError},
        {kAudioUnitProperty_StreamFormat, &onFormat}};
    crew.add([&] { // a window watching the rendering units' errors and formats
        do {
            for (AudioUnit unit : log.units)
                for (const auto& [id, listener] : listeners)
                    listenerErrors +=
                        AudioUnitAddPropertyListener(unit, id, listener, &log) ? 1 : 0;
            for (AudioUnit unit : log.units) {
                OSStatus last = noErr; // reading it lets the next error be announced
                UInt32 size = sizeof(last);
                if (AudioUnitGetProperty(unit, kAudioUnitProperty_LastRenderError,
                                         kAudioUnitScope_Global, 0, &last, &size) != noErr ||
                    (last != noErr && last != kAudioUnitErr_TooManyFramesToProcess))
                    ++listenerErrors;
                for (const auto& [id, listener] : listeners)
                    listenerErrors += AudioUnitRemovePropertyListener(unit, id, listener) ? 1 : 0;
            }
            ++listenerRounds;
            std::this_thread::yield();
        } while (rendering.load() > 0);
    });
    crew.run();
    EXPECT_EQ(wrongCalls.load(), 0);
    EXPECT_EQ(failedUnits.load(), 0) << "of " << unitsOpened.load() << " units opened";
    EXPECT_EQ(listenerErrors.load(), 0) << "in " << listenerRounds.load() << " rounds";
    EXPECT_EQ(log.wrong.load(), 0) << "of " << log.calls.load() << " announcements";
    for (size_t u = 0; u < 2; ++u) {
        EXPECT_TRUE(audible(alone[u])) << "unit " << u;
        EXPECT_TRUE(together[u] == alone[u]) << "unit " << u << " renders differently";
    }
}

// A host reading the archive path (64007) on one thread, by its size first as
// hosts do, while another thread sets paths of other lengths: every read fits the
// buffer the size asked for and holds one whole path that was set (the thread
// checker sees no race on the path either).
TEST(Concurrency, TheArchivePathReadsWholeWhileAnotherThreadSetsIt) {
    PluginHost host;
    ASSERT_TRUE(loaded(host));
    const std::string paths[] = {"", "/a.data", std::string(3000, 'p') + ".data"};
    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, reads{0};
    std::thread reader([&] {
        while (!done.load()) {
            UInt32 size = 0;
            Boolean writable = false;
            if (AudioUnitGetPropertyInfo(host.unit(), kQuorleProperty_ArchivePath,
                                         kAudioUnitScope_Global, 0, &size, &writable) != noErr)
                continue;
            // Exactly what the size said, so that an overflow is seen by the sanitizers.
            std::unique_ptr<char[]> buffer(new char[size]);
            if (AudioUnitGetProperty(host.unit(), kQuorleProperty_ArchivePath,
                                     kAudioUnitScope_Global, 0, buffer.get(), &size) != noErr)
                continue;
            const std::string got(buffer.get(), strnlen(buffer.get(), size));
            torn += std::find(std::begin(paths), std::end(paths), got) == std::end(paths);
            ++reads;
        }
    });
    for (int i = 0; i < 20000 || reads.load() < 100; ++i) {
        const std::string& p = paths[i % 3];
        AudioUnitSetProperty(host.unit(), kQuorleProperty_ArchivePath, kAudioUnitScope_Global, 0,
                             p.c_str(), static_cast<UInt32>(p.size() + 1));
    }
    done = true;
    reader.join();
    EXPECT_GE(reads.load(), 100);
    EXPECT_EQ(torn.load(), 0);
}

// Two channel engines building models on demand, as the LV2 plug-in drives them
// with a host's worker: a worker thread builds graphs for one model after another
// while the render thread renders, offers them between renders and switches; the
// graphs the engines let go travel back to the worker, which frees them.
TEST(Concurrency, AWorkerBuildsGraphsWhileTheEnginesRender) {
    gFxDir = std::string(QUORLE_BUNDLE_DIR) + "/";
    // 256 frames at 48 kHz, twice oversampled, the first model alone built.
    const EngineSetup setup = {48000.0, 256, 2, false, 0, DataArchive::readDirectory(gFxDir)};
    ChannelEngine left(setup), right(setup);
    // One message each way at a time: `full` says who may touch `graphs`.
    struct Mailbox {
        std::atomic<bool> full{false};
        std::unique_ptr<PreparedGraph> graphs[2];
        int model = 0;
    } built, retired;
    std::atomic<bool> done{false};
    std::atomic<int> switches{0}, freed{0};
    std::thread worker([&] {
        for (int model = 1; !done.load(); ++model) {
            if (retired.full.load(std::memory_order_acquire)) {
                for (auto& graph : retired.graphs)
                    freed += graph ? 1 : 0, graph.reset();
                retired.full.store(false, std::memory_order_release);
            }
            if (built.full.load(std::memory_order_acquire)) {
                std::this_thread::yield();
                continue;
            }
            built.model = model % int(kShippedModels);
            built.graphs[0] = left.prepare(built.model, 2);
            built.graphs[1] = right.prepare(built.model, 2);
            built.full.store(true, std::memory_order_release);
        }
    });
    const Script script = {48000.0, 2, 256, 400, 0.7f, 1, 0, 1000};
    const Channels in = signal(script);
    Channels out(2, std::vector<float>(256));
    bool finite = true;
    // Rendered until a dozen switches have been made and graphs have gone back, as
    // fast as the threads happen to run (at most 100000 blocks).
    for (size_t n = 0; n < 100000 && (switches.load() < 12 || freed.load() == 0); ++n) {
        const size_t b = n % script.blocks;
        if (built.full.load(std::memory_order_acquire)) {
            // Refused (no room until the let-go graphs are collected): offered again
            // at the next block.
            const int model = built.model;
            if ((!built.graphs[0] || left.offer(built.graphs[0])) &&
                (!built.graphs[1] || right.offer(built.graphs[1])) && left.switchTo(model, true) &&
                right.switchTo(model, true)) {
                ++switches;
                built.full.store(false, std::memory_order_release);
            }
        }
        ChannelEngine::processPair(left, in[0].data() + b * 256, out[0].data(), right,
                                   in[1].data() + b * 256, out[1].data(), 256);
        for (const auto& channel : out)
            finite &= std::all_of(channel.begin(), channel.end(),
                                  [](float x) { return std::isfinite(x); });
        if (!retired.full.load(std::memory_order_acquire)) {
            retired.graphs[0] = left.takeRetired();
            retired.graphs[1] = right.takeRetired();
            if (retired.graphs[0] || retired.graphs[1])
                retired.full.store(true, std::memory_order_release);
        }
    }
    done = true;
    worker.join();
    EXPECT_TRUE(finite);
    EXPECT_GE(switches.load(), 12);
    EXPECT_GT(freed.load(), 0) << "let-go graphs reached the worker";
}

} // namespace

namespace {

// Instances starting on several threads at once share what the process keeps ready:
// each gets the one archive copy and the one prepared cabinet per rate, whichever
// thread made it, and the cabinets they play convolve alike.
TEST(Concurrency, InstancesStartingTogetherShareTheArchiveAndTheCabinets) {
    constexpr int kThreads = 4;
    std::vector<std::shared_ptr<const DataArchive>> archives(kThreads);
    std::vector<std::shared_ptr<const cabinet::ReadyCabinet>> ready(kThreads);
    std::vector<std::vector<float>> played(kThreads);
    std::atomic<int> waiting{kThreads};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            --waiting;
            while (waiting.load() > 0) {
            }
            archives[t] = archive::sharedDirectory(QUORLE_BUNDLE_DIR "/");
            std::string error;
            const std::string name = archives[t]->cabinetNames().front();
            ready[t] = cabinet::shared(*archives[t], name, 37800.0, error);
            if (!ready[t])
                return;
            const auto conv = cabinet::convolverFor(*ready[t], 0, 256);
            played[t].assign(2048, 0.0f);
            played[t][0] = 1.0f;
            conv->process(played[t].data(), played[t].data(), 2048);
        });
    for (std::thread& t : threads)
        t.join();
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_TRUE(archives[t] && archives[t]->found());
        ASSERT_TRUE(ready[t]) << t;
        EXPECT_EQ(archives[t], archives[0]) << "one copy of the archive";
        EXPECT_EQ(played[t], played[0]) << t;
    }
    // Those that raced to make it may each have made one; every later call gets the
    // one kept.
    std::string error;
    const auto kept =
        cabinet::shared(*archives[0], archives[0]->cabinetNames().front(), 37800.0, error);
    EXPECT_TRUE(kept);
    EXPECT_EQ(cabinet::shared(*archives[0], archives[0]->cabinetNames().front(), 37800.0, error),
              kept);
}

} // namespace
