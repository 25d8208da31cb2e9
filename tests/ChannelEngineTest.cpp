// The channel engine as any host drives it: models built on demand and offered,
// switched to and retired; oversampling changes crossfaded to a second lane (what
// arrives during one, and what each lane keeps); what it refuses to be set up with.
// (What a change sounds like is FactorChangeTest's.)
#include "main/ChannelEngine.h"

#include "blocks/LinearFade.h"
#include "main/DataArchive.h"
#include "main/VorlixMac.h"
#include "tools/PluckedPhrase.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

EngineSetup setupAt(double rate, int factor, bool all, int start = 0, uint32_t maxFrames = 256) {
    gFxDir = std::string(QUORLE_BUNDLE_DIR) + "/";
    EngineSetup setup;
    setup.rate = rate;
    setup.maxFrames = maxFrames;
    setup.factor = factor;
    setup.prepareAll = all;
    setup.startModel = start;
    setup.archive = DataArchive::readDirectory(gFxDir);
    return setup;
}

// On demand an engine holds the model it starts on; a switch to a model it holds no
// graph for changes nothing, a graph offered for it plays with a fade, and once
// the fade is over the graph faded out is handed back to be freed elsewhere.
TEST(ChannelEngine, OnDemandItPlaysOnlyGraphsItWasOffered) {
    ChannelEngine engine(setupAt(48000.0, 2, false, 3));
    EXPECT_TRUE(engine.has(3));
    EXPECT_FALSE(engine.has(1));
    EXPECT_EQ(engine.model(), 3);
    const std::vector<float> in = pluckedPhrase(48000.0, 0.5);
    std::vector<float> out(256);
    engine.process(in.data(), out.data(), 256);
    EXPECT_FALSE(engine.switchTo(1, true)) << "no graph for model 1 yet";
    EXPECT_EQ(engine.model(), 3);

    EXPECT_EQ(engine.prepare(engine.models(), 2), nullptr);
    EXPECT_EQ(engine.prepare(1, 3), nullptr) << "3 is no factor";
    std::unique_ptr<PreparedGraph> graph = engine.prepare(1, 2);
    ASSERT_NE(graph, nullptr);
    std::unique_ptr<PreparedGraph> stray = engine.prepare(2, 2);
    ASSERT_NE(stray, nullptr);
    stray->model = engine.models(); // names no model of the list
    EXPECT_FALSE(engine.offer(stray));
    EXPECT_NE(stray, nullptr) << "a refused graph stays the caller's";
    std::unique_ptr<PreparedGraph> single = engine.prepare(2, 2);
    ASSERT_NE(single, nullptr);
    ASSERT_NE(single->twin, nullptr) << "prepare() builds the twin";
    single->twin.reset();
    EXPECT_FALSE(engine.offer(single)) << "no twin for the second lane";
    ASSERT_TRUE(engine.offer(graph));
    EXPECT_EQ(graph, nullptr);
    ASSERT_TRUE(engine.switchTo(1, true));
    engine.process(in.data() + 256, out.data(), 256);
    EXPECT_EQ(engine.model(), 1);
    EXPECT_GT(engine.switchRemaining(), 0);
    EXPECT_EQ(engine.takeRetired(), nullptr) << "nothing retired during the fade";
    for (int b = 2; b < 10; ++b)
        engine.process(in.data() + 256 * b, out.data(), 256);
    std::unique_ptr<PreparedGraph> retired = engine.takeRetired();
    ASSERT_NE(retired, nullptr);
    EXPECT_EQ(retired->model, 3) << "the graph faded out";
    EXPECT_FALSE(engine.has(3));
    EXPECT_EQ(engine.takeRetired(), nullptr);

    // With no room left among the retired, the graphs not needed wait in place and
    // are retired once the caller has collected.
    for (int m = 0; m < engine.models(); ++m) {
        std::unique_ptr<PreparedGraph> g = engine.prepare(m, 2);
        ASSERT_TRUE(engine.offer(g)); // model 1's goes straight to the retired
    }
    int offered = 0;
    for (;; ++offered) {
        std::unique_ptr<PreparedGraph> again = engine.prepare(1, 2);
        if (!engine.offer(again))
            break;
    }
    EXPECT_GT(offered, 0);
    engine.process(in.data(), out.data(), 256);
    int collected = 0;
    while (engine.takeRetired())
        ++collected;
    EXPECT_EQ(collected, offered + 1) << "the list was full: nothing more retired yet";
    engine.process(in.data(), out.data(), 256);
    while (engine.takeRetired())
        ++collected;
    EXPECT_EQ(collected, offered + engine.models()) << "every graph but the one playing";
    EXPECT_TRUE(engine.has(1));
    EXPECT_FALSE(engine.has(0));
}

