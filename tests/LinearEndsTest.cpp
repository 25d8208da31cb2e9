// A model's linear ends at the stream's rate: the equalisers re-voiced for it turn
// where they did oversampled, the plan moves an end only when its wiring and its
// voicing allow, and the engine playing the ends at the stream's rate sounds as the
// whole graph oversampled (within a tenth of a decibel, band by band), plays the same
// bits whatever its blocks, and fades between models across its lanes.
#include "graph/LinearEnds.h"

#include "blocks/LinearFade.h"
#include "blocks/Oversampler.h"
#include "blocks/RateMatch.h"
#include "graph/CascadePlan.h"
#include "main/ChannelEngine.h"
#include "main/DataArchive.h"
#include "main/RealFft.h"
#include "main/VorlixMac.h"
#include "tests/GraphTestUtil.h"
#include "tools/PluckedPhrase.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;

// Host block lengths from 1 to 4096 frames, in an order that leaves every kind of
// remainder.
const std::vector<uint32_t> kVarying = {1, 4096, 7, 64, 333, 2, 512, 1023, 16, 4095, 3, 100};

// Where the allpass of `f` at `rate` (Hz) first turns a quarter above `fromHz` (its
// real part crosses zero), found by scanning then halving; -1 when it never does.
double quarterTurn(const FilterParams& f, double rate, double fromHz) {
    auto re = [&](double hz) {
        const std::complex<double> z1 = std::polar(1.0, -2.0 * kPi * hz / rate), z2 = z1 * z1;
        const double b0 = f.b0, b1 = f.b1, b2 = f.b2, a1 = f.a1, a2 = f.a2;
        return ((b0 + b1 * z1 + b2 * z2) / (1.0 + a1 * z1 + a2 * z2)).real();
    };
    const double top = 0.4999 * rate;
    double lo = fromHz, step = (top - fromHz) / 20000.0;
    for (double hi = lo + step; hi < top; lo = hi, hi += step) {
        if ((re(lo) < 0.0) == (re(hi) < 0.0))
            continue;
        for (int i = 0; i < 60; ++i) {
            const double mid = 0.5 * (lo + hi);
            ((re(lo) < 0.0) == (re(mid) < 0.0) ? lo : hi) = mid;
        }
        return 0.5 * (lo + hi);
    }
    return -1.0;
}

// An equaliser as its block sets it up: order 1 a shelf, 2 a peak.
FilterParams equaliser(float* rate, int order, bool high, float freq, double alpha) {
    FilterParams f;
    f.sampleRate = rate;
    f.order = order;
    f.highShelf = high;
    f.passes = 1;
    f.alpha = alpha;
    f.SetFreq(freq);
    return f;
}

// Third-octave band levels (dB) of `x` from 50 Hz to 12 kHz (Welch, 4096-point Hann).
std::vector<double> bandLevels(const std::vector<float>& x, double rate) {
    constexpr size_t kN = 4096;
    RealFft fft(kN);
    std::vector<double> power(fft.bins());
    for (size_t at = 0; at + kN <= x.size(); at += kN / 2) {
        for (size_t i = 0; i < kN; ++i)
            fft.input()[i] = x[at + i] * (0.5 - 0.5 * std::cos(2.0 * kPi * i / kN));
        fft.run();
        for (size_t k = 0; k < power.size(); ++k)
            power[k] += fft.power(k);
    }
    std::vector<double> levels;
    for (double centre = 50.0; centre <= 12000.0; centre *= std::cbrt(2.0)) {
        const double lo = centre / std::pow(2.0, 1.0 / 6.0), hi = centre * std::pow(2.0, 1.0 / 6.0);
        double sum = 1e-30;
        for (size_t k = 0; k < power.size(); ++k) {
            const double hz = static_cast<double>(k) * rate / kN;
            sum += hz >= lo && hz < hi ? power[k] : 0.0;
        }
        levels.push_back(10.0 * std::log10(sum));
    }
    return levels;
}

