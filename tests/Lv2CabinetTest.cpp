// The cabinet through the LV2 plug-in as a host drives it: the Cabinet port, the
// player's file set with patch:Set and loaded by the worker, the state, and files
// that cannot be used named in the log while the cabinet playing stays.
#include "Lv2TestHost.h"
#include "lv2/UiProtocol.h"

#include "main/CabinetLoad.h"
#include "main/DataArchive.h"
#include "tools/PluckedPhrase.h"

#include <sys/stat.h>

#include <cmath>
#include <fstream>

namespace {

struct Lv2Cabinet : quorletest::Lv2Test {};

constexpr uint32_t kBlock = 256;
constexpr float kModelsOwn = -1, kOff = 0, kFile = 1, kOpen = 2, kClosed = 5; // port values
constexpr const char* kCabinetFile = "http://pellark.invalid/plugins/quorle#cabinetFile";

// A session in blocks of kBlock, both sides hearing the same input.
struct Session : quorletest::Lv2Session {
    explicit Session(const LV2_Descriptor* d, bool immediate = false)
        : Lv2Session(d, immediate, kBlock) {
        sameOnBoth = true;
    }
    void setFile(const std::string& path) { plugin.setPath(uris.id(kCabinetFile), path); }
};

using quorletest::writeWav;

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

// The levelled response of the shipped cabinet `name` (a mono one).
std::vector<float> shippedResponse(const char* name) {
    const auto archive = DataArchive::readFile(QUORLE_BUNDLE_DIR "/quorle.data");
    std::string error;
    const auto ready = cabinet::load(*archive, name, 48000.0, error);
    EXPECT_TRUE(ready) << error;
    return ready ? ready->channels[0] : std::vector<float>();
}

// The port's cabinet plays from the first sample with no latency added (the output
// is the plain output convolved with the levelled response), and a change
// crossfades to the next, which then plays alone; any value the port does not
// list plays none.
TEST_F(Lv2Cabinet, ThePortChoosesAShippedCabinetWithNoLatencyAdded) {
    Session dry(stereo, true), wet(stereo, true); // the model plays at once
    const std::vector<float> in = pluckedPhrase(48000.0, 0.3);
    const size_t blocks = in.size() / kBlock;
    wet.plugin.controls[3] = dry.plugin.controls[3] = 2.0f;
    wet.plugin.chooseCabinet(kClosed);
    const auto plain = dry.play(in, 0, blocks);
    const auto first = wet.play(in, 0, blocks / 2);
    EXPECT_EQ(wet.plugin.latency, dry.plugin.latency);
    EXPECT_LT(errorDb(first[0], plain[0], shippedResponse("4x12-closed"), 0, 0), -100.0);
    EXPECT_EQ(first[0], first[1]) << "a mono response feeds both sides";

    wet.plugin.cabinet = kOpen; // mid-phrase: 960 samples of crossfade
    const auto second = wet.play(in, blocks / 2, blocks - blocks / 2);
    const size_t at = (blocks / 2) * kBlock;
    std::vector<float> tail(plain[0].begin() + static_cast<long>(at), plain[0].end());
    EXPECT_LT(errorDb(second[0], tail, shippedResponse("1x12-open"), 0, 960), -100.0);

    // Off fades out to the plain sound; values the port does not list are off too.
    // Both instances heard the same input, so their engines give the same sound.
    size_t from = 960;
    for (float other : {kOff, 99.0f, -2.0f, std::nanf("")}) {
        wet.plugin.cabinet = other;
        EXPECT_EQ(quorletest::differing(wet.play(in, 0, 8), from, dry.play(in, 0, 8), from), 0)
            << other;
        from = 0;
    }
    EXPECT_EQ(wet.worker.failures, 0);

    // The model's own cabinet (the port's default) is the one the model names, and
    // follows the model: 3-crunch the 4x12-closed, 1-clean the 2x12-bright.
    Session own(stereo, true), named(stereo, true);
    own.plugin.chooseCabinet(kModelsOwn);
    for (const auto& [model, cabinet] : {std::pair<float, float>{2.0f, kClosed}, {0.0f, 4.0f}}) {
        own.plugin.controls[3] = named.plugin.controls[3] = model;
        named.plugin.chooseCabinet(cabinet);
        EXPECT_EQ(quorletest::differing(own.play(in, 0, 8), 960, named.play(in, 0, 8), 960), 0)
            << model;
    }
}

// The player's file: set by patch:Set, loaded by the worker, told on the notify
// port, kept in the state; a new instance restored from it plays it from its
// first sample. A stereo file gives each side its own channel.
TEST_F(Lv2Cabinet, APlayersFileIsLoadedToldSavedAndRestored) {
    quorletest::ScratchDir folder;
    const std::string file =
        writeWav(folder.path + "my cab.wav",
                 {0.5f, 0.25f, 0.25f, 0.0f, -0.125f, 0.5f, 0.0625f, 0.0f}, 44100, 2);
    Session dry(stereo), wet(stereo), restored(stereo);
    wet.plugin.chooseCabinet(kFile);
    restored.plugin.chooseCabinet(kFile);
    const std::vector<float> in = pluckedPhrase(48000.0, 0.2);
    const size_t blocks = in.size() / kBlock;
    const auto plain = dry.play(in, 0, blocks);
    EXPECT_EQ(wet.play(in, 0, 2)[0],
              std::vector<float>(plain[0].begin(), plain[0].begin() + 2 * kBlock))
        << "no file chosen: no cabinet";
    // Said once, in the log and on the notify port, however long it lasts.
    wet.plugin.askAll();
    wet.play(in, 2, 3);
    ASSERT_EQ(wet.log.messages.size(), 1u);
    EXPECT_NE(wet.log.messages[0].find("no cabinet file is chosen"), std::string::npos)
        << wet.log.messages[0];
    wet.plugin.askAll();
    wet.play(in, 5, 1);
    EXPECT_EQ("quorle: " + wet.plugin.toldValue(quorlelv2::kStatusUri) + "\n", wet.log.messages[0]);
    wet.setFile(file);
    wet.play(in, 0, 1);
    EXPECT_EQ(wet.plugin.toldValue(kCabinetFile), file);
    wet.play(in, 0, 20); // loaded, faded in

    quorletest::TestState state;
    ASSERT_EQ(wet.plugin.save(state), LV2_STATE_SUCCESS);
    ASSERT_EQ(state.values.count(wet.uris.id(kCabinetFile)), 1u);
    EXPECT_EQ(state.values[wet.uris.id(kCabinetFile)].first, file + '\0');
    ASSERT_EQ(restored.plugin.restore(state), LV2_STATE_SUCCESS);
    restored.play(in, 0, 1);
    EXPECT_EQ(restored.plugin.toldValue(kCabinetFile), file);
    restored.play(in, 1, blocks - 1);
    std::string error;
    const auto read = impulse::readFile(file, error);
    ASSERT_TRUE(read) << error;
    const ImpulseResponse ready = impulse::prepared(*read, 48000.0);
    EXPECT_LT(errorDb(restored.out[0], plain[0], ready.channels[0], 0, 0), -100.0);
    EXPECT_LT(errorDb(restored.out[1], plain[1], ready.channels[1], 0, 0), -100.0);
    EXPECT_EQ(wet.log.messages.size(), 1u) << "nothing more once a file plays";
    EXPECT_TRUE(restored.log.messages.empty()) << restored.log.messages[0];

    // Back to File after another choice, still without a file: said again.
    Session again(mono);
    again.plugin.chooseCabinet(kFile);
    again.play(in, 0, 2);
    again.plugin.chooseCabinet(0.0f);
    again.play(in, 2, 2);
    again.plugin.chooseCabinet(kFile);
    again.play(in, 4, 2);
    EXPECT_EQ(again.log.mentions("no cabinet file is chosen"), 2u);
}

// Files that cannot be used, and a path too long to take: each is named in the log
// in one message, and the output is bit for bit what it was going to be, the file
// playing before playing on.
TEST_F(Lv2Cabinet, AFileThatCannotBeUsedLeavesTheCabinetPlaying) {
    quorletest::ScratchDir folder;
    const std::string good = writeWav(folder.path + "good.wav", {0.7f, 0.2f, 0.1f}, 48000);
    const std::string nan = writeWav(folder.path + "nan.wav", {0.5f, std::nanf("")}, 48000);
    const std::string eight =
        writeWav(folder.path + "eight.wav", std::vector<float>(16, 0.5f), 48000, 8);
    const std::string empty = folder.path + "empty.wav";
    std::ofstream(empty).close();
    const std::string text = folder.path + "notes.wav";
    std::ofstream(text) << "not a sound file\n";
    const std::string fifo = folder.path + "fifo.wav";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string missing = folder.path + "missing.wav";
    const std::string longPath = "/" + std::string(5000, 'a') + ".wav";
    // Full scale at 8 kHz: resampled to 48 kHz, its ringing is beyond a float.
    const std::string loud =
        writeWav(folder.path + "loud.wav", std::vector<float>(100, 3.4e38f), 8000);

    Session hit(mono), steady(mono);
    const std::vector<float> in = pluckedPhrase(48000.0, 0.5);
    for (Session* s : {&hit, &steady}) {
        s->plugin.chooseCabinet(kFile);
        s->setFile(good);
    }
    ASSERT_EQ(hit.play(in, 0, 4)[0], steady.play(in, 0, 4)[0]);
    size_t block = 4;
    for (const std::string& bad : {nan, eight, empty, text, fifo, missing, longPath, loud}) {
        const size_t before = hit.log.messages.size();
        hit.setFile(bad);
        EXPECT_EQ(hit.play(in, block, 6)[0], steady.play(in, block, 6)[0]) << bad.substr(0, 60);
        block += 6;
        ASSERT_EQ(hit.log.messages.size(), before + 1) << bad.substr(0, 60);
        const std::string& said = hit.log.messages.back();
        if (bad != longPath) {
            EXPECT_NE(said.find(bad), std::string::npos) << said;
        }
        if (bad == loud) {
            EXPECT_NE(said.find("grow beyond the largest a float holds"), std::string::npos);
        }
        EXPECT_NE(said.find("the cabinet playing stays"), std::string::npos) << said;
        // The interface shows the same sentence as one line, until a file is chosen.
        hit.plugin.askAll();
        EXPECT_EQ(hit.play(in, block, 1)[0], steady.play(in, block, 1)[0]);
        ++block;
        const std::string status = hit.plugin.toldValue(quorlelv2::kStatusUri);
        EXPECT_EQ("quorle: " + status + "\n", said);
    }
    hit.setFile(good);
    hit.play(in, block, 1);
    EXPECT_EQ(hit.plugin.told(quorlelv2::kStatusUri), std::string());
    EXPECT_NE(hit.plugin.toldValue(kCabinetFile), ""); // told in the same run()
    EXPECT_EQ(hit.log.mentions(good), 0u);
    EXPECT_TRUE(steady.log.messages.empty());
}

} // namespace
