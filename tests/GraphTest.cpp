// Graph nodes, parameter mappings, the processing list and graph ownership.
#include "GraphTestUtil.h"

#include "effect/MasterCallback.h"
#include "graph/AveragerAN.h"
#include "graph/CascadePlan.h"
#include "graph/DividerAN.h"
#include "graph/MixerAudioNode.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <tuple>

namespace {

// An effect that counts its runs, parameter sets and destruction.
struct CountingEffect : AudioEffectX {
    explicit CountingEffect(int* deaths = nullptr)
        : AudioEffectX(masterCallback, 1, 2), deaths(deaths) {}
    ~CountingEffect() override {
        if (deaths)
            ++*deaths;
    }
    void process(float**, float**, int32_t) override {}
    void processReplacing(float**, float**, int32_t) override { ++runs; }
    float getParameter(int32_t index) override { return index == 1 ? 0.25f : 0.0f; }
    void setParameter(int32_t, float) override { ++sets; }
    void setSampleRate(float r) override { rate = r; }
    int* deaths;
    int runs = 0, sets = 0;
    float rate = 0.0f;
};

// Input parameter `set`: the constant `value`, or output `get` of `node`.
ParamMapping pm(int set, float value, AudioNode* node = nullptr, int get = 0) {
    return {value, node, get, set};
}

TEST(ProcessingList, FollowsDependenciesNotDocumentOrderNorNullReferencesAndCycles) {
    AudioNode* in = startGraph();
    auto* a = fxNode(new CountingEffect, in, 3, "A");
    auto* b = new AveragerAN;
    b->input = in;
    auto* env = new DividerAN; // the mapping source of an effect node
    a->params.push_back(pm(0, 1, env, 0));
    auto* c = new MixerAudioNode;
    c->input = a;
    c->input2 = in;
    c->outBuffer = kOutputSlot;
    c->params.push_back(pm(0, 1, b, 0));
    auto* unused = fxNode(new CountingEffect, in, 4, "D");

    buildNodeList(c);
    EXPECT_EQ(gNodeList, (std::vector<AudioNode*>{in, b, env, a, c}));
    EXPECT_FALSE(unused->listed);

    SlotTable slots;
    walkGraph(in, slots.buffers(), 64);
    auto* effectA = static_cast<CountingEffect*>(a->effect);
    EXPECT_EQ(effectA->runs, 1);
    EXPECT_EQ(effectA->sets, 0); // listed, but the mapping is not applied to the effect
    EXPECT_EQ(static_cast<CountingEffect*>(unused->effect)->runs, 0);
    delete in;
    delete unused; // never listed: not owned by the graph

    in = startGraph();
    auto* orphan = new MixerAudioNode; // no inputs at all
    auto* p = new DividerAN;
    auto* q = new DividerAN;
    p->params.push_back(pm(0, 1, q, 2));
    q->params.push_back(pm(0, 1, p, 2)); // only a hand-built graph can loop
    orphan->params.push_back(pm(0, 1, p, 2));
    buildNodeList(orphan);
    EXPECT_EQ(gNodeList, (std::vector<AudioNode*>{in, q, p, orphan}));
    orphan->process(slots.buffers(), 16); // no inputs: writes nothing, does not crash
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

    AudioNode* in = startGraph();
    EXPECT_EQ(findNode("in"), in);
    for (const char* unknown : {"In", "nobody", static_cast<const char*>(nullptr)})
        EXPECT_EQ(findNode(unknown), nullptr); // ids are case-sensitive
    delete in;
}

TEST(MixerAndAverager, MixerAddsWithGainsFirstMappingWinsAveragerWindowFromParameterZero) {
    AudioNodeFX in, other;
    other.outBuffer = 2;
    MixerAudioNode mix;
    mix.input = &in;
    mix.input2 = &other;
    mix.outBuffer = kOutputSlot;
    SlotTable slots;
    slots.slot(0)[0] = 1.0f;
    slots.slot(2)[0] = 10.0f;
    mix.process(slots.buffers(), 1);
    EXPECT_EQ(slots.slot(1)[0], 11.0f);                   // both gains default to 1
    mix.params = {pm(1, 0.5f), pm(0, 3.0f), pm(1, 4.0f)}; // the second mapping of 1 is ignored
    mix.process(slots.buffers(), 1);
    EXPECT_EQ(slots.slot(1)[0], 8.0f);
    EXPECT_EQ(mix.getParam(0), 0.0f); // a mixer has no output parameters

    // The averager's window length is parameter 0, up to the longest.
    AveragerAN avg, fresh;
    avg.input = fresh.input = &in;
    const float block[] = {0.5f, -2.0f, 1.0f, -4.0f, 3.0f};
    std::copy(block, block + 5, slots.slot(0));

    avg.process(slots.buffers(), 5); // no mapping: one sample
    EXPECT_EQ(std::tuple(avg.averageSamples, avg.getParam(0), avg.getParam(1)),
              std::tuple(1, 3.0f, 1.0f));
    avg.params.push_back(pm(0, 3.9f)); // truncated to 3
    avg.process(slots.buffers(), 5);
    EXPECT_EQ(avg.averageSamples, 3);
    EXPECT_FLOAT_EQ(avg.getParam(0), (1.0f + 4.0f + 3.0f) / 3.0f);
    avg.params[0].value = 8.0f; // a new window restarts from silence: the zeros still count
    avg.process(slots.buffers(), 2);
    EXPECT_FLOAT_EQ(avg.getParam(0), (0.5f + 2.0f) / 8.0f);

    for (float bad : {0.0f, -3.0f, NAN, INFINITY, 1e12f, 1e7f}) {
        avg.params[0].value = bad;
        avg.process(slots.buffers(), 1); // adds 0.5 to the kept window
        EXPECT_EQ(avg.averageSamples, 8) << bad;
    }
    EXPECT_FLOAT_EQ(avg.getParam(0), (0.5f + 2.0f + 6 * 0.5f) / 8.0f);

    fresh.params.push_back(pm(0, 0.0f)); // no good window yet: one sample
    fresh.process(slots.buffers(), 1);
    EXPECT_EQ(fresh.averageSamples, 1);
    EXPECT_EQ(fresh.getParam(0), 0.5f);

    // The longest window is the bound.
    AveragerAN unset;
    unset.setAverageSamples(AveragerAN::kMaxAverageSamples + 1); // no window yet: one sample
    EXPECT_EQ(unset.averageSamples, 1);
    avg.setAverageSamples(AveragerAN::kMaxAverageSamples);
    EXPECT_EQ(avg.averageSamples, 768000);
    avg.setAverageSamples(AveragerAN::kMaxAverageSamples + 1); // kept
    EXPECT_EQ(avg.averageSamples, 768000);
}

// Run in a child process whose address space is capped and then filled, so that
// the ring of a new window cannot be allocated. Exit codes name what went wrong.
[[maybe_unused]] int windowsUnderAFailingAllocation() {
    AveragerAN held, fresh;
    held.setAverageSamples(8);
    const float* ring = held.ring;
    std::vector<void*> hoard;
    hoard.reserve(1 << 20);
    long pages = 0; // the address space in use, in pages
    std::ifstream("/proc/self/statm") >> pages;
    if (pages <= 0)
        return 10;
    const rlim_t cap = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) +
                       (rlim_t(32) << 20);
    rlimit limit = {cap, cap};
    if (setrlimit(RLIMIT_AS, &limit) != 0)
        return 11;
    // Every free block of 64 KiB or more is taken, so a 3 MB ring cannot be found.
    while (hoard.size() < hoard.capacity()) {
        void* p = std::malloc(64 << 10);
        if (!p)
            break;
        hoard.push_back(p);
    }
    if (hoard.size() == hoard.capacity())
        return 12;
    held.setAverageSamples(AveragerAN::kMaxAverageSamples);
    fresh.setAverageSamples(AveragerAN::kMaxAverageSamples);
    const bool heldKept = held.averageSamples == 8 && held.ring == ring;
    const bool freshEmpty = fresh.averageSamples == 0 && fresh.getParam(0) == 0.0f;
    for (void* p : hoard)
        std::free(p);
    if (!heldKept)
        return 1;
    if (!freshEmpty)
        return 2;
    // With the memory back, the same request succeeds: it was the allocation that failed.
    held.setAverageSamples(AveragerAN::kMaxAverageSamples);
    return held.averageSamples == AveragerAN::kMaxAverageSamples ? 0 : 13;
}

