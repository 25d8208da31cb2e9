// Model documents into graphs: node elements, references, params, order and slots.
#include "ArchiveTestUtil.h"
#include "GraphTestUtil.h"
#include "blocks/QrClipper.h"
#include "blocks/QrIIRFilter.h"
#include "effect/MasterCallback.h"
#include "graph/BuilderState.h"
#include "graph/DividerAN.h"
#include "graph/MixerAudioNode.h"
#include "graph/xmlreader.h"
#include "main/ModelDocument.h"
#include "main/QrVorlixGeneric.h"
#include "main/VorlixMac.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <tuple>

namespace {

using Graph = std::unique_ptr<AudioNode>;

// set, value, node, get of every param mapping of `node`.
using P = std::tuple<int, float, AudioNode*, int>;
std::vector<P> mappings(const AudioNode* node) {
    std::vector<P> got;
    for (const ParamMapping& p : node->params)
        got.emplace_back(p.set, p.value, p.node, p.get);
    return got;
}

// `n` effects listed first (the last mixer maps them all), one a line from line 2, then
// a chain of mixers m1.. that reads them one by one: all n stay live until the first
// mixer, which needs a slot of its own too.
std::string wideModel(int n) {
    std::string xml = "<quorle>\n", maps;
    for (int i = 0; i < n; ++i) {
        const std::string e = "e" + std::to_string(i);
        xml += "<fx id=\"" + e + "\" type=\"inv\" input=\"in\"/>\n";
        maps += "<param set=\"9\" node=\"" + e + "\" get=\"0\"/>";
    }
    for (int i = 1; i < n; ++i)
        xml += "<mixer id=\"m" + std::to_string(i) + "\" input=\"" +
               (i == 1 ? "e0" : "m" + std::to_string(i - 1)) + "\" input2=\"e" + std::to_string(i) +
               "\">" + (i == n - 1 ? maps : "") + "</mixer>\n";
    return xml + "</quorle>";
}

// "name:slot" of every node after the input node, in processing order; an effect
// node without an effect is marked with a '*'.
std::string order(const Graph& g) {
    std::string out;
    for (AudioNode* n = g->next; n; n = n->next) {
        std::string name = n->name;
        for (auto& [id, node] : gNodeMap)
            if (node == n && name.empty())
                name = id;
        if (n->kind == kFxNode && !n->effect)
            name += "*";
        out += (out.empty() ? "" : " ") + name + ":" + std::to_string(n->outBuffer);
    }
    return out;
}

TEST(ModelBuilder, ProcessingListAndSlots) {
    const std::pair<const char*, const char*> cases[] = {
        // The example model, after a declaration, a comment and another root.
        {R"(<?xml version="1.0"?><!-- c --><other/><quorle><fx id="drive1" type="clip"/>
            <fx id="tone1" type="eq"/><processor id="env" type="averager" input="in">
            <param set="0" value="441"/></processor><mixer id="out" input="tone1" input2="in">
            <param set="0" value="0.8"/><param set="1" node="env" get="0"/></mixer></quorle>)",
         "env:-1 drive1:3 tone1:2 out:1"},
        {R"(<quorle><fx id="a" type="eq"/><fx id="b" type="eq"/><fx id="c" type="eq"/>
            <fx id="d" type="eq"/></quorle>)",
         "a:2 b:3 c:2 d:1"},
        // An fx without "type" is a node without an effect, like an unknown word.
        {R"(<quorle><fx id="a"/><fx id="b" type="eq"/></quorle>)", "a*:2 b:1"},
        // An effect that only feeds a parameter gets a slot of its own to write
        // into, never the graph input's.
        {R"(<quorle><fx id="side" type="eq"/><processor id="p" type="divider" input="in">
            <param set="0" node="side" get="5"/></processor><mixer input="in" input2="in">
            <param set="0" node="p" get="2"/></mixer></quorle>)",
         "side:2 p:-1 :1"},
    };
    for (auto [xml, want] : cases) {
        Graph g = buildModel(xml);
        ASSERT_TRUE(g) << xml;
        EXPECT_EQ(g->outBuffer, 0);
        EXPECT_EQ(order(g), want);
    }
}

