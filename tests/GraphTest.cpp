// Graph nodes, parameter mappings, the processing list and graph ownership.
#include "GraphTestUtil.h"

#include "effect/MasterCallback.h"
#include "graph/AveragerAN.h"
#include "graph/DividerAN.h"
#include "graph/MixerAudioNode.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

// An effect that counts its runs and its destruction, and copies input to output.
struct CountingEffect : AudioEffectX {
    explicit CountingEffect(int* deaths = nullptr)
        : AudioEffectX(masterCallback, 1, 2), deaths(deaths) {}
    ~CountingEffect() override {
        if (deaths)
            ++*deaths;
    }
    void process(float** in, float** out, int32_t n) override { processReplacing(in, out, n); }
    void processReplacing(float** in, float** out, int32_t n) override {
        ++runs;
        for (int32_t i = 0; i < n; ++i)
            out[0][i] = in[0][i];
    }
    float getParameter(int32_t index) override { return index == 1 ? 0.25f : 0.0f; }
    void setSampleRate(float rate) override { rates.push_back(rate); }
    int* deaths;
    int runs = 0;
    std::vector<float> rates;
};

// A node that counts its destruction.
struct CountingNode : AudioNodeFX {
    explicit CountingNode(int* deaths) : deaths(deaths) {}
    ~CountingNode() override { ++*deaths; }
    int* deaths;
};

ParamMapping constant(int set, float value) {
    ParamMapping m;
    m.set = set;
    m.value = value;
    return m;
}

ParamMapping from(int set, AudioNode* node, int get) {
    ParamMapping m;
    m.set = set;
    m.node = node;
    m.get = get;
    return m;
}

std::vector<AudioNode*> listOf(AudioNode* in) {
    std::vector<AudioNode*> out;
    for (AudioNode* n = in; n; n = n->next)
        out.push_back(n);
    return out;
}

TEST(ProcessingList, FollowsDependenciesNotDocumentOrder) {
    AudioNode* in = startGraph();
    auto* a = fxNode(new CountingEffect, in, 3, "A");
    auto* b = new AveragerAN;
    b->input = in;
    auto* c = new MixerAudioNode;
    c->input = a;
    c->input2 = in;
    c->outBuffer = kOutputSlot;
    c->params.push_back(from(0, b, 0));
    auto* unused = fxNode(new CountingEffect, in, 4, "D");

    buildNodeList(c);
    EXPECT_EQ(listOf(in), (std::vector<AudioNode*>{in, b, a, c}));
    EXPECT_EQ(gNodeList, listOf(in));
    EXPECT_FALSE(unused->listed);

    SlotTable slots;
    walkGraph(in, slots.buffers(), 64);
    EXPECT_EQ(static_cast<CountingEffect*>(a->effect)->runs, 1);
    EXPECT_EQ(static_cast<CountingEffect*>(unused->effect)->runs, 0);
    delete in;
    delete unused; // never listed: not owned by the graph
}

TEST(ProcessingList, MappingSourcesOfEffectNodesAreListedButNotApplied) {
    AudioNode* in = startGraph();
    auto* env = new AveragerAN;
    env->input = in;
    auto* fx = fxNode(new CountingEffect, in, kOutputSlot, "fx");
    fx->params.push_back(from(0, env, 0));
    buildNodeList(fx);
    EXPECT_EQ(listOf(in), (std::vector<AudioNode*>{in, env, fx}));
    EXPECT_EQ(fx->effect->getParameter(0), 0.0f); // the mapping did not reach the effect
    delete in;
}

TEST(ProcessingList, NullReferencesAndCyclesAreNotFollowed) {
    AudioNode* in = startGraph();
    auto* orphan = new MixerAudioNode; // no inputs at all
    auto* p = new DividerAN;
    auto* q = new DividerAN;
    p->params.push_back(from(0, q, 2));
    q->params.push_back(from(0, p, 2)); // only a hand-built graph can loop
    orphan->params.push_back(from(0, p, 2));
    buildNodeList(orphan);
    EXPECT_EQ(listOf(in), (std::vector<AudioNode*>{in, q, p, orphan}));
    SlotTable slots;
    orphan->process(slots.buffers(), 16); // no inputs: writes nothing, does not crash
    delete in;
}

