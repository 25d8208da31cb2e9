// The oversampler alone (alignment, passband, rejection, streaming), the unit's oversampling
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

#include <algorithm>
#include <cmath>
#include <complex>
#include <string>
#include <tuple>
#include <vector>

namespace {

using quorletest::LocalUnit;

constexpr double kRate = 48000.0;

// Calls of the lengths in `calls`, taken in turn.
std::vector<float> roundTrip(Oversampler& os, const std::vector<float>& in,
                             std::initializer_list<int> calls) {
    const int longest = std::max(calls);
    std::vector<float> high(static_cast<size_t>(longest) * os.factor()), out(in.size());
    auto call = calls.begin();
    for (size_t at = 0; at < in.size();) {
        const size_t n = std::min<size_t>(static_cast<size_t>(*call), in.size() - at);
        os.upsample(in.data() + at, static_cast<int>(n), high.data());
        os.downsample(high.data(), out.data() + at, static_cast<int>(n));
        at += n;
        if (++call == calls.end())
            call = calls.begin();
    }
    return out;
}

// A sine of `cycles` whole periods in `n` samples, starting `lead` samples early so
// that the filters have settled when the analysed n begin.
std::vector<float> sine(double cycles, size_t n, size_t lead, double amplitude = 0.5) {
    std::vector<float> v(lead + n);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<float>(
            amplitude * std::sin(2 * M_PI * cycles * (static_cast<double>(i) - lead) / n));
    return v;
}

// The DFT of x[0, n) at `cycles` whole periods.
std::complex<double> bin(const float* x, size_t n, double cycles) {
    std::complex<double> sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += static_cast<double>(x[i]) * std::polar(1.0, -2 * M_PI * cycles * i / n);
    return sum;
}

double dB(double ratio) {
    return 20 * std::log10(ratio + 1e-30);
}

// An impulse comes out as its peak `latency` samples later (the integer nearest the
// delay at 0 Hz, a whole number the host can compensate); sines from 20 Hz to 18 kHz
// keep their level within 0.01 dB, and their phase at and below 5 kHz within 8
// degrees of that delay (measured at 100 Hz / 1 kHz / 5 kHz: +0.2 / +2.0 / +7.9
// degrees at factor 2, +0.1 / +1.2 / +3.9 at 4, +0.1 / +1.0 / +2.9 at 8).
TEST(Oversampler,
     ImpulsesPeakOnTheLatencyThePassbandIsFlatItStreamsInAnyCallLengthAndRefusesOtherFactors) {
    const struct { int factor, maxLatency; } cases[] = {{1, 0}, {2, 4}, {4, 8}, {8, 8}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.factor);
        Oversampler os(kRate, 512);
        ASSERT_TRUE(os.setFactor(c.factor));
        const int latency = os.latency();
        EXPECT_EQ(latency, Oversampler::latencyFor(c.factor));
        EXPECT_LE(latency, c.maxLatency);
        EXPECT_EQ(latency == 0, c.factor == 1);
        EXPECT_NEAR(Oversampler::delayFor(c.factor), latency, 0.5);
        std::vector<float> impulse(2048, 0.0f);
        impulse[700] = 1.0f;
        const std::vector<float> out = roundTrip(os, impulse, {512});
        size_t peak = 0;
        for (size_t i = 0; i < out.size(); ++i)
            if (std::fabs(out[i]) > std::fabs(out[peak]))
                peak = i;
        EXPECT_EQ(peak, 700u + static_cast<size_t>(latency));
        if (c.factor == 1) {
            EXPECT_EQ(out, impulse); // a plain copy
        }
        const size_t n = 8192, lead = 2048;
        for (double hz : {20.0, 100.0, 1000.0, 5000.0, 9000.0, 15000.0, 18000.0}) {
            os.reset();
            const double cycles = std::round(hz * n / kRate);
            const std::vector<float> in = sine(cycles, n, lead);
            const std::vector<float> got = roundTrip(os, in, {300});
            const std::complex<double> ratio =
                bin(got.data() + lead, n, cycles) / bin(in.data() + lead, n, cycles);
            EXPECT_NEAR(dB(std::abs(ratio)), 0.0, 0.01) << hz << " Hz";
            const double degrees =
                std::arg(ratio * std::polar(1.0, 2 * M_PI * cycles * latency / n)) * 180 / M_PI;
            if (hz <= 5000) {
                EXPECT_LE(std::fabs(degrees), 8.0) << hz << " Hz";
            }
        }
    }

