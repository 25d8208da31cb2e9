// The data archive: where it is found, how presets are applied, how entries are read.
#include "ArchiveTestUtil.h"

#include "blocks/ADelay.h"
#include "blocks/QrClipper.h"
#include "blocks/QrIIRFilter.h"
#include "blocks/QrInv.h"
#include "effect/MasterCallback.h"
#include "main/DataArchive.h"
#include "tools/ZipWriter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <memory>

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

// The plug-in directory's archive as a main effect reads it.
std::shared_ptr<const DataArchive> readDir() {
    return DataArchive::readDirectory(gFxDir);
}

TEST(Archive, AZipTakesPrecedenceOverTheDataFile) {
    PluginDir dir;
    const auto none = readDir();
    EXPECT_FALSE(none->found()); // no archive: nothing is found and effects keep their defaults
    EXPECT_TRUE(none->modelNames().empty());
    EXPECT_TRUE(applied(*none, "bass.fxp", false).empty());
    ArchiveEffectFactory noPresets(none.get(), masterCallback);
    std::unique_ptr<AudioEffectX> eq(noPresets.create(AudioNode::kFxEq, "bass", nullptr));
    ASSERT_NE(eq, nullptr);
    EXPECT_EQ(eq->getParameter(QrIIRFilter::kK), 0.5f);

    dir.archive("quorle.data", {{"which.fxp", fxp({0.25f})}});
    const auto data = readDir();
    ASSERT_TRUE(data->found());
    EXPECT_EQ(applied(*data, "which.fxp"), (Sets{{0, 0.25f}}));
    dir.archive("a.zip", {{"which.fxp", fxp({0.75f})}});
    EXPECT_EQ(applied(*readDir(), "which.fxp"), (Sets{{0, 0.75f}}));
    // A copy read earlier is the archive as it was then.
    EXPECT_EQ(applied(*data, "which.fxp"), (Sets{{0, 0.25f}}));
}

TEST(Archive, PresetsAndTheEffectFactory) {
    PluginDir dir;
    dir.archive("quorle.data", {{"Bass.FXP", fxp({0.0f, 0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f})},
                                {"empty.fxp", fxp({}, 0)},
                                {"negative.fxp", fxp({0.5f}, -3)},
                                {"short.fxp", std::string(55, 'x')},
                                {"liar.fxp", fxp({0.9f, 0.8f}, 1000000)},
                                {"one.fxp", fxp({}, 1) + std::string("\x3F\x80\x00\x00", 4)},
                                {"drive.fxp", fxp({0.25f, 0.3f})},
                                {"nan.fxp", fxp({0.1f, 0.2f, NAN})},
                                {"inf.fxp", fxp({INFINITY})},
                                {"minus-inf.fxp", fxp({0.5f, -INFINITY}, 1000)}});
    const auto archive = readDir();
    ASSERT_TRUE(archive->found());
    const struct {
        const char* name;
        PresetStatus status;
        Sets sets;
    } presets[] = {
        {"bass.fxp", // letter case ignored
         PresetStatus::kApplied,
         {{0, 0.0f}, {1, 0.1f}, {2, 0.2f}, {3, 0.3f}, {4, 0.4f}, {5, 0.5f}, {6, 0.6f}}},
        {"empty.fxp", PresetStatus::kApplied, {}},
        {"negative.fxp", PresetStatus::kApplied, {}},
        {"short.fxp", PresetStatus::kMissing, {}},
        {"missing.fxp", PresetStatus::kMissing, {}},
        {"liar.fxp", PresetStatus::kApplied, {{0, 0.9f}, {1, 0.8f}}}, // claims a million values
        {"one.fxp", PresetStatus::kApplied, {{0, 1.0f}}},
        // A value that is not a finite number refuses the whole preset: nothing is set.
        {"nan.fxp", PresetStatus::kRefused, {}},
        {"inf.fxp", PresetStatus::kRefused, {}},
        {"minus-inf.fxp", PresetStatus::kRefused, {}},
    };
    for (const auto& preset : presets) {
        Recorder r;
        EXPECT_EQ(archive->applyPreset(preset.name, &r), preset.status) << preset.name;
        EXPECT_EQ(r.sets, preset.sets) << preset.name;
    }

    ArchiveEffectFactory factory(archive.get(), masterCallback);
    PresetStatus status = PresetStatus::kApplied;
    std::unique_ptr<AudioEffectX> clip(factory.create(AudioNode::kFxClip, "drive", &status)),
        inv(factory.create(AudioNode::kFxInv, "x", nullptr)),
        delay(factory.create(AudioNode::kFxDelay, "x", nullptr)),
        eq(factory.create(AudioNode::kFxEq, "x", &status));
    ASSERT_NE(dynamic_cast<QrClipper*>(clip.get()), nullptr);
    EXPECT_EQ(clip->getParameter(0), 0.25f);
    EXPECT_EQ(clip->getParameter(1), 0.3f);
    EXPECT_EQ(status, PresetStatus::kMissing); // x.fxp
    EXPECT_NE(dynamic_cast<QrInv*>(inv.get()), nullptr);
    EXPECT_NE(dynamic_cast<ADelay*>(delay.get()), nullptr);
    EXPECT_NE(dynamic_cast<QrIIRFilter*>(eq.get()), nullptr);
    EXPECT_EQ(factory.create(AudioNode::kFxNone, "drive", nullptr), nullptr);
    EXPECT_EQ(factory.create(static_cast<AudioNode::FXType>(9), "drive", nullptr), nullptr);
    std::unique_ptr<AudioEffectX> refused(factory.create(AudioNode::kFxEq, "nan", &status));
    EXPECT_EQ(status, PresetStatus::kRefused);
}