// Without a fade asked for, or before anything was heard, a switch is at once. What
// an engine cannot be set up with (rates, factors) is refused before anything runs,
// as are models and factors it cannot switch to.
TEST(ChannelEngine, ASwitchIsAtOnceUnlessAFadeIsAskedForAndWhatCannotRunIsRefused) {
    for (double rate : {4000.0, 7999.0, 384001.0, std::nan("")})
        EXPECT_THROW(ChannelEngine(setupAt(rate, 1, false)), std::invalid_argument) << rate;
    EXPECT_THROW(ChannelEngine(setupAt(48000.0, 3, false)), std::invalid_argument);
    EXPECT_NO_THROW(ChannelEngine(setupAt(8000.0, 1, false)));
    ChannelEngine engine(setupAt(44100.0, 1, true));
    ASSERT_TRUE(engine.switchTo(2, true));
    EXPECT_EQ(engine.switchRemaining(), 0) << "nothing heard yet";
    std::vector<float> in(64, 0.1f), out(64);
    engine.process(in.data(), out.data(), 64);
    ASSERT_TRUE(engine.switchTo(4, false));
    EXPECT_EQ(engine.switchRemaining(), 0);
    EXPECT_EQ(engine.model(), 4);
    ASSERT_TRUE(engine.switchTo(5, true));
    EXPECT_EQ(engine.switchRemaining(), fade::samplesFor(44100.0));
    EXPECT_FALSE(engine.switchTo(-1, true));
    EXPECT_FALSE(engine.switchTo(engine.models(), true));
    EXPECT_FALSE(engine.setFactor(0));
    EXPECT_FALSE(engine.setFactor(16));
    EXPECT_EQ(engine.factor(), 1);
    EXPECT_EQ(engine.model(), 5);
    // After a reset nothing has been heard again.
    engine.process(in.data(), out.data(), 64);
    engine.reset();
    ASSERT_TRUE(engine.switchTo(1, true));
    EXPECT_EQ(engine.switchRemaining(), 0);
}

// A factor change while a model fades out, and the factor back again: the model
// faded out, switched back to, plays at the rate of the factor playing, as in an
// engine that never changed.
TEST(ChannelEngine, AModelFadingOutThroughAFactorChangeComesBackAtTheRightRate) {
    const std::vector<float> in = pluckedPhrase(48000.0, 0.5);
    ChannelEngine used(setupAt(48000.0, 2, true)), fresh(setupAt(48000.0, 2, true));
    std::vector<float> a(256), b(256);
    auto play = [&](ChannelEngine& e, std::vector<float>& out, int blocks) {
        for (int i = 0; i < blocks; ++i)
            e.process(in.data() + 256 * (i % 80), out.data(), 256);
    };
    play(used, a, 20);
    ASSERT_TRUE(used.switchTo(1, true));
    ASSERT_TRUE(used.setFactor(8)); // while model 0 still fades out
    play(used, a, 20);
    ASSERT_TRUE(used.setFactor(2));
    play(used, a, 20);
    ASSERT_TRUE(used.switchTo(0, true));
    play(used, a, 20);
    used.reset();
    double worst = 0.0;
    for (int i = 0; i < 40; ++i) {
        used.process(in.data() + 256 * i, a.data(), 256);
        fresh.process(in.data() + 256 * i, b.data(), 256);
        for (size_t k = 0; k < a.size(); ++k)
            worst = std::max(worst, std::fabs(static_cast<double>(a[k]) - b[k]));
    }
    EXPECT_LT(worst, 1e-5);
}

// Runs `engine` over `blocks` calls of `block` frames of `in` from call `first` on
// (cycling through `in`), calling `ask(call)` before each.
template <typename Ask>
void play(ChannelEngine& engine, const std::vector<float>& in, std::vector<float>& out,
          uint32_t block, int first, int blocks, Ask&& ask) {
    const size_t calls = in.size() / block;
    out.resize(static_cast<size_t>(first + blocks) * block);
    for (int call = first; call < first + blocks; ++call) {
        ask(call);
        const size_t at = static_cast<size_t>(call) * block;
        engine.process(in.data() + at % (calls * block), out.data() + at, block);
    }
}

