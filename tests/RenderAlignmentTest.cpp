// quorle-render as a user runs it: at every oversampling factor the output has the
// input's length and an impulse's peak stays where it was; other factors are refused.
// A cabinet plays after the drive, each side of a stereo response on its own
// channel; one that cannot be played is named in one line and nothing is written.
// So is a model the graph builder refuses. The factory presets as an LV2 host finds
// and applies them through lilv: both plug-ins list every preset with the port values
// of its row, every preset plays the plucked phrase at about the same level with
// headroom, and renders as the options it sets.
#include "Lv2TestHost.h"
#include "tools/FactoryPresets.h"
#include "tools/PluckedPhrase.h"
#include "tools/ZipWriter.h"

#include "BundleWorld.h"
#include <gtest/gtest.h>
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/presets/presets.h>
#include <lv2/urid/urid.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <tuple>
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

using quorletest::writeWav;

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

struct RenderRun {
    int status;             // the exit status; -1: ended by a signal
    std::string said;       // standard error
    std::vector<float> out; // what it wrote
};

// quorle-render on `in` with `options`; a render still running after a minute is
// ended (status 124).
RenderRun run(const std::string& options, const std::string& in) {
    const std::string out = workDir() + "/out.wav", err = workDir() + "/render.err";
    std::remove(out.c_str());
    const int status = std::system(("timeout 60 " + std::string(QUORLE_RENDER) +
                                    " --bundle " QUORLE_BUNDLE_DIR " " + options + " " + in + " " +
                                    out + " 2>" + err)
                                       .c_str());
    std::ifstream said(err);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
            std::string(std::istreambuf_iterator<char>(said), {}), readWav(out)};
}

// The samples of a run that has to succeed.
std::vector<float> rendered(const std::string& options, const std::string& in) {
    const RenderRun r = run(options, in);
    EXPECT_EQ(r.status, 0) << options << ": " << r.said;
    return r.out;
}

// Refused before it starts: status 2, a last line "quorle-render: ..." holding each
// of `says` (and `lines` lines in all unless -1), and nothing written.
void expectRefused(const std::string& options, const std::string& in,
                   const std::vector<std::string>& says, int lines = 1) {
    const RenderRun r = run(options, in);
    EXPECT_EQ(r.status, 2) << r.said;
    if (lines >= 0) {
        EXPECT_EQ(std::count(r.said.begin(), r.said.end(), '\n'), lines) << r.said;
    }
    const size_t last = r.said.rfind('\n', r.said.size() - 2);
    const std::string line = r.said.substr(last == std::string::npos ? 0 : last + 1);
    EXPECT_EQ(line.rfind("quorle-render: ", 0), 0u) << r.said;
    for (const std::string& s : says)
        EXPECT_NE(line.find(s), std::string::npos) << r.said;
    EXPECT_TRUE(r.out.empty()) << "no output";
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
        const std::string options = *factor ? std::string("--oversampling ") + factor : "";
        const std::vector<float> got =
            rendered(options + " --drive 0.3 --block 300 --cabinet off", in);
        ASSERT_EQ(got.size(), impulse.size());
        size_t peak = 0;
        for (size_t i = 0; i < got.size(); ++i)
            if (std::fabs(got[i]) > std::fabs(got[peak]))
                peak = i;
        EXPECT_EQ(peak, 1234u);
        EXPECT_GT(std::fabs(got[peak]), 0.01f);
    }
    for (const char* bad : {"3", "0", "16", "two"})
        EXPECT_NE(run(std::string("--oversampling ") + bad, in).status, 0) << bad;
}

