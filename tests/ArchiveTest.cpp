// The data archive: where it is found, how presets are applied, how entries are read.
#include "ArchiveTestUtil.h"

#include "blocks/ADelay.h"
#include "blocks/QrClipper.h"
#include "blocks/QrIIRFilter.h"
#include "blocks/QrInv.h"
#include "effect/MasterCallback.h"
#include "main/QrVorlixGeneric.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>

namespace {

// An effect that records the parameters set on it, in order.
struct Recorder : AudioEffectX {
    Recorder() : AudioEffectX(nullptr, 1, 8) {}
    void process(float**, float**, int32_t) override {}
    void setParameter(int32_t index, float value) override { sets.emplace_back(index, value); }
    std::vector<std::pair<int32_t, float>> sets;
};

TEST(Archive, AZipTakesPrecedenceOverTheDataFile) {
    PluginDir dir;
    dir.archive("quorle.data", {{"which.fxp", fxp({0.25f})}});
    ASSERT_TRUE(openZip());
    Recorder r;
    EXPECT_TRUE(loadFXPz("which.fxp", &r));
    closeZip();
    EXPECT_EQ(gZipFile, nullptr);

    dir.archive("a.zip", {{"which.fxp", fxp({0.75f})}});
    ASSERT_TRUE(openZip());
    EXPECT_TRUE(openZip()); // already open: nothing reopened
    EXPECT_TRUE(loadFXPz("which.fxp", &r));
    closeZip();
    ASSERT_EQ(r.sets.size(), 2u);
    EXPECT_EQ(r.sets[0].second, 0.25f);
    EXPECT_EQ(r.sets[1].second, 0.75f);
}

TEST(Archive, NoArchiveMeansNothingIsFound) {
    PluginDir dir;
    EXPECT_FALSE(openZip());
    Recorder r;
    EXPECT_FALSE(loadFXPz("bass.fxp", &r));
    std::unique_ptr<AudioEffectX> eq(createEffect(AudioNode::kFxEq, "bass"));
    ASSERT_NE(eq, nullptr); // created with its defaults
    EXPECT_EQ(eq->getParameter(QrIIRFilter::kK), 0.5f);
}

TEST(Archive, PresetsApplyValuesInOrderAndStopAtTheEntryEnd) {
    PluginDir dir;
    std::string oneValue = fxp({1.0f});
    dir.archive("quorle.data", {{"Bass.FXP", fxp({0.0f, 0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f})},
                                {"empty.fxp", fxp({}, 0)},
                                {"negative.fxp", fxp({0.5f}, -3)},
                                {"short.fxp", std::string(55, 'x')},
                                {"liar.fxp", fxp({0.9f, 0.8f}, 1000000)},
                                {"one.fxp", oneValue}});
    ASSERT_TRUE(openZip());

    Recorder r;
    EXPECT_TRUE(loadFXPz("bass.fxp", &r)); // letter case ignored
    ASSERT_EQ(r.sets.size(), 7u);
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(r.sets[i], std::make_pair(i, 0.1f * i));

    r.sets.clear();
    EXPECT_TRUE(loadFXPz("empty.fxp", &r));
    EXPECT_TRUE(loadFXPz("negative.fxp", &r));
    EXPECT_FALSE(loadFXPz("short.fxp", &r));
    EXPECT_FALSE(loadFXPz("missing.fxp", &r));
    EXPECT_TRUE(r.sets.empty());

    EXPECT_TRUE(loadFXPz("liar.fxp", &r)); // claims a million values, holds two
    EXPECT_EQ(r.sets.size(), 2u);

    // Big-endian 3F 80 00 00 is 1.0.
    EXPECT_EQ(static_cast<unsigned char>(oneValue[56]), 0x3F);
    EXPECT_EQ(static_cast<unsigned char>(oneValue[57]), 0x80);
    r.sets.clear();
    EXPECT_TRUE(loadFXPz("one.fxp", &r));
    EXPECT_EQ(r.sets.at(0).second, 1.0f);
    closeZip();
}

TEST(Archive, FactoryCreatesEachKindWithItsPreset) {
    PluginDir dir;
    dir.archive("quorle.data", {{"drive.fxp", fxp({0.25f, 0.3f})}});
    gAudioMaster = masterCallback;
    ASSERT_TRUE(openZip());
    std::unique_ptr<AudioEffectX> clip(createEffect(AudioNode::kFxClip, "drive"));
    ASSERT_NE(dynamic_cast<QrClipper*>(clip.get()), nullptr);
    EXPECT_EQ(clip->getParameter(0), 0.25f);
    EXPECT_EQ(clip->getParameter(1), 0.3f);
    std::unique_ptr<AudioEffectX> inv(createEffect(AudioNode::kFxInv, "x"));
    std::unique_ptr<AudioEffectX> delay(createEffect(AudioNode::kFxDelay, "x"));
    std::unique_ptr<AudioEffectX> eq(createEffect(AudioNode::kFxEq, "x"));
    EXPECT_NE(dynamic_cast<QrInv*>(inv.get()), nullptr);
    EXPECT_NE(dynamic_cast<ADelay*>(delay.get()), nullptr);
    EXPECT_NE(dynamic_cast<QrIIRFilter*>(eq.get()), nullptr);
    EXPECT_EQ(createEffect(AudioNode::kFxNone, "drive"), nullptr);
    EXPECT_EQ(createEffect(static_cast<AudioNode::FXType>(9), "drive"), nullptr);
    closeZip();
}

TEST(Archive, EntryReadsRefuseAbsurdSizesAndDamage) {
    PluginDir dir;
    std::string body(5000, 'm');
    dir.archive("quorle.data", {{"model.xml", body}});
    ASSERT_TRUE(openZip());
    std::string text;
    EXPECT_TRUE(readZipEntry("MODEL.xml", text, 1 << 20));
    EXPECT_EQ(text, body);
    EXPECT_FALSE(readZipEntry("model.xml", text, 4999)); // larger than allowed
    EXPECT_TRUE(text.empty());
    closeZip();

    // A hostile directory record claiming 4 GiB is refused before any allocation.
    std::string path = dir.path + "/quorle.data";
    std::string bytes;
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream all;
        all << in.rdbuf();
        bytes = all.str();
    }
    size_t central = bytes.find("PK\x01\x02");
    ASSERT_NE(central, std::string::npos);
    std::memset(&bytes[central + 24], 0xff, 4);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    ASSERT_TRUE(openZip());
    EXPECT_FALSE(readZipEntry("model.xml", text, 1 << 20));
    closeZip();

    // A claimed size that is only slightly wrong is caught by the read itself.
    bytes[central + 24] = static_cast<char>(0x89);
    bytes[central + 25] = 0x13;
    bytes[central + 26] = 0;
    bytes[central + 27] = 0;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    ASSERT_TRUE(openZip());
    EXPECT_FALSE(readZipEntry("model.xml", text, 1 << 20));
    closeZip();
}

TEST(Archive, SwapBytesReversesFourBytesInPlace) {
    unsigned char b[4] = {1, 2, 3, 4};
    EXPECT_EQ(swapBytes(b), b);
    EXPECT_EQ(b[0], 4);
    EXPECT_EQ(b[3], 1);
    EXPECT_EQ(b[1], 3);
}

} // namespace
