// The main effect from end to end: parameters, the block path, model list and switching.
#include "ArchiveTestUtil.h"
#include "GraphTestUtil.h"

#include "blocks/QrIIRFilter.h"
#include "blocks/QrInv.h"
#include "effect/MasterCallback.h"
#include "graph/DividerAN.h"
#include "main/DataArchive.h"
#include "main/VorlixMac.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace {

const char* kModelA = R"(<quorle><fx id="a_level" type="clip"/></quorle>)";
const char* kModelB = R"(<quorle><fx id="b_flip" type="inv"/></quorle>)";

// Two models, a clipper preset passing the signal unchanged and flat fixed filters
// (K = 1, post gain 1); `entries` adds to them or replaces them.
void writeModels(PluginDir& dir, std::map<std::string, std::string> entries = {}) {
    const std::string flat = fxp({1.0f, 0.0f, 0.1f, 0.5f, 0.95f, 0.5f, 1.0f});
    const std::string clip = fxp({0.0625f, 10.0f, 10.0f, 0.0625f, 0.0f});
    const std::map<std::string, std::string> base = {
        {"a.xml", kModelA},    {"b.xml", kModelB},   {"a_level.fxp", clip},
        {"bass.fxp", flat},    {"lo_mid.fxp", flat}, {"notes.txt", "not a model"},
        {"Model.XML", kModelA}};
    entries.insert(base.begin(), base.end());
    dir.archive("quorle.data", entries);
}

// The plug-in directory and an effect to initialise from it.
struct MainEffect : testing::Test {
    // Writes the models (with `entries`) and initialises the effect from them.
    void init(std::map<std::string, std::string> entries = {}) {
        writeModels(dir, std::move(entries));
        fx.init();
    }
    PluginDir dir;
    VorlixMac fx;
};

std::vector<float> tone(size_t n) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = 0.3f * std::sin(0.01f * static_cast<float>(i));
    return v;
}

std::vector<float> run(AudioEffect& fx, std::vector<float> in) {
    std::vector<float> out(in.size());
    float* i = in.data();
    float* o = out.data();
    fx.process(&i, &o, static_cast<int32_t>(in.size()));
    return out;
}

TEST_F(MainEffect, InitFailsWithoutModelsAndWithoutAGraphTheOutputIsTheBassFilteredInput) {
    VorlixMac missing, empty;
    EXPECT_THROW(missing.init(), std::out_of_range);
    dir.archive("quorle.data", {{"readme.txt", "x"}});
    EXPECT_THROW(empty.init(), std::out_of_range);
    EXPECT_EQ(empty.graph, nullptr);
    const std::vector<float> shelf = {0.0f, 0.0f, 0.1f, 0.05f, 0.9f, 0.8f, 1.0f};
    dir.archive("quorle.data", {{"broken.xml", "<quorle><fx"}, {"bass.fxp", fxp(shelf)}});
    fx.init(); // the only model does not parse: no graph
    EXPECT_EQ(fx.graph, nullptr);
    fx.setParameter(1, 1.0f);
    QrIIRFilter reference(masterCallback);
    for (int p = 0; p < 7; ++p)
        reference.setParameter(p, shelf[p]);
    const std::vector<float> in = tone(300), out = run(fx, in), expected = run(reference, in);
    for (size_t k = 0; k < in.size(); ++k)
        ASSERT_FLOAT_EQ(out[k], expected[k] * 8.0f / 9.0f);
}

TEST_F(MainEffect, ModelSwitchingKeepsTheOldGraphOnEveryFailure) {
    // The last model nests too deeply for the parser's recursion: refused before parsing.
    std::string deep = "<quorle>";
    for (int i = 0; i < 100000; ++i)
        deep += "<a>";
    init({{"c.xml", "<quorle><fx id='x' type='eq' input='nobody'/></quorle>"},
          {"d.xml", "<notquorle/>"},
          {"e.xml", "<quorle><fx id="},
          {"f.xml", deep}});
    ASSERT_EQ(fx.modelNames.size(), 6u);
    fx.setParameter(3, 1.9f); // truncated: model 1
    EXPECT_EQ(fx.getParameter(3), 1.0f);
    AudioNode* graph = fx.graph;
    // Each refusal keeps its reason, for messages: the reference, the root, the XML,
    // the nesting.
    const BuildCode why[] = {BuildCode::kUnknownReference, BuildCode::kUnreadable,
                             BuildCode::kUnreadable, BuildCode::kNestingTooDeep};
    for (float bad : {2.0f, 3.0f, 4.0f, 5.0f}) {
        fx.setParameter(3, bad);
        EXPECT_EQ(fx.graph, graph) << bad;
        EXPECT_EQ(fx.getParameter(3), 1.0f);
        ASSERT_FALSE(fx.lastRefusal().empty()) << bad;
        EXPECT_EQ(fx.lastRefusal().back().code, why[static_cast<int>(bad) - 2]) << bad;
    }
    for (float outside : {6.0f, -1.0f, 1e20f, NAN})
        EXPECT_THROW(fx.setParameter(3, outside), std::out_of_range) << outside;
    EXPECT_EQ(fx.graph, graph);
}

