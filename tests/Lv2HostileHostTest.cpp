// The LV2 plug-in under a host that pushes the LV2 contract to its edges: an
// archive whose model the Model port reaches only as its eighth, a model the
// builder refuses, oversampling changes under a steady tone (one, and a ramp of
// them), and a start where the plug-in cannot play. (Restores while the worker is
// busy, late, reordered and repeated answers and cleanup with work in flight are
// the random host's, in Lv2OracleTest.cpp.)
#include "Lv2TestHost.h"
#include "QuorleUnitHost.h"

#include "blocks/LinearFade.h"
#include "blocks/Oversampler.h"
#include "lv2/Lv2Instance.h"
#include "main/DataArchive.h"
#include "tools/PluckedPhrase.h"
#include "tools/ZipWriter.h"

#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

struct Lv2HostileHost : quorletest::Lv2Test {};

constexpr uint32_t kBlock = 512;
constexpr double kRate = 48000.0;
// An archive change crossfades over 20 ms: 960 samples at 48 kHz.
constexpr size_t kFade = 960;
const std::string kBundle = std::string(QUORLE_BUNDLE_DIR) + "/";
// Two archives a player may name: the frozen first models (4) and the bundle's own
// file (6 models), which sound apart.
const std::string kPlayers = std::string(QUORLE_REFERENCE_DATA_DIR) + "quorle.data";
const std::string kShippedFile = kBundle + "quorle.data";

using namespace quorletest;
using Session = Lv2Session;

// The plucked phrase, `seconds` long, cut to whole blocks.
std::vector<float> phrase(double seconds) {
    std::vector<float> in = pluckedPhrase(kRate, seconds);
    in.resize(in.size() / kBlock * kBlock);
    return in;
}

