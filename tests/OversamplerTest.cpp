// The oversampler alone (alignment, passband, streaming), the unit's oversampling
// and latency properties (the host's and the render thread's), the factor in the
// saved state, and the unit at factor 1 rendering the frozen models
// exactly as the main effect driven directly does.
#include "QuorleUnitHost.h"
#include "UnitStateUtil.h"

#include "blocks/Oversampler.h"
#include "graph/AudioNodeFX.h"
#include "main/DataArchive.h"
#include "tools/PluckedPhrase.h"

#include "OutputHash.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using quorletest::LocalUnit;

std::vector<float> roundTrip(Oversampler& os, const std::vector<float>& in, int block) {
    std::vector<float> high(static_cast<size_t>(block) * os.factor()), out(in.size());
    for (size_t at = 0; at < in.size(); at += static_cast<size_t>(block)) {
        const int n =
            static_cast<int>(std::min<size_t>(static_cast<size_t>(block), in.size() - at));
        os.upsample(in.data() + at, n, high.data());
        os.downsample(high.data(), out.data() + at, n);
    }
    return out;
}

std::vector<float> sine(double hz, double rate, size_t n, double amplitude = 0.5) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] =
            static_cast<float>(amplitude * std::sin(2 * M_PI * hz * static_cast<double>(i) / rate));
    return v;
}

double rms(const float* x, size_t n) {
    double sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += static_cast<double>(x[i]) * x[i];
    return std::sqrt(sum / static_cast<double>(n));
}

TEST(Oversampler, ImpulsesLandOnTheLatencyAndPassbandSinesKeepTheirLevel) {
    for (int factor : {1, 2, 4, 8}) {
        SCOPED_TRACE(factor);
        Oversampler os(44100.0, 512);
        ASSERT_TRUE(os.setFactor(factor));
        EXPECT_EQ(os.latency(), Oversampler::latencyFor(factor));
        EXPECT_EQ(os.latency() == 0, factor == 1);
        // An impulse comes out as its peak exactly `latency` samples later, nearly
        // whole: a whole-sample delay, not a fractional one smeared over two.
        std::vector<float> impulse(2048, 0.0f);
        impulse[700] = 1.0f;
        const std::vector<float> out = roundTrip(os, impulse, 512);
        size_t peak = 0;
        for (size_t i = 0; i < out.size(); ++i)
            if (std::fabs(out[i]) > std::fabs(out[peak]))
                peak = i;
        EXPECT_EQ(peak, 700u + static_cast<size_t>(os.latency()));
        EXPECT_GT(out[peak], 0.9f);
        // Sines from 20 Hz to 18 kHz, a sample's worth of delay removed: the same
        // level within 0.1 dB, and the same waveform (the delay is exact).
        for (double hz : {20.0, 1000.0, 9000.0, 15000.0, 18000.0}) {
            os.reset();
            const std::vector<float> in = sine(hz, 44100.0, 16384);
            const std::vector<float> got = roundTrip(os, in, 300);
            const size_t skip = 4096, n = 8192, lag = static_cast<size_t>(os.latency());
            const double dB =
                20 * std::log10(rms(got.data() + skip + lag, n) / rms(in.data() + skip, n));
            EXPECT_NEAR(dB, 0.0, 0.1) << hz << " Hz";
            double worst = 0;
            for (size_t i = 0; i < n; ++i)
                worst = std::max(worst, std::fabs(double(got[skip + lag + i]) - in[skip + i]));
            EXPECT_LT(worst, hz <= 15000 ? 1e-3 : 6e-3) << hz << " Hz";
        }
    }
}

TEST(Oversampler, StreamsTheSameInAnyCallLengthAndRefusesOtherFactors) {
    const std::vector<float> in = pluckedPhrase(48000.0, 0.5);
    for (int factor : {2, 8}) {
        Oversampler whole(48000.0, 4096), pieces(48000.0, 100);
        ASSERT_TRUE(whole.setFactor(factor));
        ASSERT_TRUE(pieces.setFactor(factor));
        // 1000-frame calls to an oversampler made for 100 run in pieces inside.
        EXPECT_EQ(roundTrip(whole, in, 4096), roundTrip(pieces, in, 1000)) << factor;
    }
    Oversampler os(48000.0, 64);
    ASSERT_TRUE(os.setFactor(4));
    for (int bad : {0, 3, 6, 16, -2})
        EXPECT_FALSE(os.setFactor(bad)) << bad;
    EXPECT_EQ(os.factor(), 4);
    EXPECT_EQ(Oversampler::latencyFor(3), 0);
    EXPECT_THROW(Oversampler(0.0, 64), std::invalid_argument);
    EXPECT_THROW(Oversampler(48000.0, 0), std::invalid_argument);
}

