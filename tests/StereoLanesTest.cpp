// Two channels of one unit run their effects as a pair, sharing the vector lanes:
// the output equals two mono units fed the same signals, bit for bit, through model
// switches (with fades, while the pair runs apart), a factor change and render calls
// of every length.
#include "au/quorleIds.h"
#include "main/DataArchive.h"
#include "main/VorlixMac.h"
#include "tools/PluckedPhrase.h"
#include "tools/PluginHost.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr int kModels = 6;
constexpr UInt32 kCalls[] = {1, 7, 64, 512, 4096, 4096, 512, 64, 7, 1};
constexpr UInt32 kMaxFrames = 4096;

using Channels = std::vector<std::vector<float>>;

// The plucked phrase on the left, the same backwards on the right.
Channels signals(size_t frames) {
    std::vector<float> phrase = pluckedPhrase(44100.0, 0.25);
    phrase.resize(frames);
    return {phrase, std::vector<float>(phrase.rbegin(), phrase.rend())};
}

struct Script {
    int model;
    UInt32 factor, laterFactor;
};

// Plays `in` (one buffer per channel) through `host`: a model switch at the third
// call, the factor from the host at the sixth, the first model back at the
// eighth.
testing::AssertionResult play(const Script& s, const Channels& in, Channels& out) {
    const UInt32 channels = static_cast<UInt32>(in.size());
    PluginHost host;
    std::string error;
    if (!host.load(QUORLE_BUNDLE_DIR, error))
        return testing::AssertionFailure() << error;
    AudioUnitSetProperty(host.unit(), kQuorleProperty_Oversampling, kAudioUnitScope_Global, 0,
                         &s.factor, sizeof(s.factor));
    if (OSStatus status = host.start(44100.0, channels, kMaxFrames))
        return testing::AssertionFailure() << "start: " << status;
    host.setParameter(0, 0.7f);
    host.setParameter(3, static_cast<float>(s.model));
    out.assign(channels, std::vector<float>(in[0].size()));
    size_t at = 0;
    for (size_t call = 0; call < std::size(kCalls); ++call) {
        if (call == 2)
            host.setParameter(3, static_cast<float>((s.model + 1) % kModels));
        if (call == 5)
            AudioUnitSetProperty(host.unit(), kQuorleProperty_Oversampling, kAudioUnitScope_Global,
                                 0, &s.laterFactor, sizeof(s.laterFactor));
        if (call == 7)
            host.setParameter(3, static_cast<float>(s.model));
        std::vector<const float*> ins;
        std::vector<float*> outs;
        for (UInt32 c = 0; c < channels; ++c) {
            ins.push_back(in[c].data() + at);
            outs.push_back(out[c].data() + at);
        }
        if (OSStatus status = host.render(ins.data(), outs.data(), kCalls[call]))
            return testing::AssertionFailure() << "render call " << call << ": " << status;
        at += kCalls[call];
    }
    return testing::AssertionSuccess();
}

// A stereo unit plays as two mono units, its effects paired only on the same model
// without a fade.
TEST(StereoLanes, AStereoUnitPlaysAsTwoMonoUnitsPairingOnlyWithoutAFade) {
    size_t frames = 0;
    for (UInt32 n : kCalls)
        frames += n;
    const Channels in = signals(frames);
    for (int model = 0; model < kModels; ++model) {
        for (UInt32 factor : {1u, 2u, 4u, 8u}) {
            const Script s = {model, factor, factor == 8 ? 1u : factor * 2};
            SCOPED_TRACE(testing::Message() << "model " << model << " factor " << factor);
            Channels stereo, left, right;
            ASSERT_TRUE(play(s, in, stereo));
            ASSERT_TRUE(play(s, {in[0]}, left));
            ASSERT_TRUE(play(s, {in[1]}, right));
            EXPECT_EQ(0, std::memcmp(stereo[0].data(), left[0].data(), frames * sizeof(float)));
            EXPECT_EQ(0, std::memcmp(stereo[1].data(), right[0].data(), frames * sizeof(float)));
            EXPECT_NE(0, std::memcmp(stereo[0].data(), stereo[1].data(), frames * sizeof(float)));
        }
    }
    // Two effects on one model pair; while one fades to another graph they do not.
    gFxDir = std::string(QUORLE_BUNDLE_DIR) + "/";
    VorlixMac a, b;
    for (VorlixMac* fx : {&a, &b}) {
        fx->setSampleRate(88200.0f);
        fx->init();
        fx->dispatcher(10, 0, 0, nullptr, 88200.0f);
        fx->setParameter(QrVorlixGeneric::kModel, 5.0f);
    }
    EXPECT_TRUE(a.canRunWith(b));
    std::unique_ptr<PreparedGraph> next = a.prepare(0);
    ASSERT_TRUE(next);
    a.switchTo(next.get());
    EXPECT_FALSE(a.canRunWith(b)); // fading
}

} // namespace
