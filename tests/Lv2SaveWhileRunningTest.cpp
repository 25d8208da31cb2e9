// The LV2 plug-in's state saved on one thread while run() takes patch:Set messages
// on another, as a host saving a project during playback does. Built into the
// concurrency tests so that the ThreadSanitizer build checks it as well.
#include "Lv2TestHost.h"
#include "bench/Lv2Oracle.h"
#include "lv2/Lv2Parcels.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <thread>

namespace {

struct Lv2Concurrency : quorletest::Lv2Test {};

// save() in a loop on a thread of its own while run() is handed, call after call, a
// patch:Set of one of three paths of different lengths (the files need not exist:
// no worker opens them, and the path is kept all the same). Every path saved is
// exactly one of the three, never parts of two, and the saves did see the path
// change under them.
TEST_F(Lv2Concurrency, SaveReadsAWholePathWhileRunSetsAnother) {
    quorletest::UriMap uris;
    quorletest::Lv2Plugin plugin(mono, nullptr, &uris);
    const std::string paths[] = {"/a.data", "/tmp/" + std::string(300, 'b') + ".data",
                                 "/home/" + std::string(1500, 'c') + "/mine.data"};
    std::vector<float> in(1, 0.1f), out(1);
    plugin.setArchive(paths[0]);
    plugin.run(in.data(), out.data(), 1);

    std::atomic<bool> done{false};
    std::atomic<long> saves{0}, torn{0}, failed{0};
    std::set<std::string> seen; // the saver's alone until it is joined
    std::thread saver([&] {
        while (!done.load(std::memory_order_acquire)) {
            quorletest::TestState state;
            if (plugin.save(state) != LV2_STATE_SUCCESS ||
                state.values.count(plugin.archive) != 1) {
                ++failed;
                continue;
            }
            const std::string saved =
                state.values[plugin.archive].first; // the terminator comes with it
            torn += std::none_of(std::begin(paths), std::end(paths),
                                 [&](const std::string& path) { return saved == path + '\0'; });
            seen.insert(saved);
            ++saves;
        }
    });
    // Tens of thousands of runs, and on until the saver has saved a thousand times:
    // a second or two alone, longer on a loaded machine under the thread
    // checker, where the cap only keeps a stuck saver from hanging the test.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    long runs = 0;
    while (runs < 30000 || (saves.load() < 1000 && std::chrono::steady_clock::now() < until)) {
        plugin.setArchive(paths[runs % 3]);
        plugin.run(in.data(), out.data(), 1);
        ++runs;
    }
    done.store(true, std::memory_order_release);
    saver.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(failed.load(), 0);
    EXPECT_GE(saves.load(), 1000) << "saved alongside " << runs << " runs";
    EXPECT_GE(seen.size(), 2u) << "the path changed under the saves";
}

} // namespace

// An answer delivered twice, its two deliveries on two threads at once (a host's
// worker answering while the audio thread replays), while a third thread fills the
// box: each object is taken exactly once and freed exactly once, and a ticket taken
// already or of another type finds nothing (ThreadSanitizer checks the rest).
TEST(Lv2Box, AnObjectIsTakenOnceWhateverThreadsAskForIt) {
    struct Counted {
        std::atomic<int>* alive;
        explicit Counted(std::atomic<int>* n) : alive(n) { ++*alive; }
        ~Counted() { --*alive; }
    };
    std::atomic<int> alive{0};
    quorlelv2::ParcelBox box;
    std::atomic<bool> stop{false};
    std::thread filler([&] {
        while (!stop) {
            auto other = std::make_unique<Counted>(&alive);
            quorlelv2::Ticket ticket;
            if (box.put(other, ticket))
                box.release(ticket);
        }
    });
    int takenTwice = 0;
    for (int round = 0; round < 300; ++round) {
        auto object = std::make_unique<Counted>(&alive);
        quorlelv2::Ticket ticket;
        ASSERT_TRUE(box.put(object, ticket));
        EXPECT_EQ(box.take<int>(ticket), nullptr) << "another type stays in the box";
        std::atomic<int> taken{0};
        auto deliver = [&] { taken += box.take<Counted>(ticket) != nullptr; };
        std::thread a(deliver), b(deliver);
        a.join();
        b.join();
        takenTwice += taken != 1;
    }
    stop = true;
    filler.join();
    EXPECT_EQ(takenTwice, 0);
    EXPECT_EQ(alive, 0);
    EXPECT_EQ(box.held(), 0u);
}

// The random host with a worker on a thread of its own, working alongside run(): a
// few seeds, mono and stereo, play what their state says (ThreadSanitizer watches
// every object that crosses between the two).
TEST_F(Lv2Concurrency, ARandomHostWithAParallelWorkerPlaysWhatTheStateSays) {
    for (uint64_t seed = 1; seed <= 4; ++seed) {
        lv2oracle::Oracle oracle(seed % 2 ? stereo : mono, lv2oracle::kParallel, seed);
        EXPECT_EQ(oracle.run(200), "");
    }
}
