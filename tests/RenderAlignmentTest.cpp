// quorle-render as a user runs it: at every oversampling factor the output has the
// input's length and an impulse's peak stays where it was; other factors are refused.
// A cabinet plays after the drive, each side of a stereo response on its own
// channel; one that cannot be played is named in one line and nothing is written.
// So is a model the graph builder refuses. A factory preset renders as the options
// it sets.
#include "tools/FactoryPresets.h"
#include "tools/ZipWriter.h"

#include "BundleWorld.h"
#include <gtest/gtest.h>
#include <lv2/core/lv2.h>
#include <lv2/presets/presets.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <string>
#include <vector>

namespace {

// A folder of the running test's own: ctest runs the tests of this file side by side,
// so no two may share a file (the renders' standard error among them).
std::string workDir() {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string dir =
        std::string(QUORLE_TEST_WORK_DIR) + "/" + test->test_suite_name() + "." + test->name();
    std::filesystem::create_directories(dir);
    return dir;
}

// `samples` interleaved, `channels` to a frame.
void writeWav(const std::string& path, const std::vector<float>& samples, int rate,
              int channels = 1) {
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size() / channels));
    sf_close(file);
}

std::vector<float> readWav(const std::string& path) {
    SF_INFO info = {};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file)
        return {};
    std::vector<float> samples(static_cast<size_t>(info.frames * info.channels));
    sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    return samples;
}

// The wait status; a render still running after a minute is ended (status 124).
int render(const std::string& options, const std::string& in, const std::string& out) {
    const std::string command = "timeout 60 " + std::string(QUORLE_RENDER) +
                                " --bundle " QUORLE_BUNDLE_DIR " " + options + " " + in + " " +
                                out + " 2>" + workDir() + "/render.err";
    return std::system(command.c_str());
}

TEST(RenderAlignment, AnImpulsePeaksAtItsInputPositionAtEveryFactor) {
    // A three-sample pulse: the oversampler's phase is not linear (its delay grows near
    // the top of the band), so a single sample's peak may tip a frame late; this one's
    // marks the delay at low frequencies.
    std::vector<float> impulse(5000, 0.0f);
    impulse[1233] = impulse[1235] = 0.25f;
    impulse[1234] = 0.5f;
    const std::string in = workDir() + "/impulse.wav";
    writeWav(in, impulse, 48000);
    for (const char* factor : {"1", "2", "4", "8", ""}) { // "": the default
        SCOPED_TRACE(factor);
        const std::string out = workDir() + "/impulse-" + factor + ".wav";
        const std::string options = *factor ? std::string("--oversampling ") + factor : "";
        ASSERT_EQ(render(options + " --drive 0.3 --block 300", in, out), 0);
        const std::vector<float> got = readWav(out);
        ASSERT_EQ(got.size(), impulse.size());
        size_t peak = 0;
        for (size_t i = 0; i < got.size(); ++i)
            if (std::fabs(got[i]) > std::fabs(got[peak]))
                peak = i;
        EXPECT_EQ(peak, 1234u);
        EXPECT_GT(std::fabs(got[peak]), 0.01f);
    }
    for (const char* bad : {"3", "0", "16", "two"})
        EXPECT_NE(render(std::string("--oversampling ") + bad, in, workDir() + "/x.wav"), 0) << bad;
}

