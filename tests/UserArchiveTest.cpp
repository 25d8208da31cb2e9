// A player's own data archive: what is wrong with a file is told in one sentence,
// and a unit set to play a good one lists its models and plays them with the
// presets it lacks taken from the bundle's archive.
#include "ArchiveTestUtil.h"
#include "OutputHash.h"
#include "QuorleUnitHost.h"

#include "main/UserArchive.h"
#include "main/VorlixMac.h"
#include "tools/PluckedPhrase.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <vector>

namespace {

std::string shippedModel(const char* name) {
    return fileBytes(std::string(QUORLE_SOURCE_DIR) + "/data/models/" + name);
}

TEST(UserArchive, EachUnusableFileIsToldInOneSentence) {
    PluginDir dir;
    dir.archive("good.data", {{"crunch.xml", shippedModel("3-crunch.xml")},
                              {"broken.xml", "<quorle>\n  <fx id=\"a\" type=\"eq\"/>\n"
                                             "  <mixer id=\"m\"/>\n</quorle>\n"}});
    dir.archive("presets-only.data", {{"bass.fxp", fxp({0.5f})}});
    std::ofstream(dir.path + "/empty.data").close();
    std::ofstream(dir.path + "/text.data") << "not a zip archive";
    std::ofstream(dir.path + "/locked.data") << "x";
    chmod((dir.path + "/locked.data").c_str(), 0);
    const Fifo fifo(dir.path + "/fifo.data");
    ASSERT_TRUE(fifo.ok);
    const bool root = geteuid() == 0; // root reads any file
    // Path, whether usable, what the message says.
    for (const auto& [path, usable, says] : {
             std::tuple<std::string, bool, const char*>{"", false, "no data archive was named"},
             {dir.path + "/missing.data", false, "No such file or directory"},
             {dir.path, false, "is a folder, not a data archive"},
             {"/dev/null", false, "is not a regular file"},
             {"/dev/zero", false, "is not a regular file"},
             {fifo.path, false, "is not a regular file"},
             {dir.path + "/empty.data", false, "is empty (0 bytes)"},
             {dir.path + "/text.data", false, "is not a data archive (not a zip file)"},
             {dir.path + "/presets-only.data", false, "holds no models"},
             {"/" + std::string(kMaxArchivePath, 'a'), false, "longer than 4095 bytes"},
             {dir.path + "/locked.data", false, root ? "not a data archive" : "cannot be read"},
             {dir.path + "/good.data", true, ": 2 models"},
         }) {
        SCOPED_TRACE(path.substr(0, 80));
        // A check that blocks (a FIFO waiting for a writer) fails rather than hangs.
        const std::optional<UserArchiveCheck> checked =
            withinReleasing(path, [](const std::string& path) { return checkUserArchive(path); });
        ASSERT_TRUE(checked.has_value()) << "the check blocked";
        const UserArchiveCheck& check = *checked;
        EXPECT_EQ(check.usable, usable);
        EXPECT_EQ(check.archive != nullptr, usable);
        EXPECT_NE(check.message.find(says), std::string::npos) << check.message;
        EXPECT_EQ(check.message.find('\n'), std::string::npos);
    }
    // The good archive's broken model is named with the builder's reason and line.
    const UserArchiveCheck good = checkUserArchive(dir.path + "/good.data");
    ASSERT_EQ(good.refusedModels.size(), 1u);
    EXPECT_EQ(good.refusedModels[0].rfind("broken.xml:3: ", 0), 0u) << good.refusedModels[0];
    EXPECT_NE(good.refusedModels[0].find("input2"), std::string::npos) << good.refusedModels[0];
}

// The copy a check hands out is the archive: an effect given it plays the player's
// models, with the presets they lack from the plug-in directory's archive, once
// both files are gone.
TEST(UserArchive, TheCopyACheckHandsOutPlaysWithoutTheFileAndAUnitPlaysItWithTheBundlesPresets) {
    PluginDir dir;
    dir.archive("quorle.data", {{"drive.fxp", fxp({0.25f, 0.3f})}, {"z.xml", "<quorle/>"}});
    dir.archive("mine.data", {{"b-mine.xml", R"(<quorle><fx id="drive" type="clip"/></quorle>)"},
                              {"a-mine.xml", R"(<quorle><fx id="own" type="inv"/></quorle>)"}});
    const UserArchiveCheck check = checkUserArchive(dir.path + "/mine.data");
    ASSERT_TRUE(check.usable) << check.message;
    ASSERT_NE(check.archive, nullptr);
    EXPECT_EQ(check.archive->modelNames(), (std::vector<std::string>{"a-mine.xml", "b-mine.xml"}));
    EXPECT_TRUE(check.refusedModels.empty());
    ASSERT_EQ(std::remove((dir.path + "/mine.data").c_str()), 0);
    ASSERT_EQ(std::remove((dir.path + "/quorle.data").c_str()), 0);

    VorlixMac fx;
    fx.archive = check.archive;
    fx.init();
    EXPECT_EQ(fx.modelNames, check.archive->modelNames());
    ASSERT_TRUE(fx.loadXmlZ(1));
    ASSERT_NE(fx.graph, nullptr);
    ASSERT_NE(fx.graph->next->effect, nullptr);
    EXPECT_EQ(fx.graph->next->effect->getParameter(0), 0.25f); // the bundle's preset
    std::vector<float> tone = quorletest::tone(440.0, 44100.0, 256), out(256);
    float* in = tone.data();
    float* o = out.data();
    fx.process(&in, &o, 256);
    EXPECT_GT(*std::max_element(out.begin(), out.end()), 0.001f);

    // A unit set to a player's archive of shipped models under other names and no presets.
    dir.archive("mine.data", {{"a-first.xml", shippedModel("1-clean.xml")},
                              {"b-mine.xml", shippedModel("3-crunch.xml")}});
    const std::string path = dir.path + "/mine.data";
    const std::vector<float> phrase = pluckedPhrase(48000.0, 1.0);
    auto render = [&](const std::string* archive, float model, std::vector<float>& out) {
        quorletest::LocalUnit unit(512, 48000.0);
        if (archive) {
            EXPECT_EQ(AudioUnitSetProperty(unit.unit, kQuorleProperty_ArchivePath,
                                           kAudioUnitScope_Global, 0, archive->c_str(),
                                           static_cast<UInt32>(archive->size() + 1)),
                      noErr);
        }
        EXPECT_EQ(unit.initialize(), noErr);
        EXPECT_EQ(unit.setParameter(3, model), noErr);
        EXPECT_EQ(unit.renderAll(phrase, out, 512), noErr);
        return unit.kernel()->effect()->modelNames;
    };
    std::vector<float> mine, shipped;
    EXPECT_EQ(render(&path, 1.0f, mine), (std::vector<std::string>{"a-first.xml", "b-mine.xml"}));
    render(nullptr, 2.0f, shipped);
    EXPECT_EQ(hashOf(mine), hashOf(shipped));
    EXPECT_GT(*std::max_element(mine.begin(), mine.end()), 0.01f);
}

// A unit set to a player's archive holding one shipped model under another name and
// no presets at all renders that model bit for bit as the bundle's archive does: the
// blocks' presets and the fixed stage's come from the bundle.

// The path is taken whole or not at all, and only while uninitialised.
TEST(UserArchive, TheArchivePathPropertyRefusesWhatItCannotTakeWhole) {
    quorletest::LocalUnit unit(512);
    auto set = [&](const void* bytes, UInt32 size, AudioUnitScope scope = kAudioUnitScope_Global) {
        return AudioUnitSetProperty(unit.unit, kQuorleProperty_ArchivePath, scope, 0, bytes, size);
    };
    char path[kMaxArchivePathBytes] = {};
    UInt32 size = 0;
    auto get = [&](UInt32 bytes) {
        size = bytes;
        return AudioUnitGetProperty(unit.unit, kQuorleProperty_ArchivePath, kAudioUnitScope_Global,
                                    0, path, &size);
    };
    const std::string tooLong(kMaxArchivePathBytes, 'a'); // no room for the terminator
    EXPECT_EQ(set("abc", 3), kAudioUnitErr_InvalidPropertyValue) << "no terminator";
    EXPECT_EQ(set("a\0bc", 5), kAudioUnitErr_InvalidPropertyValue) << "a NUL inside";
    EXPECT_EQ(set(tooLong.c_str(), static_cast<UInt32>(tooLong.size() + 1)),
              kAudioUnitErr_InvalidPropertyValue);
    EXPECT_EQ(set("x", 2, kAudioUnitScope_Input), kAudioUnitErr_InvalidScope);
    ASSERT_EQ(set("/x/y.data", 10), noErr);
    // Read whole, always kMaxArchivePathBytes: whatever another thread sets between
    // a host's size query and its read fits.
    EXPECT_EQ(get(64), kAudioUnitErr_InvalidPropertyValue) << "never cut";
    ASSERT_EQ(get(sizeof(path)), noErr);
    EXPECT_STREQ(path, "/x/y.data");
    EXPECT_EQ(size, kMaxArchivePathBytes);
    EXPECT_NE(unit.initialize(), noErr) << "a file that is not there cannot be played";
    ASSERT_EQ(set("", 1), noErr) << "empty: the bundle's archive";
    ASSERT_EQ(unit.initialize(), noErr);
    EXPECT_EQ(set("/x/y.data", 10), kAudioUnitErr_Initialized);
}

} // namespace