// Exit codes: 1 the held window changed, 2 a window appeared without a ring;
// 10..13 the memory could not be exhausted as planned.
TEST(AveragerWindowDeathTest, AFailedAllocationKeepsTheLastGoodWindow) {
#ifdef QUORLE_ASAN
    GTEST_SKIP() << "AddressSanitizer's allocator does not fail as malloc does";
#else
    EXPECT_EXIT(std::_Exit(windowsUnderAFailingAllocation()), testing::ExitedWithCode(0), "");
#endif
}

TEST(Divider, LimitedRatioPassThroughAndReadsOfEffectNodes) {
    DividerAN d;
    EXPECT_EQ(d.getParam(2), 1.0f);
    // inf / inf is not a number.
    for (const auto& [a, b, ratio] : {std::tuple{5.0f, 0.0f, 100.0f},
                                      {300.0f, 2.0f, 100.0f},
                                      {-6.0f, 2.0f, -3.0f},
                                      {1.0f, 4.0f, 0.25f},
                                      {INFINITY, INFINITY, 100.0f}}) {
        d.params = {pm(0, a), pm(1, b)};
        EXPECT_EQ(d.getParam(2), ratio) << a << "/" << b;
        EXPECT_EQ(d.getParam(0), a);
        EXPECT_EQ(d.getParam(1), b);
    }
    EXPECT_EQ(d.getParam(7), 1.0f);
    // Reading effect nodes: the effect's parameter; no effect, 0.
    AudioNodeFX fx, bare;
    fx.effect = new CountingEffect;
    d.params = {pm(0, 1, &fx, 1), pm(1, 1, &bare, 1)};
    EXPECT_EQ(d.getParam(0), 0.25f);
    EXPECT_EQ(d.getParam(1), 0.0f);
}