TEST(ModelBuilder, NamesWordsReferencesDuplicateIdsAndTheGraphInput) {
    // Element names and type words ignore case; attribute names and "param" do not;
    // an fx without id is passed over and the next element reads the node before it.
    Graph g = buildModel(R"(<quorle><FX id="a" type="EQ"/><fx ID="skipped" type="clip"/>
        <Mixer id="m" input2="in"><Param set="0" value="9"/></Mixer>
        <PROCESSOR type="Averager"><param set="0" value="3.9"/></PROCESSOR>
        <processor type="unknown"/><comment input="nowhere"/><fx id="z" type="delay" input="m"/>
      </quorle>)");
    ASSERT_TRUE(g);
    auto* m = dynamic_cast<MixerAudioNode*>(findNode("m"));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->input, findNode("a"));
    EXPECT_TRUE(m->params.empty());
    EXPECT_EQ(findNode("skipped"), nullptr);
    EXPECT_EQ(order(g), "a:3 m:2 z:1"); // the averager is built but nothing reads it

    // A second id names the later node; "in" may name another node.
    g.reset();
    g = buildModel(R"(<quorle><fx id="x" type="eq"/><fx id="y" type="eq" input="x"/>
        <fx id="x" type="clip" input="in"/><mixer id="in" input="y" input2="x"/>
        <fx id="last" type="inv" input="in"/></quorle>)");
    ASSERT_TRUE(g);
    auto* mixer = dynamic_cast<MixerAudioNode*>(findNode("last")->input);
    ASSERT_NE(mixer, nullptr);                                           // "in" now names the mixer
    EXPECT_NE(dynamic_cast<QrClipper*>(mixer->input2->effect), nullptr); // the second x
    EXPECT_NE(dynamic_cast<QrIIRFilter*>(mixer->input->input->effect), nullptr)
        << "y reads the first x";
}

// "code id line" of every reason the builder (and the document reader) gives.
// A graph comes back exactly when no reason refuses the model.
std::string reasonsOf(const std::string& xml) {
    TiXmlDocument doc;
    BuildReport report;
    Graph g;
    if (TiXmlElement* root = parseModelDocument(xml, doc, &report.reasons))
        g.reset(parseElement(root, 0, 1, &report));
    EXPECT_EQ(g != nullptr, !anyRefusal(report.reasons)) << xml;
    std::string out;
    for (const BuildReason& r : report.reasons)
        out += (out.empty() ? "" : ", ") + std::string(codeName(r.code)) + " " + r.id + " " +
               std::to_string(r.line);
    return out;
}

TEST(ModelBuilder, ParamAttributesAndMsOffAnAveragersWindowIgnored) {
    const std::string xml = R"(<quorle><fx id="a" type="eq"/>
        <mixer id="m" input="in" input2="in">
        <param set="0" ms="50" value="0.25"/>
        <param set="1" ms="50"/>
        <param set="2" ms="-1" node="a" get="3"/>
        <param set="3" ms="20" node="a"/></mixer></quorle>)";
    Graph g = buildModel(xml);
    ASSERT_TRUE(g);
    // "value"; else "node" with "get"; else the constant 1.0.
    const std::vector<P> want = {P{0, 0.25f, nullptr, 0}, P{1, 1.0f, nullptr, 0},
                                 P{2, 1.0f, findNode("a"), 3}, P{3, 1.0f, nullptr, 0}};
    EXPECT_EQ(mappings(findNode("m")), want);
    EXPECT_EQ(reasonsOf(xml), "preset-missing a 1, ms-ignored m 3, ms-ignored m 4, "
                              "ms-ignored m 5, ms-ignored m 6");
    // Odd attributes: a number's leading digits; a node without get is the constant 1.0;
    // no set, no mapping.
    g.reset();
    Graph d = buildModel(R"(<quorle><processor id="d" type="divider">
        <param set="2abc" value="5"/><param set=" -1" value="no digits"/><param set="3" node="in"/>
        <param value="7"/><param set="4" node="in" get="1"/><param set="99999999999" value="1e300"/>
      </processor><mixer input="in" input2="in"><param set="0" node="d" get="2"/></mixer></quorle>)");
    ASSERT_TRUE(d);
    EXPECT_EQ(mappings(d->next), (std::vector<P>{P{2, 5.0f, nullptr, 0}, P{-1, 0.0f, nullptr, 0},
                                                 P{3, 1.0f, nullptr, 0}, P{4, 1.0f, d.get(), 1},
                                                 P{INT32_MAX, INFINITY, nullptr, 0}}));
}

