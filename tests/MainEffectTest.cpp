// The main effect from end to end: parameters, the block path, model list and switching.
#include "ArchiveTestUtil.h"

#include "blocks/QrInv.h"
#include "graph/AudioNodeFX.h"
#include "graph/DividerAN.h"
#include "graph/MixerAudioNode.h"
#include "main/VorlixMac.h"

#include <algorithm>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

// Effect that fills its output with a constant: shows which model is running.
const char* kModelA = R"(<quorle><fx id="a_level" type="clip"/></quorle>)";
const char* kModelB = R"(<quorle><fx id="b_flip" type="inv"/></quorle>)";

// Pre-gain 1x, wide clip levels, post-gain 1x: passes the signal unchanged.
std::string unityClip() {
    return fxp({0.0625f, 10.0f, 10.0f, 0.0625f, 0.0f});
}
// A flat filter: K = 1, post gain 1, so the fixed stage passes the signal.
std::string flatFilter() {
    return fxp({1.0f, 0.0f, 0.1f, 0.5f, 0.95f, 0.5f, 1.0f});
}

void writeModels(PluginDir& dir, std::map<std::string, std::string> extra = {}) {
    std::map<std::string, std::string> entries = {
        {"a.xml", kModelA},         {"b.xml", kModelB},           {"a_level.fxp", unityClip()},
        {"bass.fxp", flatFilter()}, {"lo_mid.fxp", flatFilter()}, {"notes.txt", "not a model"},
        {"Model.XML", kModelA}};
    for (auto& [k, v] : extra)
        entries[k] = v;
    dir.archive("quorle.data", entries);
}

std::vector<float> tone(size_t n) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = 0.3f * std::sin(0.01f * static_cast<float>(i));
    return v;
}

std::vector<float> run(QrVorlixGeneric& fx, const std::vector<float>& in) {
    std::vector<float> out(in.size());
    float* i = const_cast<float*>(in.data());
    float* o = out.data();
    fx.process(&i, &o, static_cast<int32_t>(in.size()));
    return out;
}

TEST(MainEffect, InitLoadsTheFirstModelPresetsAndDrive) {
    PluginDir dir;
    writeModels(dir);
    auto fx = std::make_unique<VorlixMac>();
    fx->init();
    EXPECT_EQ(fx->modelNames,
              (std::vector<std::string>{"a.xml", "b.xml"})); // Model.XML is not listed
    ASSERT_NE(fx->graph, nullptr);
    EXPECT_EQ(fx->getParameter(3), 0.0f);
    EXPECT_EQ(fx->bassFilter.params.passes, 1); // from bass.fxp (the default is 4)
    EXPECT_EQ(gZipFile, nullptr);               // nothing held open
    char text[kTextSize];
    fx->getParameterDisplay(0, text);
    EXPECT_STREQ(text, "1.297442");
    fx->setParameter(0, 1.0f);
    fx->getParameterDisplay(0, text);
    EXPECT_STREQ(text, "3.436563");
    fx->setParameter(2, 1.0f);
    fx->getParameterDisplay(2, text);
    EXPECT_STREQ(text, "0.250000");
    EXPECT_EQ(fx->bassFilter.params.k, 0.625f);
    std::strcpy(text, "kept");
    fx->getParameterName(3, text);
    fx->getParameterDisplay(3, text);
    EXPECT_STREQ(text, "kept");
    EXPECT_EQ(fx->getParameter(2), 1.0f);
    EXPECT_EQ(VorlixMac().getParameter(2), 0.5f); // defined before the first set
}

TEST(MainEffect, ModelListSortsBytewise) {
    PluginDir dir;
    dir.archive("quorle.data", {{"b.xml", kModelA},
                                {"C.xml", kModelA},
                                {"a.xml", kModelA},
                                {"a.xml.bak", kModelA},
                                {"notes.txt", ""}});
    VorlixMac fx;
    fx.scanXml(gFxDir.c_str());
    EXPECT_EQ(fx.modelNames, (std::vector<std::string>{"C.xml", "a.xml", "a.xml.bak", "b.xml"}));
}

TEST(MainEffect, BlockPathGains) {
    PluginDir dir;
    writeModels(dir);
    VorlixMac fx;
    fx.init();
    fx.setParameter(1, 1.0f); // post-gain factor 8/9
    const std::vector<float> in = tone(1000);
    std::vector<float> out = run(fx, in);
    for (size_t i = 0; i < in.size(); ++i) // flat filters, unity clipper: drive x 8/9
        ASSERT_NEAR(out[i], in[i] * 1.2974424f * 8.0f / 9.0f, 1e-5f);

    fx.setParameter(1, 0.0f);
    out = run(fx, in);
    EXPECT_EQ(out, std::vector<float>(in.size(), 0.0f));
}

