// What plays after ordinary use of the LV2 plug-in's ports, messages and state is
// what a fresh instance given the same state plays: the Cabinet and Model ports
// never stick, a host without a worker loses nothing, a cabinet file is read once
// per choice, a restore does not depend on what came before, and the atom ports
// stay well formed. (An answer the host could not take is the random host's, in
// Lv2OracleTest.cpp: its kept seeds 2147, 2052 and 2281.)
#include "Lv2TestHost.h"

#include "tools/PluckedPhrase.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>

namespace {

using namespace quorletest;

struct Lv2Ownership : Lv2Test {};

constexpr uint32_t kBlock = 256;
constexpr float kFile = 1, kBright = 4, kClosed = 5; // Cabinet port values
constexpr const char* kCabinetFile = "http://pellark.invalid/plugins/quorle#cabinetFile";
const std::string kPlayers = std::string(QUORLE_REFERENCE_DATA_DIR) + "quorle.data";

const std::vector<float>& input() {
    static const std::vector<float> in = pluckedPhrase(48000.0, 1.0);
    return in;
}

struct Session : Lv2Session {
    size_t block = 0;
    explicit Session(const LV2_Descriptor* d, bool immediate = false)
        : Lv2Session(d, immediate, kBlock) {}
    void setFile(const std::string& path) { plugin.setPath(uris.id(kCabinetFile), path); }
    // `blocks` host cycles (answers, run(), the worker's turn) over the phrase, looping.
    void settle(size_t blocks = 12) {
        for (size_t i = 0; i < blocks; ++i, ++block)
            cycle(input(), block % (input().size() / kBlock));
    }
    void activate() { plugin.d->activate(plugin.h); }
    TestState stateWith(const std::string& archive, const std::string& file) {
        TestState state = stateFor(archive);
        if (!file.empty())
            state.values[uris.id(kCabinetFile)] = {file + '\0', uris.id(LV2_ATOM__Path)};
        return state;
    }
};

// `used` (settled: it asks the worker nothing more) against a fresh instance with its
// ports, restored with `state`: both restarted by activate(), then bit for bit the
// same over 8 blocks.
void expectPlaysAsFresh(Session& used, TestState state) {
    used.run(input(), 0);
    EXPECT_EQ(used.worker.requestCount, 0) << "a settled instance asks the worker nothing";
    used.worker.work();
    Session fresh(used.plugin.d);
    std::copy(std::begin(used.plugin.controls), std::end(used.plugin.controls),
              std::begin(fresh.plugin.controls));
    fresh.plugin.factor = used.plugin.factor;
    fresh.plugin.chooseCabinet(used.plugin.cabinet);
    EXPECT_EQ(fresh.plugin.restore(state), LV2_STATE_SUCCESS);
    fresh.settle(20);
    for (Session* s : {&used, &fresh}) {
        s->activate();
        s->out.assign(s->plugin.channels, {});
        s->block = 0;
        s->settle(8);
    }
    EXPECT_EQ(differing(used.out, 0, fresh.out, 0), 0);
    EXPECT_TRUE(finiteAndSounding(used.out));
}

// A cabinet file of a few hundred samples whose sound is far from none and from the
// shipped cabinets.
std::string cabinetFile(const std::string& path, float decay) {
    std::vector<float> ir(400);
    for (size_t i = 0; i < ir.size(); ++i)
        ir[i] = std::pow(decay, static_cast<float>(i)) * (i % 3 == 0 ? 1.0f : -0.5f);
    return writeWav(path, ir, 48000);
}

// The Cabinet port switched between File and a shipped cabinet 30 times (threaded and
// offline hosts) ends playing what the port says. (The Model port that stuck is the
// random host's, in Lv2OracleTest.cpp: its kept seeds 2366 and 2273.)
TEST_F(Lv2Ownership, TheCabinetPortNeverSticks) {
    ScratchDir dir;
    const std::string file = cabinetFile(dir.path + "f.wav", 0.99f);
    for (bool immediate : {false, true}) {
        SCOPED_TRACE(immediate ? "offline" : "threaded");
        Session s(stereo, immediate);
        s.setFile(file);
        s.settle(2);
        for (int i = 0; i < 30; ++i) {
            s.plugin.chooseCabinet(i % 2 ? kBright : kFile);
            s.settle(6);
        }
        s.plugin.chooseCabinet(kClosed);
        s.settle();
        s.plugin.chooseCabinet(kFile);
        s.settle();
        expectPlaysAsFresh(s, s.stateWith("", file));
    }
}

// A good file whose answer the host could not take, then one that cannot be used: the
// good one is loaded again first, and is what the refusal falls back to.
TEST_F(Lv2Ownership, AFileWhoseAnswerWasLostIsLoadedBeforeTheNextChoice) {
    ScratchDir dir;
    const std::string file = cabinetFile(dir.path + "f.wav", 0.98f);
    Session s(mono);
    s.plugin.chooseCabinet(kFile);
    s.settle(2);
    s.setFile(file);
    s.run(input(), 0);
    s.worker.responseCount = 64; // full: the answer is lost
    s.worker.work();
    s.worker.responseCount = 0;
    s.setFile(dir.path + "missing.wav");
    s.settle();
    expectPlaysAsFresh(s, s.stateWith("", file));
    TestState saved;
    EXPECT_EQ(s.plugin.save(saved), LV2_STATE_SUCCESS);
    EXPECT_EQ(saved.values, s.stateWith("", file).values);
}

// Without a worker: shipped cabinets A, B, A again play A; a cabinet file and an
// archive named on the control port are taken at the next setup call (activate),
// the log telling so, and play as restored; restoring them again and again leaks
// nothing (the sanitizer build).
TEST_F(Lv2Ownership, AHostWithoutAWorkerLosesNothing) {
    ScratchDir dir;
    const std::string file = cabinetFile(dir.path + "f.wav", 0.97f);
    UriMap uris;
    TestLog log;
    Lv2Plugin used(mono, nullptr, &uris, &log), fresh(mono, nullptr, &uris, &log);
    std::vector<float> a(kBlock), b(kBlock);
    auto playBoth = [&](int blocks) {
        long differing = 0;
        for (int i = 0; i < blocks; ++i) {
            used.run(input().data() + i * kBlock, a.data(), kBlock);
            fresh.run(input().data() + i * kBlock, b.data(), kBlock);
            differing += a != b;
        }
        return differing;
    };
    auto restart = [&] {
        used.d->activate(used.h);
        fresh.d->activate(fresh.h);
    };
    for (float cabinet : {kBright, kClosed, kBright}) {
        used.chooseCabinet(cabinet);
        playBoth(8);
    }
    fresh.chooseCabinet(kBright);
    restart();
    EXPECT_EQ(playBoth(8), 0) << "A, B, A plays A";
    used.setPath(uris.id(kCabinetFile), file);
    used.chooseCabinet(kFile);
    playBoth(1);
    used.setArchive(kPlayers);
    used.controls[3] = 3.0f; // the player's archive's last model
    playBoth(1);
    restart();
    EXPECT_EQ(log.mentions("no worker"), 2u);
    TestState saved;
    EXPECT_EQ(used.save(saved), LV2_STATE_SUCCESS);
    EXPECT_EQ(saved.values[uris.id(kCabinetFile)].first, file + '\0');
    EXPECT_EQ(saved.values[used.archive].first, kPlayers + '\0');
    fresh.controls[3] = 3.0f;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(fresh.restore(saved), LV2_STATE_SUCCESS);
    fresh.chooseCabinet(kFile);
    playBoth(8);
    restart();
    EXPECT_EQ(playBoth(8), 0) << "the file plays as restored";
}

// A cabinet file is read once per choice: deleted once it plays, it keeps playing
// through an archive change and File/shipped switches, as the same file under
// another name plays in a fresh instance.
TEST_F(Lv2Ownership, ACabinetFileIsReadOncePerChoice) {
    ScratchDir dir;
    const std::string file = cabinetFile(dir.path + "f.wav", 0.99f);
    std::filesystem::copy_file(file, dir.path + "copy.wav");
    Session s(stereo);
    s.plugin.chooseCabinet(kFile);
    s.setFile(file);
    s.settle();
    std::filesystem::remove(file);
    s.plugin.setArchive(kPlayers);
    s.settle();
    for (float cabinet : {kBright, kFile, kClosed, kFile}) {
        s.plugin.chooseCabinet(cabinet);
        s.settle();
    }
    EXPECT_EQ(s.log.mentions("could not"), 0u);
    expectPlaysAsFresh(s, s.stateWith(kPlayers, dir.path + "copy.wav"));
}

// The same state restored in a used instance (a file playing, port File) and a fresh
// one plays the same, whatever the state names.
TEST_F(Lv2Ownership, ARestoreDoesNotDependOnWhatCameBefore) {
    ScratchDir dir;
    const std::string file = cabinetFile(dir.path + "f.wav", 0.99f);
    const std::string fifo = dir.path + "fifo.wav";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct Case {
        const char* name;
        std::string path;
        bool wrongType;
    } cases[] = {
        {"a missing file", dir.path + "missing.wav", false},
        {"a FIFO", fifo, false},
        {"a path too long", "/" + std::string(5000, 'a'), false},
        {"no file", "", false},
        {"a value of the wrong type", file, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Session s(mono);
        s.plugin.chooseCabinet(kFile);
        s.setFile(file);
        s.settle();
        TestState state = s.stateWith("", c.path);
        if (c.wrongType)
            state.values[s.uris.id(kCabinetFile)].second = s.uris.id(LV2_ATOM__String);
        EXPECT_EQ(s.plugin.restore(state), LV2_STATE_SUCCESS);
        s.settle();
        expectPlaysAsFresh(s, state);
    }
}

// The atom ports: a zero-size object at the very end of the control buffer is read
// within it; a path not ended by its NUL is refused as such; the notify port at any
// size holds whole, well-formed messages (a 4000-byte path and the model names),
// told once, not at every block.
TEST_F(Lv2Ownership, TheAtomPortsStayWellFormed) {
    Session s(mono, true);
    Lv2Plugin& p = s.plugin;
    const uint32_t controlPort = 4 + 2 * p.channels + 2, notifyPort = controlPort + 1;
    std::vector<float> in(input().begin(), input().begin() + kBlock), out(kBlock);
    auto runHere = [&] { // run() on this test's buffers (the session's are gone)
        p.d->connect_port(p.h, 4, in.data());
        p.d->connect_port(p.h, 5, out.data());
        p.d->run(p.h, kBlock);
    };
    // The sequence's last event: an atom:Object of size 0, the buffer ending there.
    std::vector<uint8_t> control(sizeof(LV2_Atom_Sequence) + sizeof(LV2_Atom_Event));
    auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(control.data());
    sequence->atom = {static_cast<uint32_t>(control.size() - sizeof(LV2_Atom)),
                      s.uris.id(LV2_ATOM__Sequence)};
    reinterpret_cast<LV2_Atom_Event*>(sequence + 1)->body = {0, s.uris.id(LV2_ATOM__Object)};
    p.d->connect_port(p.h, controlPort, control.data());
    runHere();
    p.d->connect_port(p.h, controlPort, p.control);
    const char unterminated[4] = {'/', 't', 'm', 'p'};
    p.setArchive(unterminated, 4);
    s.settle(1);
    EXPECT_EQ(s.log.mentions("not ended by a NUL"), 1u);

    s.setFile("/" + std::string(4000, 'p'));
    s.settle(2);
    const LV2_URID told[] = {p.archive, s.uris.id(kCabinetFile),
                             s.uris.id("http://pellark.invalid/plugins/quorle#models")};
    for (uint32_t size : {16u, 24u, 100u, 1024u, 4200u, 8192u}) {
        SCOPED_TRACE(size);
        std::vector<uint64_t> buffer(size / 8 + 1);
        auto* notify = reinterpret_cast<LV2_Atom_Sequence*>(buffer.data());
        p.d->connect_port(p.h, notifyPort, notify);
        std::map<LV2_URID, int> times;
        for (int b = 0; b < 4; ++b) {
            notify->atom = {size - static_cast<uint32_t>(sizeof(LV2_Atom)), 0};
            if (b == 0) { // patch:Get: everything told again
                LV2_Atom_Forge_Frame frame, object;
                lv2_atom_forge_set_buffer(&p.forge, p.control, sizeof(p.control));
                lv2_atom_forge_sequence_head(&p.forge, &frame, 0);
                lv2_atom_forge_frame_time(&p.forge, 0);
                lv2_atom_forge_object(&p.forge, &object, 0, s.uris.id(LV2_PATCH__Get));
                lv2_atom_forge_pop(&p.forge, &object);
                lv2_atom_forge_pop(&p.forge, &frame);
            }
            runHere();
            p.clearControl();
            if (size < sizeof(LV2_Atom_Sequence))
                continue;
            const uint8_t* end = reinterpret_cast<const uint8_t*>(notify) + size;
            ASSERT_LE(sizeof(LV2_Atom) + notify->atom.size, size);
            LV2_ATOM_SEQUENCE_FOREACH(notify, e) {
                ASSERT_LE(reinterpret_cast<const uint8_t*>(&e->body + 1) + e->body.size, end);
                ASSERT_GE(e->body.size, sizeof(LV2_Atom_Object_Body));
                const auto* o = reinterpret_cast<const LV2_Atom_Object*>(&e->body);
                const uint8_t* objectEnd = reinterpret_cast<const uint8_t*>(o + 1) -
                                           sizeof(LV2_Atom_Object_Body) + o->atom.size;
                const LV2_Atom* property = nullptr;
                LV2_ATOM_OBJECT_FOREACH(o, prop) {
                    ASSERT_LE(reinterpret_cast<const uint8_t*>(&prop->value + 1) + prop->value.size,
                              objectEnd);
                    if (prop->key == s.uris.id(LV2_PATCH__property))
                        property = &prop->value;
                }
                ASSERT_NE(property, nullptr);
                ++times[reinterpret_cast<const LV2_Atom_URID*>(property)->body];
            }
        }
        for (LV2_URID key : told) {
            EXPECT_LE(times[key], 1) << "told once, not at every block";
            if (size == 8192) {
                EXPECT_EQ(times[key], 1) << "a port of 8 KB holds each";
            }
        }
    }
}

} // namespace
