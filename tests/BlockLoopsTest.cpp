// The small blocks on audio. The clipper, delay, mixer and averager loops against
// plain per-sample loops written here: random input in blocks of 1, 7, 64, 512 and
// 4096 frames, state carried across blocks, two channels where the block has them
// (the second in place), bit for bit. The delay's length, the inverter's sign, the
// clipper's comparisons and window where the behaviour shows on audio. Averager
// windows given in milliseconds: converted at the running rate, ignored where they
// cannot be a window, and counted in the memory budget at their largest.
#include "GraphTestUtil.h"

#include "blocks/ADelay.h"
#include "blocks/QrClipper.h"
#include "blocks/QrInv.h"
#include "effect/MasterCallback.h"
#include "graph/AveragerAN.h"
#include "graph/MixerAudioNode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <new>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using Buffer = std::vector<float>;
using P = QrClipper::Param;
constexpr int kBlocks[] = {1, 7, 64, 512, 4096};
constexpr int kTotal = 3 * 4096 + 5; // frames per case: several wraps of every ring

// Every pin connected: the two-channel blocks run both channels.
intptr_t allConnected(AEffect*, int32_t, int32_t, intptr_t, void*, float) {
    return 0;
}

Buffer noise(unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> d(-2.0f, 2.0f);
    Buffer b(kTotal);
    for (float& x : b)
        x = d(gen);
    return b;
}