EngineSetup setupAt(double rate, int factor, int start, uint32_t maxFrames = 512) {
    gFxDir = std::string(QUORLE_BUNDLE_DIR) + "/";
    static const std::shared_ptr<const DataArchive> archive = DataArchive::readDirectory(gFxDir);
    EngineSetup setup;
    setup.rate = rate;
    setup.maxFrames = maxFrames;
    setup.factor = factor;
    setup.prepareAll = false;
    setup.startModel = start;
    setup.archive = archive;
    return setup;
}

// An engine playing `model` at `factor`; with `whole`, its graphs have no linear
// ends, so that they run whole at the oversampled rate, as before the ends moved.
std::unique_ptr<ChannelEngine> engineFor(double rate, int factor, int model, bool whole,
                                         uint32_t maxFrames = 512) {
    auto engine =
        std::make_unique<ChannelEngine>(setupAt(rate, factor, (model + 1) % 6, maxFrames));
    std::unique_ptr<PreparedGraph> graph = engine->prepare(model, factor);
    if (whole) {
        graph->ends.reset();
        graph->twin->ends.reset();
    }
    EXPECT_TRUE(engine->offer(graph));
    EXPECT_TRUE(engine->switchTo(model, false));
    engine->setControls(0.7f, 0.6f, 0.3f);
    return engine;
}

std::vector<float> render(ChannelEngine& engine, const std::vector<float>& in,
                          const std::vector<uint32_t>& blocks) {
    std::vector<float> out(in.size());
    for (size_t at = 0, b = 0; at < in.size(); ++b) {
        const uint32_t n =
            std::min<uint32_t>(blocks[b % blocks.size()], static_cast<uint32_t>(in.size() - at));
        engine.process(in.data() + at, out.data() + at, n);
        at += n;
    }
    return out;
}

// The fixed stage of `fx` (running at 2x 44.1 kHz) voiced for 44.1 kHz, heard with
// "Pre bass" from `bassLow` to `bassHigh`.
struct FixedStage {
    RateMatch::RateTwin bass, loMid;
    FixedVoicing voicing;
    FixedStage(QrVorlixGeneric& fx, float bassLow, float bassHigh) {
        bass.follow(fx.bassFilter.params, 88200.0f, 44100.0f);
        loMid.follow(fx.loMidFilter.params, 88200.0f, 44100.0f);
        voicing = {{&fx.bassFilter.params, &fx.loMidFilter.params},
                   {&bass, &loMid},
                   {QrVorlixGeneric::bassShelfK(bassLow), QrVorlixGeneric::loMidK(bassHigh)},
                   {QrVorlixGeneric::bassShelfK(bassHigh), QrVorlixGeneric::loMidK(bassLow)}};
    }
};

} // namespace