TEST(Archive, EntryReadsRefuseAbsurdSizesAndDamage) {
    PluginDir dir;
    std::string body(5000, 'm');
    dir.archive("quorle.data", {{"model.xml", body}});
    const std::string path = dir.path + "/quorle.data";
    const auto archive = DataArchive::readFile(path);
    ASSERT_NE(archive->model("MODEL.xml"), nullptr);
    EXPECT_EQ(*archive->model("MODEL.xml"), body);
    ArchiveLimits small;
    small.modelBytes = 4999; // larger than allowed
    EXPECT_EQ(DataArchive::readFile(path, small)->model("model.xml"), nullptr);
    small.modelBytes = 5000;
    EXPECT_NE(DataArchive::readFile(path, small)->model("model.xml"), nullptr);

    // The directory record's size claim: 4 GiB (refused before any allocation), then
    // 5001, only slightly wrong and caught by the read itself.
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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
}

TEST(Archive, EverythingHeldFitsOneBudget) {
    // Each entry is within the model limit, but together they are not within the
    // budget: the entries that no longer fit are unreadable, counted by their size
    // claim before they are read.
    PluginDir dir;
    const std::string big(40000, 'x');
    dir.archive("quorle.data",
                {{"a.xml", big}, {"b.xml", big}, {"c.xml", big}, {"d.fxp", fxp({1})}});
    ArchiveLimits limits;
    limits.totalBytes = 100000;
    const auto archive = DataArchive::readFile(dir.path + "/quorle.data", limits);
    EXPECT_NE(archive->model("a.xml"), nullptr);
    EXPECT_NE(archive->model("b.xml"), nullptr);
    EXPECT_EQ(archive->model("c.xml"), nullptr);
    EXPECT_EQ(archive->modelNames(), (std::vector<std::string>{"a.xml", "b.xml", "c.xml"}));
    EXPECT_LE(archive->heldBytes(), limits.totalBytes);
    // Names and bookkeeping count too: a budget that holds no more than a few names
    // ends the pass.
    limits.totalBytes = 300;
    const auto names = DataArchive::readFile(dir.path + "/quorle.data", limits);
    EXPECT_LT(names->modelNames().size(), 3u);
    EXPECT_LE(names->heldBytes(), limits.totalBytes);
    EXPECT_EQ(names->model("c.xml"), nullptr);
}

TEST(Archive, NamesAreLookedUpAsTheArchiveLibraryDoes) {
    // The first entry of a name in any letter case is the one found, even when it
    // is damaged or too large; a name longer than a lookup can take is never found;
    // the model list keeps names as written and leaves out names of 100 bytes or more.
    PluginDir dir;
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
    ArchiveLimits limits;
    limits.modelBytes = 1000;
    const auto archive = DataArchive::readFile(dir.path + "/quorle.data", limits);
    EXPECT_EQ(archive->model("m.xml"), nullptr); // M.XML comes first and is too large
    ASSERT_NE(archive->model("a.xml"), nullptr);
    EXPECT_EQ(*archive->model("a.xml"), "first");
    EXPECT_EQ(applied(*archive, "p.fxp"), (Sets{{0, 0.5f}}));
    EXPECT_EQ(archive->model(longName), nullptr);
    EXPECT_EQ(archive->model("notes.txt"), nullptr);
    ASSERT_NE(archive->model(listedLongest + "x"), nullptr); // found, though not listed
    EXPECT_EQ(archive->modelNames(),
              (std::vector<std::string>{"A.xml", "a.xml", listedLongest, "m.xml"}));
}

TEST(Archive, SwapBytesReversesFourBytesInPlace) {
    unsigned char b[4] = {1, 2, 3, 4};
    EXPECT_EQ(swapBytes(b), b);
    EXPECT_EQ(std::vector<unsigned char>(b, b + 4), (std::vector<unsigned char>{4, 3, 2, 1}));
}

} // namespace
