// quorle-model check, graph and pack run as an author would run them.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const fs::path kSources = QUORLE_SOURCE_DIR "/data";

struct ToolRun {
    int status = -1;
    std::string out; // standard output and error together
};

// A scratch folder of the test's own, emptied first.
fs::path scratch(const std::string& name) {
    const fs::path dir = fs::path(QUORLE_TEST_PROGRAM_DIR) / "model-tool" / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The names in `dir`, sorted.
std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Runs the tool, stopped after `seconds` (status 124) when given.
ToolRun tool(const std::string& arguments, const fs::path& dir, int seconds = 0) {
    const fs::path out = dir / "output";
    const std::string limit = seconds > 0 ? "timeout " + std::to_string(seconds) + " " : "";
    const int status = std::system(
        (limit + QUORLE_MODEL_TOOL + " " + arguments + " >" + out.string() + " 2>&1").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(out)};
}

TEST(ModelTool, CheckExitStatusAndItsLines) {
    // What is no model file is opened once without blocking and refused in one line;
    // the tool is stopped after 10 s (status 124) rather than let a FIFO hang the test.
    const fs::path dir = scratch("check");
    const std::string fifo = (dir / "fifo.xml").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    writeFile(dir / "huge.xml", std::string((size_t(1) << 20) + 1, ' '));
    const struct {
        std::string xml;  // written to model.xml and checked, or
        std::string path; // checked as it is
        int status;
        const char* line; // a line the output must hold (the file's path comes first)
    } cases[] = {
        {readFile(kSources / "models/4-lead.xml"), "", 0, ""},
        {"<quorle>\n  <fx id=\"side\" type=\"eq\"/>\n  <fx id=\"b\" type=\"sat\" input=\"in\"/>\n"
         "</quorle>",
         "", 0,
         ":2: warning: side: fx is built but the output does not depend on it: it never runs"},
        {"<quorle>\n  <fx id=\"a\" type=\"eq\"/>\n  <mixer id=\"m\" input=\"a\" input2=\"typo\"/>\n"
         "</quorle>",
         "", 1, ":3: error: m: \"input2\" names no earlier node: \"typo\""},
        {"<quorle>\n  <fx id=\"a\" type=\"eq\">\n</quorle>", "", 1, ":3: error: not readable XML"},
        // Nothing writes the output: the model loads, and the author is warned.
        {"<quorle>\n</quorle>", "", 0,
         ":1: warning: no fx, mixer or processor element, so nothing writes the output: only "
         "the fixed stage will be heard"},
        {"<quorle>\n  <fx id=\"a\" type=\"eq\"/>\n  <processor type=\"divider\"/>\n</quorle>", "",
         0,
         ":3: warning: the last node is a processor, which writes no audio, so nothing writes "
         "the output: only the fixed stage will be heard"},
        // An "ms" off an averager's window is read without it.
        {"<quorle>\n  <mixer id=\"m\" input2=\"in\">\n    <param set=\"1\" ms=\"5\"/>\n"
         "  </mixer>\n</quorle>",
         "", 0,
         ":3: warning: m: \"ms\" is ignored here: it only gives an averager's window (set 0)"},
        {"", fifo, 1, ": error: not a regular file"},
        {"", "/dev/zero", 1, ": error: not a regular file"},
        {"", dir.string(), 1, ": error: a folder, not a file"},
        {"", (dir / "huge.xml").string(), 1, ": error: larger than 1 MB"},
        {"", (dir / "absent.xml").string(), 1, ""},
    };
    for (const auto& c : cases) {
        const std::string path = c.path.empty() ? (dir / "model.xml").string() : c.path;
        if (c.path.empty())
            writeFile(path, c.xml);
        const ToolRun run = tool("check " + path + " --presets " + kSources.string(), dir, 60);
        EXPECT_EQ(run.status, c.status) << path << "\n" << run.out;
        EXPECT_NE(run.out.find(path + c.line), std::string::npos) << run.out;
    }
    // A missing preset is a warning only when the presets are known.
    const std::string model = (dir / "model.xml").string();
    writeFile(model, "<quorle>\n<fx id=\"nopreset\" type=\"eq\"/>\n</quorle>");
    const ToolRun with =
        tool("check " + model + " --presets " + (kSources / "presets").string(), dir);
    EXPECT_NE(with.out.find(":2: warning: nopreset: no preset \"nopreset.fxp\""), std::string::npos)
        << with.out;
    EXPECT_EQ(tool("check " + model, dir).out.find("warning"), std::string::npos);
    EXPECT_EQ(tool("check", dir).status, 2);
}

// graph's picture holds every node and mapping (a mapping dashed and labelled with
// its indices, a node nobody reads grey, and a model whose output nothing writes says
// what is heard). The largest model is drawn quickly; Graphviz is stopped at the
// tool's limit on it, and a model over 512 nodes, which check accepts, is not drawn:
// either way no partial picture is left. Only SVG is written.
TEST(ModelTool, GraphPictureHoldsEveryNodeAndMappingWithinItsLimits) {
    const fs::path dir = scratch("graph");
    writeFile(dir / "m.xml", R"(<quorle><processor id="env" type="averager" input="in">
        <param set="0" ms="20"/></processor><fx id="idle" type="eq" input="in"/>
        <mixer id="mix" input="in" input2="in"><param set="1" node="env" get="0"/></mixer></quorle>)");
    writeFile(dir / "p.xml",
              R"(<quorle><fx id="a" type="eq"/><processor type="divider"/></quorle>)");
    // 512 mixers, each of the previous one and of "in": Graphviz's full layout of
    // edges this long takes minutes.
    std::string chain = "<quorle>", over = "<quorle>";
    for (int i = 0; i < 512; ++i)
        chain += "<mixer id=\"m" + std::to_string(i) + "\" input2=\"in\"/>";
    for (int i = 0; i < 600; ++i)
        over += "<fx id=\"i" + std::to_string(i) + "\" type=\"inv\"/>";
    writeFile(dir / "chain.xml", chain + "</quorle>");
    writeFile(dir / "over.xml", over + "</quorle>");
    const struct {
        fs::path model;
        std::string options; // the tool's own limit on Graphviz
        int status;
        std::string says;
        std::vector<std::string> holds = {};
    } cases[] = {
        {kSources / "models/6-octave-fuzz.xml",
         "",
         0,
         "",
         {">oct_lp<", ">oct_pos<", ">oct_flip<", ">oct_neg<", ">oct_sum<", ">oct_dc<",
          ">oct_tight<", ">oct_soft<", ">oct_fuzz<", ">oct_mix<", ">oct_tone<", ">oct_body<",
          ">#12, slot 1 (out)<"}}, // the last of twelve
        {dir / "m.xml", "", 0, "", {"get 0 &gt; set 1", "stroke-dasharray", ">never runs<"}},
        {dir / "p.xml", "", 0, "", {">fixed stage only<", ">#2, no audio<"}},
        {dir / "chain.xml", " --timeout 10", 0, "", {">m511<"}},
        {dir / "chain.xml", " --timeout 0.01", 2,
         "Graphviz's dot took longer than 0.01 s to lay the graph out and was stopped"},
        {dir / "over.xml", " --timeout 10", 2,
         "the model has 600 nodes; a picture holds at most 512"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tool("check " + c.model.string(), dir).status, 0);
        fs::remove(dir / "g.svg");
        const ToolRun run = tool(
            "graph " + c.model.string() + " -o " + (dir / "g.svg").string() + c.options, dir, 60);
        EXPECT_EQ(run.status, c.status) << c.model << c.options << "\n" << run.out;
        EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
        const std::string svg = readFile(dir / "g.svg");
        for (const std::string& s : c.holds)
            EXPECT_NE(svg.find(s), std::string::npos) << c.model << ": " << s;
        EXPECT_EQ(namesIn(dir).size(), c.status == 0 ? 6u : 5u) << "a partial picture is left";
    }
    EXPECT_EQ(
        tool("graph " + (dir / "m.xml").string() + " -o " + (dir / "m.gif").string(), dir).status,
        2);
}

TEST(ModelTool, PackMakesTheBuildsArchiveAndRefusesWhatCheckRefuses) {
    const fs::path dir = scratch("pack");
    const ToolRun run =
        tool("pack " + kSources.string() + " -o " + (dir / "quorle.data").string(), dir);
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(readFile(dir / "quorle.data"), readFile(QUORLE_DATA_DIR "quorle.data"));

    // A folder with a model check refuses, or a preset text that does not
    // compile, or no model at all: nothing is written.
    const fs::path bad = dir / "bad";
    const std::pair<const char*, const char*> cases[] = {
        {"<quorle><mixer input=\"in\"/></quorle>", "block eq\n"},
        {"<quorle><fx id=\"a\" type=\"eq\"/></quorle>", "block eq\nQ = 2\n"},
        {nullptr, "block eq\n"},
    };
    for (auto [model, preset] : cases) {
        fs::remove_all(bad);
        fs::create_directories(bad);
        if (model)
            writeFile(bad / "m.xml", model);
        writeFile(bad / "a.txt", preset);
        const ToolRun refused =
            tool("pack " + bad.string() + " -o " + (dir / "x.data").string(), dir);
        EXPECT_EQ(refused.status, 1) << refused.out;
        EXPECT_FALSE(fs::exists(dir / "x.data")) << refused.out;
    }
}

// pack writes no file it reads nor into its folders, and follows no link out of its
// folder.
TEST(ModelTool, PackWritesNoFileItReadsAndFollowsNoLinkOut) {
    const fs::path dir = scratch("pack-output");
    const fs::path src = dir / "src", elsewhere = dir / "elsewhere";
    for (const fs::path& d : {src / "models", src / "presets", src / "shared", elsewhere})
        fs::create_directories(d);
    const std::string model = readFile(kSources / "models/1-clean.xml");
    writeFile(src / "models/a.xml", model);
    writeFile(src / "presets/a.txt", "block eq\n");
    fs::create_hard_link(src / "models/a.xml", elsewhere / "hard.data");
    fs::create_symlink(src / "presets/a.txt", elsewhere / "soft.data");
    const struct {
        fs::path output;
        std::string says;
    } cases[] = {
        {src / "models/a.xml", " is one of the files it packs; write the archive elsewhere."},
        {src / "presets/a.txt", " is one of the files it packs; write the archive elsewhere."},
        {elsewhere / "hard.data",
         " is one of the files it packs (" + src.string() + "/models/a.xml)"},
        {elsewhere / "soft.data",
         " is one of the files it packs (" + src.string() + "/presets/a.txt)"},
        {src / "models/new.data", " is in " + src.string() + "/models, a folder pack reads"},
        {src / "models", " is a folder, not an archive to write."},
    };
    for (const auto& c : cases) {
        const ToolRun run = tool("pack " + src.string() + " -o " + c.output.string(), dir);
        EXPECT_EQ(run.status, 2) << run.out;
        EXPECT_NE(run.out.find("pack: " + c.output.string() + c.says), std::string::npos)
            << run.out;
        EXPECT_EQ(readFile(src / "models/a.xml"), model);
        EXPECT_EQ(readFile(src / "presets/a.txt"), "block eq\n");
        EXPECT_EQ(namesIn(src / "models"), std::vector<std::string>{"a.xml"});
    }
    // An archive already there is replaced whole through a name of the tool's own:
    // nothing else in its folder is touched and nothing is left behind.
    writeFile(elsewhere / "x.data", "old");
    writeFile(elsewhere / "x.data.partial", "the author's");
    const ToolRun run =
        tool("pack " + src.string() + " -o " + (elsewhere / "x.data").string(), dir);
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(readFile(elsewhere / "x.data").substr(0, 2), "PK");
    EXPECT_EQ(readFile(elsewhere / "x.data.partial"), "the author's");
    EXPECT_EQ(namesIn(elsewhere),
              (std::vector<std::string>{"hard.data", "soft.data", "x.data", "x.data.partial"}));

    writeFile(src / "shared/b.xml", model);
    writeFile(dir / "outside.xml", model); // a model that loads: refused for where it is
    fs::create_symlink("../shared/b.xml", src / "models/b.xml");
    const struct {
        fs::path link; // made, then the folder packed
        fs::path target;
        int status;
        std::string says;
    } links[] = {
        {src / "models/c.xml", dir / "outside.xml", 1,
         (src / "models/c.xml").string() + ": error: leads out of " + src.string()},
        {src / "models/p.xml", "/etc/passwd", 1,
         (src / "models/p.xml").string() + ": error: leads out of " + src.string() +
             " (to /etc/passwd)"},
        // A link within the folder is packed under its own name.
        {src / "models/d.xml", src / "models/a.xml", 0, "3 models"},
    };
    for (const auto& c : links) {
        fs::create_symlink(c.target, c.link);
        const ToolRun run = tool("pack " + src.string() + " -o " + (dir / "x.data").string(), dir);
        EXPECT_EQ(run.status, c.status) << run.out;
        EXPECT_NE(run.out.find(c.says), std::string::npos) << run.out;
        EXPECT_EQ(fs::exists(dir / "x.data"), c.status == 0) << run.out;
        fs::remove(c.link);
    }
}

} // namespace
