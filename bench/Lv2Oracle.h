// A random host for the LV2 plug-in: seeded sequences of steps on one instance (the
// ports, patch:Set of the archive and the cabinet file, files deleted and put back,
// save() and restore() of saved and hand-made states, blocks of 1 to 4096 frames)
// under a worker of each kind, and after every settle its output compared, bit for
// bit, with that of fresh instances restored to what it should play.
//
// What plays is a function of the state and the ports, never of the history:
//  - the Cabinet port at File with no file chosen, or with one that could not be
//    used, plays no cabinet;
//  - a cabinet file refused by patch:Set (missing, not audio, a folder) leaves the
//    last file that loaded as the chosen one (one chosen while the worker was busy
//    and replaced before its turn may be passed over);
//  - a refused archive plays the shipped models and the state keeps its path, so
//    that a fresh instance restored from it is refused too and plays them as well;
//  - a restored state is taken whole: a path that cannot be used, a key missing or
//    of another type than atom:Path, gives what a fresh instance restored from it
//    gives, whatever played before;
//  - a file deleted after it was loaded plays on: the fresh instances are restored
//    with it put back, so that they load what the instance loaded;
//  - a schedule() or respond() refused with NO_SPACE is the plug-in's to try again.
// A settle: the armed refusals dropped, then cycles of 512 frames with the worker
// working everything asked of it (in its own order) until at least 250 ms have
// played and nothing is queued. Without a worker (lv2apply) a file is loaded only
// when a state is restored, so patch:Set steps are left out and a settle is the
// cycles alone.
// The check after a settle: the instance, a fresh one restored from the state the
// oracle believes (same ports, an offline worker, settled the same way) and a fresh
// one restored from the instance's save() are each reset by activate() and render
// the same input; the outputs must agree to 100 dB under their peak (bit for bit
// but for a control smoothed towards its value, which never quite gets there), the
// saved archive must be the one believed and the saved cabinet file the one playing.
// A divergence names what plays instead (another cabinet, model or archive).
//
// A short run is part of the tests (tests/Lv2OracleTest.cpp); the long one is
// build/bench/lv2-oracle [STEPS [FIRST-SEED]]. QUORLE_ORACLE_EVERY_STEP=1 reports
// every step of a sequence that diverged, QUORLE_ORACLE_CHECK_ALL=N checks after
// every step from step N on (to find the first step that diverges).
#pragma once

#include "tests/Lv2TestHost.h"

#include "main/DataArchive.h"
#include "tools/PluckedPhrase.h"
#include "tools/ZipWriter.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