bool sameBits(const Buffer& a, const Buffer& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// Runs `process(offset, frames)` over kTotal frames in blocks of `block`.
template <typename F> void inBlocks(int block, F process) {
    for (int at = 0; at < kTotal; at += block)
        process(at, std::min(block, kTotal - at));
}

// Runs `fx` over kTotal frames of noise in blocks of `block`: channel 0 into an output
// holding noise, channel 1 in place; adding to the outputs when `add`. True when that
// is, bit for bit, what `reference(channel, input)` gives sample by sample, called for
// channel 0 and then channel 1 on each block.
template <typename R> bool matchesPerSample(AudioEffectX& fx, bool add, int block, R reference) {
    const Buffer in0 = noise(1), in1 = noise(2), start0 = noise(5);
    Buffer out0 = start0, io1 = in1, want0(kTotal), want1(kTotal);
    inBlocks(block, [&](int at, int n) {
        float* ins[2] = {const_cast<float*>(in0.data()) + at, io1.data() + at};
        float* outs[2] = {out0.data() + at, io1.data() + at};
        add ? fx.process(ins, outs, n) : fx.processReplacing(ins, outs, n);
        for (int c = 0; c < 2; ++c)
            for (int i = at; i < at + n; ++i) {
                const float y = reference(c, c ? in1[i] : in0[i]);
                (c ? want1 : want0)[i] = add ? (c ? in1[i] : start0[i]) + y : y;
            }
    });
    return sameBits(out0, want0) && sameBits(io1, want1);
}

TEST(BlockLoops, ClipperMatchesThePerSampleDetector) {
    const float rate = 44100.0f;
    for (float ms : {0.0f, 0.05f, 1.0f, 2.2f}) // hard clip; windows of 2, 44 and 97
        for (bool add : {false, true})
            for (int block : kBlocks) {
                QrClipper clip(allConnected);
                clip.setSampleRate(rate);
                const float p[] = {0.09f, 0.3f, 0.2f, 0.07f, ms};
                for (int i = 0; i < QrClipper::kNumParams; ++i)
                    clip.setParameter(i, p[i]);
                // The reference: one detector shared by both channels.
                const float pre = 16.0f * p[0], post = 16.0f * p[3], pos = p[1], neg = -p[2];
                const float t = ms / 1000.0f * rate;
                const int len = t > 0.0f ? static_cast<int>(t) : 0;
                float ring[QrClipper::kMaxWindow] = {}, sum = 0.0f;
                int index = 0;
                EXPECT_TRUE(matchesPerSample(clip, add, block,
                                             [&](int, float in) {
                                                 const float x = pre * in;
                                                 if (len <= 1)
                                                     return post *
                                                            (x > pos ? pos : (neg > x ? neg : x));
                                                 sum = sum - ring[index];
                                                 ring[index] = x > 0.0f ? x : -x;
                                                 sum = sum + ring[index];
                                                 index = index + 1 >= len ? 0 : index + 1;
                                                 const float m = sum / static_cast<float>(len);
                                                 return post * (m > pos ? x / m * pos : x);
                                             }))
                    << ms << " ms, " << (add ? "adding, " : "replacing, ") << block;
            }
}

TEST(BlockLoops, DelayMatchesThePerSampleLine) {
    for (float control : {0.0f, 0.001f, 0.05f, 0.5f}) // 1, 8, 441 and 4410 samples at 44.1 kHz
        for (bool add : {false, true})
            for (int block : kBlocks) {
                ADelay d(allConnected);
                d.setSampleRate(44100.0f);
                d.setDelay(control);
                const int len = std::max(d.getDelaySamples(), 1);
                std::vector<Buffer> lines(2, Buffer(static_cast<size_t>(len), 0.0f));
                int pos[2] = {0, 0};
                EXPECT_TRUE(matchesPerSample(d, add, block,
                                             [&](int c, float in) {
                                                 const float y = lines[c][pos[c]];
                                                 lines[c][pos[c]] = in;
                                                 pos[c] = pos[c] + 1 < len ? pos[c] + 1 : 0;
                                                 return y;
                                             }))
                    << control << (add ? " adding, " : " replacing, ") << block;
            }
}

TEST(BlockLoops, MixerAndAveragerMatchPlainLoops) {
    for (int block : kBlocks)
        for (bool inPlace : {false, true}) {
            Buffer a = noise(6), b = noise(7), out(kTotal);
            const Buffer a0 = a;
            float* lists[3][1] = {{nullptr}, {nullptr}, {nullptr}};
            float** table[3] = {lists[0], lists[1], lists[2]};
            AudioNode na, nb;
            na.outBuffer = 0;
            nb.outBuffer = 1;
            MixerAudioNode mix;
            mix.input = &na;
            mix.input2 = &nb;
            mix.outBuffer = inPlace ? 0 : 2;
            mix.params = {{0.7f, nullptr, 0, 0}, {-1.3f, nullptr, 0, 1}};
            AveragerAN avg;
            avg.input = &na;
            avg.params = {{97.0f, nullptr, 0, 0}}; // the window, in samples
            float ring[97] = {};
            double sum = 0.0;
            int pos = 0;
            inBlocks(block, [&](int at, int n) {
                lists[0][0] = a.data() + at;
                lists[1][0] = b.data() + at;
                lists[2][0] = out.data() + at;
                avg.process(table, n);
                for (int i = at; i < at + n; ++i) {
                    pos = pos + 1 == 97 ? 0 : pos + 1;
                    sum -= ring[pos];
                    ring[pos] = std::fabs(a[i]);
                    sum += ring[pos];
                }
                ASSERT_EQ(avg.sum, sum) << block;
                mix.process(table, n);
            });
            Buffer want(kTotal);
            for (int i = 0; i < kTotal; ++i)
                want[i] = 0.7f * a0[i] + -1.3f * b[i];
            EXPECT_TRUE(sameBits(inPlace ? a : out, want)) << block << (inPlace ? " in place" : "");
        }
}

// Frames from an impulse at the input to its arrival at the output, on a fresh effect.
int32_t measuredDelay(float rate, float control) {
    ADelay d(masterCallback);
    d.setSampleRate(rate);
    d.setParameter(0, control);
    EXPECT_TRUE(d.getDelaySamples() >= 0 && d.getDelaySamples() <= ADelay::kBufferSize);
    Buffer in(ADelay::kBufferSize + 10, 0.0f), silence(in.size(), 0.0f), out(in.size(), 0.0f);
    in[0] = 1.0f;
    // The second input is not connected, so only channel 0 runs: a second channel would
    // write its silence over the same output.
    float* ins[2] = {in.data(), silence.data()};
    float* outs[2] = {out.data(), out.data()};
    d.processReplacing(ins, outs, static_cast<int32_t>(in.size()));
    return static_cast<int32_t>(std::find(out.begin(), out.end(), 1.0f) - out.begin());
}

TEST(Delay, LengthNameProgramAndTypedValueStayInRange) {
    // Rate, control, delay. Lengths 0 and 1 are one sample: the output is never the current
    // input. High rates, controls above 1, negative controls and NaN stay within the lines.
    const int32_t full = ADelay::kBufferSize;
    const std::tuple<float, float, int32_t> cases[] = {
        {44100, 1.0f, 8820}, {96000, 1.0f, 19200},    {44100, 5.0f, full}, {384000, 1.0f, full},
        {44100, 0.0f, 1},    {44100, 1.0f / 8820, 1}, {44100, -0.5f, 1},   {44100, NAN, 1},
    };
    for (auto [rate, control, samples] : cases)
        EXPECT_EQ(measuredDelay(rate, control), samples) << control << " at " << rate;
    // A rate change after the control bounds the length too.
    ADelay d(masterCallback);
    d.setParameter(0, 1.0f);
    d.setSampleRate(384000.0f);
    EXPECT_EQ(d.getDelaySamples(), full);
    // Program names, numbers and typed values stay in range too.
    char text[kTextSize];
    std::string longName(100, 'x'); // cut to the 23 characters a program name holds
    d.setProgramName(longName.data());
    d.getProgramName(text);
    EXPECT_EQ(std::string(text), std::string(23, 'x'));
    d.setProgram(3);
    for (int32_t bad : {-1, 16, 1 << 30})
        d.setProgram(bad);
    EXPECT_EQ(d.getProgram(), 3);
    d.setParameter(0, 0.1f);
    char hundred[] = "100", words[] = "ms 50";
    EXPECT_TRUE(d.string2parameter(0, hundred)); // 100 ms
    EXPECT_FALSE(d.string2parameter(0, words));  // leaves the control as it was
    EXPECT_EQ(d.getParameter(0), 0.5f);
}

TEST(Inverter, FlipsTheSignBitSubtractsWhenAddingAndIgnoresParameters) {
    Buffer x(256), io(256), other(256, 5.0f);
    for (size_t i = 0; i < x.size(); ++i)
        io[i] = x[i] = static_cast<float>(0.7 * std::sin(0.05 * static_cast<double>(i)));
    QrInv inv(masterCallback); // second input not connected: channel 1 is left alone
    float* ins[2] = {io.data(), x.data()};
    float* outs[2] = {io.data(), other.data()};
    inv.processReplacing(ins, outs, 256); // in place
    for (size_t i = 0; i < x.size(); ++i)
        ASSERT_EQ(io[i], -x[i]) << i;
    EXPECT_TRUE(std::signbit(io[0])); // x[0] is +0: a zero comes out as -0
    EXPECT_EQ(other, Buffer(256, 5.0f));
    // process subtracts the input from the output: on a copy of the input, zeros.
    io = x;
    ins[0] = x.data();
    inv.process(ins, outs, 256);
    EXPECT_EQ(io, Buffer(256, 0.0f));

    inv.setParameter(0, 0.7f); // changes nothing
    EXPECT_EQ(inv.getParameter(0), 0.0f);
    std::string name(100, 'n'); // cut to the 31 characters the program name holds
    char text[kTextSize];
    inv.setProgramName(name.data());
    inv.getProgramName(text);
    EXPECT_EQ(std::string(text), std::string(kTextSize - 1, 'n'));
}

// One block through processReplacing.
Buffer run(QrClipper& c, const Buffer& in) {
    Buffer out(in.size(), 0.25f);
    float* i = const_cast<float*>(in.data());
    float* o = out.data();
    c.processReplacing(&i, &o, static_cast<int32_t>(in.size()));
    return out;
}

std::string display(QrClipper& c, int32_t index) {
    char text[kTextSize] = "";
    c.getParameterDisplay(index, text);
    return text;
}

// Sets parameters from index 0 on: pre-gain, clip positive, clip negative, post-gain, time.
void set(QrClipper& c, std::initializer_list<float> values) {
    int32_t index = 0;
    for (float v : values)
        c.setParameter(index++, v);
}

// The averaging window as it shows on audio, 0 for hard clipping. At unity gains and
// levels +0.5 / -0.25, a fresh detector fed -1 hard-clips to -0.25 at once; a window of
// L samples holds the mean at k/L after k samples and first gives exactly -0.5 at L.
int32_t measuredWindow(QrClipper& c) {
    set(c, {0.0625f, 0.5f, 0.25f, 0.0625f}); // the window stays as it is
    const Buffer out = run(c, Buffer(300, -1.0f));
    if (out == Buffer(300, -0.25f))
        return 0;
    const auto at = std::find(out.begin(), out.end(), -0.5f);
    return at == out.end() ? -1 : static_cast<int32_t>(at - out.begin() + 1);
}

TEST(Clipper, ComparisonsAreStrictThePositiveLevelIsCheckedFirstAndBothGainsApply) {
    QrClipper c(masterCallback); // unity gains, levels +-0.5
    EXPECT_EQ(run(c, {0.7f, 0.5f, -0.5f, -0.9f, 0.25f}), Buffer({0.5f, 0.5f, -0.5f, -0.5f, 0.25f}));
    set(c, {0.125f, 0.25f, 0.75f, 0.1875f, 0.0f}); // x2 in, x3 out
    EXPECT_EQ(run(c, {0.1f, 0.2f, -0.25f, -0.5f}), Buffer({0.6f, 0.75f, -1.5f, -2.25f}));
    // Levels of zero tell > from >= by the sign of a zero sample: -0 is not above +0 and
    // passes as -0 (>= would give the level, +0); likewise +0 against -clipNeg = -0.
    set(c, {0.0625f, 0.0f, 0.0f, 0.0625f, 0.0f});
    const Buffer zeros = run(c, {-0.0f, 0.0f});
    EXPECT_TRUE(std::signbit(zeros[0]) && !std::signbit(zeros[1]));
    // Crossed levels (-clipNeg = 0.3 above clipPos = 0.1): above 0.1 gives 0.1.
    set(c, {0.0625f, 0.1f, -0.3f, 0.0625f, 0.0f});
    EXPECT_EQ(run(c, {0.2f, 0.05f, -1.0f}), Buffer({0.1f, 0.3f, 0.3f}));
    // Averaging is strict too: a window of 2 whose mean lands exactly on the level passes
    // the samples as they are, where scaling the second by level / mean would change it.
    c.setSampleRate(2000.0f);
    set(c, {0.0625f, 0.7f, 0.5f, 0.0625f, 1.0f}); // 2 samples
    EXPECT_EQ(run(c, {1.352f, 0.048f}), Buffer({1.352f, 0.048f}));
}

TEST(Clipper, WindowLengthsOnAudioAndInTheDisplay) {
    // Sample rate, time, window as measured (0 for hard clipping), display. Windows of 0 or
    // 1 sample hard-clip; 100 or more, NaN included, give exactly 100; negative times 0.
    const std::tuple<float, float, int32_t, const char*> cases[] = {
        {44100, 0.0f, 0, "0.00 ms"},   {44100, 0.03f, 0, "0.02 ms"},  // 1.32: one sample
        {44100, 0.06f, 2, "0.05 ms"},  {44100, 2.26f, 99, "2.24 ms"}, // cut, not rounded
        {44100, 3.0f, 100, "2.27 ms"}, {48000, 1e6f, 100, "2.08 ms"}, // 132 and more
        {44100, NAN, 100, "2.27 ms"},  {44100, -1.0f, 0, "0.00 ms"},
    };
    for (auto [rate, value, window, text] : cases) {
        QrClipper c(masterCallback);
        c.setSampleRate(rate);
        c.setParameter(P::kAverageTime, value);
        EXPECT_EQ(display(c, P::kAverageTime), text) << value << " at " << rate;
        EXPECT_EQ(measuredWindow(c), window) << value << " at " << rate;
    }
}

TEST(Clipper, WindowIsFixedWhenSetAndRestartsItsPositionWhenShrunk) {
    // The write position at 30 is beyond a new window of 22: it restarts at 0, so no
    // magnitude from outside the window stays in the sum and a constant still settles.
    QrClipper c(masterCallback);
    c.setParameter(P::kAverageTime, 1.2f); // 52 samples
    run(c, Buffer(30, 1.0f));
    c.setParameter(P::kAverageTime, 0.5f); // 22 samples
    EXPECT_EQ(display(c, P::kAverageTime), "0.50 ms");
    EXPECT_EQ(measuredWindow(c), 22);
    EXPECT_EQ(run(c, Buffer(100, 1.0f)), Buffer(100, 0.5f));
    // A later sample-rate change leaves the window at 22 samples, now shown as 0.46 ms.
    c.getAeffect()->dispatcher(c.getAeffect(), 10, 0, 0, nullptr, 48000.0f);
    EXPECT_EQ(display(c, P::kAverageTime), "0.46 ms");
}

TEST(Clipper, IdentityAndTextsStayWithinTheirBuffers) {
    // The clipper in a larger block whose bytes after the object must stay as they were.
    alignas(QrClipper) unsigned char block[sizeof(QrClipper) + 64];
    std::memset(block, 0xA5, sizeof(block));
    auto* c = new (block) QrClipper(masterCallback);
    char text[kTextSize];
    std::string name(200, 'n');
    c->setProgramName(name.data());
    c->getProgramName(text);
    EXPECT_EQ(std::string(text), std::string(31, 'n'));
    // Huge values keep every display within the text buffer.
    set(*c, {1e37f, -3e38f, 1.0f, 1.0f, 100.0f});
    c->setSampleRate(1e-30f);
    for (int32_t index = 0; index < 5; ++index) {
        char wide[2 * kTextSize];
        std::memset(wide, '#', sizeof(wide));
        c->getParameterDisplay(index, wide);
        EXPECT_EQ(std::string(wide + kTextSize, kTextSize), std::string(kTextSize, '#'));
    }
    c->~QrClipper();
    for (size_t n = sizeof(QrClipper); n < sizeof(block); ++n)
        ASSERT_EQ(block[n], 0xA5) << n - sizeof(QrClipper);
}

using Graph = std::unique_ptr<AudioNode>;

// An averager "env" with the given param, read by the output mixer.
std::string envelopeModel(const std::string& param) {
    return R"(<quorle><processor id="env" type="averager" input="in">)" + param +
           R"(</processor><mixer input="in" input2="in"><param set="0" node="env" get="0"/>
           </mixer></quorle>)";
}