// Latin-1 text, declared as such or read byte by byte for want of a declaration,
// in a comment or an id: the model loads and plays.
TEST_F(MainEffect, Latin1ModelsLoadAndPlay) {
    init({{"c.xml", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<!-- d\xE9j\xE0 -->"
                    "<quorle><fx id=\"b_flip\" type=\"inv\"/></quorle>"},
          {"d.xml", "<quorle><!-- caf\xE9 --><fx id=\"fl\xEF\" type=\"inv\"/></quorle>"}});
    for (float model : {2.0f, 3.0f}) {
        fx.setParameter(3, model);
        EXPECT_EQ(fx.getParameter(3), model);
        EXPECT_LT(run(fx, {0.25f})[0], 0.0f) << model; // through its inverter
    }
}

// The first block of the current graph.
AudioEffectX* firstBlock(const QrVorlixGeneric& fx) {
    return fx.graph && fx.graph->next ? fx.graph->next->effect : nullptr;
}

TEST_F(MainEffect, ModelSwitchesAfterInitReadNoFile) {
    // Whatever becomes of the archive file after init (removed, or replaced by one
    // whose models and presets differ), every model still switches in as init read
    // it, with its presets, and the models that failed then still fail; an instance
    // initialised later reads the file as it is then.
    const std::string path = dir.path + "/quorle.data";
    for (bool replaced : {false, true}) {
        writeModels(dir, {{"c.xml", "<quorle><fx id="}});
        VorlixMac fx;
        fx.init();
        ASSERT_EQ(fx.modelNames.size(), 3u);
        std::filesystem::remove(path);
        if (replaced) {
            dir.archive("quorle.data", {{"a.xml", kModelB},
                                        {"b.xml", kModelA},
                                        {"c.xml", kModelA},
                                        {"a_level.fxp", fxp({0.5f, 0.5f})}});
            VorlixMac later; // initialised from the new file: switches through its models
            later.init();
            ASSERT_TRUE(later.loadXmlZ(0));
            EXPECT_NE(dynamic_cast<QrInv*>(firstBlock(later)), nullptr);
        }
        for (int round = 0; round < 2; ++round) {
            ASSERT_TRUE(fx.loadXmlZ(1)) << replaced;
            EXPECT_NE(dynamic_cast<QrInv*>(firstBlock(fx)), nullptr) << "b.xml as read by init";
            ASSERT_TRUE(fx.loadXmlZ(0)) << replaced;
            ASSERT_NE(firstBlock(fx), nullptr);
            EXPECT_EQ(firstBlock(fx)->getParameter(0), 0.0625f) << "a_level.fxp as read by init";
            EXPECT_FALSE(fx.loadXmlZ(2)) << "c.xml did not parse then";
            EXPECT_EQ(fx.currentModel, 0);
        }
    }
}

TEST_F(MainEffect, DispatcherAnswersZeroAndReachesTheGraphAndFilters) {
    EXPECT_EQ(fx.dispatcher(10, 0, 0, nullptr, 22050.0f), 0); // no graph yet
    init();
    for (int32_t opcode : {10, 12, 11, 9999})
        EXPECT_EQ(fx.dispatcher(opcode, 0, 256, nullptr, 96000.0f), 0) << opcode;
    EXPECT_EQ(fx.bassFilter.getSampleRate(), 96000.0f);
    EXPECT_EQ(fx.loMidFilter.getSampleRate(), 96000.0f);
    ASSERT_NE(fx.graph, nullptr);
    ASSERT_NE(fx.graph->next->effect, nullptr);
    EXPECT_EQ(fx.graph->next->effect->getSampleRate(), 96000.0f);
    EXPECT_EQ(fx.getSampleRate(), 44100.0f); // the main effect's own rate is not touched
}