// A player's archive of 8 models, made here from the shipped models and two more
// chains of their presets: set through the archive parameter, its models are named
// on the notify port (quorle#models, "0 name" a line), and the Model port reaches
// model 7 (at 7, at 7.3, and beyond the last at 63): the output is, bit for bit,
// the unit's own render of that archive and model, and not that of model 6.
TEST_F(Lv2HostileHost,
       TheModelPortReachesTheEighthModelAndARefusedOneIsNamedWhileTheOneBeforeStays) {
    ScratchDir dir;
    const std::string eight = dir.path + "eight.data";
    {
        const auto shipped = DataArchive::readFile(kShippedFile);
        ASSERT_EQ(shipped->modelNames().size(), 6u);
        ZipWriter zip(eight);
        for (const std::string& name : shipped->modelNames())
            zip.add(name, *shipped->model(name));
        zip.add("7-edge-into-lead-cab.xml",
                R"(<quorle><fx id="edge_tight" type="eq"/><fx id="edge_pre" type="eq"/>)"
                R"(<fx id="edge_amp" type="sat"/><fx id="lead_cab" type="eq"/></quorle>)");
        zip.add("8-crunch-into-hg.xml",
                R"(<quorle><fx id="crunch_tight" type="eq"/><fx id="crunch_amp" type="sat"/>)"
                R"(<fx id="hg_stage2" type="sat"/><fx id="hg_cab" type="eq"/></quorle>)");
        ASSERT_TRUE(zip.close());
    }
    const char* names = "0 1-clean\n1 2-edge\n2 3-crunch\n3 4-lead\n4 5-high-gain\n"
                        "5 6-octave-fuzz\n6 7-edge-into-lead-cab\n7 8-crunch-into-hg\n";
    const std::vector<float> in = phrase(0.5);
    const std::vector<float> later(in.begin() + kBlock, in.end()); // from the change on
    const std::vector<float> seventh = unitAlone(eight, 7, later),
                             sixth = unitAlone(eight, 6, later);
    ASSERT_EQ(seventh.size(), later.size());
    EXPECT_NE(seventh, sixth) << "models 6 and 7 sound apart";
    for (const float port : {7.0f, 7.3f, 63.0f}) {
        SCOPED_TRACE(port);
        Session s(mono, true); // an offline host: answers within schedule_work()
        s.plugin.controls[3] = port;
        s.plugin.setArchive(eight);
        s.run(in, 0); // the shipped archive's last model, then the change
        EXPECT_EQ(s.plugin.toldValue(quorlelv2::kModelsUri), names);
        EXPECT_EQ(s.plugin.toldValue(quorlelv2::kArchiveUri), eight);
        s.play(in, 1, in.size() / kBlock - 1);
        EXPECT_EQ(differing(s.out, kBlock + kFade, {seventh}, kFade), 0);
        EXPECT_NE(differing(s.out, kBlock + kFade, {sixth}, kFade), 0);
        EXPECT_EQ(s.log.mentions(eight + ": 8 models"), 1u);
        EXPECT_EQ(s.worker.failures, 0);
    }

    // The Model control reaches 64 models: the log says so of an archive of 65, and
    // says nothing of one of 64.
    for (const int count : {64, 65}) {
        const std::string many = dir.path + std::to_string(count) + ".data";
        ZipWriter zip(many);
        for (int i = 0; i < count; ++i)
            zip.add("m" + std::to_string(i) + ".xml", "<quorle/>");
        ASSERT_TRUE(zip.close());
        Session s(mono, true);
        s.plugin.setArchive(many);
        s.run(in, 0);
        EXPECT_EQ(s.log.mentions("the Model control reaches the first 64"), count == 65 ? 1u : 0u);
    }

    // Another archive's second model the graph builder refuses (over the memory
    // budget): once the port names it, the worker names it in the host's log with the
    // builder's reason, once, in the words quorle-render uses, and the model playing
    // stays, bit for bit.
    const std::string file = dir.path + "big.data";
    {
        ZipWriter zip(file);
        zip.add("1-good.xml", R"(<quorle><fx id="a" type="sat"/></quorle>)");
        zip.add("2-big.xml", overBudgetModel());
        ASSERT_TRUE(zip.close());
    }
    const std::string sentence = "quorle: model 1 (2-big.xml) of " + file +
                                 " cannot be played: 2-big.xml:211: the model takes more than "
                                 "64 MB by here\n";
    Out heard[2];
    for (const int asked : {0, 1}) {
        SCOPED_TRACE(asked);
        Session s(mono);
        s.plugin.setArchive(file);
        s.play(in, 0, 4);
        s.plugin.controls[3] = static_cast<float>(asked);
        s.play(in, 4, in.size() / kBlock - 4);
        EXPECT_EQ(std::count(s.log.messages.begin(), s.log.messages.end(), sentence), asked);
        EXPECT_EQ(s.worker.failures, 0);
        heard[asked] = s.out;
    }
    EXPECT_EQ(differing(heard[1], 0, heard[0], 0), 0);
    EXPECT_TRUE(finiteAndSounding(heard[1]));
}

// The largest step from one sample to the next in out[from, from + n).
float largestStep(const std::vector<float>& out, size_t from, size_t n) {
    float largest = 0.0f;
    for (size_t i = std::max<size_t>(from, 1); i < from + n; ++i)
        largest = std::max(largest, std::fabs(out[i] - out[i - 1]));
    return largest;
}

// The quietest and the loudest 5 ms RMS of out[from, from + n), windows sliding by
// a sample.
std::pair<double, double> windowLevels(const std::vector<float>& out, size_t from, size_t n) {
    const size_t window = static_cast<size_t>(kRate / 200);
    double sum = 0.0, quietest = 1e30, loudest = 0.0;
    for (size_t i = from; i < from + n; ++i) {
        sum += static_cast<double>(out[i]) * out[i];
        if (i >= from + window)
            sum -= static_cast<double>(out[i - window]) * out[i - window];
        if (i + 1 >= from + window) {
            const double rms = std::sqrt(std::max(sum, 0.0) / static_cast<double>(window));
            quietest = std::min(quietest, rms);
            loudest = std::max(loudest, rms);
        }
    }
    return {quietest, loudest};
}

