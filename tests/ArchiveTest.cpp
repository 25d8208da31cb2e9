// The data archive: where it is found, how presets are applied, how entries are
// read, both from the in-memory copy and from the archive file read in place.
#include "ArchiveTestUtil.h"

#include "blocks/ADelay.h"
#include "blocks/QrClipper.h"
#include "blocks/QrIIRFilter.h"
#include "blocks/QrInv.h"
#include "effect/MasterCallback.h"
#include "graph/xmlreader.h"
#include "main/DataArchive.h"
#include "main/VorlixMac.h"
#include "main/ZipArchive.h"
#include "tools/ZipWriter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>

namespace {

using Sets = std::vector<std::pair<int32_t, float>>;

// An effect that records the parameters set on it, in order.
struct Recorder : AudioEffectX {
    Recorder() : AudioEffectX(nullptr, 1, 8) {}
    void process(float**, float**, int32_t) override {}
    void setParameter(int32_t index, float value) override { sets.emplace_back(index, value); }
    Sets sets;
};

// The parameters preset `name` of `archive` sets, checking whether it was found.
Sets applied(const DataArchive& archive, const char* name, bool found = true) {
    Recorder r;
    EXPECT_EQ(archive.applyPreset(name, &r) == PresetStatus::kApplied, found) << name;
    return r.sets;
}

TEST(
    Archive,
    EverythingHeldFitsOneBudgetEntryReadsRefuseAbsurdSizesAndDamageNamesAreLookedUpAsTheLibraryDoes) {
    PluginDir dir;
    const std::string path = dir.path + "/quorle.data";
    // Each entry is within the model limit, but together they are not within the
    // budget: the entries that no longer fit are unreadable, counted by their size
    // claim before they are read.
    const std::string big(40000, 'x');
    dir.archive("quorle.data",
                {{"a.xml", big}, {"b.xml", big}, {"c.xml", big}, {"d.fxp", fxp({1})}});
    ArchiveLimits limits;
    limits.totalBytes = 100000;
    const auto archive = DataArchive::readFile(path, limits);
    EXPECT_NE(archive->model("a.xml"), nullptr);
    EXPECT_NE(archive->model("b.xml"), nullptr);
    EXPECT_EQ(archive->model("c.xml"), nullptr);
    EXPECT_EQ(archive->modelNames(), (std::vector<std::string>{"a.xml", "b.xml", "c.xml"}));
    EXPECT_LE(archive->heldBytes(), limits.totalBytes);
    // Names and bookkeeping count too: a budget that holds no more than a few names
    // ends the pass.
    limits.totalBytes = 300;
    const auto names = DataArchive::readFile(path, limits);
    EXPECT_LT(names->modelNames().size(), 3u);
    EXPECT_LE(names->heldBytes(), limits.totalBytes);
    EXPECT_EQ(names->model("c.xml"), nullptr);
    // A model's name is held twice, listed and as its lookup key: a longer name, the
    // same body, holds twice the difference more.
    dir.archive("short.data", {{"a.xml", "m"}});
    dir.archive("long.data", {{std::string(85, 'n') + ".xml", "m"}});
    EXPECT_GE(DataArchive::readFile(dir.path + "/long.data")->heldBytes(),
              DataArchive::readFile(dir.path + "/short.data")->heldBytes() + 2 * 84);

    // A single model: read whole, refused over the model limit.
    std::string body(5000, 'm');
    dir.archive("quorle.data", {{"model.xml", body}});
    const auto whole = DataArchive::readFile(path);
    ASSERT_NE(whole->model("MODEL.xml"), nullptr);
    EXPECT_EQ(*whole->model("MODEL.xml"), body);
    ArchiveLimits small;
    small.modelBytes = 4999; // larger than allowed
    EXPECT_EQ(DataArchive::readFile(path, small)->model("model.xml"), nullptr);
    small.modelBytes = 5000;
    EXPECT_NE(DataArchive::readFile(path, small)->model("model.xml"), nullptr);

    // The directory record's size claim: 4 GiB (refused before any allocation), then
    // 5001, only slightly wrong and caught by the read itself.
    std::string bytes = fileBytes(path);
    const size_t central = bytes.find("PK\x01\x02");
    ASSERT_NE(central, std::string::npos);
    for (uint32_t claim : {0xFFFFFFFFu, 5001u}) {
        for (int i = 0; i < 4; ++i)
            bytes[central + 24 + i] = static_cast<char>(claim >> (8 * i));
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        const auto damaged = DataArchive::readFile(path);
        ASSERT_TRUE(damaged->found());
        EXPECT_EQ(damaged->modelNames(), std::vector<std::string>{"model.xml"}) << claim;
        EXPECT_EQ(damaged->model("model.xml"), nullptr) << claim;
    }

    // The first entry of a name in any letter case is the one found, even when it
    // is damaged or too large; a name longer than a lookup can take is never found;
    // the model list keeps names as written and leaves out names of 100 bytes or more.
    const std::string longName = std::string(300, 'n') + ".xml";
    const std::string listedLongest = std::string(95, 'l') + ".xml";
    {
        ZipWriter zip(dir.path + "/quorle.data");
        zip.add("M.XML", std::string(2000, 'a'));
        zip.add("m.xml", "second");
        zip.add("P.fxp", fxp({0.5f}));
        zip.add("p.FXP", fxp({0.25f}));
        zip.add("A.xml", "first");
        zip.add("a.xml", "second");
        zip.add(longName, "long");
        zip.add(listedLongest, "99 bytes");
        zip.add(listedLongest + "x", "100 bytes");
        zip.add("notes.txt", "neither");
        ASSERT_TRUE(zip.close());
    }
    ArchiveLimits thousand;
    thousand.modelBytes = 1000;
    const auto byName = DataArchive::readFile(path, thousand);
    EXPECT_EQ(byName->model("m.xml"), nullptr); // M.XML comes first and is too large
    ASSERT_NE(byName->model("a.xml"), nullptr);
    EXPECT_EQ(*byName->model("a.xml"), "first");
    EXPECT_EQ(applied(*byName, "p.fxp"), (Sets{{0, 0.5f}}));
    EXPECT_EQ(byName->model(longName), nullptr);
    EXPECT_EQ(byName->model("notes.txt"), nullptr);
    ASSERT_NE(byName->model(listedLongest + "x"), nullptr); // found, though not listed
    EXPECT_EQ(byName->modelNames(),
              (std::vector<std::string>{"A.xml", "a.xml", listedLongest, "m.xml"}));
    // Listed in place, the file leaves out the same names.
    VorlixMac fx;
    fx.scanXml(gFxDir.c_str());
    EXPECT_EQ(fx.modelNames, byName->modelNames());
}

// The parameters preset `name` of the open archive file sets, checking loadFXPz's result.
Sets loaded(const char* name, bool result) {
    Recorder r;
    EXPECT_EQ(loadFXPz(name, &r), result) << name;
    return r.sets;
}

// A zip takes precedence over the data file, for the copy and for the file read in
// place; the archive file opens once and closes to null.
TEST(ArchiveFile, AZipTakesPrecedenceOverTheDataFileAndTheFileClosesToNull) {
    PluginDir dir;
    const auto none = DataArchive::readDirectory(gFxDir);
    EXPECT_FALSE(none->found()); // no archive: nothing is found and effects keep their defaults
    EXPECT_TRUE(none->modelNames().empty());
    EXPECT_TRUE(applied(*none, "bass.fxp", false).empty());
    ArchiveEffectFactory noPresets(none.get(), masterCallback);
    std::unique_ptr<AudioEffectX> eq(noPresets.create(AudioNode::kFxEq, "bass", nullptr));
    ASSERT_NE(eq, nullptr);
    EXPECT_EQ(eq->getParameter(QrIIRFilter::kK), 0.5f);
    EXPECT_FALSE(openZip()); // neither file
    EXPECT_EQ(gZipFile, nullptr);
    EXPECT_TRUE(loaded("which.fxp", false).empty());

    dir.archive("quorle.data", {{"which.fxp", fxp({0.25f})}});
    const auto data = DataArchive::readDirectory(gFxDir);
    ASSERT_TRUE(data->found());
    EXPECT_EQ(applied(*data, "which.fxp"), (Sets{{0, 0.25f}}));
    std::ofstream(dir.path + "/a.zip") << "not a zip archive"; // does not open as one
    {
        const ZipSession open;
        ASSERT_TRUE(open.opened());
        EXPECT_EQ(loaded("which.fxp", true), (Sets{{0, 0.25f}}));
    }
    EXPECT_EQ(gZipFile, nullptr);

    // A FIFO named a.zip is passed over at once, never waited for.
    std::filesystem::remove(dir.path + "/a.zip");
    {
        const Fifo fifo(dir.path + "/a.zip");
        ASSERT_TRUE(fifo.ok);
        const std::optional<bool> opened =
            withinReleasing(fifo.path, [](const std::string&) { return openZip(); });
        ASSERT_TRUE(opened.has_value()) << "openZip blocked on a FIFO";
        EXPECT_TRUE(*opened);
        EXPECT_EQ(loaded("which.fxp", true), (Sets{{0, 0.25f}}));
        closeZip();
    }

    dir.archive("a.zip", {{"which.fxp", fxp({0.75f})}});
    EXPECT_EQ(applied(*DataArchive::readDirectory(gFxDir), "which.fxp"), (Sets{{0, 0.75f}}));
    // A copy read earlier is the archive as it was then.
    EXPECT_EQ(applied(*data, "which.fxp"), (Sets{{0, 0.25f}}));
    ASSERT_TRUE(openZip());
    const unzFile first = gZipFile;
    EXPECT_TRUE(openZip()); // already open: nothing is reopened
    EXPECT_EQ(gZipFile, first);
    EXPECT_EQ(loaded("which.fxp", true), (Sets{{0, 0.75f}}));
    closeZip();
    closeZip(); // closing a closed archive does nothing
    EXPECT_EQ(gZipFile, nullptr);
}

// Presets read the same from the archive's copy (applyPreset) and from the open file
// (loadFXPz): each value in order through the effect, damaged or lying records
// read no further than their entry, values that are not numbers set nothing. Then
// each kind of block, made by the copy's factory, by createEffect() and by the
// builder without a factory, takes its preset.
TEST(ArchiveFile, PresetsAndBlocksFromTheCopyAndFromTheOpenFile) {
    PluginDir dir;
    dir.archive("quorle.data", {{"Bass.FXP", fxp({0.0f, 0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f})},
                                {"empty.fxp", fxp({}, 0)},
                                {"negative.fxp", fxp({0.5f}, -3)},
                                {"short.fxp", std::string(55, 'x')},
                                {"liar.fxp", fxp({0.9f, 0.8f}, 1000000)},
                                {"one.fxp", fxp({}, 1) + std::string("\x3F\x80\x00\x00", 4)},
                                {"trailing.fxp", fxp({0.5f}, 1) + "ignored bytes"},
                                {"drive.fxp", fxp({0.25f, 0.3f})},
                                {"nan.fxp", fxp({0.1f, 0.2f, NAN})},
                                {"inf.fxp", fxp({INFINITY})},
                                {"minus-inf.fxp", fxp({0.5f, -INFINITY}, 1000)}});
    const auto archive = DataArchive::readDirectory(gFxDir);
    ASSERT_TRUE(archive->found());
    gAudioMaster = masterCallback;
    TiXmlDocument doc;
    doc.Parse(R"(<quorle><fx id="drive" type="clip"/></quorle>)");
    auto builtPreGain = [&] {
        BuildReport report;
        std::unique_ptr<AudioNode> graph(parseElement(doc.RootElement(), 0, 1, &report));
        EXPECT_NE(graph, nullptr);
        return graph && graph->next && graph->next->effect ? graph->next->effect->getParameter(0)
                                                           : -1.0f;
    };
    // Closed: the blocks keep their defaults and the archive stays closed.
    EXPECT_EQ(builtPreGain(), 0.0625f);
    std::unique_ptr<AudioEffectX> plain(createEffect(AudioNode::kFxClip, "drive"));
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->getParameter(0), 0.0625f);
    EXPECT_EQ(gZipFile, nullptr);
    {
        const ZipSession open;
        ASSERT_TRUE(open.opened());
        const struct {
            const char* name;
            PresetStatus status;
            bool read; // loadFXPz's result
            Sets sets;
        } presets[] = {
            {"bass.fxp", // letter case ignored
             PresetStatus::kApplied,
             true,
             {{0, 0.0f}, {1, 0.1f}, {2, 0.2f}, {3, 0.3f}, {4, 0.4f}, {5, 0.5f}, {6, 0.6f}}},
            {"empty.fxp", PresetStatus::kApplied, true, {}},
            {"negative.fxp", PresetStatus::kApplied, true, {}},
            {"short.fxp", PresetStatus::kMissing, false, {}}, // 55 bytes: no header
            {"missing.fxp", PresetStatus::kMissing, false, {}},
            {"liar.fxp", PresetStatus::kApplied, true, {{0, 0.9f}, {1, 0.8f}}}, // claims a million
            {"one.fxp", PresetStatus::kApplied, true, {{0, 1.0f}}}, // big-endian 3F 80 00 00
            {"trailing.fxp", PresetStatus::kApplied, true, {{0, 0.5f}}},
            // The header was read, but a value that is not a finite number refuses the
            // whole preset: nothing is set.
            {"nan.fxp", PresetStatus::kRefused, true, {}},
            {"inf.fxp", PresetStatus::kRefused, true, {}},
            {"minus-inf.fxp", PresetStatus::kRefused, true, {}},
        };
        for (const auto& preset : presets) {
            Recorder r;
            EXPECT_EQ(archive->applyPreset(preset.name, &r), preset.status) << preset.name;
            EXPECT_EQ(r.sets, preset.sets) << preset.name;
            EXPECT_EQ(loaded(preset.name, preset.read), preset.sets) << preset.name;
        }
        EXPECT_FALSE(loadFXPz(nullptr, nullptr));
        EXPECT_EQ(builtPreGain(), 0.25f);

        ArchiveEffectFactory factory(archive.get(), masterCallback);
        PresetStatus status = PresetStatus::kApplied;
        auto fromCopy = [&](AudioNode::FXType type, const char* id) {
            return factory.create(type, id, &status);
        };
        using Make = std::function<AudioEffectX*(AudioNode::FXType, const char*)>;
        for (const Make& make : {Make(fromCopy), Make(createEffect)}) {
            std::unique_ptr<AudioEffectX> clip(make(AudioNode::kFxClip, "drive")),
                inv(make(AudioNode::kFxInv, "x")), delay(make(AudioNode::kFxDelay, "x")),
                eq(make(AudioNode::kFxEq, "x"));
            ASSERT_NE(dynamic_cast<QrClipper*>(clip.get()), nullptr);
            EXPECT_EQ(clip->getParameter(0), 0.25f);
            EXPECT_EQ(clip->getParameter(1), 0.3f);
            EXPECT_NE(dynamic_cast<QrInv*>(inv.get()), nullptr);
            EXPECT_NE(dynamic_cast<ADelay*>(delay.get()), nullptr);
            EXPECT_NE(dynamic_cast<QrIIRFilter*>(eq.get()), nullptr);
        }
        EXPECT_EQ(status, PresetStatus::kMissing); // x.fxp
        std::unique_ptr<AudioEffectX> refused(factory.create(AudioNode::kFxEq, "nan", &status));
        EXPECT_EQ(status, PresetStatus::kRefused);

        // An unknown type reads nothing: the handle and its current entry stay.
        ASSERT_EQ(unzGoToFirstFile(gZipFile), UNZ_OK);
        const unzFile handle = gZipFile;
        const ZPOS64_T entry = unzGetOffset64(gZipFile);
        for (int type : {0, 9, -1}) { // kFxNone and numbers no kind has
            const auto kind = static_cast<AudioNode::FXType>(type);
            EXPECT_EQ(factory.create(kind, "drive", nullptr), nullptr) << type;
            EXPECT_EQ(createEffect(kind, "drive"), nullptr) << type;
            EXPECT_EQ(gZipFile, handle);
            EXPECT_EQ(unzGetOffset64(gZipFile), entry) << type;
        }
    }
    EXPECT_EQ(builtPreGain(), 0.0625f);
}

