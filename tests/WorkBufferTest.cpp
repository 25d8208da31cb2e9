// Work buffers sized to the host's slices: the main effect's buffers as long as it
// is asked for (kSlotLength frames when nobody asks), the kernel asking for its
// unit's maximum frames per slice times the starting factor, and the frozen models
// rendered through a unit set up for short slices exactly as through the effect
// at its full kSlotLength, at the starting factor and after the factor is raised.
#include "QuorleUnitHost.h"

#include "blocks/LinearFade.h"
#include "blocks/Oversampler.h"
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

// Host slice lengths, all within 512 frames, cycled through to the end of the input.
const UInt32 kSlices[] = {512, 1, 100, 511, 37, 256, 512, 3, 480, 129};

std::vector<UInt32> slicesFor(size_t frames) {
    std::vector<UInt32> slices;
    for (size_t at = 0, i = 0; at < frames; ++i) {
        const UInt32 n = static_cast<UInt32>(
            std::min<size_t>(kSlices[i % (sizeof(kSlices) / sizeof(kSlices[0]))], frames - at));
        slices.push_back(n);
        at += n;
    }
    return slices;
}

// The kernel's work done by hand on an effect at its full length: the same
// controls, the same oversampler, the same pieces. From slice `switchAt` on the
// factor is `later` (the effect's rate, a cleared state and pieces of `laterPiece`
// base-rate frames, as a kernel switches, fading out before, silent through the
// new latency and fading in after).
std::vector<float> renderByHand(int model, float rate, int factor, const std::vector<float>& in,
                                const std::vector<UInt32>& slices, size_t switchAt = SIZE_MAX,
                                int later = 1, UInt32 laterPiece = 0) {
    gFxDir = QUORLE_REFERENCE_DATA_DIR;
    VorlixMac fx;
    fx.setSampleRate(rate * static_cast<float>(factor));
    fx.init();
    EXPECT_EQ(fx.bufferSize, kSlotLength);
    fx.dispatcher(10, 0, 0, nullptr, rate * static_cast<float>(factor));
    fx.setParameter(0, 0.7f);
    fx.setParameter(1, 0.6f);
    fx.setParameter(2, 0.3f);
    fx.setParameter(3, static_cast<float>(model));
    Oversampler os(rate, 512);
    os.setFactor(factor);
    std::vector<float> out(in.size()), high(512 * Oversampler::kMaxFactor);
    UInt32 piece = 512;
    size_t at = 0;
    // The change fades out over `fadeLength` samples at the old factor, switches and
    // fades in again (stage 1 falling, 2 rising).
    const int32_t fadeLength = fade::samplesFor(rate, fade::kFadeMs / 2.0);
    const int32_t wait = Oversampler::latencyFor(later);
    int stage = 0;
    int32_t pos = 0;
    for (size_t s = 0; s < slices.size(); ++s) {
        if (s == switchAt) {
            stage = 1;
            pos = 0;
        }
        for (UInt32 done = 0; done < slices[s];) {
            if (stage == 1 && pos == fadeLength) {
                factor = later;
                piece = laterPiece;
                os.setFactor(factor);
                fx.setSampleRate(rate * static_cast<float>(factor));
                fx.dispatcher(10, 0, 0, nullptr, rate * static_cast<float>(factor));
                fx.clearState();
                stage = 2;
                pos = 0;
            } else if (stage == 2 && pos == wait + fadeLength) {
                stage = 0;
            }
            UInt32 n = std::min(piece, slices[s] - done);
            if (stage == 1)
                n = std::min(n, static_cast<UInt32>(fadeLength - pos));
            else if (stage == 2)
                n = std::min(n, static_cast<UInt32>(wait + fadeLength - pos));
            float* block = out.data() + at + done;
            std::copy_n(in.data() + at + done, n, block);
            float* h = high.data();
            if (factor == 1) {
                fx.process(&block, &block, static_cast<int32_t>(n));
            } else {
                os.upsample(block, static_cast<int>(n), h);
                fx.process(&h, &h, static_cast<int32_t>(n) * factor);
                os.downsample(h, block, static_cast<int>(n));
            }
            if (stage == 1) {
                fade::ramp(block, static_cast<int32_t>(n), pos, fadeLength, false);
                pos += static_cast<int32_t>(n);
            } else if (stage == 2) {
                // Silent through the new factor's latency, then rising.
                for (UInt32 i = 0; i < n; ++i, ++pos)
                    block[i] = pos < wait ? 0.0f : block[i] * fade::gainAt(pos - wait, fadeLength);
            }
            done += n;
        }
        at += slices[s];
    }
    return out;
}