// Factors asked while a change crossfades wait for its end, and the last one asked
// is taken then: asking for 1x and then 4x during a crossfade from 2x to 8x plays,
// sample for sample, what asking for 4x just as that crossfade ends plays. At
// 44.1 kHz the new lane warms up for 882 frames and the crossfade lasts 882: seven
// calls of 126 frames each.
TEST(ChannelEngine, FactorsAskedDuringACrossfadeWaitForItsEndAndTheLastOneWins) {
    const std::vector<float> in = pluckedPhrase(44100.0, 1.0);
    constexpr uint32_t kCall = 126;
    constexpr int kChange = 80, kEnd = kChange + 14;
    std::vector<float> heard[2];
    for (int deferred = 0; deferred < 2; ++deferred) {
        ChannelEngine engine(setupAt(44100.0, 2, true, 1, kCall));
        play(engine, in, heard[deferred], kCall, 0, kEnd + 40, [&](int call) {
            if (call == kChange)
                engine.setFactor(8);
            if (deferred && call == kChange + 9)
                engine.setFactor(1);
            if (deferred && call == kChange + 11)
                engine.setFactor(4);
            if (!deferred && call == kEnd)
                engine.setFactor(4);
            if (call == kChange + 1 || call == kEnd - 1) {
                EXPECT_TRUE(engine.changingFactor()) << call;
            }
            if (call == kEnd - 1) {
                EXPECT_EQ(engine.oversampler().factor(), 2) << "the old lane still heard";
            }
        });
        EXPECT_FALSE(engine.changingFactor());
        EXPECT_EQ(engine.oversampler().factor(), 4);
        EXPECT_EQ(engine.latency(), Oversampler::latencyFor(4));
    }
    EXPECT_EQ(heard[0], heard[1]);
}

// Factors asked while the new lane warms up replace its target, so steps a host
// makes within the warm-up (882 frames at 44.1 kHz) are one change: 8x, 4x, 2x and
// 1x asked on consecutive calls of 64 frames play, sample for sample, what asking
// for 1x at the last of them plays (the lane heard never moves: the lanes line up
// at its latency, the larger). Up from 1x through 2x and 4x to 8x the lane heard
// glides toward each new latency as it comes, and once the new lane has warmed up
// the output is the single step's.
TEST(ChannelEngine, FactorsAskedWhileTheNewLaneWarmsUpReplaceItsTarget) {
    const std::vector<float> in = pluckedPhrase(44100.0, 1.0);
    constexpr uint32_t kCall = 64;
    constexpr int kChange = 200, kLast = kChange + 3, kWarm = 14; // 882 frames: 14 calls
    const int down[] = {8, 4, 2, 1}, up[] = {1, 2, 4, 8};
    for (const int* ramp : {down, up}) {
        SCOPED_TRACE(ramp == down ? "8x to 1x" : "1x to 8x");
        std::vector<float> heard[2];
        for (int stepped = 0; stepped < 2; ++stepped) {
            ChannelEngine engine(setupAt(44100.0, ramp[0], true, 2, kCall));
            play(engine, in, heard[stepped], kCall, 0, kLast + 60, [&](int call) {
                if (stepped && call >= kChange && call <= kLast)
                    engine.setFactor(ramp[call - kChange]);
                if (!stepped && call == kLast)
                    engine.setFactor(ramp[3]);
            });
            EXPECT_EQ(engine.oversampler().factor(), ramp[3]);
            EXPECT_FALSE(engine.changingFactor());
        }
        const size_t same = (ramp == down ? 0 : kLast + kWarm) * size_t{kCall};
        EXPECT_TRUE(std::equal(heard[0].begin() + same, heard[0].end(), heard[1].begin() + same));
    }
}

// A reset during a change (the new lane warming up, or fading in) ends it: the
// engine then plays the factor asked as a fresh engine does, sample for sample,
// whichever of its lanes and graphs it plays it on. Going up and going down.
TEST(ChannelEngine, AResetDuringAChangePlaysTheNewFactorAsAFreshEngine) {
    const std::vector<float> in = pluckedPhrase(44100.0, 1.0);
    constexpr uint32_t kCall = 64;
    for (const auto& [from, to] : {std::pair<int, int>{2, 8}, {8, 1}}) {
        for (int into : {5, 20}) { // calls into the change: warming up, fading in
            SCOPED_TRACE(testing::Message()
                         << from << "x to " << to << "x, reset " << into << " calls in");
            ChannelEngine used(setupAt(44100.0, from, true, 4)),
                fresh(setupAt(44100.0, from, true, 4));
            std::vector<float> a, b;
            play(used, in, a, kCall, 0, 100 + into, [&](int call) {
                if (call == 100)
                    used.setFactor(to);
            });
            ASSERT_TRUE(used.changingFactor());
            used.reset();
            EXPECT_FALSE(used.changingFactor());
            fresh.setFactor(to); // nothing heard yet: at once
            play(used, in, a, kCall, 200, 60, [](int) {});
            play(fresh, in, b, kCall, 200, 60, [](int) {});
            EXPECT_TRUE(std::equal(a.begin() + 200 * kCall, a.end(), b.begin() + 200 * kCall));
            EXPECT_EQ(used.oversampler().factor(), to);
        }
    }
}

