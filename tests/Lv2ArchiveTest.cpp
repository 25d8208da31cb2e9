// The player's data archive through the LV2 plug-in as a host drives it: the path
// parameter set with patch:Set and opened by the worker, the state saved and
// restored into a new instance, and every file that cannot be used named in the
// host's log while the shipped archive plays on.
#include "Lv2TestHost.h"
#include "QuorleUnitHost.h"

#include "tools/PluckedPhrase.h"

#include <lv2/state/state.h>

#include <filesystem>
#include <fstream>
#include <map>

namespace {

constexpr uint32_t kBlock = 512;
const std::string kPlayers = std::string(QUORLE_REFERENCE_DATA_DIR) + "quorle.data";

using quorletest::unitAlone;

// Renders `blocks` blocks of `in` from block `first` through `plugin`, appended to `out`.
void play(quorletest::Lv2Mono& plugin, const std::vector<float>& in, size_t first, size_t blocks,
          std::vector<float>& out) {
    std::vector<float> block(kBlock);
    for (size_t b = first; b < first + blocks; ++b) {
        plugin.run(in.data() + b * kBlock, block.data(), kBlock);
        out.insert(out.end(), block.begin(), block.end());
    }
}

using State = std::map<uint32_t, std::pair<std::string, uint32_t>>; // key: value, type

LV2_State_Status store(LV2_State_Handle h, uint32_t key, const void* value, size_t size,
                       uint32_t type, uint32_t) {
    (*static_cast<State*>(h))[key] = {std::string(static_cast<const char*>(value), size), type};
    return LV2_STATE_SUCCESS;
}
const void* retrieve(LV2_State_Handle h, uint32_t key, size_t* size, uint32_t* type,
                     uint32_t* flags) {
    auto& state = *static_cast<State*>(h);
    const auto found = state.find(key);
    if (found == state.end())
        return nullptr;
    *size = found->second.first.size();
    *type = found->second.second;
    *flags = LV2_STATE_IS_POD;
    return found->second.first.data();
}

const LV2_State_Interface* stateOf(const quorletest::Lv2Mono& plugin) {
    return static_cast<const LV2_State_Interface*>(plugin.d->extension_data(LV2_STATE__interface));
}

bool logged(const quorletest::TestLog& log, const std::string& text) {
    for (const std::string& m : log.messages)
        if (m.find(text) != std::string::npos)
            return true;
    return false;
}

// A player's archive set on one instance plays its models (a second instance plays
// the shipped ones meanwhile); the notify port and the log tell it; its state keeps
// the path, and a new instance restored from it plays the same archive and model:
// each output bit for bit the unit's own for that archive and model.
TEST(Lv2Archive, APlayersArchiveIsSetSavedAndRestored) {
    quorletest::Lv2Library library;
    ASSERT_NE(library.mono, nullptr) << dlerror();
    quorletest::UriMap uris;
    quorletest::TestLog log;
    quorletest::TestWorker worker, other, restoredWorker;
    worker.immediate = other.immediate = restoredWorker.immediate = true;
    const std::vector<float> in = pluckedPhrase(48000.0, 1.0);
    std::vector<float> first, shipped, players, restoredOut;
    {
        quorletest::Lv2Mono mine(library.mono, &worker, &uris, &log);
        quorletest::Lv2Mono theirs(library.mono, &other, &uris, &log);
        play(mine, in, 0, 1, first);
        mine.setArchive(kPlayers); // opened after this run, played from the next
        play(mine, in, 1, 1, first);
        EXPECT_NE(mine.told().find(kPlayers), std::string::npos) << "the notify port tells it";
        EXPECT_TRUE(logged(log, kPlayers + ": 4 models")) << log.messages.size();
        play(mine, in, 0, 40, players);
        play(theirs, in, 0, 40, shipped);
        // After the change's 960-sample crossfade (see below).
        const std::vector<float> alone =
            unitAlone(kPlayers, 0, std::vector<float>(in.begin(), in.begin() + 40 * kBlock));
        EXPECT_EQ(std::vector<float>(players.begin() + 960, players.end()),
                  std::vector<float>(alone.begin() + 960, alone.end()));
        EXPECT_EQ(shipped,
                  unitAlone("", 0, std::vector<float>(in.begin(), in.begin() + 40 * kBlock)));

        State state;
        ASSERT_EQ(stateOf(mine)->save(mine.h, store, &state, LV2_STATE_IS_POD, nullptr),
                  LV2_STATE_SUCCESS);
        ASSERT_EQ(state.size(), 1u);
        EXPECT_EQ(state.begin()->second.first, kPlayers + '\0');
        EXPECT_EQ(state.begin()->second.second, uris.id(LV2_ATOM__Path));

        quorletest::Lv2Mono restored(library.mono, &restoredWorker, &uris, &log);
        ASSERT_EQ(stateOf(restored)->restore(restored.h, retrieve, &state, 0, nullptr),
                  LV2_STATE_SUCCESS);
        restored.controls[3] = 2.0f; // the host restores the ports beside the state
        play(restored, in, 0, 1, restoredOut);
        EXPECT_NE(restored.told().find(kPlayers), std::string::npos);
        play(restored, in, 1, 39, restoredOut);
    }
    EXPECT_EQ(restoredOut,
              unitAlone(kPlayers, 2, std::vector<float>(in.begin(), in.begin() + 40 * kBlock)));
    EXPECT_NE(restoredOut, players) << "another model of it";
}

// Files that cannot be used, and a path too long to take whole: each is named in
// the log in one message, and the output is bit for bit what it was going to be.
// One set while a player's archive plays goes back to the shipped archive.
TEST(Lv2Archive, AnArchiveThatCannotBeUsedLeavesTheShippedOnePlaying) {
    quorletest::Lv2Library library;
    ASSERT_NE(library.mono, nullptr) << dlerror();
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / "quorle-lv2-archive-test";
    fs::create_directories(dir);
    std::ofstream((dir / "empty.data").string()).close();
    std::ofstream((dir / "text.data").string()) << "not an archive";
    const std::string tooLong = "/" + std::string(kMaxArchivePathBytes + 10, 'a');
    struct Case {
        std::string path;
        const char* says;
    } cases[] = {
        {(dir / "missing.data").string(), "No such file or directory; the shipped models play"},
        {dir.string(), "is a folder, not a data archive"},
        {(dir / "empty.data").string(), "is empty (0 bytes)"},
        {(dir / "text.data").string(), "not a data archive (not a zip file)"},
        {std::string(QUORLE_BUNDLE_DIR) + "/manifest.ttl", "not a data archive"},
        {tooLong, "was refused; the archive playing stays"},
    };
    const std::vector<float> in = pluckedPhrase(48000.0, 0.5);
    std::vector<float> reference;
    {
        quorletest::Lv2Mono plain(library.mono, nullptr);
        play(plain, in, 0, 20, reference);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.says);
        quorletest::UriMap uris;
        quorletest::TestLog log;
        quorletest::TestWorker worker;
        worker.immediate = true;
        quorletest::Lv2Mono plugin(library.mono, &worker, &uris, &log);
        std::vector<float> out;
        play(plugin, in, 0, 1, out);
        plugin.setArchive(c.path);
        play(plugin, in, 1, 19, out);
        EXPECT_EQ(out, reference);
        ASSERT_EQ(log.messages.size(), 1u);
        EXPECT_NE(log.messages[0].find(c.says), std::string::npos) << log.messages[0];
    }
    // From a player's archive back to the shipped one: fresh, as the unit alone.
    quorletest::UriMap uris;
    quorletest::TestLog log;
    quorletest::TestWorker worker;
    worker.immediate = true;
    quorletest::Lv2Mono plugin(library.mono, &worker, &uris, &log);
    std::vector<float> before, after;
    plugin.setArchive(kPlayers);
    play(plugin, in, 0, 2, before);
    plugin.setArchive((dir / "empty.data").string());
    play(plugin, in, 2, 1, before);
    play(plugin, in, 0, 20, after);
    // After the change's 960-sample crossfade (see below).
    const std::vector<float> shipped =
        unitAlone("", 0, std::vector<float>(in.begin(), in.begin() + 20 * kBlock));
    EXPECT_EQ(std::vector<float>(after.begin() + 960, after.end()),
              std::vector<float>(shipped.begin() + 960, shipped.end()));
    EXPECT_EQ(log.messages.size(), 2u);
    fs::remove_all(dir);
}