    const std::vector<float> in = pluckedPhrase(kRate, 0.5);
    for (int factor : {2, 4, 8}) {
        SCOPED_TRACE(factor);
        Oversampler whole(kRate, 4096), pieces(kRate, 100);
        ASSERT_TRUE(whole.setFactor(factor));
        ASSERT_TRUE(pieces.setFactor(factor));
        const std::vector<float> want = roundTrip(whole, in, {4096});
        // Calls of 1 .. 1000 frames; those over 100 run in pieces inside.
        EXPECT_EQ(roundTrip(pieces, in, {1, 7, 1000, 64, 333, 2}), want);
        // reset() leaves nothing of what was played.
        whole.reset();
        EXPECT_EQ(roundTrip(whole, in, {4096}), want);
        // Silence after it leaves no subnormal number (the test runs without
        // flush-to-zero), which would slow the filters for as long as it lasts.
        const std::vector<float> tail = roundTrip(whole, std::vector<float>(48000, 0.0f), {512});
        EXPECT_TRUE(std::none_of(tail.begin(), tail.end(),
                                 [](float x) { return std::fpclassify(x) == FP_SUBNORMAL; }));
    }
    Oversampler os(kRate, 64);
    ASSERT_TRUE(os.setFactor(4));
    for (int bad : {0, 3, 6, 16, -2})
        EXPECT_FALSE(os.setFactor(bad)) << bad;
    EXPECT_EQ(os.factor(), 4);
    EXPECT_EQ(Oversampler::latencyFor(3), 0);
    EXPECT_THROW(Oversampler(0.0, 64), std::invalid_argument);
    EXPECT_THROW(Oversampler(kRate, 0), std::invalid_argument);
}

// Each step rejects at least 88 dB over its stopband: a 1, 10 or 19.5 kHz sine
// raised to the higher rate leaves no image (at m x 48 kHz +- f) above -88 dB, and
// sines at those images' frequencies at the higher rate, brought down, leave no
// alias at f above -88 dB.
TEST(Oversampler, ImagesAndAliasesAreRejectedAtEveryFactor) {
    const size_t n = 4096, lead = 1024;
    for (int factor : {2, 4, 8}) {
        for (double hz : {1000.0, 10000.0, 19500.0}) {
            SCOPED_TRACE(testing::Message() << factor << "x, " << hz << " Hz");
            const double cycles = std::round(hz * n / kRate);
            Oversampler os(kRate, 1024);
            ASSERT_TRUE(os.setFactor(factor));
            const std::vector<float> in = sine(cycles, n, lead);
            std::vector<float> high(in.size() * static_cast<size_t>(factor));
            os.upsample(in.data(), static_cast<int>(in.size()), high.data());
            const float* settled = high.data() + lead * factor;
            const double tone = std::abs(bin(settled, n * factor, cycles));
            EXPECT_NEAR(dB(tone / (0.25 * n * factor)), 0.0, 0.01);
            std::vector<float> low(in.size());
            for (int m = 1; m < factor; ++m)
                for (int sign : {-1, 1}) {
                    const double image = m * static_cast<double>(n) + sign * cycles;
                    if (image >= n * factor / 2.0)
                        continue;
                    EXPECT_LE(dB(std::abs(bin(settled, n * factor, image)) / tone), -88.0)
                        << "image at " << image * kRate / n << " Hz";
                    // The image's frequency at the higher rate, brought down.
                    const std::vector<float> above = sine(image, n * factor, lead * factor);
                    os.reset();
                    os.downsample(above.data(), low.data(), static_cast<int>(in.size()));
                    const double alias = std::abs(bin(low.data() + lead, n, cycles));
                    EXPECT_LE(dB(alias / (0.25 * n)), -88.0)
                        << "alias of " << image * kRate / n << " Hz";
                }
        }
    }
}