// On demand, a model switch during a change waits for the change to end, then fades
// in (between the lanes above factor 1, in the effect at 1); nothing is retired
// while a change or a model's fade is under way, then the models left behind go
// back with their twins, and later changes play on (the graphs a lane let go of are
// no longer touched: the sanitizer build would see it).
TEST(ChannelEngine, OnDemandAModelSwitchDuringAChangeWaitsForItsEnd) {
    const std::vector<float> in = pluckedPhrase(48000.0, 1.0);
    ChannelEngine engine(setupAt(48000.0, 2, false, 3));
    // At 48 kHz a change warms up for 960 frames and crossfades over 960: calls of
    // 256 frames 10 to 13 warm up the first, 14 to 17 fade it in.
    std::vector<float> out;
    std::vector<int> retired;
    int changing = 0;
    play(engine, in, out, 256, 0, 60, [&](int call) {
        // Retired at the end of the call before: with no change nor fade under way.
        while (std::unique_ptr<PreparedGraph> graph = engine.takeRetired()) {
            EXPECT_FALSE(engine.changingFactor()) << call;
            EXPECT_EQ(engine.switchRemaining(), 0) << call;
            EXPECT_NE(graph->twin, nullptr);
            retired.push_back(graph->model);
        }
        if (call == 10 || call == 30)
            engine.setFactor(call == 10 ? 4 : 1);
        if (call == 12 || call == 35) {
            EXPECT_TRUE(engine.changingFactor()) << call;
            std::unique_ptr<PreparedGraph> graph = engine.prepare(call == 12 ? 1 : 5, 2);
            EXPECT_TRUE(engine.offer(graph));
            EXPECT_TRUE(engine.switchTo(call == 12 ? 1 : 5, true));
        }
        // The change to 4x ends with call 17; model 1 fades in over calls 18 to 21.
        if (call == 17) {
            EXPECT_EQ(engine.model(), 3) << "waiting for the change";
        }
        if (call == 19) {
            EXPECT_EQ(engine.model(), 1);
            EXPECT_FALSE(engine.changingFactor());
            EXPECT_GT(engine.switchRemaining(), 0);
        }
        changing += engine.changingFactor();
    });
    EXPECT_GT(changing, 8);
    EXPECT_FALSE(engine.changingFactor());
    EXPECT_EQ(engine.model(), 5);
    EXPECT_EQ(engine.oversampler().factor(), 1);
    while (std::unique_ptr<PreparedGraph> graph = engine.takeRetired())
        retired.push_back(graph->model);
    std::sort(retired.begin(), retired.end());
    EXPECT_EQ(retired, (std::vector<int>{1, 3}));
    EXPECT_TRUE(engine.has(5));
    play(engine, in, out, 256, 60, 40, [&](int call) {
        if (call == 65)
            engine.setFactor(8);
    });
    EXPECT_EQ(engine.oversampler().factor(), 8);
    const auto tail = out.end() - 256 * 10;
    EXPECT_TRUE(std::all_of(tail, out.end(), [](float x) { return std::isfinite(x); }));
    EXPECT_GT(*std::max_element(tail, out.end()), 0.01f);
}

// A cabinet after the effect: once its crossfade is over, the output is the output
// without it convolved with the response (double-precision reference), with no
// delay, and the latency reported stays the oversampler's. Blocks of varying size.
TEST(ChannelEngine, ACabinetConvolvesTheOutputWithNoAddedLatency) {
    ChannelEngine plain(setupAt(48000.0, 2, true)), cabinet(setupAt(48000.0, 2, true));
    std::vector<float> ir(300);
    for (size_t k = 0; k < ir.size(); ++k)
        ir[k] = static_cast<float>(std::exp(-0.02 * k) * std::cos(0.3 * k));
    std::unique_ptr<Convolver> c =
        std::make_unique<Convolver>(ir.data(), ir.size(), cabinet.maxPiece());
    ASSERT_TRUE(cabinet.offerCabinet(c));
    EXPECT_TRUE(cabinet.cabinetOn());
    EXPECT_EQ(cabinet.latency(), plain.latency());
    const std::vector<float> in = pluckedPhrase(48000.0, 0.5);
    std::vector<float> dry(in.size()), wet(in.size());
    const uint32_t sizes[] = {1, 256, 7, 64, 200, 13};
    for (size_t at = 0, k = 0; at < in.size(); ++k) {
        const uint32_t n = std::min<uint32_t>(sizes[k % 6], static_cast<uint32_t>(in.size() - at));
        plain.process(in.data() + at, dry.data() + at, n);
        cabinet.process(in.data() + at, wet.data() + at, n);
        at += n;
    }
    double error = 0.0, power = 0.0;
    for (size_t i = 2000; i < in.size(); ++i) { // after the 960-sample crossfade
        double want = 0.0;
        for (size_t k = 0; k < ir.size() && k <= i; ++k)
            want += static_cast<double>(ir[k]) * dry[i - k];
        error += (wet[i] - want) * (wet[i] - want);
        power += want * want;
    }
    ASSERT_GT(power, 0.0);
    EXPECT_LT(10.0 * std::log10(error / power), -100.0);
    std::unique_ptr<Convolver> off;
    ASSERT_TRUE(cabinet.offerCabinet(off));
    EXPECT_EQ(cabinet.takeRetiredCabinet(), nullptr); // still playing until the fade ends
}