namespace lv2oracle {

using namespace quorletest;

constexpr const char* kArchiveUri = "http://pellark.invalid/plugins/quorle#archive";
constexpr const char* kCabinetUri = "http://pellark.invalid/plugins/quorle#cabinetFile";
constexpr uint32_t kSettleBlock = 512, kSettleCycles = 24, kProbe = 4096;

enum Mode { kAbsent, kImmediate, kThreaded, kSlow, kReordered, kParallel, kModes };
const char* const kModeNames[] = {"absent", "immediate", "threaded",
                                  "slow",   "reordered", "parallel"};

// A host's worker in one of the modes above, its schedule() and respond() refused
// with NO_SPACE on demand. Lv2Plugin connects it as the test worker it derives from.
// The parallel one works on a thread of its own, alongside run(), as jalv's does:
// its queues are then shared under a lock.
struct Worker : TestWorker {
    Mode mode;
    std::mt19937_64& rng;
    std::vector<std::vector<uint8_t>> queued, answers;
    std::atomic<int> refuseSchedule{0}, refuseRespond{0}; // the next calls refused
    std::mutex lock;
    std::condition_variable wake;
    std::thread thread;
    bool stopping = false, working = false;
    Worker(Mode m, std::mt19937_64& r) : mode(m), rng(r) {
        schedule.schedule_work = &Worker::scheduleWork;
    }
    ~Worker() { stop(); }
    static bool refused(std::atomic<int>& count) {
        int n = count.load();
        while (n > 0 && !count.compare_exchange_weak(n, n - 1)) {
        }
        return n > 0;
    }
    static LV2_Worker_Status scheduleWork(LV2_Worker_Schedule_Handle h, uint32_t size,
                                          const void* data) {
        auto* self = static_cast<Worker*>(static_cast<TestWorker*>(h));
        if (refused(self->refuseSchedule))
            return LV2_WORKER_ERR_NO_SPACE;
        const auto* bytes = static_cast<const uint8_t*>(data);
        {
            std::lock_guard<std::mutex> hold(self->lock);
            self->queued.emplace_back(bytes, bytes + size);
        }
        self->wake.notify_all();
        if (self->mode == kImmediate) // an offline host: worked and answered at once
            self->workQueued(true), self->answer();
        return LV2_WORKER_SUCCESS;
    }
    static LV2_Worker_Status respondTo(LV2_Worker_Respond_Handle h, uint32_t size,
                                       const void* data) {
        auto* self = static_cast<Worker*>(h);
        if (refused(self->refuseRespond))
            return LV2_WORKER_ERR_NO_SPACE;
        const auto* bytes = static_cast<const uint8_t*>(data);
        std::lock_guard<std::mutex> hold(self->lock);
        self->answers.emplace_back(bytes, bytes + size);
        return LV2_WORKER_SUCCESS;
    }
    // The parallel worker's thread: each request as it comes, until stop().
    void start() {
        if (mode != kParallel)
            return;
        thread = std::thread([this] {
            std::unique_lock<std::mutex> hold(lock);
            for (;;) {
                wake.wait(hold, [this] { return stopping || !queued.empty(); });
                if (stopping)
                    return;
                const std::vector<uint8_t> m = std::move(queued.front());
                queued.erase(queued.begin());
                working = true;
                hold.unlock();
                call(plugin, instance, this, m, false);
                hold.lock();
                working = false;
                wake.notify_all();
            }
        });
    }
    void stop() {
        if (!thread.joinable())
            return;
        {
            std::lock_guard<std::mutex> hold(lock);
            stopping = true;
        }
        wake.notify_all();
        thread.join();
    }
    // Whether nothing is queued, being worked or waiting to be answered.
    bool idle() {
        std::lock_guard<std::mutex> hold(lock);
        return queued.empty() && answers.empty() && !working;
    }
    static void call(const LV2_Worker_Interface* i, LV2_Handle h, void* self,
                     const std::vector<uint8_t>& m, bool answer) {
        alignas(8) uint8_t copy[1024]; // aligned, as a host's ring hands it over
        std::memcpy(copy, m.data(), std::min(m.size(), sizeof(copy)));
        const auto size = static_cast<uint32_t>(m.size());
        answer ? (void)i->work_response(h, size, copy)
               : (void)i->work(h, respondTo, self, size, copy);
    }
    // Before run(): every answer waiting, in the order given; a threaded host now and
    // then hands each over twice (the second must change nothing).
    void answer() {
        std::vector<std::vector<uint8_t>> ready;
        {
            std::lock_guard<std::mutex> hold(lock);
            ready = std::move(answers);
            answers.clear();
        }
        const int times = mode >= kThreaded && rng() % 8 == 0 ? 2 : 1;
        for (int t = 0; t < times; ++t)
            for (const auto& m : ready)
                call(plugin, instance, this, m, true);
    }
    // The worker's turn after run(): a slow one holds its queue three turns in four;
    // a reordering one works it in any order.
    // The parallel one works on its own; `all` waits until it has worked everything.
    void workQueued(bool all) {
        if (mode == kParallel) {
            std::unique_lock<std::mutex> hold(lock);
            if (all)
                wake.wait(hold, [this] { return queued.empty() && !working; });
            return;
        }
        if (mode == kSlow && !all && rng() % 4)
            return;
        std::vector<std::vector<uint8_t>> requests;
        {
            std::lock_guard<std::mutex> hold(lock);
            requests = std::move(queued);
            queued.clear();
        }
        if (mode == kReordered)
            std::shuffle(requests.begin(), requests.end(), rng);
        for (const auto& m : requests)
            call(plugin, instance, this, m, false);
    }
};

// The files a sequence chooses from, made afresh for it: archives and cabinet files
// that can be used, ones that cannot, and those deleted since.
struct Files {
    ScratchDir dir;
    std::vector<std::string> archives, cabinets; // good ones first, then refused ones
    size_t goodArchives = 2, goodCabinets = 3;
    std::set<std::string> gone;
    explicit Files(const std::map<std::string, std::string>& models) {
        {
            ZipWriter zip(dir.path + "three.data");
            for (const auto& [name, text] : models)
                zip.add(name, text);
            zip.close();
        }
        std::filesystem::copy_file(std::string(QUORLE_REFERENCE_DATA_DIR) + "quorle.data",
                                   dir.path + "four.data");
        std::ofstream(dir.path + "text") << "neither an archive nor a sound\n";
        std::filesystem::create_directory(dir.path + "folder");
        archives = {dir.path + "three.data", dir.path + "four.data", dir.path + "missing.data",
                    dir.path + "text", dir.path + "folder"};
        cabinets = {writeWav(dir.path + "a.wav", {0.6f, -0.3f, 0.2f, 0.1f}, 48000),
                    writeWav(dir.path + "b.wav", {0.5f, 0.1f, -0.2f, 0.4f, 0.1f, 0.0f}, 44100, 2),
                    writeWav(dir.path + "c.wav", std::vector<float>(300, 0.01f), 96000),
                    dir.path + "missing.wav",
                    dir.path + "text",
                    dir.path + "folder"};
    }
    bool usable(const std::string& path, bool archive) const {
        const auto& all = archive ? archives : cabinets;
        const size_t good = archive ? goodArchives : goodCabinets;
        return std::find(all.begin(), all.begin() + static_cast<long>(good), path) !=
                   all.begin() + static_cast<long>(good) &&
               !gone.count(path);
    }
    void remove(const std::string& path) {
        if (gone.insert(path).second)
            std::filesystem::rename(path, path + ".gone");
    }
    void putBack(const std::string& path) {
        if (gone.erase(path))
            std::filesystem::rename(path + ".gone", path);
    }
};

// The archive and cabinet file the oracle believes chosen, and whether each plays.
struct Belief {
    std::string archive, cabinet;
    bool archivePlays = false, cabinetPlays = false;
};

// The shipped archive's models 3, 1 and 5 as a player's archive of three.
const std::map<std::string, std::string>& threeModels() {
    static const auto models = [] {
        const auto shipped = DataArchive::readFile(QUORLE_BUNDLE_DIR "/quorle.data");
        const auto& names = shipped->modelNames();
        return std::map<std::string, std::string>{{"1-a.xml", *shipped->model(names.at(2))},
                                                  {"2-b.xml", *shipped->model(names.at(0))},
                                                  {"3-c.xml", *shipped->model(names.at(4))}};
    }();
    return models;
}

// One instance under a host of `mode`, with its own log.
struct Host {
    UriMap uris;
    TestLog log;
    Worker worker;
    Lv2Plugin plugin;
    Host(const LV2_Descriptor* d, Mode mode, std::mt19937_64& rng)
        : worker(mode, rng), plugin(d, mode == kAbsent ? nullptr : &worker, &uris, &log.feature) {
        plugin.chooseCabinet(0.0f);
        worker.start();
    }
    ~Host() { worker.stop(); } // before the instance is cleaned up
    void cycle(const float* const* in, float* const* out, uint32_t frames, bool all = false) {
        worker.answer();
        plugin.run(in, out, frames);
        worker.workQueued(all);
    }
    void settle(const std::vector<float>& in) {
        worker.refuseSchedule = worker.refuseRespond = 0;
        std::vector<float> out(kSettleBlock);
        float* outs[2] = {out.data(), out.data()};
        for (uint32_t n = 0; n < kSettleCycles || !worker.idle(); ++n) {
            const float* ins[2] = {&in[n % 64 * kSettleBlock], &in[(n + 7) % 64 * kSettleBlock]};
            cycle(ins, outs, kSettleBlock, true);
            if (n > 1000)
                break;
        }
    }
    // Reset by activate(), the probe played: one buffer a channel.
    Out probe(const std::vector<float>& in) {
        plugin.d->activate(plugin.h);
        Out out(plugin.channels, std::vector<float>(kProbe));
        for (uint32_t at = 0; at < kProbe; at += kSettleBlock) {
            const float* ins[2] = {&in[at], &in[in.size() - kProbe - at]};
            float* outs[2] = {&out[0][at], &out.back()[at]};
            cycle(ins, outs, kSettleBlock, true);
        }
        std::lock_guard<std::mutex> hold(log.lock);
        log.messages.clear();
        return out;
    }
    TestState stateOf(const Belief& b) {
        TestState state;
        if (!b.archive.empty())
            state.values[uris.id(kArchiveUri)] = {b.archive + '\0', uris.id(LV2_ATOM__Path)};
        if (!b.cabinet.empty())
            state.values[uris.id(kCabinetUri)] = {b.cabinet + '\0', uris.id(LV2_ATOM__Path)};
        return state;
    }
};

// Where two renders differ by more than 100 dB under the louder one's peak (a
// control smoothed towards its value is never exactly there, whatever came
// before), with each one's level; "" when they agree.
std::string difference(const Out& a, const Out& b) {
    std::ostringstream s;
    for (size_t c = 0; c < a.size(); ++c) {
        float peak = 1e-4f, worst = 0;
        double powerA = 0, powerB = 0;
        for (size_t i = 0; i < a[c].size(); ++i) {
            peak = std::max({peak, std::fabs(a[c][i]), std::fabs(b[c][i])});
            worst = std::max(worst, std::fabs(a[c][i] - b[c][i]));
            powerA += a[c][i] * a[c][i] / a[c].size(), powerB += b[c][i] * b[c][i] / a[c].size();
        }
        if (!(worst <= peak * 1e-5f))
            s << "channel " << c << " differs by " << 20 * std::log10(worst / peak)
              << " dB of its peak, levels " << 10 * std::log10(powerA + 1e-30) << " and "
              << 10 * std::log10(powerB + 1e-30) << " dB; ";
    }
    return s.str();
}

// One seeded sequence of `steps` steps; the first divergence found, "" when none.
struct Oracle {
    const LV2_Descriptor* d;
    Mode mode;
    uint64_t seed;
    std::mt19937_64 rng;
    Files files{threeModels()};
    std::vector<float> in = pluckedPhrase(48000.0, 1.0);
    Host host;
    Belief belief;
    std::vector<std::string> chosenSince{""}; // usable cabinet files set since the last check
    std::vector<TestState> saved;
    std::vector<std::string> steps; // since the last check, for the report
    int step = 0;

