// What the process keeps ready for every instance (the shipped cabinets by rate and
// the bundle's data archive, each made once and shared while it is the same), and
// what an instance keeps of storage laid out for the worst case.
#include "main/CabinetLoad.h"
#include "main/SharedArchive.h"
#include "main/SharedCabinets.h"
#include "main/ZeroPages.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string kBundle = QUORLE_BUNDLE_DIR "/";

std::vector<float> play(Convolver& conv, size_t n) {
    std::vector<float> x(n, 0.0f);
    x[0] = 1.0f;
    conv.process(x.data(), x.data(), static_cast<uint32_t>(n));
    return x;
}

TEST(SharedCabinets, ACabinetIsMadeReadyOncePerRateAndPlaysAsOneMadeForItself) {
    const auto shipped = archive::sharedDirectory(kBundle);
    ASSERT_GE(shipped->cabinetNames().size(), 2u);
    const std::string first = shipped->cabinetNames()[0], second = shipped->cabinetNames()[1];
    std::string error;
    const auto a = cabinet::shared(*shipped, first, 44100.0, error);
    ASSERT_TRUE(a) << error;
    EXPECT_EQ(cabinet::shared(*shipped, first, 44100.0, error), a);
    // The same bytes in another copy of the archive are the same cabinet.
    EXPECT_EQ(cabinet::shared(*DataArchive::readDirectory(kBundle), first, 44100.0, error), a);
    const auto other = cabinet::shared(*shipped, second, 44100.0, error);
    const auto faster = cabinet::shared(*shipped, first, 48000.0, error);
    ASSERT_TRUE(other && faster);
    EXPECT_NE(other, a);
    EXPECT_NE(faster, a);
    EXPECT_EQ(faster->rate, 48000.0);

    // What it plays is the response the cabinet loads as, each channel its own.
    const std::optional<ImpulseResponse> loaded = cabinet::load(*shipped, first, 44100.0, error);
    ASSERT_TRUE(loaded);
    ASSERT_EQ(a->channels.size(), loaded->channels.size());
    for (uint32_t c = 0; c < 2; ++c) {
        const auto mine = cabinet::convolverFor(*loaded, c, 256);
        const auto ready = cabinet::convolverFor(*a, c, 256);
        EXPECT_EQ(play(*ready, 4096), play(*mine, 4096)) << "channel " << c;
    }
    EXPECT_EQ(cabinet::convolverFor(cabinet::ReadyCabinet{}, 0, 256), nullptr);

    EXPECT_EQ(cabinet::shared(*shipped, "no such cabinet", 44100.0, error), nullptr);
    EXPECT_NE(error.find("no such cabinet"), std::string::npos) << error;
    EXPECT_EQ(cabinet::shared(*shipped, first, 1.0, error), nullptr) << "a rate it cannot play";
    EXPECT_FALSE(error.empty());

    // The store keeps a bounded number: cabinets no one holds make room.
    for (int i = 0; i < int(cabinet::kSharedRoom) + 4; ++i)
        ASSERT_TRUE(cabinet::shared(*shipped, second, 8000.0 + 1000.0 * i, error)) << error;
    EXPECT_LE(cabinet::sharedCount(), cabinet::kSharedRoom);
    EXPECT_EQ(cabinet::shared(*shipped, first, 44100.0, error), a) << "one still held stays";
}

TEST(SharedArchive, TheBundleIsReadOnceWhileHeldAndAgainWhenItsFileChanges) {
    const auto a = archive::sharedDirectory(kBundle);
    ASSERT_TRUE(a->found());
    EXPECT_EQ(archive::sharedDirectory(kBundle), a);

    const std::filesystem::path dir =
        std::filesystem::path(testing::TempDir()) / ("shared-archive-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::string here = dir.string() + "/";
    std::filesystem::copy_file(kBundle + "quorle.data", dir / "quorle.data");
    auto copy = archive::sharedDirectory(here);
    ASSERT_TRUE(copy->found());
    EXPECT_NE(copy, a);
    EXPECT_EQ(copy->modelNames(), a->modelNames());
    EXPECT_EQ(archive::sharedDirectory(here), copy);

    // Replaced on disk (as a package upgrade does): read again.
    std::filesystem::remove(dir / "quorle.data");
    std::ofstream(dir / "quorle.data") << "not a zip";
    const auto replaced = archive::sharedDirectory(here);
    EXPECT_NE(replaced, copy);
    EXPECT_FALSE(replaced->found());

    std::filesystem::remove_all(dir);
}

} // namespace

namespace {

// Pages of `pages` that are resident.
size_t residentPages(const float* start, size_t pages) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> in(pages);
    if (mincore(const_cast<float*>(start), pages * page, in.data()) != 0)
        return pages + 1;
    size_t count = 0;
    for (unsigned char c : in)
        count += c & 1;
    return count;
}

// Storage laid out for the worst case costs only what is written: zero throughout,
// a page resident once written to, and given back whole when moved from or freed.
TEST(ZeroPages, OnlyPagesWrittenAreKept) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE)) / sizeof(float);
    ZeroPages pages(50 * page);
    ASSERT_NE(pages.data(), nullptr);
    EXPECT_EQ(residentPages(pages.data(), 50), 0u);
    pages.data()[3 * page + 7] = 1.0f;
    pages.data()[40 * page] = 2.0f;
    EXPECT_EQ(residentPages(pages.data(), 50), 2u);
    float sum = 0.0f;
    for (size_t i = 0; i < 50 * page; ++i)
        sum += pages.data()[i];
    EXPECT_EQ(sum, 3.0f) << "zero elsewhere";

    ZeroPages moved(std::move(pages));
    EXPECT_EQ(pages.data(), nullptr);
    EXPECT_EQ(moved.data()[40 * page], 2.0f);
    moved = ZeroPages(page);
    EXPECT_EQ(moved.data()[0], 0.0f);
    EXPECT_EQ(ZeroPages(0).data(), nullptr);
}

} // namespace
