// The building blocks on audio. The clipper, delay, mixer and averager loops against
// plain per-sample loops written here: random input in blocks of 1, 7, 64, 512 and
// 4096 frames, state carried across blocks, two channels where the block has them
// (the second in place), bit for bit. The delay's length, the inverter's sign, the
// clipper's comparisons and window where the behaviour shows on audio. Averager
// windows given in milliseconds: converted at the running rate, ignored where they
// cannot be a window, and counted in the memory budget at their largest. The
// equaliser's shelves, peaks, orders and passes. The saturator: harmonic levels and
// aliasing against the bare curve, DC, and the path for tiny steps of u.
#include "GraphTestUtil.h"

#include "blocks/ADelay.h"
#include "blocks/IirCascade.h"
#include "blocks/QrClipper.h"
#include "blocks/QrIIRFilter.h"
#include "blocks/QrInv.h"
#include "blocks/QrSaturator.h"
#include "effect/MasterCallback.h"
#include "graph/AveragerAN.h"
#include "graph/MixerAudioNode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <complex>
#include <cstring>
#include <initializer_list>
#include <new>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using Buffer = std::vector<float>;
using P = QrClipper::Param;
using F = QrIIRFilter;
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

// One block through processReplacing, onto an output holding 0.25.
Buffer run(AudioEffectX& fx, const Buffer& in) {
    Buffer out(in.size(), 0.25f);
    float* i = const_cast<float*>(in.data());
    float* o = out.data();
    fx.processReplacing(&i, &o, static_cast<int32_t>(in.size()));
    return out;
}

// The program name a block keeps when given 200 characters.
std::string keptName(AudioEffectX& fx) {
    std::string name(200, 'n');
    char text[kTextSize] = "";
    fx.setProgramName(name.data());
    fx.getProgramName(text);
    return text;
}