    Oracle(const LV2_Descriptor* descriptor, Mode m, uint64_t s)
        : d(descriptor), mode(m), seed(s), rng(s * 5 + m), host(d, m, rng) {
        in.resize(64 * kSettleBlock);
    }
    size_t pick(size_t n) { return static_cast<size_t>(rng() % n); }
    template <typename T> T pickOf(std::initializer_list<T> l) { return l.begin()[pick(l.size())]; }
    void note(const std::string& s) { steps.push_back(std::to_string(step) + " " + s); }

    void play(uint32_t frames) {
        std::vector<float> out(2 * frames), input(2 * frames);
        const size_t at = pick(in.size() - 4096);
        std::copy(in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at + frames),
                  input.begin());
        std::reverse_copy(input.begin(), input.begin() + frames, input.begin() + frames);
        const float* ins[2] = {input.data(), input.data() + frames};
        float* outs[2] = {out.data(), out.data() + frames};
        host.cycle(ins, outs, frames);
    }
    uint32_t frames() {
        const size_t r = pick(100);
        return static_cast<uint32_t>(1 + (r < 50 ? pick(64) : r < 85 ? pick(1024) : pick(4096)));
    }
    void setPath(bool archive, const std::string& path) {
        host.plugin.setPath(host.uris.id(archive ? kArchiveUri : kCabinetUri), path);
        note(std::string("set ") + (archive ? "archive " : "cabinet file ") + path);
        if (archive)
            belief.archive = path, belief.archivePlays = files.usable(path, true);
        else if (files.usable(path, false))
            belief.cabinet = path, belief.cabinetPlays = true, chosenSince.push_back(path);
        const uint32_t n = frames();
        note("play " + std::to_string(n));
        play(n);
    }
    void restore(TestState& state) {
        auto take = [&](const char* uri, std::string& path, bool& plays, bool archive) {
            const auto found = state.values.find(host.uris.id(uri));
            const bool ok =
                found != state.values.end() && found->second.second == host.uris.id(LV2_ATOM__Path);
            path = ok ? found->second.first.c_str() : "";
            plays = ok && files.usable(path, archive);
            note(std::string("  ") + uri + " " +
                 (found == state.values.end() ? "(none)" : found->second.first.c_str()) +
                 (ok ? "" : " (not a path)"));
        };
        note("restore");
        take(kArchiveUri, belief.archive, belief.archivePlays, true);
        take(kCabinetUri, belief.cabinet, belief.cabinetPlays, false);
        // The state decides alone: a refused choice after it falls back to its file
        // (none when it could not be used) or to one chosen since.
        chosenSince.assign(1, belief.cabinetPlays ? belief.cabinet : "");
        host.plugin.restore(state);
    }
    // A state made by hand: each key missing, a path or another type.
    TestState handMade() {
        TestState state;
        for (const bool archive : {true, false}) {
            const auto& all = archive ? files.archives : files.cabinets;
            const std::string path = all[pick(all.size())] + '\0';
            const LV2_URID key = host.uris.id(archive ? kArchiveUri : kCabinetUri);
            switch (pick(5)) {
            case 0: break;
            case 1: state.values[key] = {path, host.uris.id(LV2_ATOM__String)}; break;
            case 2: state.values[key] = {std::string(4, '\1'), host.uris.id(LV2_ATOM__Int)}; break;
            default: state.values[key] = {path, host.uris.id(LV2_ATOM__Path)};
            }
        }
        return state;
    }

