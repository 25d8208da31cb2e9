// The LV2 host (tools/measure/Lv2Timer) on the built bundle, timing and rendering,
// and peer-bench, the side-by-side CPU comparison, run as a user runs it on a short
// signal: quorle's rows carry positive finite figures, a peer that is not there is
// reported as such, and a bundle without the plug-in fails the run.
#include "tools/measure/Lv2Timer.h"
#include "tools/measure/Metrics.h"

#include "au/quorleIds.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace measure;

constexpr const char* kMono = "http://pellark.invalid/plugins/quorle#mono";
constexpr const char* kStereo = "http://pellark.invalid/plugins/quorle#stereo";

TEST(Lv2Timer, PlaysQuorleInAnyBlockAndRefusesWhatItCannotSet) {
    Lv2Timer timer(QUORLE_BUNDLE_DIR);
    const Signal input = repeated(phrase(44100.0), 3000);
    ASSERT_EQ(input.size(), 3000u);
    const struct {
        const char* uri;
        unsigned block, channels;
    } cases[] = {{kMono, 1, 1}, {kMono, 7, 1}, {kStereo, 512, 2}, {kStereo, 4096, 2}};
    for (const auto& c : cases) {
        auto plugin =
            timer.open(c.uri, {{"model", 3.0f}, {"oversampling", 2.0f}}, input, 44100.0, c.block);
        ASSERT_EQ(plugin->state(), TimedPlugin::State::Ready) << plugin->why();
        EXPECT_EQ(plugin->channels(), c.channels);
        const double seconds = plugin->play();
        EXPECT_TRUE(seconds > 0.0 && std::isfinite(plugin->speed(seconds))) << c.block;
    }
    auto typo = timer.open(kMono, {{"modle", 1.0f}}, input, 44100.0, 512);
    EXPECT_EQ(typo->state(), TimedPlugin::State::Failed);
    EXPECT_NE(typo->why().find("modle"), std::string::npos) << typo->why();
    EXPECT_EQ(timer.open("urn:quorle-test:nothing", {}, input, 44100.0, 512)->state(),
              TimedPlugin::State::NotInstalled);

    const auto models = timer.scalePoints(kMono, "model");
    ASSERT_EQ(models.size(), 6u);
    EXPECT_EQ(models.front(), std::make_pair(0.0f, std::string("1-clean")));
    EXPECT_EQ(timer.portDefault(kStereo, "oversampling"),
              static_cast<float>(kQuorleDefaultOversampling));
    EXPECT_FALSE(timer.portDefault(kMono, "nothing"));
}

TEST(Lv2Timer, RendersTheFirstOutputOfAFreshInstanceOrSaysWhyNot) {
    Lv2Timer timer(QUORLE_BUNDLE_DIR);
    const Signal input = sine(48000.0, 220.0, -12.0, 0.3);
    double levels[2] = {};
    const std::vector<PortSetting> settings[2] = {{{"drive", 0.0f}}, {}};
    for (int k = 0; k < 2; ++k) {
        auto plugin = timer.open(kMono, settings[k], input, 48000.0, 512, Lv2Timer::Start::Fresh);
        ASSERT_EQ(plugin->state(), TimedPlugin::State::Ready) << plugin->why();
        const Signal out = plugin->render();
        ASSERT_EQ(out.size(), input.size());
        levels[k] = rmsDb(out.data(), out.size());
    }
    EXPECT_LT(levels[0], -100.0); // drive 0 mutes
    EXPECT_GT(levels[1], -40.0);  // the defaults sound

    auto missing =
        timer.open("urn:quorle-test:nothing", {}, input, 48000.0, 512, Lv2Timer::Start::Fresh);
    EXPECT_EQ(missing->state(), TimedPlugin::State::NotInstalled);
    EXPECT_NE(missing->why().find("not installed"), std::string::npos) << missing->why();
    EXPECT_TRUE(missing->render().empty());
}

// Stands in for a plug-in: each play() takes the next of its CPU times.
class Scripted : public TimedPlugin {
  public:
    Scripted(State state, std::vector<double> times) : TimedPlugin(state, ""), mTimes(times) {
        mChannels = 2;
        mAudioSeconds = 10.0;
    }
    double play() override { return mTimes.at(mNext++); }

