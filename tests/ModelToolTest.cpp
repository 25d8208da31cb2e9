// quorle-model check, graph and pack run as an author would run them, and
// quorle-render as a player would.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
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
ToolRun tool(const std::string& arguments, const fs::path& dir, int seconds = 0,
             const std::string& program = QUORLE_MODEL_TOOL) {
    const fs::path out = dir / "output";
    const std::string limit = seconds > 0 ? "timeout " + std::to_string(seconds) + " " : "";
    const int status =
        std::system((limit + program + " " + arguments + " >" + out.string() + " 2>&1").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readFile(out)};
}

ToolRun render(const std::string& arguments, const fs::path& dir) {
    return tool("--bundle " QUORLE_BUNDLE_DIR " " + arguments, dir, 60, QUORLE_RENDER_TOOL);
}

// A mono float WAV file.
void writeWav(const fs::path& path, int rate, const std::vector<float>& samples) {
    SF_INFO info = {0, rate, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 0, 0};
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    sf_write_float(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
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

// check plays a model that loads and prints its speed in x real time, with one
// sentence of warning under 2x (the model still loads). A shipped model runs
// hundreds of times faster than real time and a player's chain of 20,000
// equalisers at about 0.4x (2.6 times too slow), so the machine's load cannot tip
// either over the line. A refused model is not played.
TEST(ModelTool, CheckTellsAModelsSpeedAndWarnsWhenItCannotPlayInRealTime) {
    const fs::path dir = scratch("cost");
    std::string big = "<quorle>\n";
    for (int i = 0; i < 20000; ++i)
        big += "<fx id=\"n" + std::to_string(i) + "\" type=\"eq\"/>\n";
    writeFile(dir / "big.xml", big + "</quorle>\n");
    writeFile(dir / "bad.xml", "<quorle>\n  <mixer id=\"m\" input2=\"typo\"/>\n</quorle>\n");
    const std::string warning = ": warning: it runs at ";
    const std::string slow = "x real time, too slow to play in real time on this machine at 44.1 "
                             "kHz and 2x oversampling (a model needs 2.00x: a change of model "
                             "or oversampling runs it twice at once)\n";
    const fs::path shipped = kSources / "models/5-high-gain.xml";
    const ToolRun fast = tool("check " + shipped.string() + " --presets " + kSources.string(), dir);
    EXPECT_EQ(fast.status, 0) << fast.out;
    EXPECT_NE(fast.out.find(shipped.string() + ": runs at "), std::string::npos) << fast.out;
    EXPECT_NE(fast.out.find("x real time (one channel, 44.1 kHz, oversampling 2x; CPU time on "
                            "this machine)\n"),
              std::string::npos)
        << fast.out;
    EXPECT_EQ(fast.out.find("warning"), std::string::npos) << fast.out;

    const std::string model = (dir / "big.xml").string();
    const ToolRun run = tool("check " + model, dir, 120);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find(model + ": loads\n" + model + ": runs at "), std::string::npos)
        << run.out;
    const size_t at = run.out.find(model + warning);
    ASSERT_NE(at, std::string::npos) << run.out;
    const std::string sentence = run.out.substr(at + model.size() + warning.size());
    EXPECT_EQ(sentence.size() - sentence.find(slow), slow.size()) << "the last line: " << sentence;
    EXPECT_LT(std::stod(sentence), 2.0);

    const ToolRun refused = tool("check " + (dir / "bad.xml").string(), dir);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out.find("runs at"), std::string::npos) << refused.out;
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
    // A source of a gigabyte (sparse: nothing on disk) is refused unread.
    fs::resize_file(bad / "a.txt", size_t(1) << 30);
    const std::string huge = tool("pack " + bad.string() + " -o " + dir.string() + "/x", dir).out;
    EXPECT_NE(huge.find(bad.string() + "/a.txt: error: larger than 1 MB"), std::string::npos);
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
    fs::create_symlink("/dev/null", elsewhere / "null.data");
    ASSERT_EQ(mkfifo((elsewhere / "fifo.data").c_str(), 0600), 0);
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
        {elsewhere / "fifo.data", " is a FIFO, not a regular file to write."},
        {elsewhere / "null.data", " leads to /dev/null, a device, not a regular file to write."},
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
    // An archive already there, named through a link, is replaced whole through a
    // name of the tool's own: the link stays, nothing else in its folder is touched
    // and nothing is left behind.
    writeFile(elsewhere / "x.data", "old");
    writeFile(elsewhere / "x.data.partial", "the author's");
    fs::create_symlink("x.data", elsewhere / "via.data");
    const ToolRun run =
        tool("pack " + src.string() + " -o " + (elsewhere / "via.data").string(), dir);
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(readFile(elsewhere / "x.data").substr(0, 2), "PK");
    EXPECT_TRUE(fs::is_symlink(elsewhere / "via.data") && fs::is_fifo(elsewhere / "fifo.data"));
    EXPECT_EQ(readFile(elsewhere / "x.data.partial"), "the author's");
    EXPECT_EQ(namesIn(elsewhere),
              (std::vector<std::string>{"fifo.data", "hard.data", "null.data", "soft.data",
                                        "via.data", "x.data", "x.data.partial"}));

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

// OUTPUT is followed through links and replaced whole, even when it is the input;
// what is not a regular file is refused untouched, and so are options and files
// that cannot be used, each in one sentence with the reason.
TEST(RenderTool, AnOutputLinkReplacesItsTargetAndWhatCannotBeUsedIsNamed) {
    const fs::path dir = scratch("render-output");
    writeWav(dir / "in.wav", 48000, std::vector<float>(4800, 0.25f));
    fs::copy_file(dir / "in.wav", dir / "real.wav");
    fs::create_symlink("real.wav", dir / "link.wav");
    fs::create_symlink("new.wav", dir / "dangling.wav");
    fs::create_symlink("/dev/null", dir / "null.wav");
    fs::create_directories(dir / "folder.wav/bundle");
    ASSERT_EQ(mkfifo((dir / "fifo.wav").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((dir / "folder.wav/bundle/presets.ttl").c_str(), 0600), 0);
    // At full scale for 100 frames at 8 kHz: its ringing at 48 kHz is beyond a float.
    writeWav(dir / "loud.wav", 8000, std::vector<float>(100, 3.4e38f));
    const std::string in = (dir / "in.wav").string() + " ", at = dir.string() + "/";
    const std::pair<std::string, std::string> cases[] = {
        // arguments, what is said
        {at + "link.wav " + at + "link.wav", ""},
        {in + at + "dangling.wav", ""},
        {in + at + "fifo.wav", at + "fifo.wav is a FIFO, not a regular file to write"},
        {in + at + "null.wav",
         at + "null.wav leads to /dev/null, a device, not a regular file to write"},
        {in + at + "folder.wav", at + "folder.wav is a folder, not a regular file to write"},
        {"--block 99999999999999999999 " + in + at + "x.wav",
         "--block needs a whole number of frames, 1 or more, not \"99999999999999999999\""},
        {"--cabinet " + at + "loud.wav " + in + at + "x.wav",
         "cannot play the cabinet " + at +
             "loud.wav: resampled from 8000 to 48000 Hz, its samples grow beyond the largest a "
             "float holds"},
        {"--bundle " + at + "folder.wav/bundle --list-presets",
         "cannot read " + at + "folder.wav/bundle/presets.ttl: not a regular file"},
    };
    for (const auto& [arguments, says] : cases) {
        const ToolRun run = render(arguments, dir);
        EXPECT_EQ(run.status != 0, !says.empty()) << run.out;
        EXPECT_EQ(run.out, says.empty() ? "" : "quorle-render: " + says + "\n");
    }
    EXPECT_EQ(fs::file_size(dir / "real.wav"), fs::file_size(dir / "in.wav"));
    EXPECT_TRUE(fs::is_symlink(dir / "link.wav") && fs::is_symlink(dir / "dangling.wav"));
    EXPECT_EQ(namesIn(dir), (std::vector<std::string>{"dangling.wav", "fifo.wav", "folder.wav",
                                                      "in.wav", "link.wav", "loud.wav", "new.wav",
                                                      "null.wav", "output", "real.wav"}));
}

// An interrupted render leaves the file it would replace as it was and no temporary.
// Its input is a FIFO fed the start of a file, so the render waits mid-file.
TEST(RenderTool, AnInterruptedRenderLeavesTheOutputAsItWas) {
    const fs::path dir = scratch("render-signal");
    writeWav(dir / "whole.wav", 48000, std::vector<float>(48000, 0.25f));
    const std::string start = readFile(dir / "whole.wav").substr(0, 20000);
    const fs::path in = dir / "in.wav", out = dir / "out.wav";
    ASSERT_EQ(mkfifo(in.c_str(), 0600), 0);
    for (int signal : {SIGINT, SIGTERM}) {
        writeFile(out, "the take before");
        const pid_t pid = fork();
        if (pid == 0) {
            std::signal(signal, SIG_DFL); // as a terminal delivers it, whatever the test's
            execl(QUORLE_RENDER_TOOL, "quorle-render", "--bundle", QUORLE_BUNDLE_DIR, in.c_str(),
                  out.c_str(), nullptr);
            _exit(127);
        }
        // Fed once the render opens its input; interrupted once its temporary is there.
        int fifo = -1, ms = 0;
        for (; ms < 60000 && namesIn(dir).size() == 3; ++ms, usleep(1000))
            if (fifo < 0 && (fifo = open(in.c_str(), O_WRONLY | O_NONBLOCK)) >= 0 &&
                write(fifo, start.data(), start.size()) != ssize_t(start.size()))
                ADD_FAILURE() << "the input was not fed";
        kill(pid, signal);
        int status = 0;
        waitpid(pid, &status, 0);
        close(fifo);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_EQ(readFile(out), "the take before");
        EXPECT_EQ(namesIn(dir), (std::vector<std::string>{"in.wav", "out.wav", "whole.wav"}));
    }
}

// A cabinet file replaced while renders start is read once: each render plays what
// it read or names it, never failing between a check and a second read.
TEST(RenderTool, ACabinetBeingReplacedIsReadOnce) {
    const fs::path dir = scratch("render-cabinet");
    writeWav(dir / "in.wav", 48000, std::vector<float>(480, 0.25f));
    writeWav(dir / "cab.wav", 48000, std::vector<float>(480, 0.1f));
    const std::string bytes = readFile(dir / "cab.wav"), at = dir.string() + "/";
    std::atomic<bool> done{false};
    std::thread writer([&] { // the response and a text in turns, each whole
        for (bool text = false; !done; text = !text, usleep(1000)) {
            writeFile(dir / "next.wav", text ? "not a sound" : bytes);
            fs::rename(dir / "next.wav", dir / "cab.wav");
        }
    });
    for (int run = 0; run < 40; ++run) {
        const ToolRun r =
            render("--cabinet " + at + "cab.wav " + at + "in.wav " + at + "x.wav", dir);
        EXPECT_TRUE(
            r.status == 0 ||
            (r.status == 2 && r.out.rfind("quorle-render: cannot play the cabinet", 0) == 0))
            << r.out;
    }
    done = true;
    writer.join();
}

} // namespace
