// The unit's kernels reached from inside: state poisoned behind the unit's back,
// calls longer than the kernel's work block, interleaved channels, and the
// process-wide plug-in directory.
#include "QuorleUnitHost.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>

namespace {

using quorletest::LocalUnit;

std::vector<float> tone(double hz, size_t n, float amplitude = 0.3f) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = amplitude * static_cast<float>(std::sin(2.0 * M_PI * hz * i / 44100.0));
    return v;
}

bool allFinite(const std::vector<float>& v) {
    for (float x : v)
        if (!std::isfinite(x))
            return false;
    return true;
}

TEST(QuorleKernel, PoisonedStateIsClearedByAResetOrByTheNextBlock) {
    const std::vector<float> warm = tone(196.0, 512), later = tone(330.0, 1536, 0.5f);
    const std::vector<float> nan(512, std::numeric_limits<float>::quiet_NaN());
    for (int model = 0; model < 4; ++model) {
        LocalUnit fresh(512);
        ASSERT_EQ(fresh.initialize(), noErr);
        ASSERT_EQ(fresh.setParameter(3, static_cast<float>(model)), noErr);
        std::vector<float> expected;
        ASSERT_EQ(fresh.renderAll(later, expected, 512), noErr);

        for (bool hostReset : {true, false}) {
            SCOPED_TRACE(testing::Message() << "model " << model << (hostReset ? ", reset" : ""));
            LocalUnit unit(512);
            ASSERT_EQ(unit.initialize(), noErr);
            ASSERT_EQ(unit.setParameter(3, static_cast<float>(model)), noErr);
            std::vector<float> out;
            ASSERT_EQ(unit.renderAll(warm, out, 512), noErr);
            // Straight into the effect, past the kernel's guard on its input.
            float* in = const_cast<float*>(nan.data());
            float* sink = out.data();
            unit.kernel()->effect()->process(&in, &sink, 512);

            if (hostReset) {
                ASSERT_EQ(AudioUnitReset(unit.unit, kAudioUnitScope_Global, 0), noErr);
            } else {
                // The next block comes out as silence, and the state is clean after it.
                ASSERT_EQ(unit.renderAll(warm, out, 512), noErr);
                EXPECT_EQ(out, std::vector<float>(512, 0.0f));
            }
            ASSERT_EQ(unit.renderAll(later, out, 512), noErr);
            EXPECT_TRUE(allFinite(out));
            EXPECT_EQ(out, expected); // bit for bit a fresh unit's output
        }
    }
}

// A kernel called with more frames than its unit's maximum per render call, in
// place; and a kernel given one channel of an interleaved pair. Either way its
// channel comes out as a unit that rendered the same samples plainly, and the
// other channel is untouched.
TEST(QuorleKernel, LongCallsAndInterleavedChannels) {
    struct Case {
        const char* name;
        UInt32 maxFrames;
        UInt32 frames;
        UInt32 stride;
    };
    const Case cases[] = {{"longer than the work block, in place", 256, 1000, 1},
                          {"every second sample", 1024, 700, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<float> channel = tone(440.0, c.frames, 0.6f);
        channel[300] = std::numeric_limits<float>::infinity();
        std::vector<float> plainIn = channel;
        plainIn[300] = 0.0f;

        // Rendered in calls as long as the kernel's pieces.
        LocalUnit reference(c.maxFrames);
        ASSERT_EQ(reference.initialize(), noErr);
        std::vector<float> expected;
        ASSERT_EQ(reference.renderAll(plainIn, expected, c.maxFrames), noErr);

        LocalUnit unit(c.maxFrames);
        ASSERT_EQ(unit.initialize(), noErr);
        std::vector<float> buffer(c.frames * c.stride, 7.0f);
        for (UInt32 i = 0; i < c.frames; ++i)
            buffer[i * c.stride] = channel[i];
        bool silence = false;
        unit.kernel()->Process(buffer.data(), buffer.data(), c.frames, c.stride, silence);

        std::vector<float> out(c.frames);
        for (UInt32 i = 0; i < c.frames; ++i) {
            out[i] = buffer[i * c.stride];
            for (UInt32 k = 1; k < c.stride; ++k)
                ASSERT_EQ(buffer[i * c.stride + k], 7.0f) << i;
        }
        EXPECT_EQ(out, expected);
    }
}

// Instances finding different bundles keep the directory that was set first.
TEST(QuorleUnit, ThePluginDirectoryFirstSetStays) {
    namespace fs = std::filesystem;
    const std::string saved = gFxDir;
    const std::string own = fs::canonical(QUORLE_TEST_PROGRAM_DIR).string() + "/";
    const std::pair<std::string, std::string> cases[] = {{"", own}, {"/elsewhere/", "/elsewhere/"}};
    for (const auto& [before, after] : cases) {
        gFxDir = before;
        AudioUnit unit = nullptr;
        ASSERT_EQ(OpenAComponent(quorletest::LocalEntry, &kQuorleDescription, &unit), noErr);
        char dir[kDirectorySize] = "";
        UInt32 size = sizeof(dir);
        EXPECT_EQ(AudioUnitGetProperty(unit, kQuorleProperty_PluginDirectory,
                                       kAudioUnitScope_Global, 0, dir, &size),
                  noErr);
        EXPECT_EQ(std::string(dir), after) << "set before: " << before;
        CloseComponent(unit);
    }
    gFxDir = saved;
}

} // namespace