TEST(ModelBuilder, ModelsThatCannotRunAreRefused) {
    const char* refused[] = {
        R"(<quorle><fx id="a" type="eq" input="nobody"/></quorle>)",
        R"(<quorle><mixer input="in"/></quorle>)",
        R"(<quorle><mixer input="in" input2="ghost"/></quorle>)",
        R"(<quorle><processor id="p" type="divider"><param set="0" node="later" get="0"/>
           </processor><fx id="later" type="eq"/></quorle>)",
        R"(<quorle><processor id="p" type="averager"/><fx id="a" type="eq"/></quorle>)",
        R"(<quorle><processor id="p" type="divider"/><fx id="a" type="eq" input="p"/></quorle>)",
        R"(<quorle><processor id="p" type="divider"/><mixer input="in" input2="p"/></quorle>)",
        R"(<quorle><processor id="p" type="divider"/><processor type="averager" input="p"/></quorle>)",
        // A reference of a node nobody uses still refuses the model.
        R"(<quorle><fx id="unused" type="eq" input="typo"/><fx id="b" type="eq" input="in"/></quorle>)",
    };
    for (const char* xml : refused)
        EXPECT_FALSE(buildModel(xml)) << xml;

    // A divider may follow a processor: it does not read audio.
    EXPECT_TRUE(buildModel(R"(<quorle><processor id="e" type="averager"/>
        <processor type="divider"/><fx id="a" type="eq" input="in"/></quorle>)"));
}

// Models whose output nothing writes: no node element, or a last node that writes
// no audio (a processor, an fx of no known type).
const std::pair<const char*, const char*> kUnheardModels[] = {
    {"<quorle/>", ""},
    {"<quorle><nothing/><fx type=\"eq\"/></quorle>", ""},
    {R"(<quorle><fx id="a" type="eq"/><processor type="divider"/></quorle>)", "a:2 :1"},
    {R"(<quorle><fx id="a" type="clip"/><processor type="averager">
        <param set="0" value="64"/></processor></quorle>)",
     "a:2 :1"},
    {R"(<quorle><fx id="a" type="eq"/><fx id="b"/></quorle>)", "a:2 b*:1"},
    {R"(<quorle><fx id="a" type="eq"/><fx id="b" type="reverb"/></quorle>)", "a:2 b*:1"},
};

// Each gives a graph whose output slot is the input's, and the main effect plays it
// with the fixed stage's output in slot 1, block after block.
TEST(ModelBuilder, ModelsWhoseOutputNothingWritesRunWithTheFixedStageInSlotOne) {
    PluginDir dir;
    std::map<std::string, std::string> entries = {
        {"bass.fxp", fxp({0.0f, 0.0f, 0.1f, 0.05f, 0.9f, 0.8f, 1.0f})}};
    for (size_t m = 0; m < std::size(kUnheardModels); ++m)
        entries["m" + std::to_string(m) + ".xml"] = kUnheardModels[m].first;
    dir.archive("quorle.data", entries);
    VorlixMac fx;
    fx.init();
    ASSERT_EQ(fx.modelNames.size(), std::size(kUnheardModels));
    fx.setParameter(1, 1.0f); // post-gain factor 8/9
    std::vector<float> in(700);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = 0.3f * std::sin(0.01f * static_cast<float>(i));
    auto run = [](AudioEffect& effect, std::vector<float>& from, std::vector<float>& to, size_t at,
                  size_t n) {
        float* i = from.data() + at;
        float* o = to.data() + at;
        effect.process(&i, &o, static_cast<int32_t>(n));
    };
    for (int m = 0; m < static_cast<int>(std::size(kUnheardModels)); ++m) {
        const auto [xml, want] = kUnheardModels[m];
        Graph g = buildModel(xml);
        ASSERT_TRUE(g) << xml;
        EXPECT_EQ(g->outBuffer, kInputSlot) << xml;
        EXPECT_EQ(order(g), want) << xml; // no node element: the input node alone
        ASSERT_TRUE(fx.loadXmlZ(m)) << xml;
        ASSERT_NE(fx.graph, nullptr);
        // Slot 1 holds what the fixed stage put there: the bass filter's output.
        QrIIRFilter bass(masterCallback);
        fx.archive->applyPreset("bass.fxp", &bass);
        std::vector<float> expected(in.size()), out(in.size());
        fx.clearState();
        run(bass, in, expected, 0, in.size());
        for (size_t at = 0; at < in.size(); at += 350) // the graph runs on every block
            run(fx, in, out, at, 350);
        for (size_t k = 0; k < in.size(); ++k)
            ASSERT_EQ(out[k], expected[k] * (8.0f / 9.0f)) << xml << " " << k;
    }
    // "sat" names a block: a saturator last writes the output.
    Graph sat = buildModel(R"(<quorle><fx id="s" type="SAT"/></quorle>)");
    ASSERT_TRUE(sat);
    EXPECT_NE(sat->next->effect, nullptr);
}