// What the last render said on standard error.
std::string said() {
    std::ifstream in(workDir() + "/render.err");
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Each choice of cabinet that cannot be played stops the render before it starts,
// with status 2 and one line naming the file; a one-sample response is a plain gain.
TEST(RenderCabinet, AnUnplayableCabinetIsNamedAndNothingIsWritten) {
    const std::string in = workDir() + "/cabinet-in.wav", out = workDir() + "/cabinet-out.wav";
    writeWav(in, std::vector<float>(4800, 0.25f), 48000);
    const std::string dir = workDir() + "/cabinets/";
    std::system(("rm -rf " + dir + " && mkdir -p " + dir).c_str());
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::ofstream(dir + "empty.wav").close();
    std::ofstream(dir + "text.wav") << "RIFF, but not really";
    writeWav(dir + "gain.wav", {0.5f}, 48000);
    writeWav(dir + "long.wav", std::vector<float>(2 * 48000 + 1, 0.01f), 48000);
    writeWav(dir + "nan.wav", {0.5f, nan, 0.25f}, 48000);
    writeWav(dir + "eight.wav", std::vector<float>(8 * 64, 0.1f), 48000, 8);
    ASSERT_EQ(mkfifo((dir + "fifo.wav").c_str(), 0600), 0);
    const std::string tooLong = dir + std::string(4096, 'a') + ".wav";
    const struct {
        std::string file;
        int status;
        const char* says;
    } cases[] = {
        {dir + "empty.wav", 2, "empty"},
        {dir + "gain.wav", 0, ""},
        {dir + "long.wav", 2, "longer than 2 s"},
        {dir + "nan.wav", 2, "NaN"},
        {dir + "eight.wav", 2, "8 channels"},
        {dir + "text.wav", 2, "not a sound file"},
        {dir + "fifo.wav", 2, "not a regular file"},
        {tooLong, 2, "bytes long"},
        {dir + "missing.wav", 2, "No such file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.substr(dir.size(), 40));
        std::remove(out.c_str());
        const int status = render("--cabinet " + c.file, in, out);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.status);
        const std::string line = said();
        if (c.status == 0) {
            EXPECT_EQ(line, "");
            EXPECT_EQ(readWav(out).size(), 4800u);
            continue;
        }
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
        EXPECT_EQ(line.rfind("quorle-render: ", 0), 0u) << line;
        const std::string name = c.file.size() > 4095 ? c.file.substr(0, 24) : c.file;
        EXPECT_NE(line.find(name), std::string::npos) << line;
        EXPECT_NE(line.find(c.says), std::string::npos) << line;
        EXPECT_TRUE(readWav(out).empty()) << "no output";
    }
}

// Off is the default bit for bit; a shipped cabinet changes the sound and keeps it
// sounding; a stereo response gives the left channel its left side and the right
// its right (here +1 and -1: the right comes out inverted).
TEST(RenderCabinet, ACabinetPlaysAfterTheDriveOnEachChannel) {
    const std::string in = workDir() + "/stereo-in.wav", sides = workDir() + "/sides.wav";
    std::vector<float> both(2 * 9600);
    for (size_t n = 0; n < both.size() / 2; ++n)
        both[2 * n] = both[2 * n + 1] = 0.4f * static_cast<float>(std::sin(0.05 * n));
    writeWav(in, both, 48000, 2);
    writeWav(sides, {1.0f, -1.0f}, 48000, 2);
    auto rendered = [&](const std::string& options) {
        const std::string out = workDir() + "/stereo-out.wav";
        std::remove(out.c_str());
        EXPECT_EQ(render(options, in, out), 0) << options << ": " << said();
        return readWav(out);
    };
    const std::vector<float> plain = rendered("");
    ASSERT_EQ(plain.size(), both.size());
    EXPECT_EQ(rendered("--cabinet off"), plain);
    const std::vector<float> closed = rendered("--cabinet 4x12-closed");
    ASSERT_EQ(closed.size(), plain.size());
    EXPECT_NE(closed, plain);
    EXPECT_GT(*std::max_element(closed.begin(), closed.end()), 0.01f);
    const std::vector<float> split = rendered("--cabinet " + sides);
    ASSERT_EQ(split.size(), plain.size());
    float worst = 0.0f;
    for (size_t n = 0; n < plain.size(); n += 2)
        worst = std::max(
            {worst, std::fabs(split[n] - plain[n]), std::fabs(split[n + 1] + plain[n + 1])});
    EXPECT_LT(worst, 1e-6f);
    EXPECT_GT(*std::max_element(plain.begin(), plain.end()), 0.01f);
}

// A model the graph builder refuses (over the memory budget), of a player's archive
// or of the bundle's own: the run stops with status 2 and a last line naming the
// model, its archive and the builder's reason, and writes nothing; the archive's
// other model renders.
TEST(RenderModel, AModelTheBuilderRefusesIsNamedAndNothingIsWritten) {
    const std::string dir = workDir() + "/refused/";
    std::system(("rm -rf " + dir + " && mkdir -p " + dir + "bundle").c_str());
    std::string big = "<quorle>";
    for (int i = 0; i < 300; ++i)
        big += "\n<fx id=\"d" + std::to_string(i) + "\" type=\"delay\"/>";
    big += "</quorle>";
    const std::string good = R"(<quorle><fx id="a" type="sat"/></quorle>)";
    auto archive = [](const std::string& file, const std::string& first,
                      const std::string& second) {
        ZipWriter zip(file);
        zip.add("1.xml", first);
        zip.add("2.xml", second);
        ASSERT_TRUE(zip.close());
    };
    const std::string players = dir + "players.data", bundle = dir + "bundle";
    archive(players, good, big);
    archive(bundle + "/quorle.data", big, good);
    // A copy: the unit finds its directory through its own file's real path.
    ASSERT_EQ(std::system(("cp " QUORLE_BUNDLE_DIR "/quorle.so " + bundle).c_str()), 0);
    const std::string in = dir + "in.wav", out = dir + "out.wav";
    writeWav(in, std::vector<float>(4800, 0.25f), 48000);
    const std::string why = " cannot be played: 2.xml:211: the model takes more than 64 MB by here";
    const struct {
        std::string options;
        int status;
        std::string says;
    } cases[] = {
        {"--archive " + players + " --model 1", 2, "model 1 (2.xml) of " + players + why},
        {"--archive " + players, 0, ""},
        {"--bundle " + bundle, 2,
         "model 0 (1.xml) of " + bundle +
             "/quorle.data cannot be played: 1.xml:211: the model "
             "takes more than 64 MB by here"},
        {"--bundle " + bundle + " --model 1", 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        std::remove(out.c_str());
        const int status = render(c.options, in, out);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.status) << said();
        const std::string text = said();
        if (c.status == 0) {
            EXPECT_EQ(readWav(out).size(), 4800u);
            continue;
        }
        EXPECT_TRUE(readWav(out).empty()) << "no output";
        ASSERT_FALSE(text.empty());
        const size_t last = text.rfind('\n', text.size() - 2);
        EXPECT_EQ(text.substr(last == std::string::npos ? 0 : last + 1),
                  "quorle-render: " + c.says + "\n");
    }
}

// The bundle's factory presets as lilv, an LV2 host's library, reads them: each
// preset's URI fragment, its label and the options its port values stand for.
struct ListedPreset {
    std::string fragment, label, options;
};
std::vector<ListedPreset> listedPresets() {
    quorletest::BundleWorld w;
    const LilvPlugin* plugin = w.plugin("http://pellark.invalid/plugins/quorle#mono");
    std::map<long, std::string> cabinets; // the Cabinet port's menu
    LilvScalePoints* points = lilv_port_get_scale_points(plugin, w.port(plugin, "cabinet"));
    LILV_FOREACH(scale_points, i, points) {
        const LilvScalePoint* point = lilv_scale_points_get(points, i);
        cabinets[std::lround(lilv_node_as_float(lilv_scale_point_get_value(point)))] =
            lilv_node_as_string(lilv_scale_point_get_label(point));
    }
    lilv_scale_points_free(points);
    std::vector<ListedPreset> out;
    LilvNodes* presets = lilv_plugin_get_related(plugin, w.uri(LV2_PRESETS__Preset));
    LILV_FOREACH(nodes, i, presets) {
        const LilvNode* preset = lilv_nodes_get(presets, i);
        lilv_world_load_resource(w.world, preset);
        ListedPreset listed;
        const std::string uri = lilv_node_as_uri(preset);
        listed.fragment = uri.substr(uri.find('#') + 1);
        LilvNode* label = lilv_world_get(w.world, preset, w.uri(LILV_NS_RDFS "label"), nullptr);
        listed.label = label ? lilv_node_as_string(label) : "";
        lilv_node_free(label);
        LilvNodes* ports = lilv_world_find_nodes(w.world, preset, w.uri(LV2_CORE__port), nullptr);
        LILV_FOREACH(nodes, p, ports) {
            const LilvNode* port = lilv_nodes_get(ports, p);
            LilvNode* symbol = lilv_world_get(w.world, port, w.uri(LV2_CORE__symbol), nullptr);
            LilvNode* value = lilv_world_get(w.world, port, w.uri(LV2_PRESETS__value), nullptr);
            const std::string name = lilv_node_as_string(symbol);
            const float v = lilv_node_as_float(value);
            char text[32];
            std::snprintf(text, sizeof(text), "%.9g", v);
            listed.options += " --" + name + " " +
                              (name == "model"     ? std::to_string(std::lround(v))
                               : name == "cabinet" ? cabinets.at(std::lround(v))
                                                   : std::string(text));
            lilv_node_free(symbol);
            lilv_node_free(value);
        }
        lilv_nodes_free(ports);
        out.push_back(listed);
    }
    lilv_nodes_free(presets);
    return out;
}

// Every factory preset, by its short name, renders as the options it sets given one
// by one, bit for bit; by its label in other letter case too; a control given after
// it wins, one given before it does not; an unknown name is refused with one line
// listing the presets (status 2) and nothing is written.
TEST(RenderPreset, APresetRendersAsTheOptionsItSets) {
    const std::string in = workDir() + "/preset-in.wav", out = workDir() + "/preset-out.wav";
    std::vector<float> tone(4800);
    for (size_t n = 0; n < tone.size(); ++n)
        tone[n] = 0.3f * static_cast<float>(std::sin(0.04 * static_cast<double>(n)));
    writeWav(in, tone, 48000);
    auto rendered = [&](const std::string& options) {
        std::remove(out.c_str());
        EXPECT_EQ(render(options, in, out), 0) << options << ": " << said();
        return readWav(out);
    };
    const std::vector<ListedPreset> presets = listedPresets();
    ASSERT_EQ(presets.size(), 14u);
    std::map<std::string, std::vector<float>> by; // rendered by preset
    for (const ListedPreset& p : presets) {
        SCOPED_TRACE(p.fragment + p.options);
        const std::vector<float> alone = rendered(p.options);
        ASSERT_EQ(alone.size(), tone.size());
        EXPECT_EQ(rendered("--preset " + p.fragment), alone);
        by[p.fragment] = alone;
    }
    EXPECT_NE(by["classic-crunch"], by["crunch-stack-rig"]) << "the rig's cabinet plays";
    EXPECT_EQ(rendered("--preset 'RIG: LEAD STACK'"), by["lead-stack-rig"]);
    EXPECT_EQ(rendered("--drive 0.1 --model 0 --preset classic-crunch"), by["classic-crunch"]);
    std::map<std::string, std::string> options;
    for (const ListedPreset& p : presets)
        options[p.fragment] = p.options;
    const std::vector<float> driven = rendered("--preset classic-crunch --drive 0.1");
    EXPECT_EQ(driven, rendered(options["classic-crunch"] + " --drive 0.1"));
    EXPECT_NE(driven, by["classic-crunch"]);
    std::remove(out.c_str());
    const int status = render("--preset 'no such'", in, out);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
    const std::string line = said();
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
    for (const ListedPreset& p : presets)
        EXPECT_NE(line.find(p.fragment), std::string::npos) << line;
    EXPECT_TRUE(readWav(out).empty());
}

// The preset reader takes the lines the build writes and refuses, naming the line,
// what it cannot stand behind.
TEST(RenderPreset, TheReaderNamesTheLineOfWhatItCannotRead) {
    const std::string head = "<http://x/presets#a-b>\n\trdfs:label \"A b\" ;\n";
    const std::string tone = "\tlv2:port [ lv2:symbol \"model\" ; pset:value 3.0 ] ,\n"
                             "\t\t[ lv2:symbol \"drive\" ; pset:value 0.25 ] ,\n"
                             "\t\t[ lv2:symbol \"post\" ; pset:value 0.5 ] ,\n"
                             "\t\t[ lv2:symbol \"bass\" ; pset:value 0.75 ] .\n";
    std::vector<FactoryPreset> presets;
    std::string error;
    ASSERT_TRUE(parseFactoryPresets("# c\n" + head + tone, presets, error)) << error;
    ASSERT_EQ(presets.size(), 1u);
    EXPECT_EQ(findFactoryPreset(presets, "a B"), &presets[0]);
    EXPECT_EQ(findFactoryPreset(presets, "A-B"), &presets[0]);
    EXPECT_EQ(findFactoryPreset(presets, "a"), nullptr);
    EXPECT_EQ(presets[0].values,
              (std::map<std::string, double>{
                  {"model", 3.0}, {"drive", 0.25}, {"post", 0.5}, {"bass", 0.75}}));
    const std::pair<std::string, std::string> bad[] = {
        {head + tone + "\t[ lv2:symbol \"cabinet\" ; pset:value nan ] .\n",
         "line 7: port \"cabinet\""},
        {head + tone + "\t[ lv2:symbol \"post\" ; pset:value 0.1 ] .\n",
         "line 7: port \"post\" is set twice"},
        {tone + head, "line 1: a label or port before"},
        {head + tone.substr(0, tone.rfind("\t\t[")), "line 1: preset a-b does not set \"bass\""},
        {"<http://x/presets#c>\n" + tone + head + tone, "line 1: preset c has no label"},
    };
    for (const auto& [text, says] : bad) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(parseFactoryPresets(text, presets, error));
        EXPECT_EQ(error.rfind(says, 0), 0u) << error;
    }
}

} // namespace