// Shelves and peaks from low to high, re-voiced from every factor down to the
// stream's rate, turn a quarter at the same hertz (a shelf's corner, a peak's two
// band edges); an allpass that never turns is copied, and one that would turn beyond
// the new Nyquist is refused, leaving the twin as it was.
TEST(RateMatch, TwinsTurnWhereTheirFiltersDo) {
    for (double base : {32000.0, 44100.0, 96000.0}) {
        for (int factor : {2, 4, 8}) {
            float high = static_cast<float>(base * factor);
            for (int order : {1, 2}) {
                for (float freq : {0.1f, 0.2f, 0.45f, 0.7f}) {
                    SCOPED_TRACE(testing::Message() << base << " x" << factor << " order " << order
                                                    << " freq " << freq);
                    const FilterParams from = equaliser(&high, order, true, freq, 0.97);
                    FilterParams to = from;
                    ASSERT_TRUE(RateMatch::revoice(from, high, base, to));
                    double hzFrom = 0.0, hzTo = 0.0;
                    for (int turn = 0; turn < order; ++turn) {
                        hzFrom = quarterTurn(from, high, hzFrom + 1.0);
                        hzTo = quarterTurn(to, base, hzTo + 1.0);
                        ASSERT_GT(hzFrom, 0.0) << turn;
                        // Edges of a few hertz move by the coefficients' float rounding.
                        EXPECT_NEAR(hzTo, hzFrom, std::max(1e-4 * hzFrom, 0.05)) << turn;
                    }
                }
            }
        }
    }
    float high = 352800.0f;
    FilterParams flat = equaliser(&high, 1, false, 0.0f, 0.9), twin = flat;
    twin.b0 = 0.25f;
    ASSERT_TRUE(RateMatch::revoice(flat, high, 44100.0, twin)) << "c = 0: never turns";
    EXPECT_EQ(std::vector<float>({twin.b0, twin.b1, twin.a1}),
              std::vector<float>({1.0f, -1.0f, -1.0f}));
    // Corners near 9 and 20 kHz at 2x 44.1 kHz, for a stream of 8 kHz.
    high = 88200.0f;
    for (int order : {1, 2}) {
        const FilterParams top = equaliser(&high, order, false, 0.98f, 0.5);
        FilterParams untouched = top;
        untouched.b0 = 0.25f;
        EXPECT_FALSE(RateMatch::revoice(top, high, 8000.0, untouched)) << order;
        EXPECT_EQ(untouched.b0, 0.25f) << order;
    }
}

// The differences of a chain add up frequency by frequency: a filter against itself
// differs by nothing; two of the same pair differ by twice one, and a pair and its
// mirror (the twin heard as the filter) cancel.
TEST(RateMatch, ChainDifferencesAddUpFrequencyByFrequency) {
    float high = 88200.0f;
    const FilterParams from = equaliser(&high, 1, true, 0.5f, 0.9);
    FilterParams to = from;
    ASSERT_TRUE(RateMatch::revoice(from, high, 44100.0, to));
    const float k = 0.9f;
    EXPECT_EQ(RateMatch::worstDifference(from, high, from, high, 12000.0, k), 0.0);
    const double one = RateMatch::worstDifference(from, high, to, 44100.0, 12000.0, k);
    EXPECT_GT(one, 0.01) << "a high shelf's warping differs near 12 kHz";
    const RateMatch::Voicing pair{&from, high, &to, 44100.0, k, k};
    const RateMatch::Voicing mirror{&to, 44100.0, &from, high, k, k};
    const RateMatch::Voicing twice[] = {pair, pair}, cancel[] = {pair, mirror};
    EXPECT_NEAR(RateMatch::chainDifference(twice, 2, 12000.0), 2.0 * one, 1e-9);
    EXPECT_NEAR(RateMatch::chainDifference(cancel, 2, 12000.0), 0.0, 1e-9);
    // A filter set anywhere between two gains is heard at both.
    const RateMatch::Voicing ranged{&from, high, &to, 44100.0, 0.3f, k};
    const double low = RateMatch::worstDifference(from, high, to, 44100.0, 12000.0, 0.3f);
    EXPECT_NE(low, one);
    EXPECT_NEAR(RateMatch::chainDifference(&ranged, 1, 12000.0), std::max(low, one), 1e-9);
    EXPECT_EQ(RateMatch::difference(from, high, to, 44100.0, 100.0, 0.5f), 0.0)
        << "a gain of 1 is flat at either rate";
}