TEST(MainEffect, ZeroDriveSilencesWithoutAdvancingTheFilters) {
    PluginDir dir;
    writeModels(dir, {{"bass.fxp", fxp({1.0f, 0.0f, 0.1f, 0.5f, 0.9f, 0.9f, 1.0f})}});
    VorlixMac a, b;
    a.init();
    b.init();
    const std::vector<float> in = tone(500);
    a.setParameter(0, 0.0f);
    EXPECT_EQ(run(a, in), std::vector<float>(in.size(), 0.0f));
    a.setParameter(0, 0.5f);
    EXPECT_EQ(run(a, in), run(b, in)); // as if the silent block never happened
}

TEST(MainEffect, WithoutAGraphTheOutputIsTheBassFilteredInput) {
    PluginDir dir;
    const std::vector<float> shelf = {0.0f, 0.0f, 0.1f, 0.05f, 0.9f, 0.8f, 1.0f};
    dir.archive("quorle.data", {{"broken.xml", "<quorle><fx"}, {"bass.fxp", fxp(shelf)}});
    VorlixMac fx;
    fx.init(); // the only model does not parse: no graph
    EXPECT_EQ(fx.graph, nullptr);
    fx.setParameter(1, 1.0f);
    QrIIRFilter reference(masterCallback);
    for (int p = 0; p < 7; ++p)
        reference.setParameter(p, shelf[p]);
    const std::vector<float> in = tone(300);
    std::vector<float> expected(in.size());
    float* i = const_cast<float*>(in.data());
    float* e = expected.data();
    reference.process(&i, &e, 300);
    std::vector<float> out = run(fx, in);
    for (size_t k = 0; k < in.size(); ++k)
        ASSERT_FLOAT_EQ(out[k], expected[k] * 8.0f / 9.0f);
}

TEST(MainEffect, ModelSwitchingKeepsTheOldGraphOnEveryFailure) {
    PluginDir dir;
    writeModels(dir, {{"c.xml", "<quorle><fx id='x' type='eq' input='nobody'/></quorle>"},
                      {"d.xml", "<notquorle/>"},
                      {"e.xml", "<quorle><fx id="},
                      {"f.xml", std::string(70, '<') + "quorle>"}});
    VorlixMac fx;
    fx.init();
    ASSERT_EQ(fx.modelNames.size(), 6u);
    fx.setParameter(3, 1.9f); // truncated: model 1
    EXPECT_EQ(fx.getParameter(3), 1.0f);
    AudioNode* graph = fx.graph;
    for (float bad : {2.0f, 3.0f, 4.0f, 5.0f}) {
        fx.setParameter(3, bad);
        EXPECT_EQ(fx.graph, graph) << bad;
        EXPECT_EQ(fx.getParameter(3), 1.0f);
    }
    for (float outside : {6.0f, -1.0f, 1e20f, NAN})
        EXPECT_THROW(fx.setParameter(3, outside), std::out_of_range) << outside;
    EXPECT_EQ(fx.graph, graph);
    EXPECT_EQ(gZipFile, nullptr);
}

TEST(MainEffect, DeeplyNestedModelsAreRefusedBeforeParsing) {
    std::string deep = "<quorle>";
    for (int i = 0; i < 100000; ++i)
        deep += "<a>";
    PluginDir dir;
    writeModels(dir, {{"c.xml", deep}});
    VorlixMac fx;
    fx.init();
    EXPECT_FALSE(fx.loadXmlZ(2));
}

TEST(MainEffect, EmptyArchiveFailsInitWithOutOfRange) {
    PluginDir dir;
    dir.archive("quorle.data", {{"readme.txt", "x"}});
    VorlixMac fx;
    EXPECT_THROW(fx.init(), std::out_of_range);
    EXPECT_EQ(fx.graph, nullptr);
    PluginDir none;
    VorlixMac nothing;
    EXPECT_THROW(nothing.init(), std::out_of_range);
}