UInt32 getFactor(AudioUnit unit, AudioUnitPropertyID id = kQuorleProperty_Oversampling) {
    UInt32 value = 0, size = sizeof(value);
    AudioUnitGetProperty(unit, id, kAudioUnitScope_Global, 0, &value, &size);
    return value;
}

OSStatus setFactor(AudioUnit unit, UInt32 value, AudioUnitScope scope = kAudioUnitScope_Global,
                   AudioUnitPropertyID id = kQuorleProperty_Oversampling) {
    return AudioUnitSetProperty(unit, id, scope, 0, &value, sizeof(value));
}

Float64 latencySeconds(AudioUnit unit) {
    Float64 seconds = -1;
    UInt32 size = sizeof(seconds);
    AudioUnitGetProperty(unit, kAudioUnitProperty_Latency, kAudioUnitScope_Global, 0, &seconds,
                         &size);
    return seconds;
}

void countChange(void* refCon, AudioUnit, AudioUnitPropertyID id, AudioUnitScope,
                 AudioUnitElement) {
    static_cast<std::vector<AudioUnitPropertyID>*>(refCon)->push_back(id);
}

// Logs into `seen` every change announced of the factor and the latency.
testing::AssertionResult listening(AudioUnit unit, std::vector<AudioUnitPropertyID>& seen) {
    for (AudioUnitPropertyID id :
         {kQuorleProperty_Oversampling, AudioUnitPropertyID(kAudioUnitProperty_Latency)})
        if (AudioUnitAddPropertyListener(unit, id, countChange, &seen) != noErr)
            return testing::AssertionFailure() << "listener for " << id;
    return testing::AssertionSuccess();
}

// The factor property takes only a factor, as four bytes, in the global scope.
TEST(QuorleOversampling, ThePropertyTakesOnlyTheFactors) {
    {
        const AudioUnitPropertyID id = kQuorleProperty_Oversampling;
        LocalUnit unit(512);
        UInt32 size = 0;
        Boolean writable = false;
        ASSERT_EQ(
            AudioUnitGetPropertyInfo(unit.unit, id, kAudioUnitScope_Global, 0, &size, &writable),
            noErr);
        EXPECT_EQ(size, sizeof(UInt32));
        EXPECT_TRUE(writable);
        std::vector<AudioUnitPropertyID> seen;
        ASSERT_TRUE(listening(unit.unit, seen));
        for (UInt32 bad : {0u, 3u, 5u, 16u, 0xFFFFFFFFu})
            EXPECT_EQ(setFactor(unit.unit, bad, kAudioUnitScope_Global, id),
                      kAudioUnitErr_InvalidPropertyValue)
                << bad;
        const uint16_t shortValue = 2;
        EXPECT_EQ(AudioUnitSetProperty(unit.unit, id, kAudioUnitScope_Global, 0, &shortValue,
                                       sizeof(shortValue)),
                  kAudioUnitErr_InvalidPropertyValue);
        for (AudioUnitScope scope : {kAudioUnitScope_Input, kAudioUnitScope_Output})
            EXPECT_EQ(setFactor(unit.unit, 2, scope, id), kAudioUnitErr_InvalidScope) << scope;
        EXPECT_TRUE(seen.empty());
        EXPECT_EQ(getFactor(unit.unit), 1u); // the unit's own default
    }
}