// Which ends of each shipped model move at 44.1 kHz: a head moves with the fixed
// stage when all of it stays voiced (edge's and crunch's drive-side shelves, and the
// octave fuzz's oct_lp, do not at 2x), a tail when it does with the head's differences
// added. The octave fuzz's input is read twice, so its head is the fixed stage alone,
// which stays: its low-pass would join it oversampled.
TEST(LinearEnds, ShippedModelsMoveTheEndsTheirVoicingAllows) {
    struct Plan {
        int head; // model equalisers in the head
        bool headMoves;
        int tail;
        bool tailMoves;
    };
    const Plan plans[] = {{1, true, 1, true},  {2, false, 2, true}, {2, false, 2, false},
                          {2, true, 3, false}, {2, true, 3, false}, {0, false, 2, false}};
    ChannelEngine engine(setupAt(44100.0, 2, 0));
    FixedStage stage(engine.effect(), 0.0f, 1.0f);
    const FixedVoicing& fixed = stage.voicing;
    for (int m = 0; m < 6; ++m) {
        SCOPED_TRACE(m);
        std::unique_ptr<PreparedGraph> graph = engine.prepare(m, 2);
        ASSERT_NE(graph, nullptr);
        LinearEnds& ends = *graph->ends;
        ends.tune(44100.0f, 88200.0f, fixed);
        const Plan& want = plans[m];
        EXPECT_EQ(ends.headCount(), want.head);
        EXPECT_EQ(ends.headMoves(), want.headMoves);
        EXPECT_EQ(ends.tailCount(), want.tail);
        EXPECT_EQ(ends.tailMoves(), want.tailMoves);
    }
}

// What the wiring lets move, on models of flat equalisers (voiced at any rate): a
// head whose input is read twice is the fixed stage alone, which moves only when no
// equaliser on its output would join its cascade; a tail must end the list,
// each of its equalisers read by the next alone; a model of equalisers alone is all
// head, with nothing oversampled between.
TEST(LinearEnds, TheWiringDecidesWhatMayMove) {
    ChannelEngine engine(setupAt(44100.0, 2, 0));
    FixedStage stage(engine.effect(), 0.5f, 0.5f);
    const FixedVoicing& fixed = stage.voicing;
    struct Case {
        const char* body;
        int head, tail;
        bool headMoves, tailMoves, core;
    };
    const Case cases[] = {
        {R"(<fx id="a" type="eq"/><fx id="s" type="sat"/><fx id="t" type="eq"/>)", 1, 1, true, true,
         true},
        {R"(<fx id="a" type="eq"/><fx id="b" type="eq"/><fx id="s" type="sat"/>
            <fx id="c" type="sat" input="a"/><mixer id="m" input="s" input2="c"/>)",
         1, 0, true, false, true},
        {R"(<fx id="a" type="eq"/><fx id="s" type="sat" input="in"/>
            <mixer id="m" input="a" input2="s"/>)",
         0, 0, false, false, true},
        {R"(<fx id="s" type="sat"/><fx id="t" type="eq"/><fx id="u" type="eq"/>
            <mixer id="m" input="u" input2="t"/>)",
         0, 0, true, false, true},
        {R"(<fx id="s" type="sat"/><fx id="t" type="eq"/><fx id="u" type="eq"/>
            <fx id="v" type="eq"/>)",
         0, 3, true, true, true},
        {R"(<fx id="a" type="eq"/><fx id="b" type="eq"/>)", 2, 0, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        std::unique_ptr<AudioNode> graph =
            buildModel(std::string("<quorle>") + c.body + "</quorle>");
        ASSERT_NE(graph, nullptr);
        graph->dispatcher(10, 0, 0, nullptr, 88200.0f);
        planCascades(graph.get());
        LinearEnds ends(graph.get());
        ends.tune(44100.0f, 88200.0f, fixed);
        EXPECT_EQ(ends.headCount(), c.head);
        EXPECT_EQ(ends.tailCount(), c.tail);
        EXPECT_EQ(ends.headMoves(), c.headMoves);
        EXPECT_EQ(ends.tailMoves(), c.tailMoves);
        EXPECT_EQ(ends.coreFirst() != nullptr, c.core);
    }
}