TEST_F(MainEffect, PresetsWithValuesThatAreNotNumbersAreRefused) {
    // A model whose block preset holds infinity does not load; the old model keeps
    // playing. A fixed filter's preset holding NaN leaves that filter at its defaults.
    init({{"b_flip.fxp", fxp({INFINITY})},
          {"lo_mid.fxp", fxp({1.0f, 0.0f, 0.1f, NAN, 0.95f, 0.5f, 1.0f})}});
    EXPECT_EQ(fx.currentModel, 0);
    EXPECT_FALSE(fx.loadXmlZ(1));
    EXPECT_EQ(fx.currentModel, 0);
    QrIIRFilter fresh(masterCallback);
    EXPECT_EQ(fx.loMidFilter.params.freq, fresh.params.freq);
    EXPECT_EQ(fx.loMidFilter.params.order, fresh.params.order);
    for (float s : run(fx, tone(4096)))
        ASSERT_TRUE(std::isfinite(s));
}

TEST_F(MainEffect, ZeroDriveAndLongBlocksLeaveTheFiltersConsistent) {
    writeModels(dir, {{"bass.fxp", fxp({1.0f, 0.0f, 0.2f, 0.3f, 0.9f, 0.7f, 1.0f})}});
    VorlixMac whole, split, inPlace, left, right;
    for (VorlixMac* fx : {&whole, &split, &inPlace, &left, &right})
        fx->init();
    // Zero drive silences without advancing the filters: as if the block never happened.
    split.setParameter(0, 0.0f);
    EXPECT_EQ(run(split, tone(500)), std::vector<float>(500, 0.0f));
    split.setParameter(0, 0.5f);

    const size_t n = 2 * kSlotLength + 777; // longer than a work buffer
    const std::vector<float> in = tone(n), a = run(whole, in);
    std::vector<float> b, c = in;
    for (size_t at = 0; at < n; at += 50000) {
        const auto piece = run(split, {in.begin() + at, in.begin() + std::min(n, at + 50000)});
        b.insert(b.end(), piece.begin(), piece.end());
    }
    float* p = c.data();
    inPlace.process(&p, &p, static_cast<int32_t>(n));
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, c);
    // Two channels run as a pair, in place, in one call as long.
    std::vector<float> l = in, r = in;
    ASSERT_TRUE(QrVorlixGeneric::processPair(left, l.data(), right, r.data(), int32_t(n)));
    EXPECT_EQ(std::pair(l, r), std::pair(a, a));
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

TEST_F(MainEffect, TwoServedChannelsGetTheSameSignalAndHooksPair) {
    writeModels(dir);
    StereoEffect fx;
    gAudioMaster = masterCallback; // the building blocks still see one channel
    fx.init();
    const int afterInit = fx.entered;
    EXPECT_EQ(fx.left, afterInit);
    std::vector<float> in = tone(256), left(256), right(256, 7.0f);
    float* ins[1] = {in.data()};
    float* outs[2] = {left.data(), right.data()};
    fx.process(ins, outs, 256);
    EXPECT_EQ(left, right);
    EXPECT_EQ(fx.entered, afterInit + 1);
    EXPECT_EQ(fx.left, afterInit + 1);
    fx.setParameter(0, 0.0f); // zero drive takes neither hook
    fx.process(ins, outs, 256);
    EXPECT_EQ(fx.entered, afterInit + 1);
}