// Each choice of cabinet that cannot be played stops the render before it starts,
// with status 2 and one line naming the file; a one-sample response is a plain gain.
// So does a model the graph builder refuses (over the memory budget), of a player's
// archive or of the bundle's own, naming the model, its archive and the builder's
// reason; the archive's other model renders.
TEST(RenderCabinet, ACabinetPlaysOnEachChannelAndAnUnplayableOneOrModelIsNamed) {
    const std::string in = workDir() + "/cabinet-in.wav";
    writeWav(in, std::vector<float>(4800, 0.25f), 48000);
    const std::string dir = workDir() + "/cabinets/";
    std::system(("rm -rf " + dir + " && mkdir -p " + dir + "bundle").c_str());
    std::ofstream(dir + "empty.wav").close();
    std::ofstream(dir + "text.wav") << "RIFF, but not really";
    writeWav(dir + "gain.wav", {0.5f}, 48000);
    writeWav(dir + "long.wav", std::vector<float>(2 * 48000 + 1, 0.01f), 48000);
    writeWav(dir + "nan.wav", {0.5f, std::nanf(""), 0.25f}, 48000);
    writeWav(dir + "eight.wav", std::vector<float>(8 * 64, 0.1f), 48000, 8);
    ASSERT_EQ(mkfifo((dir + "fifo.wav").c_str(), 0600), 0);
    const std::string tooLong = dir + std::string(4096, 'a') + ".wav";
    const std::string big = quorletest::overBudgetModel();
    const std::string good = R"(<quorle><fx id="a" type="sat"/></quorle>)";
    const std::string players = dir + "players.data", bundle = dir + "bundle";
    for (const auto& [file, first, second] :
         {std::tuple{players, good, big}, std::tuple{bundle + "/quorle.data", big, good}}) {
        ZipWriter zip(file);
        zip.add("1.xml", first);
        zip.add("2.xml", second);
        ASSERT_TRUE(zip.close());
    }
    // A copy: the unit finds its directory through its own file's real path.
    ASSERT_EQ(std::system(("cp " QUORLE_BUNDLE_DIR "/quorle.so " + bundle).c_str()), 0);
    const std::string why = " cannot be played: 2.xml:211: the model takes more than 64 MB by here";
    const struct {
        std::string options;
        std::vector<std::string> says; // empty: it renders
        int lines = 1;                 // of standard error; -1: any
    } cases[] = {
        {"--cabinet " + dir + "empty.wav", {dir + "empty.wav", "empty"}},
        {"--cabinet " + dir + "gain.wav", {}, 0},
        {"--cabinet " + dir + "long.wav", {dir + "long.wav", "longer than 2 s"}},
        {"--cabinet " + dir + "nan.wav", {dir + "nan.wav", "NaN"}},
        {"--cabinet " + dir + "eight.wav", {dir + "eight.wav", "8 channels"}},
        {"--cabinet " + dir + "text.wav", {dir + "text.wav", "not a sound file"}},
        {"--cabinet " + dir + "fifo.wav", {dir + "fifo.wav", "not a regular file"}},
        {"--cabinet " + tooLong, {tooLong.substr(0, 24), "bytes long"}},
        {"--cabinet " + dir + "missing.wav", {dir + "missing.wav", "No such file"}},
        {"--archive " + players + " --model 1", {"model 1 (2.xml) of " + players + why + "\n"}, -1},
        {"--archive " + players, {}, -1},
        {"--bundle " + bundle,
         {"model 0 (1.xml) of " + bundle +
          "/quorle.data cannot be played: 1.xml:211: the model takes more than 64 MB by here\n"},
         -1},
        {"--bundle " + bundle + " --model 1", {}, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options.substr(0, 80));
        if (!c.says.empty()) {
            expectRefused(c.options, in, c.says, c.lines);
            continue;
        }
        const RenderRun r = run(c.options, in);
        EXPECT_EQ(r.status, 0) << r.said;
        if (c.lines == 0) {
            EXPECT_EQ(r.said, "");
        }
        EXPECT_EQ(r.out.size(), 4800u);
    }

    // The default is the model's own cabinet, bit for bit (model 0, 1-clean, names the
    // 2x12-bright), and off is not; a shipped cabinet changes the sound and keeps it
    // sounding; a stereo response gives the left channel its left side and the right
    // its right (here +1 and -1: the right comes out inverted).
    const std::string stereo = workDir() + "/stereo-in.wav", sides = workDir() + "/sides.wav";
    std::vector<float> both(2 * 9600);
    for (size_t n = 0; n < both.size() / 2; ++n)
        both[2 * n] = both[2 * n + 1] = 0.4f * static_cast<float>(std::sin(0.05 * n));
    writeWav(stereo, both, 48000, 2);
    writeWav(sides, {1.0f, -1.0f}, 48000, 2);
    const std::vector<float> plain = rendered("--cabinet off", stereo);
    ASSERT_EQ(plain.size(), both.size());
    const std::vector<float> own = rendered("", stereo);
    EXPECT_EQ(own, rendered("--cabinet 2x12-bright", stereo));
    EXPECT_NE(own, plain);
    const std::vector<float> closed = rendered("--cabinet 4x12-closed", stereo);
    ASSERT_EQ(closed.size(), plain.size());
    EXPECT_NE(closed, plain);
    EXPECT_GT(*std::max_element(closed.begin(), closed.end()), 0.01f);
    const std::vector<float> split = rendered("--cabinet " + sides, stereo);
    ASSERT_EQ(split.size(), plain.size());
    float worst = 0.0f;
    for (size_t n = 0; n < plain.size(); n += 2)
        worst = std::max(
            {worst, std::fabs(split[n] - plain[n]), std::fabs(split[n + 1] + plain[n + 1])});
    EXPECT_LT(worst, 1e-6f);
    EXPECT_GT(*std::max_element(plain.begin(), plain.end()), 0.01f);
}

