// The random host of bench/Lv2Oracle.h as a test: a few seeds under every kind of
// worker, and the seeds that once found faults, kept. Its long run is
// bench/Lv2OracleRun.cpp.
#include "bench/Lv2Oracle.h"

namespace {

using namespace lv2oracle;

struct Lv2Oracle : Lv2Test {
    int played = 0; // steps taken by the last run()
    std::string run(uint64_t seed, Mode mode, int steps) {
        Oracle oracle(seed % 2 ? stereo : mono, mode, seed);
        const std::string wrong = oracle.run(steps);
        played = oracle.step;
        return wrong;
    }
};

// Seeds that found faults, kept: seed, worker, steps (the divergence's step).
const struct {
    uint64_t seed;
    Mode mode;
    int steps;
} kFound[] = {
    {2024, kReordered, 10},   // File with no file chosen plays the shipped cabinet before
    {2003, kSlow, 50},        // save() names a cabinet file patch:Set refused
    {2020, kAbsent, 49},      // no worker: a shipped cabinet chosen again plays none
    {2366, kImmediate, 49},   // 0, 5, back to 0 within the fade: 5 asked later plays 0
    {2273, kSlow, 51},        // the same with 0, 3, 0 then 3
    {2121, kImmediate, 49},   // the Cabinet port no longer heard after many changes
    {2147, kThreaded, 12},    // a respond() refused: the cabinet file never plays
    {2052, kThreaded, 456},   // a respond() refused earlier: a later archive is not taken
    {2281, kImmediate, 42},   // a respond() refused: a refused archive leaves one playing
    {5008, kSlow, 17},        // a file passed over while the worker was busy is chosen again
    {5020, kAbsent, 103},     // a model faded out through a factor change comes back off-rate
    {5006, kImmediate, 625},  // a state restored while its file was missing plays none
    {100103, kSlow, 87},      // a good file whose answer was lost is no fallback
    {100113, kSlow, 752},     // nor one whose request the host refused
    {200004, kReordered, 51}, // a rig made before a factor change plays apart
    {200298, kSlow, 716},     // a stale request overwrote the stored file a new rig needs
};

TEST_F(Lv2Oracle, EverySettleOfARandomSequencePlaysWhatTheStateSays) {
    for (int mode = 0; mode < kModes; ++mode)
        for (uint64_t seed = 1; seed <= 3; ++seed)
            EXPECT_EQ(run(seed, static_cast<Mode>(mode), 300), "");
    for (const auto& row : kFound)
        EXPECT_EQ(run(row.seed, row.mode, row.steps), "");
}

} // namespace