std::string display(AudioEffectX& fx, int32_t index) {
    char text[kTextSize] = "";
    fx.getParameterDisplay(index, text);
    return text;
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
    EXPECT_EQ(keptName(d), std::string(23, 'n')); // what a program name holds
    d.setProgram(3);
    for (int32_t bad : {-1, 16, 1 << 30})
        d.setProgram(bad);
    EXPECT_EQ(d.getProgram(), 3);
    // Each program keeps its three controls, and selecting it brings all three back.
    d.setParameter(2, 0.125f);
    d.setProgram(4);
    EXPECT_EQ(std::pair(d.getParameter(0), d.getParameter(2)), std::pair(0.5f, 0.75f));
    d.setProgram(3);
    EXPECT_EQ(d.getParameter(2), 0.125f);
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
    EXPECT_EQ(keptName(inv), std::string(kTextSize - 1, 'n'));
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
    EXPECT_EQ(keptName(*c), std::string(31, 'n'));
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

constexpr double kPi = 3.14159265358979323846;
constexpr double kRate = 48000.0;

Buffer sine(double hz, double amplitude, size_t n, double rate = kRate) {
    Buffer x(n);
    for (size_t i = 0; i < n; ++i)
        x[i] = static_cast<float>(amplitude *
                                  std::sin(2.0 * kPi * hz * static_cast<double>(i) / rate));
    return x;
}

// Settled gain at `hz`: one second to settle, then a projection onto the tone.
double gainAt(QrIIRFilter& f, double hz) {
    const double rate = f.getSampleRate();
    const size_t settle = static_cast<size_t>(rate);
    const size_t measure = static_cast<size_t>(std::lround(std::ceil(0.25 * hz) * rate / hz));
    const Buffer out = run(f, sine(hz, 0.5, settle + measure, rate));
    double re = 0, im = 0;
    for (size_t n = settle; n < settle + measure; ++n) {
        re += out[n] * std::sin(2.0 * kPi * hz * n / rate);
        im += out[n] * std::cos(2.0 * kPi * hz * n / rate);
    }
    return 2.0 * std::hypot(re, im) / measure / 0.5;
}

// Settled gain at 0 Hz (a constant input) or at Nyquist (alternating samples).
double edgeGain(QrIIRFilter& f, bool nyquist) {
    Buffer in(20000);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = nyquist && i % 2 ? -0.25f : 0.25f;
    return std::fabs(run(f, in).back()) / 0.25;
}

void configure(QrIIRFilter& f, float order, float type, float passes, float freq, float k,
               float post = 1.0f) {
    const float values[] = {order, type, passes, freq, k, post};
    const int32_t indices[] = {F::kOrder, F::kType, F::kPasses, F::kFrequency, F::kK, F::kPostGain};
    for (int32_t i = 0; i < 6; ++i)
        f.setParameter(indices[i], values[i]);
}

TEST(IIRFilter, DefaultGainPassesTheSignalTimesPostGain) {
    const Buffer in = sine(440.0, 0.5, 4096, 44100.0);
    for (float order : {0.0f, 1.0f})
        for (float type : {0.0f, 1.0f})
            for (float freq : {0.0f, 0.3f, 0.9f}) {
                QrIIRFilter f(masterCallback);
                configure(f, order, type, 0.4f, freq, 0.5f, 0.7f);
                const Buffer out = run(f, in);
                for (size_t i = 0; i < in.size(); ++i)
                    ASSERT_FLOAT_EQ(out[i], in[i] * 0.7f) << "order " << order << " i " << i;
            }
}

TEST(IIRFilter, FirstOrderShelvesAndPassCounts) {
    const double K = std::exp(1.8); // k = 0.8
    // Type, frequency, passes, gain at 0 Hz, gain at Nyquist. Two passes give the same
    // overall gain as one (each section uses the square root of K); four apply K four
    // times. At frequency 0 the allpass passes its input: the low shelf is flat at 1,
    // the high shelf flat at K.
    const double K4 = K * K * K * K;
    const std::tuple<float, float, float, double, double> cases[] = {
        {0.0f, 0.3f, 0.1f, K, 1.0}, {1.0f, 0.3f, 0.1f, 1.0, K},  {0.0f, 0.3f, 0.2f, K, 1.0},
        {1.0f, 0.3f, 0.2f, 1.0, K}, {0.0f, 0.3f, 0.4f, K4, 1.0}, {0.0f, 0.0f, 0.1f, 1.0, 1.0},
        {1.0f, 0.0f, 0.1f, K, K},
    };
    for (auto [type, freq, passes, dc, nyquist] : cases) {
        QrIIRFilter f(masterCallback);
        configure(f, 0.0f, type, passes, freq, 0.8f);
        EXPECT_NEAR(edgeGain(f, false), dc, 1e-3 * dc) << type << " " << freq << " " << passes;
        EXPECT_NEAR(edgeGain(f, true), nyquist, 1e-3 * nyquist) << type << " " << freq;
    }
}

TEST(IIRFilter, SecondOrderPeaksAtTheCentreWithGainK) {
    for (float rate : {44100.0f, 96000.0f}) {
        QrIIRFilter f(masterCallback);
        f.setSampleRate(rate);
        configure(f, 1.0f, 0.0f, 0.1f, 0.5f, 0.75f);
        const double centre = f.params.GetNormalizedFreq() * rate * 0.5;
        EXPECT_NEAR(gainAt(f, centre), std::exp(1.5), 0.01 * std::exp(1.5)) << rate;
        EXPECT_NEAR(gainAt(f, 20.0), 1.0, 0.02) << rate; // far below the peak
    }
}

TEST(IIRFilter, WithEitherTypeAtOrderTwoTheOutputIsTheSame) {
    const Buffer in = sine(900.0, 0.5, 1024, 44100.0);
    QrIIRFilter a(masterCallback), c(masterCallback);
    configure(a, 1.0f, 0.0f, 0.3f, 0.45f, 0.9f, 0.9f);
    configure(c, 1.0f, 1.0f, 0.3f, 0.45f, 0.9f, 0.9f); // order 2 has no shelf type
    EXPECT_EQ(run(a, in), run(c, in));
    EXPECT_EQ(display(c, F::kType), "N/A");
}

TEST(IIRFilter, PassCountStaysWithinTheHistory) {
    QrIIRFilter f(masterCallback);
    const std::pair<float, int32_t> cases[] = {{0.0f, 0},  {0.45f, 4}, {1.0f, 10}, {1.99f, 19},
                                               {5.0f, 20}, {-3.0f, 0}, {NAN, 0}};
    for (auto [value, passes] : cases) {
        f.setParameter(F::kPasses, value);
        EXPECT_EQ(f.params.passes, passes) << value;
    }
    // No passes write nothing; twenty run over the whole history without going past it.
    const Buffer in(128, 0.5f);
    EXPECT_EQ(run(f, in), Buffer(128, 0.25f));
    f.setParameter(F::kPasses, 2.0f);
    EXPECT_TRUE(std::isfinite(run(f, in).back()));
}

TEST(IIRFilter, OrderIsTheIntegerPartOfTheControlPlusOneAndAHalf) {
    // Control, order (shown), value returned; beyond the int range the order is held
    // at its ends.
    const std::tuple<float, int32_t, float> cases[] = {
        {0.0f, 1, 0.0f},
        {0.4f, 1, 0.0f},
        {0.5f, 2, 1.0f},
        {1.0f, 2, 1.0f},
        {2.0f, 3, 2.0f},
        {7.0f, 8, 7.0f},
        {-1.0f, 0, -1.0f},
        {-7.0f, -5, -6.0f},
        {NAN, 1, 0.0f},
        {1e30f, INT32_MAX, 2147483646.0f},
        {-1e30f, INT32_MIN, -2147483649.0f},
    };
    for (auto [value, order, returned] : cases) {
        QrIIRFilter f(masterCallback);
        f.setParameter(F::kOrder, value);
        EXPECT_EQ(f.params.order, order) << value;
        EXPECT_EQ(display(f, F::kOrder), std::to_string(order)) << value;
        EXPECT_EQ(f.getParameter(F::kOrder), returned) << value;
    }
}

TEST(IIRFilter, OrdersOtherThanTwoRunTheFirstOrderShelfOnEveryPath) {
    Buffer in = sine(700.0, 0.5, 1500, 44100.0);
    for (size_t i = 0; i < in.size(); i += 7)
        in[i] = -in[i]; // and some highs
    const IirCascade::Level levels[] = {IirCascade::Level::kScalar, IirCascade::best()};
    for (float type : {0.0f, 1.0f})
        for (float passes : {0.1f, 0.2f, 0.5f}) {
            // Order 1 as the reference, filter by filter at the narrowest level.
            const IirCascade::Level before = IirCascade::setLevel(IirCascade::Level::kScalar);
            QrIIRFilter shelf(masterCallback);
            configure(shelf, 0.0f, type, passes, 0.4f, 0.85f, 0.9f);
            const Buffer want = run(shelf, in);
            for (float order : {2.0f, -1.0f, 7.0f, -1e30f})
                for (IirCascade::Level level : levels) {
                    IirCascade::setLevel(level);
                    // Alpha is kept, but the shelf does not read it.
                    QrIIRFilter alone(masterCallback), chained(masterCallback);
                    for (QrIIRFilter* f : {&alone, &chained}) {
                        configure(*f, order, type, passes, 0.4f, 0.85f, 0.9f);
                        f->setParameter(F::kAlpha, 0.3f);
                    }
                    EXPECT_EQ(display(alone, F::kType), "N/A");
                    EXPECT_EQ(run(alone, in), want) << order << " " << type << " " << passes;
                    // The product's path: equalisers gathered into one cascade.
                    Buffer cascaded(in.size());
                    CascadeChain chain(static_cast<int32_t>(in.size()));
                    chain.add(chained.params, in.data(), cascaded.data());
                    chain.flush();
                    EXPECT_EQ(cascaded, want) << order << " " << type << " " << passes;
                }
            IirCascade::setLevel(before);
        }
}

std::vector<std::pair<int32_t, float>> gAutomated;
intptr_t automationHost(AEffect*, int32_t opcode, int32_t index, intptr_t, void*, float opt) {
    if (opcode == 0)
        gAutomated.emplace_back(index, opt);
    return opcode == 4 && index != 0; // only the first input connected
}

TEST(IIRFilter, EverySetReachesTheHostTextsAreBoundedAndDisplaysFollowTheControls) {
    gAutomated.clear();
    QrIIRFilter f(automationHost);
    f.setParameter(F::kK, 0.6f);
    f.setParameter(9, 0.1f); // changes nothing, still reported
    EXPECT_EQ(gAutomated, (std::vector<std::pair<int32_t, float>>{{F::kK, 0.6f}, {9, 0.1f}}));
    f.resume();
    EXPECT_EQ(f.params.channels, 1); // the second input is not connected
    EXPECT_EQ(keptName(f), std::string(31, 'n'));
    // The frequency shown is the control's, whatever the rate.
    f.setParameter(F::kFrequency, 0.5f);
    EXPECT_EQ(display(f, F::kFrequency), "1672");
    f.setSampleRate(96000.0f);
    EXPECT_EQ(display(f, F::kFrequency), "1672"); // the same control, whatever the rate
    f.setParameter(F::kOrder, 0.0f);
    EXPECT_EQ(display(f, F::kType), "low shelf"); // until a type is set
    // Order 1: alpha is derived from the frequency and cannot be set.
    f.setParameter(F::kFrequency, 0.5f);
    const float derived = f.getParameter(F::kAlpha);
    EXPECT_NE(derived, 0.95f);
    f.setParameter(F::kAlpha, 0.2f);
    EXPECT_EQ(f.getParameter(F::kAlpha), derived);
    EXPECT_EQ(display(f, F::kAlpha), "N/A");
}

double dB(double amplitude) {
    return 20.0 * std::log10(amplitude);
}

struct Setting {
    double preDb; // pre-gain
    float asymmetry, hardness, dcCut;
    float softness = 0.0f;
};

void apply(QrSaturator& s, const Setting& set) {
    s.setSampleRate(static_cast<float>(kRate));
    s.setParameter(QrSaturator::kPreGain,
                   static_cast<float>((set.preDb + 20.0) / 60.0)); // -20..+40 dB
    s.setParameter(QrSaturator::kAsymmetry, set.asymmetry);
    s.setParameter(QrSaturator::kHardness, set.hardness);
    s.setParameter(QrSaturator::kDcCut, set.dcCut);
    s.setParameter(QrSaturator::kSoftness, set.softness);
}

// Through the block in blocks of 480 samples.
Buffer render(QrSaturator& s, const Buffer& in) {
    Buffer out(in.size());
    for (size_t at = 0; at < in.size(); at += 480) {
        float* i = const_cast<float*>(in.data()) + at;
        float* o = out.data() + at;
        s.processReplacing(&i, &o, static_cast<int32_t>(std::min<size_t>(480, in.size() - at)));
    }
    return out;
}

// Through a fresh block set to `set`.
Buffer through(const Setting& set, const Buffer& in) {
    QrSaturator s(masterCallback);
    apply(s, set);
    return render(s, in);
}

// The bare curve, sample by sample, as the block shapes u = g x + b without anti-aliasing.
Buffer plainCurve(const Buffer& in, const Setting& set) {
    const double g = std::pow(10.0, set.preDb / 20.0);
    const double b = 0.5 * set.asymmetry;
    const float k = 0.95f * set.hardness;
    const float offset = QrSaturator::curve(static_cast<float>(b), k, set.softness);
    Buffer out(in.size());
    for (size_t i = 0; i < in.size(); ++i)
        out[i] = QrSaturator::curve(static_cast<float>(g * in[i] + b), k, set.softness) - offset;
    return out;
}

// Amplitude of the component that makes `cycles` whole cycles in x[from .. from + n).
template <typename T>
double amplitude(const std::vector<T>& x, size_t from, size_t n, long cycles) {
    std::complex<double> sum = 0.0;
    for (size_t j = 0; j < n; ++j) {
        const double phase =
            2.0 * kPi *
            static_cast<double>((cycles * static_cast<long>(j)) % static_cast<long>(n)) /
            static_cast<double>(n);
        sum += static_cast<double>(x[from + j]) * std::polar(1.0, -phase);
    }
    return 2.0 * std::abs(sum) / static_cast<double>(n);
}

TEST(Saturator, HarmonicLevelsOfA100HzSineAreThoseOfTheCurve) {
    // 100 Hz, 0.5 peak; one second measured after half a second of settling (the DC cut's
    // 10 Hz corner costs the fundamental 0.04 dB and H2 0.01 dB). The reference is the
    // bare curve over one period on a grid of 2^16 points.
    const Setting settings[] = {{12.0, 0.0f, 0.5f, 0.25f},
                                {6.0, 0.6f, 0.3f, 0.25f},
                                {12.0, 0.0f, 0.5f, 0.25f, 1.0f},
                                {6.0, 0.6f, 0.9f, 0.25f, 0.4f}};
    for (const Setting& set : settings) {
        const Buffer out = through(set, sine(100.0, 0.5, 72000));

        const size_t grid = 1 << 16; // one period of a sine of kRate / grid Hz
        const Buffer period = plainCurve(sine(kRate / grid, 0.5, grid), set);
        for (long h : {1L, 2L, 3L, 5L}) {
            const double got = dB(amplitude(out, 24000, 48000, 100 * h));
            const double want = dB(amplitude(period, 0, grid, h));
            if (h == 2 && set.asymmetry == 0.0f) // a symmetric curve makes no even harmonics
                EXPECT_LT(got, -110.0);
            else
                EXPECT_NEAR(got, want, 0.5) << "H" << h << " asymmetry " << set.asymmetry;
        }
    }
}

TEST(Saturator, SoftnessMakesDistortionRiseSteadilyWithTheLevel) {
    // THD of 1 kHz (H2..H9) as the level rises in 3 dB steps, through a stage with a hard
    // knee (0.9). Alone the knee curve is clean up to the knee and then jumps; with
    // softness the distortion grows from the smallest level by a few dB per step.
    auto thdSweep = [](float softness) {
        std::vector<double> thd;
        for (double level = -42.0; level <= -3.0; level += 3.0) {
            const Buffer out = through({20.0, 0.0f, 0.95f, 0.25f, softness},
                                       sine(1000.0, std::pow(10.0, level / 20.0), 9600));
            double harmonics = 0.0;
            for (long h = 2; h <= 9; ++h)
                harmonics += std::pow(amplitude(out, 4800, 4800, 100 * h), 2.0);
            thd.push_back(std::max(-100.0, 10.0 * std::log10(harmonics + 1e-300) -
                                               dB(amplitude(out, 4800, 4800, 100))));
        }
        return thd;
    };
    auto biggestStep = [](const std::vector<double>& thd) {
        double step = 0.0;
        for (size_t i = 1; i < thd.size(); ++i)
            step = std::max(step, thd[i] - thd[i - 1]);
        return step;
    };
    const std::vector<double> knee = thdSweep(0.0f), soft = thdSweep(1.0f), half = thdSweep(0.5f);
    EXPECT_EQ(knee.front(), -100.0);
    EXPECT_GT(biggestStep(knee), 30.0);
    EXPECT_GT(soft.front(), -100.0);
    EXPECT_LE(biggestStep(soft), 8.0); // the third harmonic grows 6 dB a step
    EXPECT_GT(soft.back() - soft.front(), 50.0);
    EXPECT_GT(half.front(), -100.0);
    EXPECT_LT(biggestStep(half), biggestStep(knee) - 10.0);
    // The blended antiderivative is that of the blended curve.
    for (double u : {-3.0, -0.7, 0.05, 0.9, 1.6, 40.0}) {
        const double h = 1e-6;
        const double slope = (QrSaturator::antiderivative(u + h, 0.5, 0.3) -
                              QrSaturator::antiderivative(u - h, 0.5, 0.3)) /
                             (2.0 * h);
        EXPECT_NEAR(slope, QrSaturator::curve(static_cast<float>(u), 0.5f, 0.3f), 1e-6) << u;
    }
}

TEST(Saturator, AntiderivativeShapingFoldsBackLessThanTheBareCurve) {
    // 9 kHz driven hard (+20 dB into the curve: a rounded square wave). Every component
    // lands on a 10 Hz bin of a 0.1 s window; all but DC and the harmonics below Nyquist
    // (9 and 18 kHz) are aliases. The strongest is the third harmonic folded from 27 to
    // 21 kHz, which the one-sample mean can only take down by sinc(27/48), 5.1 dB (5.1
    // measured); the aliases in the audible band fold from higher harmonics, which the
    // mean takes down further: the strongest of them drops by 11.8 dB.
    const Setting set{20.0, 0.0f, 0.5f, 0.25f};
    const Buffer in = sine(9000.0, 0.5, 9600);
    const Buffer shaped = through(set, in), bare = plainCurve(in, set);
    // The strongest alias below `topBin`, in dB below the fundamental.
    auto strongestAlias = [](const Buffer& x, long topBin) {
        double worst = 0.0;
        for (long bin = 1; bin < topBin; ++bin)
            if (bin != 900 && bin != 1800)
                worst = std::max(worst, amplitude(x, 4800, 4800, bin));
        return dB(worst) - dB(amplitude(x, 4800, 4800, 900));
    };
    const double bareAll = strongestAlias(bare, 2400), bareAudible = strongestAlias(bare, 2000);
    EXPECT_LT(strongestAlias(shaped, 2400), bareAll - 4.5) << "up to 24 kHz";
    EXPECT_LT(strongestAlias(shaped, 2000), bareAudible - 10.0) << "up to 20 kHz";
}

TEST(Saturator, TheDcCutTakesOffTheDcThatAsymmetryMakes) {
    // 1 kHz through the most asymmetric bias; the mean of the second second.
    auto meanOfLastSecond = [](float dcCut) {
        const Buffer out = through({6.0, 1.0f, 0.5f, dcCut}, sine(1000.0, 0.5, 96000));
        return std::accumulate(out.begin() + 48000, out.end(), 0.0) / 48000.0;
    };
    const double cut = meanOfLastSecond(0.25f), uncut = meanOfLastSecond(0.0f);
    EXPECT_LE(std::fabs(cut), 1e-4);
    EXPECT_GT(std::fabs(uncut), 1e-2);
    // Switched on mid-stream, the cut starts from the output as it was: the DC it takes
    // off decays from the last sample heard, with no step and no sample held.
    QrSaturator s(masterCallback);
    apply(s, {6.0, 1.0f, 0.5f, 0.0f});
    const Buffer dc(960, 0.3f), before = render(s, dc);
    s.setParameter(QrSaturator::kDcCut, 0.25f);
    const Buffer after = render(s, dc);
    EXPECT_LT(std::fabs(after[0]), std::fabs(before.back()));
    EXPECT_GT(std::fabs(after[0]), 0.99 * std::fabs(before.back()));
}

TEST(Saturator, TinyStepsReadTheCurveAndBadInputIsForgottenOnClear) {
    const Setting set{12.0, 0.5f, 0.5f, 0.0f}; // no DC cut: the output is the curve's
    const double g = std::pow(10.0, 12.0 / 20.0), b = 0.25;
    const float k = 0.475f;
    const double offset = QrSaturator::curve(0.25f, k);
    // Ramps of u across all three parts of the curve, in steps below the switch to the
    // midpoint (4e-6) and above it (2e-5, where a quotient of float antiderivatives
    // would be off by 1e-2): either way the output is the curve at the step's midpoint.
    for (double du : {4e-6, 2e-5}) {
        const auto n = static_cast<size_t>(6.0 / du);
        Buffer in(n);
        for (size_t i = 0; i < n; ++i)
            in[i] = static_cast<float>((-3.0 + du * static_cast<double>(i) - b) / g);
        const Buffer out = through(set, in);
        double worst = 0.0;
        for (size_t i = 1; i < n; ++i) {
            const double mid = 0.5 * (g * in[i - 1] + g * in[i]) + b;
            const double want = QrSaturator::curve(static_cast<float>(mid), k) - offset;
            const double error = std::fabs(out[i] - want);
            if (!(error <= worst)) // a NaN stays
                worst = error;
        }
        EXPECT_LT(worst, 1e-6) << du;
    }
    // The antiderivative is continuous at both joints, and even.
    for (double at : {0.475, 2.0 - 0.475})
        EXPECT_NEAR(QrSaturator::antiderivative(at - 1e-12, 0.475),
                    QrSaturator::antiderivative(at + 1e-12, 0.475), 1e-11);
    EXPECT_EQ(QrSaturator::antiderivative(-1.7, 0.3), QrSaturator::antiderivative(1.7, 0.3));

    // A NaN and an infinity reach the block: after clearState it sounds as a fresh one.
    QrSaturator poisoned(masterCallback);
    apply(poisoned, {12.0, 0.5f, 0.5f, 0.25f});
    Buffer bad = sine(440.0, 0.5, 960);
    bad[100] = NAN;
    bad[300] = INFINITY;
    render(poisoned, bad);
    poisoned.clearState();
    const Buffer tone = sine(440.0, 0.5, 960);
    EXPECT_EQ(render(poisoned, tone), through({12.0, 0.5f, 0.5f, 0.25f}, tone));
}

} // namespace