// The engine with the ends at the stream's rate, in host blocks of 1 to 4096 frames,
// against the same models run whole oversampled in blocks of 512 (plucked phrase,
// drive 0.7): band by band within a tenth of a decibel
// below 12 kHz (0.05 dB measured at most), and the difference at least 38 dB below
// the output (40 dB measured at the worst, the edge's tail: phase near the top).
// 3-crunch at 44.1 kHz and the octave fuzz move nothing and play the very same
// samples.
TEST(LinearEnds, TheEngineSoundsAsTheWholeGraphWithinATenthOfADecibel) {
    for (double rate : {44100.0, 96000.0}) {
        const std::vector<float> in = pluckedPhrase(rate, 3.0);
        for (int factor : {2, 4, 8}) {
            for (int m = 0; m < 6; ++m) {
                SCOPED_TRACE(testing::Message() << rate << " x" << factor << " model " << m);
                // Host blocks of every length from 1 to 4096 frames for the ends moved.
                const std::vector<float> moved =
                    render(*engineFor(rate, factor, m, false), in, kVarying);
                const std::vector<float> whole =
                    render(*engineFor(rate, factor, m, true), in, {512});
                if ((rate == 44100.0 && m == 2) || m == 5) {
                    EXPECT_EQ(moved, whole) << "nothing moves";
                    continue;
                }
                const std::vector<double> a = bandLevels(moved, rate), b = bandLevels(whole, rate);
                for (size_t i = 0; i < a.size(); ++i)
                    ASSERT_NEAR(a[i], b[i], 0.1) << "band " << i;
                double signal = 0.0, error = 0.0;
                for (size_t i = 0; i < in.size(); ++i) {
                    signal += static_cast<double>(whole[i]) * whole[i];
                    error += static_cast<double>(moved[i] - whole[i]) * (moved[i] - whole[i]);
                }
                EXPECT_LT(10.0 * std::log10(error / signal), -38.0);
                EXPECT_GT(error, 0.0) << "an end moved";
            }
        }
    }
}

// The same bits whatever the host's blocks: one block of 4096 frames at a time, and a
// sequence of every length from 1 to 4096 (the engine cutting them into its pieces).
TEST(LinearEnds, BlocksOfAnyLengthPlayTheSameBits) {
    const std::vector<float> in = pluckedPhrase(44100.0, 1.5);
    for (int factor : {2, 4, 8}) {
        for (int m : {0, 1, 3, 4, 5}) {
            SCOPED_TRACE(testing::Message() << "x" << factor << " model " << m);
            const std::vector<float> one =
                render(*engineFor(44100.0, factor, m, false, 4096), in, {4096});
            EXPECT_EQ(render(*engineFor(44100.0, factor, m, false, 4096), in, kVarying), one);
            EXPECT_EQ(render(*engineFor(44100.0, factor, m, false, 4096), in, {1}), one);
        }
    }
}

// A model switch with a fade above factor 1 crossfades between the lanes: the output
// is the old model's, mixed linearly over 20 ms into the new model's started afresh
// at the switch (each as an engine playing it alone), then the new model's.
TEST(LinearEnds, AModelSwitchCrossfadesBetweenTheLanes) {
    const double rate = 48000.0;
    const std::vector<float> in = pluckedPhrase(rate, 1.0);
    constexpr size_t kBlock = 256, kSwitch = 40 * kBlock;
    auto engine = engineFor(rate, 2, 1, false), old = engineFor(rate, 2, 1, false);
    const std::vector<float> before = render(*old, in, {kBlock});
    std::vector<float> out(in.size());
    std::unique_ptr<ChannelEngine> fresh;
    std::vector<float> after(in.size());
    for (size_t at = 0; at < in.size(); at += kBlock) {
        if (at == kSwitch) {
            std::unique_ptr<PreparedGraph> next = engine->prepare(4, 2);
            ASSERT_TRUE(engine->offer(next)); // on demand: offered as it is asked for
            ASSERT_TRUE(engine->switchTo(4, true));
            fresh = engineFor(rate, 2, 4, false);
        }
        const size_t n = std::min(kBlock, in.size() - at);
        engine->process(in.data() + at, out.data() + at, static_cast<uint32_t>(n));
        if (fresh)
            fresh->process(in.data() + at, after.data() + at, static_cast<uint32_t>(n));
    }
    const size_t length = static_cast<size_t>(fade::samplesFor(rate));
    for (size_t i = 0; i < in.size(); ++i) {
        if (i < kSwitch) {
            ASSERT_EQ(out[i], before[i]) << i;
        } else if (i >= kSwitch + length) {
            ASSERT_EQ(out[i], after[i]) << i;
        } else {
            const float g =
                fade::gainAt(static_cast<int32_t>(i - kSwitch), static_cast<int32_t>(length));
            const float mix = before[i] * (1.0f - g) + after[i] * g;
            ASSERT_NEAR(out[i], mix, 1e-6f + 1e-6f * std::fabs(mix)) << i;
        }
    }
    EXPECT_EQ(engine->model(), 4);
    EXPECT_EQ(engine->switchRemaining(), 0);
}