TEST(Ownership, TheInputNodeReachesAndDeletesEverythingOnce) {
    // A chain long enough that building or deleting it recursively would overflow.
    // Each node deletes its effect, so effect deaths count node deaths.
    int deaths = 0;
    AudioNode* in = startGraph();
    AudioNode* last = in;
    for (int i = 0; i < 200000; ++i)
        last = fxNode(new CountingEffect(&deaths), last, 2, "n");
    auto* avg = new AveragerAN;
    avg->input = last;
    avg->params.push_back(pm(0, 64.0f));
    auto* tail = fxNode(new CountingEffect(&deaths), last, 1, "tail");
    tail->params.push_back(pm(0, 1, avg, 0));
    buildNodeList(tail);
    EXPECT_EQ(gNodeList.size(), 200003u);
    SlotTable slots;
    avg->process(slots.buffers(), 64);                         // gives the averager a ring to free
    EXPECT_EQ(in->dispatcher(10, 0, 0, nullptr, 48000.0f), 0); // reaches every listed effect
    int rated = 0;
    for (AudioNode* n : gNodeList)
        rated += n->effect && static_cast<CountingEffect*>(n->effect)->rate == 48000.0f;
    EXPECT_EQ(rated, 200001);
    delete in;
    EXPECT_EQ(deaths, 200001);
}

} // namespace