UInt32 getFactor(AudioUnit unit) {
    UInt32 value = 0, size = sizeof(value);
    AudioUnitGetProperty(unit, kQuorleProperty_Oversampling, kAudioUnitScope_Global, 0, &value,
                         &size);
    return value;
}

OSStatus setFactor(AudioUnit unit, UInt32 value, AudioUnitScope scope = kAudioUnitScope_Global) {
    return AudioUnitSetProperty(unit, kQuorleProperty_Oversampling, scope, 0, &value,
                                sizeof(value));
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

// The factor property takes only a factor, as four bytes, in the global scope, and
// is announced with the latency; set before initialisation the kernel starts with
// it, set while initialised it is taken at the next render.
TEST(QuorleOversampling, ThePropertyTakesOnlyTheFactorsIsAnnouncedWithTheLatencyAndTaken) {
    const AudioUnitPropertyID id = kQuorleProperty_Oversampling;
    LocalUnit unit(512);
    for (const auto& [property, bytes] :
         {std::pair<AudioUnitPropertyID, size_t>{id, sizeof(UInt32)},
          {kAudioUnitProperty_Latency, sizeof(Float64)}}) {
        UInt32 size = 0;
        Boolean writable = false;
        ASSERT_EQ(AudioUnitGetPropertyInfo(unit.unit, property, kAudioUnitScope_Global, 0, &size,
                                           &writable),
                  noErr);
        EXPECT_EQ(size, bytes);
        EXPECT_TRUE(writable || property != id);
    }
    EXPECT_EQ(latencySeconds(unit.unit), 0.0);
    std::vector<AudioUnitPropertyID> seen;
    ASSERT_TRUE(listening(unit.unit, seen));
    for (UInt32 bad : {0u, 3u, 5u, 16u, 0xFFFFFFFFu})
        EXPECT_EQ(setFactor(unit.unit, bad), kAudioUnitErr_InvalidPropertyValue) << bad;
    const uint16_t shortValue = 2;
    EXPECT_EQ(AudioUnitSetProperty(unit.unit, id, kAudioUnitScope_Global, 0, &shortValue,
                                   sizeof(shortValue)),
              kAudioUnitErr_InvalidPropertyValue);
    for (AudioUnitScope scope : {kAudioUnitScope_Input, kAudioUnitScope_Output})
        EXPECT_EQ(setFactor(unit.unit, 2, scope), kAudioUnitErr_InvalidScope) << scope;
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(getFactor(unit.unit), 1u); // the unit's own default

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
    for (const auto& [what, edit, status] : {
             std::tuple<const char*, CFDictionaryRef, OSStatus>{
                 "no factor saved", edited(state, "oversampling", nullptr), noErr},
             {"not a factor", edited(state, "oversampling", three), noErr},
             {"not a number", edited(state, "oversampling", text), noErr},
             {"a foreign state", edited(foreign, "oversampling", eight),
              kAudioUnitErr_InvalidPropertyValue},
         }) {
        SCOPED_TRACE(what);
        LocalUnit target(512);
        ASSERT_EQ(setFactor(target.unit, 2), noErr);
        std::vector<AudioUnitPropertyID> seen;
        ASSERT_TRUE(listening(target.unit, seen));
        EXPECT_EQ(restore(target.unit, edit), status);
        EXPECT_EQ(getFactor(target.unit), 2u);
        EXPECT_TRUE(seen.empty());
        CFRelease(edit);
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
    for (UInt32 factor : {1u, 2u, 4u, 8u}) {
        LocalUnit unit(512, 48000.0);
        ASSERT_EQ(unit.initialize(), noErr);
        ASSERT_EQ(setFactor(unit.unit, factor), noErr);
        bare = withoutGraph(*unit.kernel()->effect());
        std::vector<float> out;
        ASSERT_EQ(unit.renderAll(burst, out, 512), noErr);
        if (plain.empty())
            plain = out; // factor 1
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
        EXPECT_EQ(best > 0, factor > 1) << factor;
        EXPECT_DOUBLE_EQ(latencySeconds(unit.unit) * 48000.0, best) << factor;
    }
}

} // namespace