// A main effect that notes, when init() sets the drive, what init() did before it.
struct InitOrder : VorlixMac {
    void setParameter(int32_t index, float value) override {
        sets.emplace_back(index, value);
        if (sets.size() == 1) {
            listed = modelNames;
            hadGraph = graph != nullptr;
            archiveClosed = gZipFile == nullptr;
            hadCopy = archive != nullptr;
            loMidGain = loMidFilter.params.postGain; // the preset's, before the drive
            bassK = bassFilter.params.k;
        }
        VorlixMac::setParameter(index, value);
    }
    Sets sets;
    std::vector<std::string> listed;
    bool hadGraph = false, archiveClosed = false, hadCopy = true;
    float loMidGain = 0.0f, bassK = 0.0f;
};

TEST(ArchiveFile,
     InitListsLoadsAppliesThePresetsClosesThenSetsTheDriveAndUnreadableModelsKeepTheGraph) {
    PluginDir dir;
    // Preset values are normalised: parameter 6 (post gain) 0.25, parameter 5 (k) 0.4.
    dir.archive("quorle.data", {{"b.xml", R"(<quorle><fx id="b" type="inv"/></quorle>)"},
                                {"C.xml", R"(<quorle><fx id="c" type="clip"/></quorle>)"},
                                {"a.xml", R"(<quorle><fx id="a" type="inv"/></quorle>)"},
                                {"a.xml.bak", R"(<quorle><fx id="a" type="inv"/></quorle>)"},
                                {"Model.XML", R"(<quorle><fx id="a" type="inv"/></quorle>)"},
                                {"notes.txt", "not a model"},
                                {"c.fxp", fxp({0.125f})},
                                {"bass.fxp", fxp({1.0f, 0.0f, 0.1f, 0.5f, 0.95f, 0.4f, 1.0f})},
                                {"lo_mid.fxp", fxp({1.0f, 0.0f, 0.1f, 0.5f, 0.95f, 0.5f, 0.25f})}});
    const std::vector<std::string> models = {"C.xml", "a.xml", "a.xml.bak", "b.xml"};

    // Listed straight from the file, before init, which leaves it closed.
    VorlixMac early;
    early.scanXml(gFxDir.c_str());
    EXPECT_EQ(early.modelNames, models);
    EXPECT_EQ(gZipFile, nullptr);
    EXPECT_EQ(early.archive, nullptr);
    EXPECT_THROW(early.loadXmlZ(4), std::out_of_range);
    EXPECT_TRUE(early.loadXmlZ(0)); // C.xml from the file, its clipper's preset applied
    ASSERT_NE(early.graph, nullptr);
    EXPECT_EQ(early.graph->next->effect->getParameter(0), 0.125f);
    EXPECT_EQ(gZipFile, nullptr);

    InitOrder fx;
    fx.init();
    EXPECT_EQ(fx.sets, (Sets{{0, 0.5f}})); // the drive alone, through the virtual slot
    EXPECT_EQ(fx.listed, models);
    EXPECT_TRUE(fx.hadGraph);
    EXPECT_TRUE(fx.archiveClosed);
    EXPECT_FALSE(fx.hadCopy);       // read in place so far
    EXPECT_EQ(fx.loMidGain, 0.25f); // the preset's, which the drive then replaced
    EXPECT_NE(fx.loMidFilter.params.postGain, 0.25f);
    EXPECT_EQ(fx.bassK, 0.4f);
    EXPECT_EQ(fx.graph->next->effect->getParameter(0), 0.125f);
    // Then the copy that switching reads.
    ASSERT_NE(fx.archive, nullptr);
    EXPECT_EQ(fx.archive->modelNames(), models);
    EXPECT_EQ(gZipFile, nullptr);

    // A model that cannot be read keeps the graph playing.
    dir.archive("quorle.data", {{"a.xml", R"(<quorle><fx id="a" type="inv"/></quorle>)"},
                                {"b.xml", "<quorle><fx"},
                                {"c.xml", "<other/>"}});
    VorlixMac unread;
    unread.scanXml(gFxDir.c_str());
    ASSERT_TRUE(unread.loadXmlZ(0));
    const AudioNode* playing = unread.graph;
    for (int model : {1, 2}) {
        EXPECT_FALSE(unread.loadXmlZ(model)) << model;
        EXPECT_EQ(unread.graph, playing);
        EXPECT_EQ(unread.currentModel, 0);
        EXPECT_FALSE(unread.lastRefusal().empty());
        EXPECT_EQ(gZipFile, nullptr);
    }
    // Gone from the file since it was listed: not found.
    dir.archive("quorle.data", {{"a.xml", "<quorle/>"}});
    EXPECT_FALSE(unread.loadXmlZ(1));
    EXPECT_EQ(gZipFile, nullptr);
}

} // namespace
