// The data archive: where it is found, how presets are applied, how entries are read.
#include "ArchiveTestUtil.h"

#include "blocks/ADelay.h"
#include "blocks/QrClipper.h"
#include "blocks/QrIIRFilter.h"
#include "blocks/QrInv.h"
#include "effect/MasterCallback.h"
#include "main/QrVorlixGeneric.h"

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

// The parameters preset `name` sets, checking whether it was found.
Sets applied(const char* name, bool found = true) {
    Recorder r;
    EXPECT_EQ(loadFXPz(name, &r), found) << name;
    return r.sets;
}

TEST(Archive, AZipTakesPrecedenceOverTheDataFile) {
    PluginDir dir;
    EXPECT_FALSE(openZip()); // no archive: nothing is found and effects keep their defaults
    EXPECT_TRUE(applied("bass.fxp", false).empty());
    std::unique_ptr<AudioEffectX> eq(createEffect(AudioNode::kFxEq, "bass"));
    ASSERT_NE(eq, nullptr);
    EXPECT_EQ(eq->getParameter(QrIIRFilter::kK), 0.5f);

    dir.archive("quorle.data", {{"which.fxp", fxp({0.25f})}});
    ASSERT_TRUE(openZip());
    EXPECT_EQ(applied("which.fxp"), (Sets{{0, 0.25f}}));
    closeZip();
    EXPECT_EQ(gZipFile, nullptr);
    dir.archive("a.zip", {{"which.fxp", fxp({0.75f})}});
    ASSERT_TRUE(openZip());
    EXPECT_TRUE(openZip()); // already open: nothing reopened
    EXPECT_EQ(applied("which.fxp"), (Sets{{0, 0.75f}}));
    closeZip();
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
    gAudioMaster = masterCallback;
    ASSERT_TRUE(openZip());
    EXPECT_EQ(applied("bass.fxp"), // letter case ignored
              (Sets{{0, 0.0f}, {1, 0.1f}, {2, 0.2f}, {3, 0.3f}, {4, 0.4f}, {5, 0.5f}, {6, 0.6f}}));
    EXPECT_TRUE(applied("empty.fxp").empty());
    EXPECT_TRUE(applied("negative.fxp").empty());
    EXPECT_TRUE(applied("short.fxp", false).empty());
    EXPECT_TRUE(applied("missing.fxp", false).empty());
    EXPECT_EQ(applied("liar.fxp"), (Sets{{0, 0.9f}, {1, 0.8f}})); // claims a million values
    EXPECT_EQ(applied("one.fxp"), (Sets{{0, 1.0f}}));
    // A value that is not a finite number refuses the whole preset: nothing is set.
    for (const char* bad : {"nan.fxp", "inf.fxp", "minus-inf.fxp"})
        EXPECT_TRUE(applied(bad, false).empty()) << bad;
    Recorder r;
    EXPECT_EQ(applyPreset("nan.fxp", &r), PresetStatus::kRefused);
    EXPECT_EQ(applyPreset("missing.fxp", &r), PresetStatus::kMissing);
    EXPECT_EQ(applyPreset("short.fxp", &r), PresetStatus::kMissing);
    EXPECT_EQ(applyPreset("one.fxp", &r), PresetStatus::kApplied);

    std::unique_ptr<AudioEffectX> clip(createEffect(AudioNode::kFxClip, "drive")),
        inv(createEffect(AudioNode::kFxInv, "x")), delay(createEffect(AudioNode::kFxDelay, "x")),
        eq(createEffect(AudioNode::kFxEq, "x"));
    ASSERT_NE(dynamic_cast<QrClipper*>(clip.get()), nullptr);
    EXPECT_EQ(clip->getParameter(0), 0.25f);
    EXPECT_EQ(clip->getParameter(1), 0.3f);
    EXPECT_NE(dynamic_cast<QrInv*>(inv.get()), nullptr);
    EXPECT_NE(dynamic_cast<ADelay*>(delay.get()), nullptr);
    EXPECT_NE(dynamic_cast<QrIIRFilter*>(eq.get()), nullptr);
    EXPECT_EQ(createEffect(AudioNode::kFxNone, "drive"), nullptr);
    EXPECT_EQ(createEffect(static_cast<AudioNode::FXType>(9), "drive"), nullptr);
    closeZip();
}

TEST(Archive, EntryReadsRefuseAbsurdSizesAndDamage) {
    PluginDir dir;
    std::string body(5000, 'm'), text;
    dir.archive("quorle.data", {{"model.xml", body}});
    ASSERT_TRUE(openZip());
    EXPECT_TRUE(readZipEntry("MODEL.xml", text, 1 << 20));
    EXPECT_EQ(text, body);
    EXPECT_FALSE(readZipEntry("model.xml", text, 4999)); // larger than allowed
    EXPECT_TRUE(text.empty());
    closeZip();

    // The directory record's size claim: 4 GiB (refused before any allocation), then
    // 5001, only slightly wrong and caught by the read itself.
    const std::string path = dir.path + "/quorle.data";
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t central = bytes.find("PK\x01\x02");
    ASSERT_NE(central, std::string::npos);
    for (uint32_t claim : {0xFFFFFFFFu, 5001u}) {
        for (int i = 0; i < 4; ++i)
            bytes[central + 24 + i] = static_cast<char>(claim >> (8 * i));
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        ASSERT_TRUE(openZip());
        EXPECT_FALSE(readZipEntry("model.xml", text, 1 << 20)) << claim;
        closeZip();
    }
}

TEST(Archive, SwapBytesReversesFourBytesInPlace) {
    unsigned char b[4] = {1, 2, 3, 4};
    EXPECT_EQ(swapBytes(b), b);
    EXPECT_EQ(std::vector<unsigned char>(b, b + 4), (std::vector<unsigned char>{4, 3, 2, 1}));
}

} // namespace
