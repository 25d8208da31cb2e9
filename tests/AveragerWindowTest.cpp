// Averager windows given in milliseconds: converted at the running rate, ignored
// where they cannot be a window, and counted in the memory budget at their largest.
#include "GraphTestUtil.h"

#include "graph/AveragerAN.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

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

TEST(AveragerWindow, MillisecondsBecomeSamplesAtTheRunningRate) {
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

TEST(AveragerWindow, TheBudgetCountsTheRingForTheHighestRate) {
    // A 50 ms window reserves 153600 samples (600 KB) whatever the rate it starts at;
    // 120 of them exceed the 64 MB a model may take, 120 windows of 2400 samples do not.
    EXPECT_TRUE(buildModel(averagerModel(100, R"(<param set="0" ms="50"/>)")));
    EXPECT_FALSE(buildModel(averagerModel(120, R"(<param set="0" ms="50"/>)")));
    EXPECT_TRUE(buildModel(averagerModel(120, R"(<param set="0" value="2400"/>)")));
}

} // namespace