TEST(ModelBuilder, EveryReasonWithItsElementAndLine) {
    const std::pair<std::string, const char*> cases[] = {
        // Several faults in one model: all of them, in document order.
        {"<quorle>\n<fx id=\"a\" type=\"eq\" input=\"nobody\"/>\n<mixer id=\"m\" input=\"in\"/>\n"
         "<processor id=\"p\" type=\"divider\"/>\n<fx id=\"b\" type=\"eq\" input=\"p\"/>\n"
         "<mixer id=\"n\" input=\"in\" input2=\"p\"/>\n<processor type=\"averager\" input=\"p\">\n"
         "<param set=\"0\" ms=\"0\"/><param set=\"1\" node=\"ghost\" "
         "get=\"0\"/></processor>\n</quorle>",
         "preset-missing a 2, unknown-reference a 2, mixer-without-input2 m 3, preset-missing b 5, "
         "processor-as-audio b 5, processor-as-audio n 6, ms-ignored  8, unknown-reference  8, "
         "processor-as-audio  7, no-output  7, never-runs a 2, never-runs b 5, never-runs n 6"},
        // Notices only: the model loads.
        {"<quorle>\n<fx id=\"side\" type=\"eq\"/>\n<note/>\n<fx type=\"eq\"/>\n"
         "<processor id=\"q\" type=\"reverb\"/>\n<fx id=\"z\" type=\"wah\" input=\"in\"/>\n"
         "<mixer id=\"out\" input=\"in\" input2=\"in\"><param value=\"2\"/></mixer>\n</quorle>",
         "preset-missing side 2, passed-over  3, passed-over  4, passed-over q 5, passed-over z 6, "
         "passed-over out 7, never-runs side 2, never-runs z 6"},
        // Nothing writes the output: noticed, and the model loads.
        {"<quorle>\n</quorle>", "no-output  1"},
        {"<quorle>\n<fx id=\"a\" type=\"eq\"/>\n<fx id=\"b\"/>\n</quorle>",
         "preset-missing a 2, passed-over b 3, no-output b 3"},
        {"<quorle>\n<fx id=\"a\" type=\"eq\"/>\n<processor id=\"p\" type=\"divider\"/>\n"
         "</quorle>",
         "preset-missing a 2, no-output p 3"},
        // The document itself: nesting (at the tag that goes too deep), XML, root.
        {"<quorle>\n" + std::string(70, ' ') + "\n" +
             [] {
                 std::string deep;
                 for (int i = 0; i < 70; ++i)
                     deep += "<a>";
                 return deep;
             }() +
             "\n</quorle>",
         "nesting-too-deep  3"},
        // An unclosed element: where the parser notices.
        {"<quorle>\n<fx id=\"a\" type=\"eq\">\n</quorle>", "unreadable  3"},
        {"<other/>", "unreadable  1"},
    };
    for (const auto& [xml, want] : cases)
        EXPECT_EQ(reasonsOf(xml), want) << xml;
    // Too many slots: at the node whose inputs cannot all be given one (47 effects
    // build); over the budget (320 KB a delay line): at the element that crossed it, once.
    std::string got = reasonsOf(wideModel(48));
    EXPECT_NE(got.find("too-many-slots m1 50"), std::string::npos) << got;
    EXPECT_FALSE(buildModel(wideModel(48)));
    EXPECT_TRUE(buildModel(wideModel(47)));
    std::string delays = "<quorle>";
    for (int i = 0; i < 300; ++i)
        delays += "\n<fx id=\"d" + std::to_string(i) + "\" type=\"delay\"/>";
    got = reasonsOf(delays + "</quorle>");
    EXPECT_FALSE(buildModel(delays + "</quorle>"));
    EXPECT_EQ(got.substr(got.rfind(", ") + 2), "over-memory-budget d209 211");
}

