// The player's data archive through the LV2 plug-in as a host drives it: the path
// parameter set with patch:Set and opened by the worker, the state saved and
// restored into a new instance, and every file that cannot be used named in the
// host's log while the shipped archive plays on.
#include "Lv2TestHost.h"
#include "QuorleUnitHost.h"

#include "tools/PluckedPhrase.h"

#include <fstream>

namespace {

struct Lv2Archive : quorletest::Lv2Test {};

constexpr uint32_t kBlock = 512;
constexpr const char* kArchiveUri = "http://pellark.invalid/plugins/quorle#archive";
const std::string kPlayers = std::string(QUORLE_REFERENCE_DATA_DIR) + "quorle.data";

using quorletest::unitAlone;

using Session = quorletest::Lv2Session;

// The first `blocks` blocks of `in`.
std::vector<float> head(const std::vector<float>& in, size_t blocks) {
    return std::vector<float>(in.begin(), in.begin() + static_cast<long>(blocks * kBlock));
}

// `a` from sample `at` on.
std::vector<float> from(const std::vector<float>& a, size_t at) {
    return std::vector<float>(a.begin() + static_cast<long>(at), a.end());
}

// A player's archive set on one instance while a second plays the shipped ones (as
// the unit alone does): the notify port and the log tell it, and the change fades
// from the unit playing to the new one over 20 ms (960 samples at 48 kHz), both
// rendering meanwhile: the output is, sample for sample, the old sound times 1 - g
// plus the new unit's (fresh, as alone) times g, g rising linearly to exactly 1, and
// the new unit's alone after. Its state keeps the path, and a new instance restored
// from it plays the same archive and model, bit for bit the unit's own.
TEST_F(Lv2Archive, APlayersArchiveIsSetCrossfadedToSavedAndRestoredAndOneThatCannotBeUsedIsNot) {
    const std::vector<float> in = pluckedPhrase(48000.0, 1.0);
    Session mine(mono, true), theirs(mono, true), restored(mono, true);
    mine.play(in, 0, 1);
    mine.plugin.setArchive(kPlayers); // opened in this run: the new unit plays from the next
    mine.play(in, 1, 1);
    EXPECT_EQ(mine.plugin.toldValue(kArchiveUri), kPlayers) << "the notify port tells it";
    EXPECT_EQ(mine.log.mentions(kPlayers + ": 4 models"), 1u);
    mine.play(in, 2, 38);
    const std::vector<float>& out = mine.out[0];
    const std::vector<float> old = theirs.play(in, 0, 40)[0];
    EXPECT_EQ(old, unitAlone("", 0, head(in, 40)));
    const std::vector<float> fresh = unitAlone(kPlayers, 0, from(head(in, 40), 2 * kBlock));
    ASSERT_EQ(fresh.size(), 38 * kBlock);
    const size_t start = 2 * kBlock, length = 960;
    long differing = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        float expected = old[i];
        if (i >= start + length) {
            expected = fresh[i - start];
        } else if (i >= start) {
            const float g = static_cast<float>(i - start + 1) / static_cast<float>(length);
            expected = old[i] * (1.0f - g) + fresh[i - start] * g;
        }
        differing += out[i] != expected;
    }
    EXPECT_EQ(differing, 0);

    quorletest::TestState state;
    ASSERT_EQ(mine.plugin.save(state), LV2_STATE_SUCCESS);
    EXPECT_EQ(state.values, mine.stateFor(kPlayers).values);
    ASSERT_EQ(restored.plugin.restore(state), LV2_STATE_SUCCESS);
    restored.plugin.controls[3] = 2.0f; // the host restores the ports beside the state
    restored.play(in, 0, 1);
    EXPECT_EQ(restored.plugin.toldValue(kArchiveUri), kPlayers);
    restored.play(in, 1, 39);
    EXPECT_EQ(restored.out[0], unitAlone(kPlayers, 2, head(in, 40)));
    EXPECT_NE(restored.out[0], unitAlone(kPlayers, 0, head(in, 40))) << "another model of it";

    // Files that cannot be used, and a path too long to take whole: each is named in
    // the log in one message, and the output is bit for bit what it was going to be.
    // One set while a player's archive plays goes back to the shipped archive.
    const quorletest::ScratchDir scratch;
    const std::string& dir = scratch.path;
    std::ofstream(dir + "empty.data").close();
    std::ofstream(dir + "text.data") << "not an archive";
    const std::string tooLong = "/" + std::string(kMaxArchivePathBytes + 10, 'a');
    struct Case {
        std::string path;
        const char* says;
    } cases[] = {
        {dir + "missing.data", "No such file or directory; the shipped models play"},
        {dir, "is a folder, not a data archive"},
        {dir + "empty.data", "is empty (0 bytes)"},
        {dir + "text.data", "not a data archive (not a zip file)"},
        {std::string(QUORLE_BUNDLE_DIR) + "/manifest.ttl", "not a data archive"},
        {tooLong, "was refused; the archive playing stays"},
    };
    const std::vector<float> reference = Session(mono).play(in, 0, 20)[0];
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        Session s(mono, true);
        s.play(in, 0, 1);
        s.plugin.setArchive(c.path);
        s.play(in, 1, 19);
        EXPECT_EQ(s.out[0], reference);
        ASSERT_EQ(s.log.messages.size(), 1u);
        EXPECT_NE(s.log.messages[0].find(c.says), std::string::npos) << s.log.messages[0];
    }
    // From a player's archive back to the shipped one: fresh, as the unit alone.
    Session s(mono, true);
    s.plugin.setArchive(kPlayers);
    s.play(in, 0, 2);
    s.plugin.setArchive(dir + "empty.data");
    s.play(in, 2, 1);
    // After the change's 960-sample crossfade.
    EXPECT_EQ(from(s.play(in, 0, 20)[0], 960), from(unitAlone("", 0, head(in, 20)), 960));
    EXPECT_EQ(s.log.messages.size(), 2u);
}

} // namespace