// ---- the factory presets ---------------------------------------------------------

struct Preset {
    const char* fragment; // of its URI: quorle-render's short name for it
    const char* label;
    const char* model; // the model port's label for it
    float drive, post, bass;
    const char* cabinet = nullptr; // the cabinet port's label; null: left as the player set it
};
const Preset kPresets[] = {
    {"clean-sparkle", "Clean sparkle", "1-clean", 0.4f, 0.48f, 0.4f},
    {"warm-clean", "Warm clean", "1-clean", 0.7f, 0.32f, 0.65f},
    {"edge-of-breakup", "Edge of breakup", "2-edge", 0.45f, 0.5f, 0.5f},
    {"blues-push", "Blues push", "2-edge", 0.75f, 0.35f, 0.55f},
    {"classic-crunch", "Classic crunch", "3-crunch", 0.6f, 0.35f, 0.5f},
    {"singing-lead", "Singing lead", "4-lead", 0.7f, 0.38f, 0.55f},
    {"modern-high-gain", "Modern high gain", "5-high-gain", 0.75f, 0.4f, 0.6f},
    {"tight-rhythm", "Tight rhythm", "5-high-gain", 0.55f, 0.42f, 0.35f},
    {"octave-fuzz", "Octave fuzz", "6-octave-fuzz", 0.75f, 0.36f, 0.5f},
    {"clean-combo-rig", "Rig: clean combo", "1-clean", 0.5f, 0.42f, 0.5f, "2x12-bright"},
    {"blues-combo-rig", "Rig: blues combo", "2-edge", 0.7f, 0.37f, 0.55f, "1x12-open"},
    {"crunch-stack-rig", "Rig: crunch stack", "3-crunch", 0.6f, 0.35f, 0.5f, "4x12-closed"},
    {"lead-stack-rig", "Rig: lead stack", "4-lead", 0.7f, 0.38f, 0.55f, "4x12-closed"},
    {"fuzz-combo-rig", "Rig: fuzz in a small combo", "6-octave-fuzz", 0.75f, 0.36f, 0.5f,
     "1x8-combo"},
};
const char* const kPlugins[] = {"http://pellark.invalid/plugins/quorle#mono",
                                "http://pellark.invalid/plugins/quorle#stereo"};

// Port symbol -> value, as lilv hands them to a host, with their atom types.
struct Restored {
    std::string fragment;
    std::map<std::string, float> values;
    std::set<LV2_URID> types;
};
void setValue(const char* symbol, void* user, const void* value, uint32_t, uint32_t type) {
    auto* r = static_cast<Restored*>(user);
    r->values[symbol] = *static_cast<const float*>(value);
    r->types.insert(type);
}

