// peer-bench, the side-by-side CPU comparison, run as a user runs it on a short
// signal: quorle's rows carry positive finite figures, a peer that is not there is
// reported as such, and a bundle without the plug-in fails the run.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

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
        ASSERT_TRUE(row && row->size() == 6) << t.plugin;
        EXPECT_EQ((*row)[2], t.channels);
        for (size_t c : {3u, 4u}) { // fastest, median: positive and finite
            const double speed = std::atof((*row)[c].c_str());
            EXPECT_TRUE(std::isfinite(speed) && speed > 0.0) << t.plugin << ": " << (*row)[c];
        }
    }
    const std::vector<std::string>* missing = rowOf(run, "nothing");
    ASSERT_TRUE(missing && missing->size() == 6);
    EXPECT_EQ((*missing)[3], "not installed");
}

TEST(PeerBench, FailsWhenQuorleIsNotInTheBundle) {
    const BenchRun run = peerBench("--bundle /nonexistent --only quorle");
    EXPECT_EQ(run.status, 1);
    for (const char* plugin : {"quorle mono", "quorle stereo"}) {
        const std::vector<std::string>* row = rowOf(run, plugin);
        ASSERT_TRUE(row && row->size() == 6) << plugin;
        EXPECT_EQ((*row)[3], "not installed");
    }
}

} // namespace