TEST(MainEffect, LongBlocksInPlaceAndSplitGiveTheSameOutput) {
    PluginDir dir;
    writeModels(dir, {{"bass.fxp", fxp({1.0f, 0.0f, 0.2f, 0.3f, 0.9f, 0.7f, 1.0f})}});
    VorlixMac whole, split, inPlace;
    for (VorlixMac* fx : {&whole, &split, &inPlace})
        fx->init();
    const size_t n = 2 * kSlotLength + 777; // longer than a work buffer
    const std::vector<float> in = tone(n);
    std::vector<float> a = run(whole, in);
    std::vector<float> b(n);
    for (size_t at = 0; at < n; at += 50000) {
        float* i = const_cast<float*>(in.data()) + at;
        float* o = b.data() + at;
        split.process(&i, &o, static_cast<int32_t>(std::min<size_t>(50000, n - at)));
    }
    std::vector<float> c = in;
    float* p = c.data();
    inPlace.process(&p, &p, static_cast<int32_t>(n));
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, c);
}

// Serves two output channels: its host answers "connected" for every pin.
intptr_t everythingConnected(AEffect*, int32_t, int32_t, intptr_t, void*, float) {
    return 0;
}
struct StereoEffect : QrVorlixGeneric {
    StereoEffect() : QrVorlixGeneric(everythingConnected) {}
    void enterCriticalSection() override { ++entered; }
    void leaveCriticalSection() override { ++left; }
    int entered = 0, left = 0;
};

TEST(MainEffect, TwoServedChannelsGetTheSameSignalAndHooksPair) {
    PluginDir dir;
    writeModels(dir);
    StereoEffect fx;
    gAudioMaster = masterCallback; // the building blocks still see one channel
    fx.init();
    const int afterInit = fx.entered;
    EXPECT_EQ(fx.left, afterInit);
    const std::vector<float> in = tone(256);
    std::vector<float> left(256), right(256, 7.0f);
    float* i = const_cast<float*>(in.data());
    float* outs[2] = {left.data(), right.data()};
    float* ins[1] = {i};
    fx.process(ins, outs, 256);
    EXPECT_EQ(left, right);
    EXPECT_EQ(fx.entered, afterInit + 1);
    EXPECT_EQ(fx.left, afterInit + 1);
    EXPECT_EQ(fx.dispatcher(12, 0, 1, nullptr, 0.0f), 0);
    fx.setParameter(0, 0.0f); // zero drive takes neither hook
    fx.process(ins, outs, 256);
    EXPECT_EQ(fx.entered, afterInit + 1);
}

TEST(MainEffect, InstancesOnSeveralThreadsSwitchModelsSafely) {
    PluginDir dir;
    writeModels(dir);
    auto worker = [] {
        VorlixMac fx;
        fx.init();
        std::vector<float> in = tone(128);
        for (int i = 0; i < 60; ++i) {
            fx.setParameter(3, static_cast<float>(i % 2));
            run(fx, in);
        }
    };
    std::thread a(worker), b(worker);
    a.join();
    b.join();
    SUCCEED();
}

} // namespace

namespace {

TEST(MainEffect, TheWalkNeverIndexesOutsideTheSlotsAndSilencesEmptyNodes) {
    PluginDir dir;
    writeModels(dir);
    VorlixMac fx;
    fx.init();
    fx.setParameter(1, 1.0f);
    // Hand-built: an effect reading a processor (no slot), one writing slot 60, and
    // a node without an effect whose slot the output mixer reads.
    auto* in = new AudioNodeFX;
    auto* proc = new DividerAN;
    auto* badInput = new AudioNodeFX;
    badInput->effect = new QrInv(masterCallback);
    badInput->input = proc;
    badInput->outBuffer = 2;
    auto* badOutput = new AudioNodeFX;
    badOutput->effect = new QrInv(masterCallback);
    badOutput->input = in;
    badOutput->outBuffer = 60;
    auto* empty = new AudioNodeFX;
    empty->input = in;
    empty->outBuffer = 3;
    auto* mix = new MixerAudioNode;
    mix->input = empty;
    mix->input2 = empty;
    mix->outBuffer = 1;
    in->next = proc;
    proc->next = badInput;
    badInput->next = badOutput;
    badOutput->next = empty;
    empty->next = mix;
    std::fill(fx.buffers[3][0], fx.buffers[3][0] + 64, 5.0f); // stale audio
    delete fx.graph;
    fx.graph = in;
    std::vector<float> out = run(fx, tone(64));
    EXPECT_EQ(out, std::vector<float>(64, 0.0f)); // the empty node's readers hear silence
}

} // namespace
