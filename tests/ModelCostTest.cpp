// quorle-model check's cost of a model: the warning's line at 2x real time and
// its one sentence, the speed as printed, and the cost measured for a model the
// archive lists (none for one it does not list, or no archive). The tool's own run
// on a shipped model and a pathological one is in ModelToolTest.
#include "tools/ModelCost.h"

#include "main/DataArchive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

using namespace authoring;

TEST(ModelCost, UnderTwiceRealTimeOneSentenceWarnsWithTheSpeedAsPrinted) {
    EXPECT_EQ(costWarning(2.0), "");
    EXPECT_EQ(costWarning(1171.6), "");
    for (const auto& [speed, shown] :
         {std::pair<double, const char*>{1.994, "1.99x"}, {0.391, "0.39x"}, {0.0, "0.00x"}}) {
        const std::string w = costWarning(speed);
        EXPECT_EQ(w.rfind(std::string("it runs at ") + shown + " real time, too slow", 0), 0u) << w;
        EXPECT_EQ(std::count(w.begin(), w.end(), '.'), 3)
            << "one sentence: three decimal points" << w;
        EXPECT_EQ(w.find('\n'), std::string::npos);
    }
    ModelCost cost;
    for (const auto& [speed, shown] :
         {std::pair<double, const char*>{1171.6, "1172x"}, {12.34, "12.3x"}, {2.0, "2.00x"}}) {
        cost.speed = speed;
        EXPECT_EQ(costLine(cost).rfind(std::string("runs at ") + shown + " real time (", 0), 0u)
            << costLine(cost);
    }
}

TEST(ModelCost, AModelTheArchiveListsIsPlayedAndTimed) {
    const auto archive = DataArchive::readDirectory(QUORLE_DATA_DIR);
    const std::optional<ModelCost> cost = measureModelCost(archive, "1-clean.xml", 0.5, 0.01);
    ASSERT_TRUE(cost);
    EXPECT_GT(cost->speed, 0.0);
    EXPECT_GE(cost->audioSeconds, 4 * 512 / 44100.0) << "four blocks at least";
    EXPECT_LE(cost->audioSeconds, 0.5);
    EXPECT_FALSE(measureModelCost(archive, "absent.xml"));
    EXPECT_FALSE(measureModelCost(nullptr, "1-clean.xml"));
}

} // namespace