// The host's property is announced with the latency; set before initialisation the
// kernel starts with it, set while initialised it is taken at the next render.
TEST(QuorleOversampling, TheHostsPropertyIsAnnouncedWithTheLatencyAndTaken) {
    LocalUnit unit(512);
    UInt32 size = 0;
    Boolean writable = false;
    ASSERT_EQ(AudioUnitGetPropertyInfo(unit.unit, kAudioUnitProperty_Latency,
                                       kAudioUnitScope_Global, 0, &size, &writable),
              noErr);
    EXPECT_EQ(size, sizeof(Float64));
    EXPECT_EQ(latencySeconds(unit.unit), 0.0);
    std::vector<AudioUnitPropertyID> seen;
    ASSERT_TRUE(listening(unit.unit, seen));

    ASSERT_EQ(setFactor(unit.unit, 4), noErr);
    EXPECT_EQ(seen.size(), 2u);
    ASSERT_EQ(unit.initialize(), noErr);
    EXPECT_EQ(unit.kernel()->oversampler().factor(), 4);
    EXPECT_EQ(unit.kernel()->effect()->getSampleRate(), 4 * 44100.0f);
    EXPECT_DOUBLE_EQ(latencySeconds(unit.unit), Oversampler::latencyFor(4) / 44100.0);
    ASSERT_EQ(setFactor(unit.unit, 8), noErr);
    EXPECT_EQ(unit.kernel()->oversampler().factor(), 4);
    std::vector<float> out;
    ASSERT_EQ(unit.renderAll(std::vector<float>(64, 0.1f), out, 64), noErr);
    EXPECT_EQ(unit.kernel()->oversampler().factor(), 8);
    EXPECT_EQ(unit.kernel()->effect()->getSampleRate(), 8 * 44100.0f);
    EXPECT_EQ(seen.size(), 4u);
}

// The saved state carries the factor, so a reopened project plays at the factor
// chosen; a state saved before it was carried, an unusable value or a refused
// state keeps the factor the unit has.
TEST(QuorleOversampling, TheSavedStateKeepsTheFactor) {
    using namespace unitstate;
    LocalUnit source(512);
    ASSERT_EQ(setFactor(source.unit, 4), noErr);
    CFDictionaryRef state = save(source.unit);
    ASSERT_NE(state, nullptr);
    CFTypeRef stored = lookup(state, "oversampling");
    SInt32 value = 0;
    ASSERT_TRUE(stored && CFGetTypeID(stored) == CFNumberGetTypeID());
    ASSERT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(stored), kCFNumberSInt32Type, &value));
    EXPECT_EQ(value, 4);

    for (bool running : {true, false}) {
        // Restored into a running unit: set, announced, taken at the next render;
        // restored before initialisation: the kernels start with it.
        SCOPED_TRACE(running ? "running" : "before initialisation");
        LocalUnit target(512);
        if (running) {
            ASSERT_EQ(target.initialize(), noErr);
        }
        std::vector<AudioUnitPropertyID> seen;
        ASSERT_TRUE(listening(target.unit, seen));
        ASSERT_EQ(restore(target.unit, state), noErr);
        EXPECT_EQ(getFactor(target.unit), 4u);
        EXPECT_EQ(seen, (std::vector<AudioUnitPropertyID>{kQuorleProperty_Oversampling,
                                                          kAudioUnitProperty_Latency}));
        if (!running) {
            ASSERT_EQ(target.initialize(), noErr);
        }
        std::vector<float> out;
        ASSERT_EQ(target.renderAll(std::vector<float>(64, 0.1f), out, 64), noErr);
        EXPECT_EQ(target.kernel()->oversampler().factor(), 4);
        EXPECT_DOUBLE_EQ(latencySeconds(target.unit), Oversampler::latencyFor(4) / 44100.0);
    }

    CFNumberRef three = number(3), eight = number(8), other = number(0x78787878);
    CFStringRef text = CFStringCreateWithCString(nullptr, "8", kCFStringEncodingUTF8);
    CFDictionaryRef foreign = edited(state, "subtype", other);
    const struct {
        const char* what;
        CFDictionaryRef state;
        OSStatus status;
    } cases[] = {
        {"no factor saved", edited(state, "oversampling", nullptr), noErr},
        {"not a factor", edited(state, "oversampling", three), noErr},
        {"not a number", edited(state, "oversampling", text), noErr},
        {"a foreign state", edited(foreign, "oversampling", eight),
         kAudioUnitErr_InvalidPropertyValue},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LocalUnit target(512);
        ASSERT_EQ(setFactor(target.unit, 2), noErr);
        std::vector<AudioUnitPropertyID> seen;
        ASSERT_TRUE(listening(target.unit, seen));
        EXPECT_EQ(restore(target.unit, c.state), c.status);
        EXPECT_EQ(getFactor(target.unit), 2u);
        EXPECT_TRUE(seen.empty());
        CFRelease(c.state);
    }
    for (CFTypeRef object : {CFTypeRef(three), CFTypeRef(eight), CFTypeRef(other), CFTypeRef(text),
                             CFTypeRef(foreign), CFTypeRef(state)})
        CFRelease(object);
}