    // The fresh instance restored from `state` with the ports of the one under test
    // (or `model` and `cabinet`), its probe played.
    Out freshProbe(TestState& state, float model = -2, float cabinet = -2) {
        std::mt19937_64 unused;
        Host fresh(d, kImmediate, unused);
        std::copy(std::begin(host.plugin.controls), std::end(host.plugin.controls),
                  fresh.plugin.controls);
        fresh.plugin.factor = host.plugin.factor;
        fresh.plugin.cabinet = cabinet == -2 ? host.plugin.cabinet : cabinet;
        fresh.plugin.controls[3] = model == -2 ? host.plugin.controls[3] : model;
        fresh.plugin.restore(state);
        fresh.settle(in);
        return fresh.probe(in);
    }
    // What `played` sounds like, when a fresh instance changed in one thing from the
    // state believed plays it: another cabinet, model or archive.
    std::string whatPlays(const Out& played) {
        const Belief b = belief;
        const std::string none;
        for (int c = -3; c < 6; ++c) { // the three files, then the port's values
            Belief other = b;
            if (c < 0 && !files.usable(other.cabinet = files.cabinets[c + 3], false))
                continue;
            TestState state = host.stateOf(other);
            if (c != 1 && difference(played, freshProbe(state, -2, c < 0 ? 1.0f : c)).empty())
                return c < 0 ? "the cabinet file " + other.cabinet
                       : c   ? "the shipped cabinet of port value " + std::to_string(c)
                             : "no cabinet";
        }
        for (int m = 0; m < 6; ++m) {
            TestState state = host.stateOf(b);
            if (difference(played, freshProbe(state, static_cast<float>(m))).empty())
                return "model " + std::to_string(m);
        }
        for (size_t a = 0; a <= files.goodArchives; ++a) {
            Belief other = b;
            other.archive = a ? files.archives[a - 1] : none;
            TestState state = host.stateOf(other);
            if (files.usable(other.archive, true) && difference(played, freshProbe(state)).empty())
                return "the archive " + other.archive;
        }
        return "none of the one-change neighbours";
    }
    std::string check() {
        note("settle and check");
        host.settle(in);
        TestState own;
        host.plugin.save(own);
        const Out played = host.probe(in);
        const auto cabinet = own.values.find(host.uris.id(kCabinetUri));
        const std::string savedCabinet =
            cabinet == own.values.end() ? "" : cabinet->second.first.c_str();
        // A refused file falls back to the last one the worker loaded: a file chosen
        // since the last check may have been passed over while the worker was busy.
        if (belief.cabinetPlays &&
            std::find(chosenSince.begin(), chosenSince.end(), savedCabinet) != chosenSince.end())
            belief.cabinet = savedCabinet, belief.cabinetPlays = !savedCabinet.empty();
        chosenSince.assign(1, belief.cabinetPlays ? belief.cabinet : "");
        // Files loaded before they were deleted are put back for the fresh instances.
        std::vector<std::string> back;
        if (belief.archivePlays && files.gone.count(belief.archive))
            back.push_back(belief.archive);
        if (belief.cabinetPlays && files.gone.count(belief.cabinet))
            back.push_back(belief.cabinet);
        // And a file missing when it was restored, put back since, is hidden again.
        std::vector<std::string> hide;
        if (!belief.archivePlays && files.usable(belief.archive, true))
            hide.push_back(belief.archive);
        if (!belief.cabinetPlays && files.usable(belief.cabinet, false))
            hide.push_back(belief.cabinet);
        for (const auto& p : back)
            files.putBack(p);
        for (const auto& p : hide)
            files.remove(p);
        TestState believed = host.stateOf(belief);
        const Out expected = freshProbe(believed), restored = freshProbe(own);
        for (const auto& p : back)
            files.remove(p);
        for (const auto& p : hide)
            files.putBack(p);
        std::string wrong;
        const auto kept = own.values.find(host.uris.id(kArchiveUri));
        const std::string savedArchive = kept == own.values.end() ? "" : kept->second.first.c_str();
        if (savedArchive != belief.archive)
            wrong = "save() names archive '" + savedArchive + "'";
        else if (belief.cabinetPlays && savedCabinet != belief.cabinet)
            wrong = "save() names cabinet file '" + savedCabinet + "'";
        else if (!(wrong = difference(played, expected)).empty())
            wrong = "plays apart from a fresh instance restored to the state believed: " + wrong +
                    "it plays like " + whatPlays(played);
        else if (!(wrong = difference(played, restored)).empty())
            wrong = "plays apart from a fresh instance restored from its save(): " + wrong;
        if (wrong.empty()) {
            if (!std::getenv("QUORLE_ORACLE_EVERY_STEP")) // every step in the report
                steps.clear();
            return "";
        }
        std::ostringstream s;
        s << "seed " << seed << " (" << kModeNames[mode] << ", " << host.plugin.channels
          << " channel(s)), step " << step << ": " << wrong << "\n  believed archive '"
          << belief.archive << "' (" << (belief.archivePlays ? "plays" : "refused")
          << "), cabinet file '" << belief.cabinet << "' ("
          << (belief.cabinetPlays ? "plays" : "none") << "), ports model "
          << host.plugin.controls[3] << " cabinet " << host.plugin.cabinet << " oversampling "
          << host.plugin.factor << "\n  steps since the last check:";
        for (const auto& line : steps)
            s << "\n    " << line;
        return s.str();
    }