// An effect whose state holds a NaN (put there past the engine's guard on its input)
// makes one piece of silence, after which the engine plays as a fresh one does: at
// factors 1 and 2, a channel alone, one channel of interleaved samples (the other
// channel's samples, 9s, never read: samples apart render as samples together), and
// the first of two channels run as a pair.
TEST(ChannelEngine, APoisonedEffectGivesOneSilentPieceThenPlaysAsFresh) {
    struct Case {
        int factor;
        size_t stride;
        bool paired;
    };
    const Case cases[] = {{1, 1, false}, {1, 2, false}, {1, 1, true},
                          {2, 1, false}, {2, 2, false}, {2, 1, true}};
    constexpr uint32_t kPiece = 256;
    const std::vector<float> phrase = pluckedPhrase(44100.0, 0.1);
    const float* warm = phrase.data();
    const float* later = phrase.data() + 2 * kPiece;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "factor " << c.factor << ", stride " << c.stride
                                        << (c.paired ? ", paired" : ""));
        ChannelEngine engine(setupAt(44100.0, c.factor, false)),
            other(setupAt(44100.0, c.factor, false)), fresh(setupAt(44100.0, c.factor, false));
        std::vector<float> want(kPiece);
        fresh.process(later, want.data(), kPiece);
        std::vector<float> in(c.stride * kPiece, 9.0f), out(c.stride * kPiece), spare(kPiece);
        auto run = [&](const float* from) {
            for (uint32_t i = 0; i < kPiece; ++i)
                in[i * c.stride] = from[i];
            if (c.paired)
                ChannelEngine::processPair(engine, in.data(), out.data(), other, from, spare.data(),
                                           kPiece);
            else
                engine.process(in.data(), out.data(), kPiece, c.stride);
            std::vector<float> heard(kPiece);
            for (uint32_t i = 0; i < kPiece; ++i)
                heard[i] = out[i * c.stride];
            return heard;
        };
        run(warm);
        std::vector<float> nan(kPiece * static_cast<size_t>(c.factor), std::nanf(""));
        float* poison = nan.data();
        engine.effect().process(&poison, &poison, static_cast<int32_t>(nan.size()));
        EXPECT_EQ(run(warm + kPiece), std::vector<float>(kPiece, 0.0f));
        EXPECT_EQ(run(later), want);
    }
}

} // namespace

// A channel read and written every other sample of an interleaved buffer plays as the
// same channel alone, in calls longer than one piece (the engine steps through the
// buffer piece by piece), at 1x and with the ends at the stream's rate at 2x.
TEST(ChannelEngine, AnInterleavedChannelPlaysAsItPlaysAlone) {
    const std::vector<float> phrase = pluckedPhrase(44100.0, 0.2);
    constexpr uint32_t kCall = 3 * 256 + 17;
    for (int factor : {1, 2}) {
        SCOPED_TRACE(factor);
        ChannelEngine interleaved(setupAt(44100.0, factor, false)),
            alone(setupAt(44100.0, factor, false));
        std::vector<float> both(2 * kCall), mono(kCall);
        for (uint32_t i = 0; i < kCall; ++i) {
            both[2 * i] = phrase[i];
            both[2 * i + 1] = -1.0f; // the other channel, never read
        }
        interleaved.process(both.data(), both.data(), kCall, 2);
        alone.process(phrase.data(), mono.data(), kCall);
        for (uint32_t i = 0; i < kCall; ++i) {
            ASSERT_EQ(both[2 * i], mono[i]) << i;
            ASSERT_EQ(both[2 * i + 1], -1.0f) << i;
        }
    }
}