// Two channels on one model run their ends and their middles side by side in the
// vector lanes, to the bits each plays alone, block after block; channels whose ends
// do not move alike (here one muted by a zero drive) do not pair.
TEST(LinearEnds, TwoChannelsPairToTheBitsEachPlaysAlone) {
    gFxDir = std::string(QUORLE_BUNDLE_DIR) + "/";
    for (int model : {0, 2, 3}) {
        SCOPED_TRACE(model);
        VorlixMac fx[4];
        std::vector<std::unique_ptr<PreparedGraph>> graphs;
        std::vector<std::unique_ptr<Oversampler>> os;
        for (VorlixMac& f : fx) {
            f.setSampleRate(88200.0f);
            f.init();
            f.dispatcher(10, 0, 0, nullptr, 88200.0f);
            f.setParameter(0, 0.7f);
            graphs.push_back(f.prepare(model));
            graphs.back()->ends = std::make_unique<LinearEnds>(graphs.back()->graph);
            ASSERT_TRUE(f.install(graphs.back().get()));
            os.push_back(std::make_unique<Oversampler>(44100.0, 256));
            os.back()->setFactor(2);
        }
        const std::vector<float> left = pluckedPhrase(44100.0, 0.3);
        const std::vector<float> right(left.rbegin(), left.rend());
        std::vector<float> high[4];
        for (auto& h : high)
            h.resize(512);
        for (size_t at = 0; at + 256 <= left.size(); at += 256) {
            std::vector<float> io[4] = {{left.begin() + at, left.begin() + at + 256},
                                        {right.begin() + at, right.begin() + at + 256},
                                        {left.begin() + at, left.begin() + at + 256},
                                        {right.begin() + at, right.begin() + at + 256}};
            bool finite[2];
            const QrVorlixGeneric::AroundPiece pa{os[0].get(), io[0].data(), io[0].data(),
                                                  high[0].data()};
            const QrVorlixGeneric::AroundPiece pb{os[1].get(), io[1].data(), io[1].data(),
                                                  high[1].data()};
            ASSERT_TRUE(
                QrVorlixGeneric::processAroundPair(fx[0], pa, fx[1], pb, 256, 44100.0f, finite));
            EXPECT_TRUE(finite[0] && finite[1]);
            for (int c = 2; c < 4; ++c)
                EXPECT_TRUE(fx[c].processAround(*os[c], io[c].data(), io[c].data(), 256,
                                                high[c].data(), 44100.0f));
            ASSERT_EQ(io[0], io[2]) << at;
            ASSERT_EQ(io[1], io[3]) << at;
        }
        fx[1].setParameter(0, 0.0f);
        std::vector<float> a(256, 0.1f), b(256, 0.1f);
        bool finite[2];
        EXPECT_FALSE(QrVorlixGeneric::processAroundPair(
            fx[0], {os[0].get(), a.data(), a.data(), high[0].data()}, fx[1],
            {os[1].get(), b.data(), b.data(), high[1].data()}, 256, 44100.0f, finite));
    }
}
