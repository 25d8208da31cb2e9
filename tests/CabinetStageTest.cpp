// The cabinet stage: a convolver comes in and goes out with a crossfade, the one
// replaced is handed back, and without a cabinet the signal passes untouched.
#include "main/CabinetStage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

namespace {

constexpr double kRate = 48000.0;
constexpr uint32_t kBlock = 64;
constexpr int32_t kFade = 960; // 20 ms at 48 kHz

std::unique_ptr<Convolver> gain(float g) {
    const float ir[] = {g};
    return std::make_unique<Convolver>(ir, 1, kBlock);
}

// `blocks` blocks of a constant 1 through the stage, concatenated.
std::vector<float> play(CabinetStage& stage, int blocks) {
    std::vector<float> all;
    for (int b = 0; b < blocks; ++b) {
        std::vector<float> block(kBlock, 1.0f);
        stage.process(block.data(), kBlock);
        all.insert(all.end(), block.begin(), block.end());
    }
    return all;
}

TEST(CabinetStage, ACabinetFadesInAndOutOrPlaysAtOnceAndTheReplacedOneComesBack) {
    CabinetStage stage(kRate, kBlock);
    EXPECT_FALSE(stage.on());
    EXPECT_EQ(play(stage, 2), std::vector<float>(2 * kBlock, 1.0f)); // no cabinet: untouched

    std::unique_ptr<Convolver> half = gain(0.5f);
    const Convolver* halfAddress = half.get();
    ASSERT_TRUE(stage.offer(half));
    EXPECT_EQ(half, nullptr);
    EXPECT_TRUE(stage.on() && stage.fading());
    std::unique_ptr<Convolver> quarter = gain(0.25f);
    EXPECT_FALSE(stage.offer(quarter)); // not during a fade
    ASSERT_NE(quarter, nullptr);
    // Nor is one too small for a stage's pieces, offered or installed.
    CabinetStage wide(kRate, 512);
    EXPECT_FALSE(wide.offer(quarter)); // made for 64 frames
    EXPECT_NE(quarter, nullptr);
    EXPECT_FALSE(wide.on());
    EXPECT_FALSE(wide.install(quarter));
    EXPECT_NE(quarter, nullptr);

    // A linear crossfade from 1 to 0.5 over 960 samples, then 0.5.
    const std::vector<float> in = play(stage, 20);
    for (int32_t i = 0; i < kFade; ++i)
        ASSERT_NEAR(in[static_cast<size_t>(i)], 1.0f - 0.5f * (i + 1) / kFade, 1e-6f) << i;
    for (size_t i = kFade; i < in.size(); ++i)
        ASSERT_EQ(in[i], 0.5f) << i;
    EXPECT_FALSE(stage.fading());
    EXPECT_EQ(stage.takeRetired(), nullptr); // nothing played before

    // Cabinet to cabinet, then off: each replaced convolver comes back once.
    ASSERT_TRUE(stage.offer(quarter));
    play(stage, 16);
    std::unique_ptr<Convolver> back = stage.takeRetired();
    EXPECT_EQ(back.get(), halfAddress);
    EXPECT_EQ(play(stage, 1), std::vector<float>(kBlock, 0.25f));
    std::unique_ptr<Convolver> off;
    ASSERT_TRUE(stage.offer(off));
    const std::vector<float> out = play(stage, 20);
    EXPECT_NEAR(out[0], 0.25f + 0.75f / kFade, 1e-6f);
    EXPECT_EQ(out.back(), 1.0f);
    EXPECT_FALSE(stage.on());
    EXPECT_NE(stage.takeRetired(), nullptr);
    EXPECT_EQ(stage.takeRetired(), nullptr);

    // An install mid-fade plays at once.
    std::unique_ptr<Convolver> again = gain(0.5f);
    ASSERT_TRUE(stage.offer(again));
    play(stage, 1); // mid-fade
    quarter = gain(0.25f);
    ASSERT_TRUE(stage.install(quarter));
    EXPECT_FALSE(stage.fading());
    EXPECT_EQ(play(stage, 1), std::vector<float>(kBlock, 0.25f));
    // Offered without a fade: at once, the replaced one handed back.
    half = gain(0.5f);
    ASSERT_TRUE(stage.offer(half, false));
    EXPECT_EQ(play(stage, 1), std::vector<float>(kBlock, 0.5f));
    EXPECT_NE(stage.takeRetired(), nullptr);
    std::unique_ptr<Convolver> none;
    ASSERT_TRUE(stage.install(none));
    EXPECT_FALSE(stage.on());
    EXPECT_EQ(play(stage, 1), std::vector<float>(kBlock, 1.0f));
}

} // namespace