TEST(ModelBuilder, OnlyTheMemoryBudgetBoundsAModelCheckedBeforeAllocating) {
    // Only the memory budget bounds how many nodes a model has: 600 inverters in a
    // chain all run, alternating between two work slots.
    std::string many = "<quorle>";
    for (int i = 0; i < 600; ++i)
        many += "<fx id=\"i" + std::to_string(i) + "\" type=\"inv\"/>";
    Graph g = buildModel(many + "</quorle>");
    ASSERT_TRUE(g);
    int listed = 0;
    for (AudioNode* n = g->next; n; n = n->next, ++listed)
        EXPECT_EQ(n->outBuffer, n->next ? kFirstWorkSlot + listed % 2 : kOutputSlot) << listed;
    EXPECT_EQ(listed, 600);

    const std::string longest = R"(<param set="0" value="768000"/>)";
    EXPECT_FALSE(buildModel(averagerModel(500, longest))); // 1.5 GB of rings
    EXPECT_TRUE(buildModel(averagerModel(10, longest)));   // 30 MB
    EXPECT_TRUE(buildModel(averagerModel(500, R"(<param set="0" value="2205"/>)")));
    // A window another node sets may grow to the longest at run time.
    EXPECT_FALSE(buildModel(averagerModel(30, R"(<param set="0" node="in" get="0"/>)")));
    EXPECT_TRUE(buildModel(averagerModel(30, R"(<param set="1" node="in" get="0"/>)")));
}

// A source whose output parameter counts its reads.
struct CountingSource : AudioNodeProcessor {
    float getParam(int) override {
        ++reads;
        return 3.0f;
    }
    long reads = 0;
};

TEST(ModelBuilder, ChainedDividersAreEvaluatedOncePerBlock) {
    // Both inputs of every divider read the previous divider's ratio: evaluated on
    // demand that is 2^n reads of the source per block; once per block it is one.
    for (bool prepared : {true, false}) {
        AudioNode* in = startGraph();
        Graph graph(in);
        auto* source = new CountingSource;
        appendNode(source);
        AudioNode* previous = source;
        const int n = prepared ? 24 : 12;
        for (int i = 0; i < n; ++i) {
            auto* d = new DividerAN;
            d->params.push_back({1.0f, previous, i == 0 ? 0 : 2, 0});
            d->params.push_back({1.0f, previous, i == 0 ? 0 : 2, 1});
            appendNode(d);
            previous = d;
        }
        auto* mixer = new MixerAudioNode;
        mixer->input = mixer->input2 = in;
        mixer->params.push_back({1.0f, previous, 2, 0});
        mixer->outBuffer = kOutputSlot;
        appendNode(mixer);
        if (prepared)
            prepareGraph(in);

        static SlotTable slots;
        std::fill_n(slots.slot(kInputSlot), 64, 0.5f);
        source->reads = 0;
        walkGraph(in, slots.buffers(), 64);
        walkGraph(in, slots.buffers(), 64);
        // 3 / 3 = 1 all the way down; the mixer passes 1 x input + 1 x input.
        EXPECT_EQ(slots.slot(kOutputSlot)[63], 1.0f) << prepared;
        EXPECT_EQ(source->reads, prepared ? 2 * 2 : 2 * (1L << n)) << prepared;
    }
}

} // namespace