AveragerAN* envelope() {
    return dynamic_cast<AveragerAN*>(findNode("env"));
}

TEST(AveragerWindow, MillisecondsBecomeSamplesAtTheRunningRateAndTheBudgetCountsTheLargest) {
    Graph g = buildModel(envelopeModel(R"(<param set="0" ms="50"/>)"));
    ASSERT_TRUE(g);
    AveragerAN* env = envelope();
    ASSERT_NE(env, nullptr);
    prepareGraph(g.get()); // no rate given yet: 44.1 kHz
    EXPECT_EQ(env->averageSamples, 2205);
    EXPECT_EQ(env->capacity, 153600); // 50 ms at 3.072 MHz
    const float* ring = env->ring;
    const std::pair<float, int32_t> rates[] = {
        {48000.0f, 2400}, {96000.0f, 4800}, {44100.0f, 2205},
        {NAN, 2205},      {-1.0f, 2205},    {1e9f, 153600}, // above the highest rate: the ring
    };
    for (auto [rate, samples] : rates) {
        g->dispatcher(10, 0, 0, nullptr, rate);
        EXPECT_EQ(env->averageSamples, samples) << rate;
    }
    EXPECT_EQ(env->ring, ring) << "the ring reserved at prepare time stays";

    // On audio at 48 kHz: a constant 1 fills the 2400-sample window in 2400 samples.
    // A rate change restarts the window from silence.
    g->dispatcher(10, 0, 0, nullptr, 48000.0f);
    static SlotTable slots;
    std::fill_n(slots.slot(kInputSlot), 2400, 1.0f);
    walkGraph(g.get(), slots.buffers(), 1200);
    EXPECT_FLOAT_EQ(env->getParam(0), 0.5f);
    walkGraph(g.get(), slots.buffers(), 1200);
    EXPECT_FLOAT_EQ(env->getParam(0), 1.0f);
    g->dispatcher(10, 0, 0, nullptr, 96000.0f);
    EXPECT_EQ(env->getParam(0), 0.0f);
    walkGraph(g.get(), slots.buffers(), 2400);
    EXPECT_FLOAT_EQ(env->getParam(0), 0.5f);

    // The shortest windows are one sample.
    Graph tiny = buildModel(envelopeModel(R"(<param set="0" ms="0.001"/>)"));
    ASSERT_TRUE(tiny);
    tiny->dispatcher(10, 0, 0, nullptr, 8000.0f);
    prepareGraph(tiny.get());
    EXPECT_EQ(envelope()->averageSamples, 1);

    // A 50 ms window reserves 153600 samples (600 KB) whatever the rate it starts at;
    // 120 of them exceed the 64 MB a model may take, 120 windows of 2400 samples do not.
    EXPECT_TRUE(buildModel(averagerModel(100, R"(<param set="0" ms="50"/>)")));
    EXPECT_FALSE(buildModel(averagerModel(120, R"(<param set="0" ms="50"/>)")));
    EXPECT_TRUE(buildModel(averagerModel(120, R"(<param set="0" value="2400"/>)")));
}