// An oversampling change through the LV2 port while a steady 220 Hz sine plays at
// -12 dBFS (drive 0.5, model 0), for every pair of factors a player would step
// through. The output crossfades from the old factor to the new one, lined up, so
// from the change to 100 ms after it the level stays within 1 dB of the steady
// tone's (the quietest and loudest 5 ms before the change; a fade through silence
// falls 20 dB), and no sample steps more than 1 % further from the one before than
// the steady tone does (the delay that lines the factors up glides, playing the tone
// up to 0.6 % faster or slower for 20 ms; a cut would step some 30 times as far).
// The port is taken once it holds still, at the run() after the one that saw the
// change, and the latency port tells the new factor's latency from then on.
TEST_F(Lv2HostileHost, AnOversamplingChangeKeepsTheLevelAndDoesNotClick) {
    const std::pair<int, int> changes[] = {{2, 4}, {4, 1}, {1, 8}, {8, 2}};
    const size_t window = static_cast<size_t>(kRate / 10); // 100 ms
    const size_t change = 188 * 256;                       // a second to settle first
    std::vector<float> tone(change + 4 * window);
    const double amplitude = std::pow(10.0, -12.0 / 20.0);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<float>(amplitude * std::sin(2.0 * M_PI * 220.0 * i / kRate));
    for (const auto& [from, to] : changes) {
        SCOPED_TRACE(testing::Message() << from << "x to " << to << "x");
        Lv2Plugin plugin(mono, nullptr);
        plugin.controls[0] = 0.5f;
        plugin.factor = static_cast<float>(from);
        std::vector<float> out(tone.size());
        const uint32_t block = 256;
        float latencyAfter = -1.0f;
        for (size_t at = 0; at < tone.size(); at += block) {
            if (at == change)
                plugin.factor = static_cast<float>(to);
            plugin.run(tone.data() + at, out.data() + at, block);
            if (at == change) {
                EXPECT_EQ(plugin.latency, static_cast<float>(Oversampler::latencyFor(from)));
            }
            if (at == change + block)
                latencyAfter = plugin.latency;
        }
        EXPECT_EQ(latencyAfter, static_cast<float>(Oversampler::latencyFor(to)));
        EXPECT_NE(Oversampler::latencyFor(to), Oversampler::latencyFor(from));
        const float before = largestStep(out, change - window, window);
        const float during = largestStep(out, change, window);
        const float after = largestStep(out, change + 3 * window, window);
        EXPECT_GT(before, 0.001f) << "the tone is heard";
        EXPECT_GT(after, 0.001f);
        EXPECT_LE(during, std::max(before, after) * 1.01f);
        const auto [quiet, loud] = windowLevels(out, change - window, window);
        const auto [quietest, loudest] = windowLevels(out, change, window);
        EXPECT_GT(20.0 * std::log10(quietest / quiet), -1.0);
        EXPECT_LT(20.0 * std::log10(loudest / loud), 1.0);
    }
}