  private:
    std::vector<double> mTimes;
    size_t mNext = 0;
};

TEST(Lv2Timer, RoundsGiveTheFastestAndTheMedianPerChannel) {
    Scripted measured(TimedPlugin::State::Ready, {0.4, 0.1, 0.2}),
        missing(TimedPlugin::State::NotInstalled, {}), idle(TimedPlugin::State::Ready, {0, 0, 0});
    const auto speeds = timeRounds({&measured, &missing, &idle}, 3);
    ASSERT_TRUE(speeds[0]);
    EXPECT_DOUBLE_EQ(speeds[0]->fastest, 10.0 * 2 / 0.1);
    EXPECT_DOUBLE_EQ(speeds[0]->median, 10.0 * 2 / 0.2);
    EXPECT_FALSE(speeds[1]);
    EXPECT_FALSE(speeds[2]); // no positive time: no figure
}

struct BenchRun {
    int status = -1;
    std::vector<std::vector<std::string>> rows; // the Markdown table's cells
};

BenchRun peerBench(const std::string& arguments) {
    const std::string command = std::string(QUORLE_PEER_BENCH) +
                                " --seconds 1 --reps 1 --markdown " + arguments + " 2>/dev/null";
    BenchRun run;
    FILE* out = popen(command.c_str(), "r");
    if (!out)
        return run;
    char line[1024];
    while (std::fgets(line, sizeof line, out)) {
        std::stringstream row(line);
        std::string cell;
        if (!std::getline(row, cell, '|') || !cell.empty())
            continue; // a note
        std::vector<std::string> cells;
        while (std::getline(row, cell, '|')) {
            const size_t a = cell.find_first_not_of(' '), b = cell.find_last_not_of(' ');
            if (cell.find('\n') == std::string::npos)
                cells.push_back(a == std::string::npos ? "" : cell.substr(a, b - a + 1));
        }
        run.rows.push_back(cells);
    }
    const int status = pclose(out);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

const std::vector<std::string>* rowOf(const BenchRun& run, const std::string& plugin) {
    for (const std::vector<std::string>& row : run.rows)
        if (!row.empty() && row[0] == plugin)
            return &row;
    return nullptr;
}

TEST(PeerBench, TimesQuorleAndReportsAMissingPeer) {
    const BenchRun run = peerBench("--only quorle,nothing --models 0 --factors 1 "
                                   "--peer nothing=urn:quorle-test:nothing");
    EXPECT_EQ(run.status, 0);
    const struct {
        const char* plugin;
        const char* channels;
    } timed[] = {{"quorle mono", "1"}, {"quorle stereo", "2"}};
    for (const auto& t : timed) {
        const std::vector<std::string>* row = rowOf(run, t.plugin);
        ASSERT_TRUE(row && row->size() == 7) << t.plugin;
        EXPECT_EQ((*row)[2], t.channels);
        EXPECT_EQ((*row)[3], "0") << "no latency at factor 1";
        for (size_t c : {4u, 5u}) { // fastest, median: positive and finite
            const double speed = std::atof((*row)[c].c_str());
            EXPECT_TRUE(std::isfinite(speed) && speed > 0.0) << t.plugin << ": " << (*row)[c];
        }
    }
    const std::vector<std::string>* missing = rowOf(run, "nothing");
    ASSERT_TRUE(missing && missing->size() == 7);
    EXPECT_EQ((*missing)[4], "not installed");
}

TEST(PeerBench, FailsWhenQuorleIsNotInTheBundle) {
    const BenchRun run = peerBench("--bundle /nonexistent --only quorle");
    EXPECT_EQ(run.status, 1);
    for (const char* plugin : {"quorle mono", "quorle stereo"}) {
        const std::vector<std::string>* row = rowOf(run, plugin);
        ASSERT_TRUE(row && row->size() == 7) << plugin;
        EXPECT_EQ((*row)[4], "not installed");
    }
}

} // namespace
