// Work buffers sized to the host's slices: the main effect's buffers as long as it
// is asked for (kSlotLength frames when nobody asks), the kernel asking for its
// unit's maximum frames per slice times the starting factor, and blocks longer than
// the buffers run in pieces. (What the unit renders in short slices, and after a
// factor change, is held to recorded hashes in IirCascadeTest.)
#include "QuorleUnitHost.h"

#include "main/DataArchive.h"
#include "main/VorlixMac.h"
#include "tools/PluckedPhrase.h"

#include "OutputHash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using quorletest::LocalUnit;

OSStatus setFactor(AudioUnit unit, UInt32 factor) {
    return AudioUnitSetProperty(unit, kQuorleProperty_Oversampling, kAudioUnitScope_Global, 0,
                                &factor, sizeof(factor));
}

TEST(WorkBuffers, TheKernelAsksForTheSliceTimesTheFactorWithinTheEffectsLength) {
    struct Case {
        UInt32 maxFrames, factor;
        int32_t frames;
    };
    const Case cases[] = {
        {512, 1, 512}, {4096, 2, 8192},         {1156, 8, 9248},         {1, 1, 8},
        {3, 2, 8},     {20000, 8, kSlotLength}, {200000, 1, kSlotLength}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.maxFrames << " frames x" << c.factor);
        LocalUnit unit(c.maxFrames);
        ASSERT_EQ(setFactor(unit.unit, c.factor), noErr);
        ASSERT_EQ(unit.initialize(), noErr);
        EXPECT_EQ(unit.kernel()->effect()->bufferSize, c.frames);
        // A whole slice, and one at the highest factor, renders sound.
        const std::vector<float> in = pluckedPhrase(44100.0, 0.1);
        std::vector<float> out;
        ASSERT_EQ(unit.renderAll(in, out, std::min<UInt32>(c.maxFrames, 4410)), noErr);
        ASSERT_EQ(setFactor(unit.unit, 8), noErr);
        ASSERT_EQ(unit.renderAll(in, out, std::min<UInt32>(c.maxFrames, 4410)), noErr);
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float x) { return std::isfinite(x); }));
        EXPECT_LT(std::count(out.begin(), out.end(), 0.0f), static_cast<long>(out.size()));
    }
}

TEST(WorkBuffers, TheEffectsLengthIsAskedForBeforeInitAndLongerBlocksRunInPieces) {
    gFxDir = QUORLE_REFERENCE_DATA_DIR;
    VorlixMac never; // never asked: the length it always had
    never.init();
    EXPECT_EQ(never.bufferSize, kSlotLength);
    const std::pair<int32_t, int32_t> asked[] = {
        {100, 100}, {0, 1}, {-5, 1}, {kSlotLength + 1, kSlotLength}, {INT32_MAX, kSlotLength}};
    for (const auto& [frames, made] : asked) {
        VorlixMac fx;
        EXPECT_TRUE(fx.setMaxBlock(frames));
        fx.init();
        EXPECT_EQ(fx.bufferSize, made) << frames;
        EXPECT_FALSE(fx.setMaxBlock(made == 1 ? 2 : 1)); // the buffers are made
        fx.init();                                       // a second init keeps them
        EXPECT_EQ(fx.bufferSize, made) << frames;
    }

    // Blocks longer than the buffers run in pieces of the buffers' length, exactly as
    // the full-length effect given those pieces.
    const std::vector<float> in = pluckedPhrase(44100.0, 0.5);
    for (int model = 0; model < 4; ++model) {
        VorlixMac small, full;
        ASSERT_TRUE(small.setMaxBlock(300));
        for (VorlixMac* fx : {&small, &full}) {
            fx->setSampleRate(44100.0f);
            fx->init();
            fx->dispatcher(10, 0, 0, nullptr, 44100.0f);
            fx->setParameter(0, 0.7f);
            fx->setParameter(3, static_cast<float>(model));
        }
        std::vector<float> a(in.size()), b(in.size());
        for (size_t at = 0; at < in.size(); at += 1000) {
            const size_t n = std::min<size_t>(1000, in.size() - at);
            float* i = const_cast<float*>(in.data()) + at;
            float* o = a.data() + at;
            small.process(&i, &o, static_cast<int32_t>(n));
            for (size_t done = 0; done < n; done += 300) {
                float* pi = i + done;
                float* po = b.data() + at + done;
                full.process(&pi, &po, static_cast<int32_t>(std::min<size_t>(300, n - done)));
            }
        }
        EXPECT_EQ(hashOf(a), hashOf(b)) << model;
    }
    gFxDir = std::string(QUORLE_BUNDLE_DIR) + "/";
}

} // namespace