namespace {

// The nodes of a planned model document, by id.
struct PlannedModel {
    std::unique_ptr<AudioNode> input;
    explicit PlannedModel(const std::string& xml) : input(buildModel(xml)) {
        if (input)
            planCascades(input.get());
    }
    const AudioNode* node(const char* id) const {
        for (const AudioNode* n = input ? input->next : nullptr; n; n = n->next)
            if (n->name == id)
                return n;
        return nullptr;
    }
};

// An equaliser's output that only the next equaliser reads is handed on in the
// lanes; any other reader (a mixer, a second branch, the input read twice) keeps it
// written, and a model that writes no audio to the output leaves the fixed stage's
// first filter heard there.
TEST(CascadePlan, OnlyAnOutputReadByTheNextEqualiserAloneIsHandedOn) {
    const PlannedModel chain("<quorle><fx id=\"a\" type=\"eq\"/><fx id=\"b\" type=\"eq\"/>"
                             "<fx id=\"c\" type=\"sat\"/><fx id=\"d\" type=\"eq\"/></quorle>");
    ASSERT_TRUE(chain.input && chain.node("a") && chain.node("d"));
    EXPECT_TRUE(chain.node("a")->soleReader) << "the only reader of the input";
    EXPECT_TRUE(chain.node("b")->soleReader);
    EXPECT_FALSE(chain.node("c")->soleReader) << "not an equaliser";
    EXPECT_FALSE(chain.node("d")->soleReader) << "after a saturator";
    EXPECT_TRUE(chain.input->outputWritten);

    const PlannedModel branch(
        "<quorle><fx id=\"a\" type=\"eq\"/><fx id=\"b\" type=\"eq\"/>"
        "<mixer id=\"m\" input=\"b\" input2=\"a\"/><fx id=\"e\" type=\"eq\" input=\"in\"/>"
        "<mixer id=\"n\" input=\"m\" input2=\"e\"/></quorle>");
    ASSERT_TRUE(branch.node("b") && branch.node("e"));
    EXPECT_FALSE(branch.node("b")->soleReader) << "the mixer reads a too";
    EXPECT_FALSE(branch.node("a")->soleReader) << "e reads the input too";
    EXPECT_FALSE(branch.node("e")->soleReader);
    EXPECT_TRUE(branch.input->outputWritten);

    const PlannedModel silent(
        "<quorle><fx id=\"a\" type=\"eq\"/><fx id=\"x\" type=\"none\"/></quorle>");
    ASSERT_TRUE(silent.input);
    EXPECT_FALSE(silent.input->outputWritten) << "nothing writes the output";
}

// An equaliser further down that reads the fixed stage's output (or an equaliser's)
// may run right after the run of equalisers that holds what it reads, past nodes
// that do not write what it reads and whose controls read no node, writing a slot no
// node uses until its place comes. The octave fuzz's low-pass, listed after the fuzz
// branch, runs beside it.
TEST(CascadePlan, AnEqualiserRunsAheadOnlyPastNodesThatLeaveItsInput) {
    const PlannedModel fuzz(
        "<quorle><fx id=\"lp\" type=\"eq\"/><fx id=\"pos\" type=\"clip\" input=\"lp\"/>"
        "<fx id=\"tight\" type=\"eq\" input=\"in\"/><fx id=\"soft\" type=\"eq\"/>"
        "<fx id=\"fuzz\" type=\"sat\"/><mixer id=\"mix\" input=\"fuzz\" input2=\"pos\"/>"
        "<fx id=\"tone\" type=\"eq\"/></quorle>");
    ASSERT_TRUE(fuzz.input && fuzz.node("lp") && fuzz.node("soft"));
    // Listed from the output back: tight, soft, fuzz, lp, pos, mix, tone.
    EXPECT_EQ(fuzz.node("soft")->next, fuzz.node("fuzz"));
    EXPECT_EQ(fuzz.node("soft")->hoist, fuzz.node("lp"));
    const int32_t spare = fuzz.node("lp")->earlySlot;
    EXPECT_EQ(spare, kNumSlots - 1) << "the highest slot, which no node uses";
    for (const AudioNode* n = fuzz.input.get(); n; n = n->next) {
        EXPECT_NE(n->outBuffer, spare) << n->name;
        EXPECT_NE(n->input ? n->input->outBuffer : kInputSlot, spare) << n->name;
        if (n != fuzz.node("soft")) {
            EXPECT_EQ(n->hoist, nullptr) << n->name;
        }
    }
    EXPECT_EQ(fuzz.node("tone")->earlySlot, -1);

    // A node between that writes the input slot: the low-pass keeps its place.
    const PlannedModel overwritten(
        "<quorle><fx id=\"lp\" type=\"eq\"/><fx id=\"tight\" type=\"eq\" input=\"in\"/>"
        "<fx id=\"fuzz\" type=\"sat\"/><mixer id=\"mix\" input=\"fuzz\" input2=\"lp\"/>"
        "</quorle>");
    ASSERT_TRUE(overwritten.node("fuzz"));
    const_cast<AudioNode*>(overwritten.node("fuzz"))->outBuffer = kInputSlot;
    planCascades(overwritten.input.get());
    EXPECT_EQ(overwritten.node("tight")->hoist, nullptr) << "its input is written on the way";
    const_cast<AudioNode*>(overwritten.node("fuzz"))->outBuffer = kFirstWorkSlot + 7;
    planCascades(overwritten.input.get());
    EXPECT_EQ(overwritten.node("tight")->hoist, overwritten.node("lp"));

    // A node between whose control follows another node: kept in place.
    AudioNode* fuzzNode = const_cast<AudioNode*>(overwritten.node("fuzz"));
    ParamMapping follow;
    follow.node = const_cast<AudioNode*>(overwritten.node("tight"));
    fuzzNode->params.push_back(follow);
    planCascades(overwritten.input.get());
    EXPECT_EQ(overwritten.node("tight")->hoist, nullptr) << "a control reads another node";
}

} // namespace