struct World : quorletest::BundleWorld {
    // Each preset of `p` by its label, its port values restored through lilv.
    std::map<std::string, Restored> presets(const LilvPlugin* p) {
        std::map<std::string, Restored> out;
        LilvNodes* related = lilv_plugin_get_related(p, uri(LV2_PRESETS__Preset));
        LILV_FOREACH(nodes, i, related) {
            const LilvNode* preset = lilv_nodes_get(related, i);
            lilv_world_load_resource(world, preset);
            LilvNode* label = lilv_world_get(world, preset, uri(LILV_NS_RDFS "label"), nullptr);
            LilvState* state = lilv_state_new_from_world(world, &urids.map, preset);
            if (label && state) {
                Restored& r = out[lilv_node_as_string(label)];
                const std::string name = lilv_node_as_uri(preset);
                r.fragment = name.substr(name.find('#') + 1);
                lilv_state_restore(state, nullptr, setValue, &r, 0, nullptr);
            }
            lilv_state_free(state);
            lilv_node_free(label);
        }
        lilv_nodes_free(related);
        return out;
    }
    // A port's menu (the model's, the cabinet's): value -> label.
    std::map<float, std::string> menu(const LilvPlugin* p, const char* port) {
        std::map<float, std::string> out;
        LilvScalePoints* points = lilv_port_get_scale_points(p, this->port(p, port));
        LILV_FOREACH(scale_points, i, points) {
            const LilvScalePoint* point = lilv_scale_points_get(points, i);
            out[lilv_node_as_float(lilv_scale_point_get_value(point))] =
                lilv_node_as_string(lilv_scale_point_get_label(point));
        }
        lilv_scale_points_free(points);
        return out;
    }
    quorletest::UriMap urids;
};

// RMS and peak in dBFS of the plucked phrase through the mono plug-in with its ports
// set to `values` (by symbol).
std::pair<double, double> level(const LV2_Descriptor* mono,
                                const std::map<std::string, float>& values) {
    quorletest::Lv2Plugin plugin(mono, nullptr);
    const char* const tone[] = {"drive", "post", "bass", "model"};
    for (int i = 0; i < 4; ++i)
        plugin.controls[i] = values.at(tone[i]);
    // A tone preset leaves the Cabinet as a fresh instance has it: the model's own.
    plugin.chooseCabinet(values.count("cabinet") ? values.at("cabinet") : -1.0f);
    std::vector<float> in = pluckedPhrase(48000.0), out(in.size());
    for (size_t at = 0; at < in.size(); at += 512)
        plugin.run(in.data() + at, out.data() + at,
                   static_cast<uint32_t>(std::min<size_t>(512, in.size() - at)));
    double sum = 0.0, peak = 0.0;
    for (float s : out) {
        sum += double(s) * s;
        peak = std::max(peak, double(std::fabs(s)));
    }
    return {10.0 * std::log10(sum / out.size()), 20.0 * std::log10(peak)};
}