TEST(ProcessingList, VeryLongChainsBuildAndDelete) {
    AudioNode* in = startGraph();
    AudioNode* last = in;
    for (int i = 0; i < 200000; ++i) {
        auto* n = new AudioNodeFX;
        n->input = last;
        last = n;
    }
    buildNodeList(last);
    EXPECT_EQ(gNodeList.size(), 200001u);
    delete in;
}

TEST(BuilderState, SlotsAreLentLastFreedFirstAndRunOut) {
    resetBuilderState();
    EXPECT_EQ(getBuffer(), 2);
    EXPECT_EQ(getBuffer(), 3);
    gBuffs.push_front(2);
    EXPECT_EQ(getBuffer(), 2);
    int lent = 3;
    while (getBuffer() != kNoSlot)
        ++lent;
    EXPECT_EQ(lent, 49);
    EXPECT_EQ(getBuffer(), kNoSlot);

    AudioNode* in = startGraph();
    EXPECT_EQ(findNode("in"), in);
    EXPECT_EQ(findNode("In"), nullptr); // ids are case-sensitive
    EXPECT_EQ(findNode("nobody"), nullptr);
    EXPECT_EQ(findNode(nullptr), nullptr);
    delete in;
}

TEST(Mixer, AddsWithGainsFirstMappingWins) {
    AudioNode* in = startGraph();
    auto* a = fxNode(new CountingEffect, in, 2, "a");
    auto* mix = new MixerAudioNode;
    mix->input = a;
    mix->input2 = in;
    mix->outBuffer = kOutputSlot;
    buildNodeList(mix);

    SlotTable slots;
    for (int i = 0; i < 8; ++i)
        slots.slot(0)[i] = static_cast<float>(i);
    walkGraph(in, slots.buffers(), 8);
    EXPECT_EQ(slots.slot(1)[3], 6.0f); // 1 x 3 + 1 x 3

    mix->params.push_back(constant(1, 0.5f));
    mix->params.push_back(constant(1, 4.0f)); // a second mapping of the same input: ignored
    walkGraph(in, slots.buffers(), 8);
    EXPECT_EQ(slots.slot(1)[4], 6.0f); // 4 + 0.5 x 4
    EXPECT_EQ(mix->getParam(0), 0.0f); // a mixer has no output parameters
    delete in;
}

TEST(Averager, WindowLengthFromParameterZero) {
    AudioNode* in = startGraph();
    auto* avg = new AveragerAN;
    avg->input = in;
    SlotTable slots;
    float* x = slots.slot(0);
    const float block[] = {0.5f, -2.0f, 1.0f, -4.0f, 3.0f};
    std::copy(block, block + 5, x);

    avg->process(slots.buffers(), 5); // no mapping: one sample
    EXPECT_EQ(avg->averageSamples, 1);
    EXPECT_EQ(avg->getParam(0), 3.0f);
    EXPECT_EQ(avg->getParam(1), 1.0f);

    avg->params.push_back(constant(0, 3.9f)); // truncated to 3
    avg->process(slots.buffers(), 5);
    EXPECT_EQ(avg->averageSamples, 3);
    EXPECT_FLOAT_EQ(avg->getParam(0), (1.0f + 4.0f + 3.0f) / 3.0f);

    // A longer window restarts from silence: the zeros still count.
    avg->params[0].value = 8.0f;
    avg->process(slots.buffers(), 2);
    EXPECT_FLOAT_EQ(avg->getParam(0), (0.5f + 2.0f) / 8.0f);
    delete avg;
    delete in;
}

TEST(Averager, OutOfRangeWindowKeepsTheLastGoodOne) {
    AudioNode* in = startGraph();
    auto* avg = new AveragerAN;
    avg->input = in;
    avg->params.push_back(constant(0, 0.0f));
    SlotTable slots;
    slots.slot(0)[0] = -0.5f;
    avg->process(slots.buffers(), 1); // no good window yet: one sample
    EXPECT_EQ(avg->averageSamples, 1);
    EXPECT_EQ(avg->getParam(0), 0.5f);

    avg->params[0].value = 4.0f;
    avg->process(slots.buffers(), 1);
    for (float bad : {0.0f, -3.0f, NAN, INFINITY, 1e12f, 1e7f}) {
        avg->params[0].value = bad;
        avg->process(slots.buffers(), 1);
        EXPECT_EQ(avg->averageSamples, 4) << bad;
        EXPECT_TRUE(std::isfinite(avg->getParam(0))) << bad;
    }
    EXPECT_EQ(avg->getParam(0), 4 * 0.5f / 4.0f);
    delete avg;
    delete in;
}