// A burst through the unit with its model graph taken out, which leaves the effect
// its fixed tone stage, linear and all but the same at every rate: the output at
// each factor is the output at factor 1 delayed by the latency the unit reports
// (the lag of best correlation).
// Puts a graph of the input node alone in place: only the fixed stage is heard.
// The graph is the caller's and must outlive the effect.
std::unique_ptr<PreparedGraph> withoutGraph(VorlixMac& fx) {
    auto bare = std::make_unique<PreparedGraph>();
    bare->graph = new AudioNodeFX;
    bare->graph->outBuffer = kInputSlot;
    fx.install(bare.get());
    return bare;
}

TEST(QuorleOversampling, TheReportedLatencyIsTheMeasuredDelay) {
    std::vector<float> burst(8192, 0.0f);
    for (size_t i = 0; i < 2048; ++i)
        burst[1000 + i] = static_cast<float>(0.2 * std::sin(2 * M_PI * 600.0 * i / 48000.0) *
                                             std::sin(M_PI * i / 2048.0));
    std::vector<float> plain;
    std::unique_ptr<PreparedGraph> bare;
    {
        LocalUnit unit(512, 48000.0);
        ASSERT_EQ(unit.initialize(), noErr);
        bare = withoutGraph(*unit.kernel()->effect());
        ASSERT_EQ(unit.renderAll(burst, plain, 512), noErr);
    }
    for (UInt32 factor : {2u, 4u, 8u}) {
        LocalUnit unit(512, 48000.0);
        ASSERT_EQ(unit.initialize(), noErr);
        ASSERT_EQ(setFactor(unit.unit, factor), noErr);
        bare = withoutGraph(*unit.kernel()->effect());
        std::vector<float> out;
        ASSERT_EQ(unit.renderAll(burst, out, 512), noErr);
        int best = -1;
        double bestSum = -1;
        for (int lag = 0; lag < 200; ++lag) {
            double sum = 0;
            for (size_t i = 0; i + 200 < out.size(); ++i)
                sum += static_cast<double>(plain[i]) * out[i + static_cast<size_t>(lag)];
            if (sum > bestSum) {
                bestSum = sum;
                best = lag;
            }
        }
        EXPECT_GT(best, 0);
        EXPECT_DOUBLE_EQ(latencySeconds(unit.unit) * 48000.0, best) << factor;
    }
}

// Factor 1 is the plug-in as it was: the frozen models through the unit hash as the
// main effect driven directly, as the golden tests drive it.
TEST(QuorleOversampling, FactorOneRendersTheFrozenModelsBitForBit) {
    for (float rate : {44100.0f, 48000.0f}) {
        const std::vector<float> in = pluckedPhrase(rate, 0.75);
        for (int model = 0; model < 4; ++model) {
            SCOPED_TRACE(testing::Message() << "model " << model << " at " << rate);
            const std::vector<float> direct = quorletest::renderDirect(
                QUORLE_REFERENCE_DATA_DIR, rate, {0.7f, 0.6f, 0.3f, static_cast<float>(model)}, in);
            LocalUnit unit(512, rate);
            gFxDir = QUORLE_REFERENCE_DATA_DIR; // the kernel's effect reads the frozen models
            ASSERT_EQ(setFactor(unit.unit, 1), noErr);
            ASSERT_EQ(unit.initialize(), noErr);
            const float controls[] = {0.7f, 0.6f, 0.3f, static_cast<float>(model)};
            for (AudioUnitParameterID id = 0; id < 4; ++id)
                ASSERT_EQ(unit.setParameter(id, controls[id]), noErr);
            std::vector<float> out;
            ASSERT_EQ(unit.renderAll(in, out, 512), noErr);
            EXPECT_EQ(hashOf(out), hashOf(direct));
        }
    }
    gFxDir = std::string(QUORLE_BUNDLE_DIR) + "/";
}

} // namespace