// Both plug-ins list every preset with the port values of its row; each, as restored
// through lilv, plays the plucked phrase through the mono plug-in at about the same
// level with headroom.
TEST(Lv2Presets, EveryPresetRestoresItsControlsPlaysAtTheSameLevelAndRendersAsItsOptions) {
    World w;
    quorletest::Lv2Library library;
    ASSERT_NE(library.mono, nullptr) << dlerror();
    const LV2_URID floatType = w.urids.id(LV2_ATOM__Float);
    for (const char* uri : kPlugins) {
        SCOPED_TRACE(uri);
        const LilvPlugin* p = w.plugin(uri);
        ASSERT_NE(p, nullptr);
        std::map<std::string, Restored> found = w.presets(p);
        std::map<float, std::string> models = w.menu(p, "model");
        std::map<float, std::string> cabinets = w.menu(p, "cabinet");
        EXPECT_EQ(found.size(), std::size(kPresets));
        for (const Preset& preset : kPresets) {
            SCOPED_TRACE(preset.label);
            ASSERT_EQ(found.count(preset.label), 1u);
            const Restored& r = found[preset.label];
            EXPECT_EQ(r.fragment, preset.fragment);
            // The tone controls (and a rig's cabinet), nothing else: oversampling stays
            // the player's.
            ASSERT_EQ(r.values.size(), preset.cabinet ? 5u : 4u);
            if (preset.cabinet) {
                EXPECT_EQ(cabinets[r.values.at("cabinet")], preset.cabinet);
            }
            EXPECT_EQ(r.types, std::set<LV2_URID>{floatType});
            EXPECT_FLOAT_EQ(r.values.at("drive"), preset.drive);
            EXPECT_FLOAT_EQ(r.values.at("post"), preset.post);
            EXPECT_FLOAT_EQ(r.values.at("bass"), preset.bass);
            EXPECT_EQ(models[r.values.at("model")], preset.model);
            if (uri != kPlugins[0])
                continue;
            const auto [rms, peak] = level(library.mono, r.values);
            // Levelled on recordings (-24 dBFS from -21 dBFS takes); the phrase, whose
            // soft picking leaves the edge of breakup cleaner, within the stated range.
            EXPECT_GT(rms, -24.5);
            EXPECT_LT(rms, -19.0);
            // -2 dBFS: the oversampler's phase is not linear near the top of the band, and
            // the phrase's content above 16 kHz raises the clean presets' peaks (to -2.4).
            EXPECT_LT(peak, -3.0);
        }
    }

    // Every factory preset, by its short name, renders with quorle-render as the options
    // it sets given one by one, bit for bit; by its label in other letter case too; a
    // control given after it wins, one given before it does not; an unknown name is
    // refused with one line listing the presets (status 2) and nothing is written.
    const std::string in = workDir() + "/preset-in.wav";
    std::vector<float> tone(4800);
    for (size_t n = 0; n < tone.size(); ++n)
        tone[n] = 0.3f * static_cast<float>(std::sin(0.04 * static_cast<double>(n)));
    writeWav(in, tone, 48000);
    std::map<std::string, float> index; // the models' and cabinets' labels: their values
    for (const char* port : {"model", "cabinet"})
        for (const auto& [value, label] : w.menu(w.plugin(kPlugins[0]), port))
            index[label] = value;
    std::map<std::string, std::string> options;   // by preset
    std::map<std::string, std::vector<float>> by; // rendered by preset
    std::vector<std::string> names;
    for (const Preset& p : kPresets) {
        names.push_back(p.fragment);
        char text[128];
        std::snprintf(text, sizeof text, " --model %d --drive %.9g --post %.9g --bass %.9g",
                      int(index.at(p.model)), p.drive, p.post, p.bass);
        options[p.fragment] = text + (p.cabinet ? std::string(" --cabinet ") + p.cabinet : "");
        SCOPED_TRACE(p.fragment + options[p.fragment]);
        const std::vector<float> alone = rendered(options[p.fragment], in);
        ASSERT_EQ(alone.size(), tone.size());
        EXPECT_EQ(rendered(std::string("--preset ") + p.fragment, in), alone);
        by[p.fragment] = alone;
    }
    // A tone preset leaves the cabinet at the model's own, the one the crunch rig names.
    EXPECT_EQ(by["classic-crunch"], by["crunch-stack-rig"]);
    EXPECT_NE(rendered("--preset classic-crunch --cabinet off", in), by["classic-crunch"]);
    EXPECT_EQ(rendered("--preset 'RIG: LEAD STACK'", in), by["lead-stack-rig"]);
    EXPECT_EQ(rendered("--drive 0.1 --model 0 --preset classic-crunch", in), by["classic-crunch"]);
    const std::vector<float> driven = rendered("--preset classic-crunch --drive 0.1", in);
    EXPECT_EQ(driven, rendered(options["classic-crunch"] + " --drive 0.1", in));
    EXPECT_NE(driven, by["classic-crunch"]);
    expectRefused("--preset 'no such'", in, names);
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