TEST_F(MainEffect, InitTheBlockPathGainsTheGraphWalkTheDriveAndThePreBass) {
    init();
    ASSERT_NE(fx.graph, nullptr);
    ASSERT_TRUE(fx.archive && fx.archive->found());
    EXPECT_EQ(VorlixMac().getParameter(2), 0.5f); // defined before the first set
    fx.setParameter(1, 1.0f);                     // post-gain factor 8/9
    const std::vector<float> in = tone(1000);
    std::vector<float> out = run(fx, in);
    for (size_t i = 0; i < in.size(); ++i) // flat filters, unity clipper: drive x 8/9
        ASSERT_NEAR(out[i], in[i] * 1.2974424f * 8.0f / 9.0f, 1e-5f);
    fx.setParameter(1, 0.0f);
    EXPECT_EQ(run(fx, in), std::vector<float>(in.size(), 0.0f));
    fx.setParameter(1, 1.0f);

    // The walk never indexes outside the slots and silences empty nodes.
    // Hand-built: an effect reading a processor (no slot), one writing slot 60, and
    // a node without an effect whose slot the output effect reads.
    AudioNode* input = startGraph();
    auto* proc = new DividerAN;
    auto* empty = fxNode(nullptr, input, 3, "empty");
    for (AudioNode* n : std::initializer_list<AudioNode*>{
             proc, fxNode(new QrInv(masterCallback), proc, 2, "x"),
             fxNode(new QrInv(masterCallback), input, 60, "y"), empty,
             fxNode(new QrInv(masterCallback), empty, kOutputSlot, "out")})
        appendNode(n);
    std::fill(fx.buffers[3][0], fx.buffers[3][0] + 64, 5.0f); // stale audio
    delete fx.graph;
    fx.graph = input;
    EXPECT_EQ(run(fx, tone(64)), std::vector<float>(64, 0.0f)); // readers of the empty node
    // The drive's factor at full control (at the default it shows on audio above).
    char text[kTextSize];
    fx.setParameter(0, 1.0f);
    fx.getParameterDisplay(0, text);
    EXPECT_STREQ(text, "3.436563");
    // Pre-bass tilts both fixed filters and recomputes them.
    for (float x : {0.0f, 0.3f, 1.0f}) {
        // The filters' order changed behind their back: only a recomputation of
        // the coefficients brings them in line with it.
        fx.bassFilter.params.order = 2;
        fx.loMidFilter.params.order = 2;
        fx.setParameter(2, x);
        EXPECT_EQ(fx.bassFilter.params.k, x * 0.25f + 0.375f) << x;
        EXPECT_EQ(fx.loMidFilter.params.k, (x * 0.25f) * -2.0f + 0.75f) << x;
        EXPECT_EQ(fx.getParameter(2), x);
        for (QrIIRFilter* f : {&fx.bassFilter, &fx.loMidFilter}) {
            FilterParams want = f->params;
            want.SetFreq(want.freq);
            EXPECT_EQ(f->params.b1, want.b1) << x;
            EXPECT_EQ(f->params.a2, want.a2) << x;
            EXPECT_EQ(f->params.a2, static_cast<float>(f->params.alpha)) << "order 2 in use";
        }
        fx.bassFilter.params.order = 1;
        fx.loMidFilter.params.order = 1;
        fx.setParameter(2, x);
        EXPECT_EQ(fx.bassFilter.params.a2, 0.0f) << "order 1 in use";
    }
}

// A model of exactly `size` bytes: one inverter and a comment of padding.
std::string modelOfSize(size_t size, const std::string& marker = "pad") {
    const std::string head = "<quorle><fx id=\"m\" type=\"inv\"/><!--" + marker,
                      tail = "--></quorle>";
    return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

TEST_F(MainEffect, ModelsOverOneMebibyteAndDamagedEntriesAreRefusedAndTheOldGraphPlays) {
    {
        ZipWriter zip(dir.path + "/quorle.data");
        zip.add("a.xml", modelOfSize(200));
        zip.add("b.xml", modelOfSize(1 << 20));
        zip.add("c.xml", modelOfSize((1 << 20) + 1));
        zip.add("d.xml", modelOfSize(300, "DAMAGED"), true); // stored: its bytes are in the file
        zip.add("e.xml", modelOfSize(300, "INTACT"), true);
        ASSERT_TRUE(zip.close());
    }
    // One byte of d's data changed; it is still a valid model, so only the checksum
    // can tell.
    const std::string path = dir.path + "/quorle.data";
    std::string bytes = fileBytes(path);
    const size_t at = bytes.find("DAMAGEDxx");
    ASSERT_NE(at, std::string::npos);
    bytes[at + 8] = 'y';
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;

    fx.init();
    ASSERT_EQ(fx.modelNames.size(), 5u);
    EXPECT_TRUE(fx.loadXmlZ(1)); // exactly 1 MiB
    AudioNode* graph = fx.graph;
    ASSERT_NE(graph, nullptr);
    EXPECT_FALSE(fx.loadXmlZ(2)); // one byte more
    EXPECT_FALSE(fx.loadXmlZ(3)); // a bad checksum
    EXPECT_EQ(fx.graph, graph);
    EXPECT_EQ(fx.currentModel, 1);
    EXPECT_TRUE(fx.loadXmlZ(4)); // the same model undamaged
}

} // namespace