// An archive change fades from the unit playing to the new one over 20 ms (960
// samples at 48 kHz), both rendering meanwhile: the output is, sample for sample,
// the old sound times 1 - g plus the new unit's (fresh, as alone) times g, g rising
// linearly to exactly 1, and the new unit's alone after.
TEST(Lv2Archive, AnArchiveChangeCrossfadesLinearly) {
    quorletest::Lv2Library library;
    ASSERT_NE(library.mono, nullptr) << dlerror();
    quorletest::UriMap uris;
    quorletest::TestLog log;
    quorletest::TestWorker worker;
    worker.immediate = true;
    const std::vector<float> in = pluckedPhrase(48000.0, 0.5);
    std::vector<float> out, old;
    {
        quorletest::Lv2Mono changing(library.mono, &worker, &uris, &log);
        quorletest::Lv2Mono staying(library.mono, nullptr);
        play(changing, in, 0, 3, out);
        changing.setArchive(kPlayers); // opened after block 3: the new unit plays from 4 on
        play(changing, in, 3, 7, out);
        play(staying, in, 0, 10, old);
    }
    const std::vector<float> fresh = unitAlone(
        kPlayers, 0, std::vector<float>(in.begin() + 4 * kBlock, in.begin() + 10 * kBlock));
    ASSERT_EQ(fresh.size(), 6 * kBlock);
    const size_t start = 4 * kBlock, length = 960;
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
}

} // namespace