// A ramp of the port through the factors is one change, at its end. Ardour joins
// two automation points drawn from 8x to 1x with a line, the port new at every run
// (here 100 ms of runs of 256 frames, through 4x and 2x): the output is, sample for
// sample, what a single step from 8x to 1x at the ramp's last run plays, and the
// latency port stays 8x's until the run after the ramp. The same from 1x up to 8x.
// A port that never holds still (between 3.9 and 4.1 at every run) is taken once it
// has named the same factor for 500 ms.
TEST_F(Lv2HostileHost, ARampOfThePortIsOneChangeAtItsEnd) {
    constexpr uint32_t kRun = 256;
    const size_t change = 100 * kRun;
    const int ramp = static_cast<int>(0.1 * kRate / kRun); // runs
    std::vector<float> tone(change + 60 * kRun);
    for (size_t i = 0; i < tone.size(); ++i)
        tone[i] = static_cast<float>(0.25 * std::sin(2.0 * M_PI * 220.0 * i / kRate) +
                                     0.1 * std::sin(2.0 * M_PI * 3100.0 * i / kRate));
    for (const auto& [from, to] : {std::pair<float, float>{8, 1}, {1, 8}}) {
        SCOPED_TRACE(testing::Message() << from << "x to " << to << "x");
        std::vector<float> out[2] = {std::vector<float>(tone.size()),
                                     std::vector<float>(tone.size())};
        for (int stepped = 0; stepped < 2; ++stepped) {
            Lv2Plugin plugin(mono, nullptr);
            plugin.controls[0] = 0.5f;
            for (size_t at = 0; at < tone.size(); at += kRun) {
                const int run = (static_cast<int>(at) - static_cast<int>(change)) / kRun;
                const float along = at < change ? 0.0f : std::min(1.0f, float(run) / ramp);
                plugin.factor = stepped ? (along < 1.0f ? from : to) : from + (to - from) * along;
                plugin.run(tone.data() + at, out[stepped].data() + at, kRun);
                if (at >= change && run <= ramp) {
                    EXPECT_EQ(plugin.latency, Oversampler::latencyFor(int(from))) << run;
                }
                if (run == ramp + 1) {
                    EXPECT_EQ(plugin.latency, Oversampler::latencyFor(int(to)));
                }
            }
        }
        EXPECT_EQ(0, std::memcmp(out[0].data(), out[1].data(), tone.size() * sizeof(float)));
        EXPECT_GT(*std::max_element(out[0].end() - kRun, out[0].end()), 0.01f) << "heard";
    }
    Lv2Plugin plugin(mono, nullptr);
    std::vector<float> out(kRun);
    plugin.run(tone.data(), out.data(), kRun);
    int taken = -1;
    for (int run = 0; run < 200 && taken < 0; ++run) {
        plugin.factor = run % 2 ? 3.9f : 4.1f;
        plugin.run(tone.data(), out.data(), kRun);
        if (plugin.latency == Oversampler::latencyFor(4))
            taken = run;
    }
    // 500 ms at 48 kHz: 24000 frames, named through 94 runs (24064 frames) and taken
    // at the 95th.
    EXPECT_EQ(taken, 94);
}

// Start-up where the plug-in cannot play, mono and stereo: at 4000 Hz (below the
// rates it supports) the log names the rate and the range in one message; with a
// bundle holding no quorle.data the log names that file's path. Either instance
// runs, tells a latency of 0 and writes zeros over whatever the output held, also
// after a patch:Set of an archive.
TEST_F(Lv2HostileHost, AnInstanceThatCannotPlayNamesWhyAndOutputsSilence) {
    ScratchDir empty;
    const struct Case {
        const char* name;
        double rate;
        std::string bundle;
        std::vector<std::string> says;
    } cases[] = {
        {"4000 Hz", 4000.0, kBundle, {"4000 Hz", "8000", "384000"}},
        {"no data archive", kRate, empty.path, {empty.path + "quorle.data"}},
    };
    for (const Case& c : cases) {
        for (const LV2_Descriptor* d : {mono, stereo}) {
            SCOPED_TRACE(testing::Message() << c.name << ", " << d->URI);
            Session s(d, true, kBlock, c.rate, c.bundle.c_str());
            ASSERT_NE(s.plugin.h, nullptr);
            ASSERT_EQ(s.log.messages.size(), 1u);
            for (const std::string& part : c.says)
                EXPECT_NE(s.log.messages[0].find(part), std::string::npos) << s.log.messages[0];
            std::vector<float> in(kBlock, 0.25f), left(kBlock, 1.0f), right(kBlock, 1.0f);
            const float* ins[2] = {in.data(), in.data()};
            float* outs[2] = {left.data(), right.data()};
            s.plugin.latency = -1.0f;
            for (int b = 0; b < 4; ++b) {
                if (b == 2)
                    s.plugin.setArchive(kPlayers);
                s.plugin.run(ins, outs, kBlock);
                for (uint32_t ch = 0; ch < s.plugin.channels; ++ch)
                    EXPECT_EQ(std::count(outs[ch], outs[ch] + kBlock, 0.0f), kBlock) << b;
                std::fill(left.begin(), left.end(), 1.0f);
                std::fill(right.begin(), right.end(), 1.0f);
            }
            EXPECT_EQ(s.plugin.latency, 0.0f);
        }
    }
}

} // namespace