TEST(Averager, RunningSumMatchesBruteForceMean) {
    AudioNode* in = startGraph();
    auto* avg = new AveragerAN;
    avg->input = in;
    avg->params.push_back(constant(0, 441.0f));
    SlotTable slots;
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
    std::uniform_int_distribution<int> blockLength(1, 1000);
    std::vector<float> history;
    for (int b = 0; b < 400; ++b) {
        int n = blockLength(rng);
        for (int i = 0; i < n; ++i) {
            slots.slot(0)[i] = sample(rng);
            history.push_back(std::fabs(slots.slot(0)[i]));
        }
        avg->process(slots.buffers(), n);
    }
    double expected = 0.0;
    for (size_t i = history.size() - 441; i < history.size(); ++i)
        expected += history[i];
    EXPECT_NEAR(avg->getParam(0), expected / 441.0, 1e-5);
    delete avg;
    delete in;
}

TEST(Divider, LimitedRatioAndPassThrough) {
    DividerAN d;
    EXPECT_EQ(d.getParam(2), 1.0f);
    struct Case {
        float a, b, ratio;
    };
    for (Case c : {Case{5, 0, 100}, Case{300, 2, 100}, Case{-6, 2, -3}, Case{1, 4, 0.25f},
                   Case{0, 0, 100}, Case{INFINITY, INFINITY, 100}}) {
        d.params = {constant(0, c.a), constant(1, c.b)};
        EXPECT_EQ(d.getParam(2), c.ratio) << c.a << "/" << c.b;
        EXPECT_EQ(d.getParam(0), c.a);
        EXPECT_EQ(d.getParam(1), c.b);
    }
    EXPECT_EQ(d.getParam(7), 1.0f);
}

TEST(EffectNodes, OutputParametersComeFromTheEffect) {
    AudioNode* in = startGraph();
    auto* fx = fxNode(new CountingEffect, in, 2, "fx");
    EXPECT_EQ(fx->getParam(1), 0.25f);
    EXPECT_EQ(in->getParam(1), 0.0f); // the graph input has no effect
    DividerAN reader;
    reader.params.push_back(from(0, fx, 1));
    reader.params.push_back(from(1, in, 0));
    EXPECT_EQ(reader.getParam(2), 100.0f); // 0.25 / 0 is limited
    delete fx;
    delete in;
}

TEST(Ownership, DeletingTheInputNodeDeletesEverythingOnce) {
    int nodeDeaths = 0, effectDeaths = 0;
    AudioNode* in = startGraph();
    AudioNode* last = in;
    for (int i = 0; i < 6; ++i) {
        auto* n = new CountingNode(&nodeDeaths);
        n->input = last;
        if (i % 2 == 0)
            n->effect = new CountingEffect(&effectDeaths);
        last = n;
    }
    auto* avg = new AveragerAN;
    avg->input = last;
    avg->params.push_back(constant(0, 64.0f));
    auto* tail = new CountingNode(&nodeDeaths);
    tail->input = last;
    tail->params.push_back(from(0, avg, 0));
    buildNodeList(tail);
    SlotTable slots;
    avg->process(slots.buffers(), 64); // gives the averager a ring to free
    delete in;
    EXPECT_EQ(nodeDeaths, 7);
    EXPECT_EQ(effectDeaths, 3);
}

TEST(Ownership, DispatcherReachesEveryListedEffectInOrder) {
    AudioNode* in = startGraph();
    auto* e1 = new CountingEffect;
    auto* e2 = new CountingEffect;
    auto* a = fxNode(e1, in, 2, "a");
    auto* gap = fxNode(nullptr, a, 3, "gap");
    auto* b = fxNode(e2, gap, 1, "b");
    buildNodeList(b);
    EXPECT_EQ(in->dispatcher(10, 0, 0, nullptr, 48000.0f), 0);
    EXPECT_EQ(e1->rates, std::vector<float>{48000.0f});
    EXPECT_EQ(e2->rates, std::vector<float>{48000.0f});
    delete in;
}

} // namespace