// A unit set up for 512 frames per slice with the frozen models' archive.
struct ReferenceUnit {
    ReferenceUnit(int model, float rate, UInt32 factor) : unit(512, rate) {
        gFxDir = QUORLE_REFERENCE_DATA_DIR; // the kernel's effect reads the frozen models
        EXPECT_EQ(setFactor(unit.unit, factor), noErr);
        EXPECT_EQ(unit.initialize(), noErr);
        const float controls[] = {0.7f, 0.6f, 0.3f, static_cast<float>(model)};
        for (AudioUnitParameterID id = 0; id < 4; ++id)
            EXPECT_EQ(unit.setParameter(id, controls[id]), noErr);
    }
    ~ReferenceUnit() { gFxDir = std::string(QUORLE_BUNDLE_DIR) + "/"; }
    OSStatus render(const std::vector<float>& in, std::vector<float>& out,
                    const std::vector<UInt32>& slices, size_t from, size_t to) {
        size_t at = 0;
        for (size_t s = 0; s < from; ++s)
            at += slices[s];
        for (size_t s = from; s < to; ++s) {
            if (OSStatus status = unit.render(in.data() + at, out.data() + at, slices[s]))
                return status;
            at += slices[s];
        }
        return noErr;
    }
    LocalUnit unit;
};

TEST(WorkBuffers, ShortSlicesRenderTheFrozenModelsAsTheFullLengthEffect) {
    for (float rate : {44100.0f, 48000.0f}) {
        const std::vector<float> in = pluckedPhrase(rate, 0.75);
        const std::vector<UInt32> slices = slicesFor(in.size());
        for (UInt32 factor : {1u, 2u, 4u}) {
            for (int model = 0; model < 4; ++model) {
                SCOPED_TRACE(testing::Message()
                             << "model " << model << " at " << rate << " x" << factor);
                const std::vector<float> expected =
                    renderByHand(model, rate, static_cast<int>(factor), in, slices);
                ReferenceUnit ref(model, rate, factor);
                // Work buffers for a whole slice at the factor, no more.
                ASSERT_EQ(ref.unit.kernel()->effect()->bufferSize,
                          static_cast<int32_t>(512 * factor));
                std::vector<float> out(in.size());
                ASSERT_EQ(ref.render(in, out, slices, 0, slices.size()), noErr);
                EXPECT_EQ(hashOf(out), hashOf(expected));
            }
        }
    }
}

// Raised above the starting factor, a slice runs in pieces that fit the buffers
// made for the starting one; lowered again, slices run whole.
TEST(WorkBuffers, AFactorRaisedLaterRunsInShorterPiecesWithinTheBuffers) {
    const float rate = 44100.0f;
    const std::vector<float> in = pluckedPhrase(rate, 0.5);
    const std::vector<UInt32> slices = slicesFor(in.size());
    const size_t switchAt = slices.size() / 3;
    struct Case {
        UInt32 start, later, laterPiece;
    };
    // 512 x 1 frames of buffer: 128 frames at x4; 512 x 2: 512 at x2 again after x1.
    for (const Case& c : {Case{1, 4, 128}, Case{2, 8, 128}, Case{2, 1, 512}}) {
        for (int model = 0; model < 4; ++model) {
            SCOPED_TRACE(testing::Message()
                         << "model " << model << ", x" << c.start << " then x" << c.later);
            const std::vector<float> expected =
                renderByHand(model, rate, static_cast<int>(c.start), in, slices, switchAt,
                             static_cast<int>(c.later), c.laterPiece);
            ReferenceUnit ref(model, rate, c.start);
            std::vector<float> out(in.size());
            ASSERT_EQ(ref.render(in, out, slices, 0, switchAt), noErr);
            ASSERT_EQ(setFactor(ref.unit.unit, c.later), noErr);
            ASSERT_EQ(ref.render(in, out, slices, switchAt, slices.size()), noErr);
            EXPECT_EQ(ref.unit.kernel()->oversampler().factor(), static_cast<int>(c.later));
            EXPECT_EQ(ref.unit.kernel()->effect()->bufferSize, static_cast<int32_t>(512 * c.start));
            EXPECT_EQ(hashOf(out), hashOf(expected));
        }
    }
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
        bool sounding = false;
        for (float x : out) {
            ASSERT_TRUE(std::isfinite(x));
            sounding |= x != 0.0f;
        }
        EXPECT_TRUE(sounding);
    }
}

TEST(WorkBuffers, TheEffectsLengthIsAskedForBeforeInitAndKeptAfter) {
    gFxDir = QUORLE_REFERENCE_DATA_DIR;
    {
        VorlixMac fx; // never asked: the length it always had
        fx.init();
        EXPECT_EQ(fx.bufferSize, kSlotLength);
    }
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
    gFxDir = std::string(QUORLE_BUNDLE_DIR) + "/";
}

// Blocks longer than the buffers run in pieces of the buffers' length, exactly as
// the full-length effect given those pieces.
TEST(WorkBuffers, BlocksLongerThanTheBuffersRunInPieces) {
    gFxDir = QUORLE_REFERENCE_DATA_DIR;
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
