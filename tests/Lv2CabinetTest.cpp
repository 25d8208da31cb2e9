// The cabinet through the LV2 plug-in as a host drives it: the Cabinet port, the
// player's file set with patch:Set and loaded by the worker, the state, and files
// that cannot be used named in the log while the cabinet playing stays.
#include "Lv2TestHost.h"

#include "main/CabinetLoad.h"
#include "main/DataArchive.h"
#include "tools/PluckedPhrase.h"

#include <sndfile.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>

namespace {

constexpr uint32_t kBlock = 256;
constexpr float kOff = 0, kFile = 1, kOpen = 2, kClosed = 5; // the port's values

struct Folder {
    Folder() {
        char pattern[] = "/tmp/quorle-lv2-cabinet-XXXXXX";
        path = std::string(mkdtemp(pattern)) + "/";
    }
    ~Folder() { std::filesystem::remove_all(path); }
    std::string path;
};

// A float WAV of `channels` (all as long as the first) at `rate`; its path.
std::string writeWav(const std::string& path, int rate,
                     const std::vector<std::vector<float>>& channels) {
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = static_cast<int>(channels.size());
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    EXPECT_NE(file, nullptr) << path;
    std::vector<float> interleaved;
    for (size_t n = 0; n < channels[0].size(); ++n)
        for (const auto& channel : channels)
            interleaved.push_back(channel[n]);
    sf_writef_float(file, interleaved.data(), static_cast<sf_count_t>(channels[0].size()));
    sf_close(file);
    return path;
}

// `blocks` blocks of `in` from block `first` through `plugin`, one vector a channel.
std::vector<std::vector<float>> play(quorletest::Lv2Plugin& plugin, const std::vector<float>& in,
                                     size_t first, size_t blocks,
                                     quorletest::TestWorker* worker = nullptr) {
    std::vector<std::vector<float>> out(2);
    std::vector<float> left(kBlock), right(kBlock);
    for (size_t b = first; b < first + blocks; ++b) {
        if (worker)
            worker->answer();
        const float* ins[2] = {in.data() + b * kBlock, in.data() + b * kBlock};
        float* outs[2] = {left.data(), right.data()};
        plugin.run(ins, outs, kBlock);
        out[0].insert(out[0].end(), left.begin(), left.end());
        out[1].insert(out[1].end(), right.begin(), right.end());
        if (worker)
            worker->work();
    }
    return out;
}

// `ir` applied to `dry` from sample `from` on (what came before unheard by it), in
// double precision; the largest error of `wet` against it from `check` on, in dB
// relative to its peak.
double errorDb(const std::vector<float>& wet, const std::vector<float>& dry,
               const std::vector<float>& ir, size_t from, size_t check) {
    double worst = 0.0, peak = 1e-30;
    for (size_t i = check; i < wet.size(); ++i) {
        double want = 0.0;
        for (size_t k = 0; k < ir.size() && k + from <= i; ++k)
            want += static_cast<double>(ir[k]) * dry[i - k];
        worst = std::max(worst, std::fabs(want - wet[i]));
        peak = std::max(peak, std::fabs(want));
    }
    return 20.0 * std::log10(worst / peak + 1e-30);
}

std::vector<float> shippedResponse(const char* name, size_t channel = 0) {
    const auto archive = DataArchive::readFile(QUORLE_BUNDLE_DIR "/quorle.data");
    std::string error;
    const auto ready = cabinet::load(*archive, name, 48000.0, error);
    EXPECT_TRUE(ready) << error;
    return ready ? ready->channels[std::min(channel, ready->channels.size() - 1)]
                 : std::vector<float>();
}

void setPath(quorletest::Lv2Plugin& plugin, const char* uri, const std::string& path) {
    const LV2_URID saved = plugin.archive;
    plugin.archive = plugin.uris->id(uri); // setArchive() sets whichever property this names
    plugin.setArchive(path.c_str(), static_cast<uint32_t>(path.size() + 1));
    plugin.archive = saved;
}

constexpr const char* kCabinetFile = "http://pellark.invalid/plugins/quorle#cabinetFile";

size_t mentions(const quorletest::TestLog& log, const std::string& text) {
    size_t n = 0;
    for (const std::string& m : log.messages)
        n += m.find(text) != std::string::npos;
    return n;
}

// The port's cabinet plays from the first sample with no latency added (the output
// is the plain output convolved with the levelled response), and a change
// crossfades to the next, which then plays alone; any value the port does not
// list plays none.
TEST(Lv2Cabinet, ThePortChoosesAShippedCabinetWithNoLatencyAdded) {
    quorletest::Lv2Library library;
    ASSERT_NE(library.stereo, nullptr) << dlerror();
    quorletest::TestWorker worker, plainWorker;
    worker.immediate = plainWorker.immediate = true; // the model asked for plays at once
    quorletest::UriMap uris;
    quorletest::Lv2Plugin dry(library.stereo, &plainWorker), wet(library.stereo, &worker, &uris);
    const std::vector<float> in = pluckedPhrase(48000.0, 0.3);
    const size_t blocks = in.size() / kBlock;
    wet.controls[3] = dry.controls[3] = 2.0f;
    float choice = kClosed;
    wet.d->connect_port(wet.h, 12, &choice);
    const auto plain = play(dry, in, 0, blocks);
    const auto first = play(wet, in, 0, blocks / 2, &worker);
    EXPECT_EQ(wet.latency, dry.latency);
    const std::vector<float> closed = shippedResponse("4x12-closed");
    EXPECT_LT(errorDb(first[0], plain[0], closed, 0, 0), -100.0);
    EXPECT_EQ(first[0], first[1]) << "a mono response feeds both sides";

    choice = kOpen; // mid-phrase: 960 samples of crossfade
    const auto second = play(wet, in, blocks / 2, blocks - blocks / 2, &worker);
    const size_t at = (blocks / 2) * kBlock;
    std::vector<float> tail(plain[0].begin() + static_cast<long>(at), plain[0].end());
    EXPECT_LT(errorDb(second[0], tail, shippedResponse("1x12-open"), 0, 960), -100.0);

    // Off fades out to the plain sound; values the port does not list are off too.
    // Both instances heard the same input, so their engines give the same sound.
    long from = 960;
    for (float other : {kOff, 99.0f, -1.0f, std::nanf("")}) {
        choice = other;
        const auto none = play(wet, in, 0, 8, &worker);
        const auto again = play(dry, in, 0, 8);
        EXPECT_EQ(std::vector<float>(none[0].begin() + from, none[0].end()),
                  std::vector<float>(again[0].begin() + from, again[0].end()))
            << other;
        from = 0;
    }
    EXPECT_EQ(worker.failures, 0);
}

// The player's file: set by patch:Set, loaded by the worker, told on the notify
// port, kept in the state; a new instance restored from it plays it from its
// first sample. A stereo file gives each side its own channel.
TEST(Lv2Cabinet, APlayersFileIsLoadedToldSavedAndRestored) {
    quorletest::Lv2Library library;
    ASSERT_NE(library.stereo, nullptr) << dlerror();
    Folder folder;
    const std::string file = writeWav(folder.path + "my cab.wav", 44100,
                                      {{0.5f, 0.25f, -0.125f, 0.0625f}, {0.25f, 0.0f, 0.5f, 0.0f}});
    quorletest::UriMap uris;
    quorletest::TestLog log;
    quorletest::TestWorker worker, restoredWorker, plainWorker;
    quorletest::Lv2Plugin dry(library.stereo, &plainWorker),
        wet(library.stereo, &worker, &uris, &log);
    float choice = kFile;
    wet.d->connect_port(wet.h, 12, &choice);
    const std::vector<float> in = pluckedPhrase(48000.0, 0.2);
    const size_t blocks = in.size() / kBlock;
    const auto plain = play(dry, in, 0, blocks, &plainWorker);
    EXPECT_EQ(play(wet, in, 0, 2, &worker)[0],
              std::vector<float>(plain[0].begin(), plain[0].begin() + 2 * kBlock))
        << "no file chosen: no cabinet";
    setPath(wet, kCabinetFile, file);
    play(wet, in, 0, 1, &worker);
    EXPECT_EQ(wet.toldValue(kCabinetFile), file);
    play(wet, in, 0, 20, &worker); // loaded, faded in

    quorletest::TestState state;
    ASSERT_EQ(wet.save(state), LV2_STATE_SUCCESS);
    ASSERT_EQ(state.values.count(uris.id(kCabinetFile)), 1u);
    EXPECT_EQ(state.values[uris.id(kCabinetFile)].first, file + '\0');
    quorletest::Lv2Plugin restored(library.stereo, &restoredWorker, &uris, &log);
    restored.d->connect_port(restored.h, 12, &choice);
    ASSERT_EQ(restored.restore(state), LV2_STATE_SUCCESS);
    auto out = play(restored, in, 0, 1, &restoredWorker);
    EXPECT_EQ(restored.toldValue(kCabinetFile), file);
    const auto rest = play(restored, in, 1, blocks - 1, &restoredWorker);
    for (size_t c = 0; c < 2; ++c)
        out[c].insert(out[c].end(), rest[c].begin(), rest[c].end());
    std::string error;
    const auto read = impulse::readFile(file, error);
    ASSERT_TRUE(read) << error;
    const ImpulseResponse ready = impulse::prepared(*read, 48000.0);
    EXPECT_LT(errorDb(out[0], plain[0], ready.channels[0], 0, 0), -100.0);
    EXPECT_LT(errorDb(out[1], plain[1], ready.channels[1], 0, 0), -100.0);
    EXPECT_TRUE(log.messages.empty()) << log.messages[0];
}

// Files that cannot be used, and a path too long to take: each is named in the log
// in one message, and the output is bit for bit what it was going to be, the file
// playing before playing on.
TEST(Lv2Cabinet, AFileThatCannotBeUsedLeavesTheCabinetPlaying) {
    quorletest::Lv2Library library;
    ASSERT_NE(library.mono, nullptr) << dlerror();
    Folder folder;
    const std::string good = writeWav(folder.path + "good.wav", 48000, {{0.7f, 0.2f, 0.1f}});
    const std::string nan = writeWav(folder.path + "nan.wav", 48000, {{0.5f, std::nanf("")}});
    const std::string eight = writeWav(folder.path + "eight.wav", 48000,
                                       std::vector<std::vector<float>>(8, {0.5f, 0.1f}));
    const std::string empty = folder.path + "empty.wav";
    std::ofstream(empty).close();
    const std::string text = folder.path + "notes.wav";
    std::ofstream(text) << "not a sound file\n";
    const std::string fifo = folder.path + "fifo.wav";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string missing = folder.path + "missing.wav";
    const std::string longPath = "/" + std::string(5000, 'a') + ".wav";

    quorletest::UriMap uris;
    quorletest::TestLog log, quiet;
    quorletest::TestWorker worker, steadyWorker;
    quorletest::Lv2Mono hit(library.mono, &worker, &uris, &log),
        steady(library.mono, &steadyWorker, &uris, &quiet);
    float choice = kFile;
    hit.d->connect_port(hit.h, 10, &choice);
    steady.d->connect_port(steady.h, 10, &choice);
    const std::vector<float> in = pluckedPhrase(48000.0, 0.5);
    setPath(hit, kCabinetFile, good);
    setPath(steady, kCabinetFile, good);
    std::vector<float> a = play(hit, in, 0, 4, &worker)[0];
    std::vector<float> b = play(steady, in, 0, 4, &steadyWorker)[0];
    ASSERT_EQ(a, b);
    size_t block = 4;
    for (const std::string& bad : {nan, eight, empty, text, fifo, missing, longPath}) {
        const size_t before = log.messages.size();
        setPath(hit, kCabinetFile, bad);
        a = play(hit, in, block, 6, &worker)[0];
        b = play(steady, in, block, 6, &steadyWorker)[0];
        block += 6;
        EXPECT_EQ(a, b) << bad.substr(0, 60);
        ASSERT_EQ(log.messages.size(), before + 1) << bad.substr(0, 60);
        const std::string& said = log.messages.back();
        if (bad != longPath) {
            EXPECT_NE(said.find(bad), std::string::npos) << said;
        }
        EXPECT_NE(said.find("the cabinet playing stays"), std::string::npos) << said;
    }
    EXPECT_EQ(mentions(log, good), 0u);
    EXPECT_TRUE(quiet.messages.empty());
}

} // namespace