    std::string run(int count) {
        for (step = 0; step < count; ++step) {
            const size_t kind = pick(100);
            const bool worker = mode != kAbsent;
            Lv2Plugin& p = host.plugin;
            std::ostringstream s;
            if (kind < 30) {
                const uint32_t n = frames();
                s << "play " << n;
                note(s.str());
                play(n);
            } else if (kind < 44) {
                p.controls[3] = pick(4) ? static_cast<float>(pick(4))
                                        : pickOf<float>({4, 5, 6, 9, 63, 1.6f, -1});
                note("model " + std::to_string(p.controls[3]));
            } else if (kind < 58) {
                p.cabinet = pick(6) ? static_cast<float>(pick(6)) : pickOf<float>({6, -1, 2.4f});
                note("cabinet " + std::to_string(p.cabinet));
            } else if (kind < 61) {
                p.factor = pickOf<float>({1, 2, 4, 8, 3, 0});
                note("oversampling " + std::to_string(p.factor));
            } else if (kind < 64) {
                const size_t port = pick(3);
                p.controls[port] = pick(5) ? static_cast<float>(pick(101)) / 100 : 0.0f;
                note("control " + std::to_string(port) + " " + std::to_string(p.controls[port]));
            } else if (kind < 70 && worker) {
                setPath(true, files.archives[pick(files.archives.size())]);
            } else if (kind < 77 && worker) {
                setPath(false, files.cabinets[pick(files.cabinets.size())]);
            } else if (kind < 80) {
                saved.emplace_back();
                p.save(saved.back());
                if (saved.size() > 4)
                    saved.erase(saved.begin());
                note("save");
            } else if (kind < 85) {
                TestState state = saved.empty() || pick(2) ? handMade() : saved[pick(saved.size())];
                restore(state);
            } else if (kind < 88) {
                // Deleted once loaded: settled first, so that no load is under way.
                host.settle(in);
                const bool archive = pick(2);
                const std::string& path = archive ? belief.archive : belief.cabinet;
                const bool there = !path.empty() && files.usable(path, archive);
                if (there)
                    files.remove(path);
                note("settle, delete " + (there ? path : "nothing"));
            } else if (kind < 89) {
                host.settle(in);
                for (const std::string& path : std::set<std::string>(files.gone))
                    files.putBack(path);
                note("settle, put every file back");
            } else if (kind < 92 && worker) {
                const bool respond = pick(2);
                (respond ? host.worker.refuseRespond : host.worker.refuseSchedule) = 1;
                note(respond ? "refuse the next respond" : "refuse the next schedule");
            } else if (kind >= 92) {
                const std::string wrong = check();
                if (!wrong.empty())
                    return wrong;
            }
            if (std::getenv("QUORLE_ORACLE_CHECK_ALL") &&
                step >= std::atoi(std::getenv("QUORLE_ORACLE_CHECK_ALL"))) {
                const std::string wrong = check();
                if (!wrong.empty())
                    return wrong;
            }
        }
        const std::string wrong = check();
        if (mode != kAbsent) { // cleaned up with work in flight (the sanitizers watch)
            setPath(true, files.archives[pick(2)]);
            setPath(false, files.cabinets[pick(3)]);
            host.plugin.controls[3] = static_cast<float>(pick(6));
            play(64);
        }
        return wrong;
    }
};

} // namespace lv2oracle