TEST(AveragerWindow, MillisecondsWhereTheyCannotBeAWindowAreIgnored) {
    // The averager's params; its window in samples at 96 kHz; whether in milliseconds.
    // A window in samples stays as it is at any rate.
    const struct {
        const char* params;
        int32_t samples;
        bool inMs;
    } cases[] = {
        // Another index, or beside another form of the window: the param reads as
        // any other ("value", else "node" with "get", else the constant 1.0).
        {R"(<param set="1" ms="50"/>)", 1, false},
        {R"(<param set="0" ms="50" value="100"/>)", 100, false},
        {R"(<param set="0" ms="50" node="in" get="0"/>)", 1, false}, // the input node gives 0
        // Only the first set-0 param gives the window.
        {R"(<param set="0" value="100"/><param set="0" ms="50"/>)", 100, false},
        {R"(<param set="0" ms="50"/><param set="0" ms="20"/>)", 4800, true},
        {R"(<param set="0" ms="50"/><param set="0" node="in" get="0"/>)", 4800, true},
        {R"(<param set="0" ms="50"/><param set="1" value="3"/>)", 4800, true},
        {R"(<param set="0" value="2205"/>)", 2205, false},
        // Not a positive finite number: the constant 1.0, one sample.
        {R"(<param set="0" ms="0"/>)", 1, false},
        {R"(<param set="0" ms="-5"/>)", 1, false},
        {R"(<param set="0" ms="nan"/>)", 1, false},
        {R"(<param set="0" ms="inf"/>)", 1, false},
        {R"(<param set="0" ms="fifty"/>)", 1, false},
    };
    for (const auto& c : cases) {
        Graph g = buildModel(envelopeModel(c.params));
        ASSERT_TRUE(g) << c.params;
        g->dispatcher(10, 0, 0, nullptr, 96000.0f);
        prepareGraph(g.get());
        EXPECT_EQ(envelope()->averageSamples, c.samples) << c.params;
        EXPECT_EQ(envelope()->windowMs > 0.0, c.inMs) << c.params;
        g->dispatcher(10, 0, 0, nullptr, 48000.0f);
        EXPECT_EQ(envelope()->averageSamples, c.inMs ? 2400 : c.samples) << c.params;
    }
    // On other nodes it changes nothing either.
    const char* elsewhere[] = {
        R"(<quorle><mixer input="in" input2="in"><param set="0" ms="50"/></mixer></quorle>)",
        R"(<quorle><processor id="d" type="divider"><param set="0" ms="50"/></processor>
           <fx id="a" type="eq" input="in"/></quorle>)",
        R"(<quorle><fx id="a" type="eq"><param set="0" ms="50"/></fx></quorle>)",
    };
    for (const char* xml : elsewhere)
        EXPECT_TRUE(buildModel(xml)) << xml;
}

} // namespace
