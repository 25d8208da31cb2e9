// The cabinets of our own design: their responses have the features they are
// designed with, the same in Hz at any rate; quorle-model pack renders them into
// the archive, and the archive keeps them as it keeps models.
#include "ArchiveTestUtil.h"

#include "main/CabinetLoad.h"
#include "main/DataArchive.h"
#include "tools/CabinetModel.h"
#include "tools/ZipWriter.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;

namespace {

// One closed 1x12 without reflection: its resonance stands alone.
const std::string kClosed = "# a plain closed box\n"
                            "speakers = 1\n"
                            "resonance = 80\n"
                            "resonance_q = 1.4\n"
                            "back = closed\n"
                            "breakup = 2500 3 2\n"
                            "rolloff = 4500\n"
                            "rolloff_sections = 3\n";

// Every part of the model at work: four detuned speakers, an open back, three
// break-up peaks, the microphone off axis with its reflection.
const std::string kEverything = "speakers = 4\n"
                                "resonance = 90\n"
                                "resonance_q = 1.1\n"
                                "back = open\n"
                                "back_cut = 120\n"
                                "breakup = 1700 4 2\n"
                                "breakup = 3100 -5 3\n"
                                "breakup = 4300 6 4\n"
                                "rolloff = 5500\n"
                                "rolloff_sections = 2\n"
                                "mic_angle = 30\n"
                                "mic_distance = 4\n"
                                "reflection = 0.4\n"
                                "detune = 6\n"
                                "spread = 0.3\n"
                                "others = 0.7\n";

CabinetDesign design(const std::string& text) {
    CabinetDesign d;
    CabinetError error;
    EXPECT_TRUE(readCabinetDesign(text, d, error)) << error.line << ": " << error.message;
    return d;
}

// The gain at `hz` against the gain at `reference` (dB).
double relative(const std::vector<float>& ir, double rate, double hz, double reference = 1000.0) {
    return responseDb(ir, rate, hz) - responseDb(ir, rate, reference);
}

// A mono 32-bit float WAV at 48 kHz: its bytes from "WAVE" to the end of the format.
const std::string kWavFormat("WAVEfmt \x10\0\0\0\x03\0\x01\0\x80\xbb\0\0\0\xee\x02\0\x04\0\x20\0",
                             28);

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// quorle-model's exit status and everything it printed.
std::pair<int, std::string> tool(const std::string& arguments, const fs::path& dir) {
    const fs::path out = dir / "output";
    const int status =
        std::system((QUORLE_MODEL_TOOL " " + arguments + " >" + out.string() + " 2>&1").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, fileBytes(out)};
}

TEST(Cabinet, ResponseHasItsDesignedFeaturesTheSameInHzAtEveryRate) {
    constexpr double kRate = 48000.0;
    const std::vector<float> closed = cabinetResponse(design(kClosed), kRate);
    const std::vector<float> open =
        cabinetResponse(design(replaced(kClosed, "back = closed", "back = open")), kRate);
    ASSERT_FALSE(closed.empty());
    ASSERT_FALSE(open.empty());

    // The closed box's resonance stands Q (+2.9 dB) over the mids; an octave
    // under it the second-order high-pass has taken more than 10 dB off.
    EXPECT_NEAR(relative(closed, kRate, 80.0), 20.0 * std::log10(1.4), 1.0);
    EXPECT_LT(relative(closed, kRate, 40.0), relative(closed, kRate, 80.0) - 10.0);
    // The open back cancels its lows (a first-order cut at 1.5 x 80 Hz: 5 dB at 80 Hz).
    EXPECT_LT(relative(open, kRate, 80.0), relative(closed, kRate, 80.0) - 4.0);
    EXPECT_LT(relative(open, kRate, 40.0), relative(closed, kRate, 40.0) - 8.0);
    // The break-up peak, and the roll-off above it.
    EXPECT_GT(relative(closed, kRate, 2500.0), 2.0);
    EXPECT_LT(relative(closed, kRate, 8000.0, 2000.0), -20.0);

    // Peak 0.5; run until the tail is 80 dB under it, a few tens of ms.
    for (const std::vector<float>* ir : {&closed, &open}) {
        float peak = 0, lastFive = 0;
        const size_t five = static_cast<size_t>(0.005 * kRate);
        for (size_t n = 0; n < ir->size(); ++n) {
            peak = std::max(peak, std::fabs((*ir)[n]));
            if (n + five >= ir->size())
                lastFive = std::max(lastFive, std::fabs((*ir)[n]));
        }
        EXPECT_FLOAT_EQ(peak, 0.5f);
        EXPECT_LT(std::fabs(ir->back()), 0.5f * 1e-4f);
        EXPECT_LT(lastFive, 0.5f * 1e-3f); // decayed, not cut off
        EXPECT_GT(ir->size(), static_cast<size_t>(0.010 * kRate));
        EXPECT_LT(ir->size(), static_cast<size_t>(0.100 * kRate));
    }

    // Every part of the model at work: the same response in Hz at every rate.
    const CabinetDesign d = design(kEverything);
    const std::vector<float> low = cabinetResponse(d, 44100.0);
    const std::vector<float> high = cabinetResponse(d, 96000.0);
    ASSERT_FALSE(low.empty());
    ASSERT_FALSE(high.empty());
    for (double hz = 20.0; hz <= 10000.0; hz *= std::pow(2.0, 1.0 / 12.0))
        EXPECT_NEAR(relative(low, 44100.0, hz), relative(high, 96000.0, hz), 1.0) << hz << " Hz";
    EXPECT_TRUE(cabinetResponse(d, 8000.0).empty());
}

TEST(Cabinet, NewPartsDoWhatTheySayAndATextWithoutThemSoundsAsBefore) {
    constexpr double kRate = 48000.0;
    // The 4x12-closed as it shipped before resonance_db, box_* and the wider
    // break-up existed, and its figures then: 1404 samples; 85 Hz +2.14 dB and 50 Hz
    // -7.38 dB re 1 kHz; 8 kHz -37.73 dB re 2 kHz.
    const std::string before = "speakers = 4\nresonance = 85\nresonance_q = 1.3\nback = closed\n"
                               "breakup = 2000 3 1.4\nbreakup = 3000 4 2.5\nbreakup = 4200 -5 3\n"
                               "rolloff = 4600\nrolloff_sections = 3\nmic_angle = 15\n"
                               "mic_distance = 2\nreflection = 0.25\ndetune = 4\nspread = 0.1\n"
                               "others = 0.4\n";
    const std::vector<float> old = cabinetResponse(design(before), kRate);
    EXPECT_EQ(old.size(), 1404u);
    EXPECT_NEAR(relative(old, kRate, 85.0), 2.142, 0.01);
    EXPECT_NEAR(relative(old, kRate, 50.0), -7.379, 0.01);
    EXPECT_NEAR(relative(old, kRate, 8000.0, 2000.0), -37.732, 0.01);

    // The valve amp's rise stands on the box's resonance by about its height.
    const std::vector<float> closed = cabinetResponse(design(kClosed), kRate);
    const std::vector<float> risen = cabinetResponse(design(kClosed + "resonance_db = 8\n"), kRate);
    EXPECT_NEAR(relative(risen, kRate, 80.0) - relative(closed, kRate, 80.0), 8.0, 1.0);
    EXPECT_NEAR(relative(risen, kRate, 1000.0, 2000.0), relative(closed, kRate, 1000.0, 2000.0),
                0.5);
    // A narrow break-up notch takes its depth out where it is and little beside it.
    const std::vector<float> notched =
        cabinetResponse(design(kClosed + "breakup = 1300 -12 10\n"), kRate);
    EXPECT_LT(relative(notched, kRate, 1300.0) - relative(closed, kRate, 1300.0), -10.0);
    EXPECT_NEAR(relative(notched, kRate, 1700.0), relative(closed, kRate, 1700.0), 1.5);
    // An inverted back-panel reflection 0.5 ms later adds to 1 kHz and cancels 2 kHz.
    const std::vector<float> boxed = cabinetResponse(
        design(kClosed + "box_reflection = -0.5\nbox_delay = 0.5\nbox_tone = 8000\n"), kRate);
    EXPECT_LT(relative(boxed, kRate, 2000.0) - relative(closed, kRate, 2000.0), -6.0);
}

TEST(Cabinet, BadLinesAreRefusedWithTheirLine) {
    // Text, the line refused, what the message says.
    for (const auto& [text, line, says] : {
             std::tuple<std::string, int, const char*>{
                 replaced(kClosed, "resonance = 80", "resonance = 20"), 3,
                 "\"resonance\" is 40 to 200 Hz, not 20"},
             {replaced(kClosed, "resonance_q = 1.4", "resonance_q = tight"), 4,
              "\"tight\" is not a number"},
             {replaced(kClosed, "back = closed", "back = half"), 5, "\"back\" is closed or open"},
             {replaced(kClosed, "breakup = 2500 3 2", "breakup = 2500 3"), 6, "three numbers"},
             {replaced(kClosed, "breakup = 2500 3 2", "breakup = 400 3 2"), 6, "500 to 8000 Hz"},
             {replaced(kClosed, "breakup = 2500 3 2", "breakup = 2500 -30 2"), 6, "-24 to 12 dB"},
             {kClosed + "breakup = 3000 1 1\nbreakup = 3500 1 1\nbreakup = 4000 1 1\n"
                        "breakup = 5000 1 1\nbreakup = 6000 1 1\nbreakup = 7000 1 1\n",
              14, "a seventh \"breakup\""},
             {kClosed + "resonance_db = 25\n", 9, "\"resonance_db\" is 0 to 20 dB, not 25"},
             {kClosed + "box_reflection = -0.9\n", 9, "\"box_reflection\" is -0.8 to 0.8"},
             {kClosed + "box_delay = 0.1\n", 9, "\"box_delay\" is 0.2 to 5 ms"},
             {kClosed + "box_tone = 9000\n", 9, "\"box_tone\" is 300 to 8000 Hz"},
             {kClosed + "rolloff = 5000\n", 9, "\"rolloff\" is set twice"},
             {replaced(kClosed, "speakers = 1", "speakers = 2.5"), 2, "a whole number"},
             {kClosed + "woofer = 1\n", 9, "unknown key \"woofer\""},
             {kClosed + "just words\n", 9, "expected \"key = value\""},
             {kClosed + "back_cut = 150\n", 9, "\"back_cut\" is for an open back"},
             {replaced(kClosed, "rolloff = 4500", "# no roll-off"), 0, "no \"rolloff\" line"},
         }) {
        CabinetDesign d;
        CabinetError error;
        EXPECT_FALSE(readCabinetDesign(text, d, error)) << says;
        EXPECT_EQ(error.line, line) << says;
        EXPECT_NE(error.message.find(says), std::string::npos) << error.message;
    }
}

TEST(Cabinet, PackRendersCabinetsIntoTheArchiveWhichKeepsThemAsItKeepsModels) {
    const PluginDir scratch; // a fresh directory, removed at the end
    const fs::path dir = scratch.path;
    writeFile(dir / "models/m.xml", "<quorle><fx id=\"a\" type=\"eq\"/></quorle>");
    writeFile(dir / "cabinets/Room.txt", kClosed);
    const auto [status, out] =
        tool("pack " + dir.string() + " -o " + (dir / "a.data").string(), dir);
    ASSERT_EQ(status, 0) << out;
    EXPECT_NE(out.find("1 model, 0 presets, 1 cabinet"), std::string::npos) << out;

    const auto archive = DataArchive::readFile((dir / "a.data").string());
    EXPECT_EQ(archive->cabinetNames(), std::vector<std::string>{"Room"});
    EXPECT_EQ(archive->modelNames(), std::vector<std::string>{"m.xml"});
    const std::string* wav = archive->cabinet("room");
    ASSERT_NE(wav, nullptr);
    // The WAV holding the response.
    const std::vector<float> ir = cabinetResponse(design(kClosed), 48000.0);
    EXPECT_EQ(*wav, cabinetWav(ir, 48000));
    ASSERT_GT(wav->size(), 44u + 4 * ir.size());
    EXPECT_EQ(wav->substr(0, 4), "RIFF");
    EXPECT_EQ(wav->substr(8, 28), kWavFormat);

    // A cabinet text with a bad line, or a name the archive would take for a
    // model: FILE:LINE: error, and nothing written.
    const std::pair<const char*, std::string> bad[] = {
        {"cabinets/bad.txt:5: error: \"back\" is closed or open",
         replaced(kClosed, "back = closed", "back = shut")},
        {"cabinets/a.xml.txt: error: a cabinet's name", kClosed},
    };
    for (const auto& [says, text] : bad) {
        const fs::path source = dir / (std::string(says).substr(0, std::string(says).find(':')));
        writeFile(source, text);
        const auto [refused, printed] =
            tool("pack " + dir.string() + " -o " + (dir / "b.data").string(), dir);
        EXPECT_EQ(refused, 1) << printed;
        EXPECT_NE(printed.find(says), std::string::npos) << printed;
        EXPECT_FALSE(fs::exists(dir / "b.data"));
        fs::remove(source);
    }

    // Names in any letter case, the first entry of a name, directly in cabinets/;
    // an entry over the model limit is listed but unreadable.
    const std::string path = (dir / "quorle.data").string();
    {
        ZipWriter zip(path);
        zip.add("CABINETS/Small.WAV", "first");
        zip.add("cabinets/small.wav", "second");
        zip.add("cabinets/big.wav", std::string(3000, 'b'));
        zip.add("cabinets/deep/inner.wav", "nested");
        zip.add("other/outside.wav", "elsewhere");
        zip.add("cabinets/.wav", "no name");
        ASSERT_TRUE(zip.close());
    }
    ArchiveLimits limits;
    limits.modelBytes = 2000;
    const auto kept = DataArchive::readFile(path, limits);
    EXPECT_EQ(kept->cabinetNames(), (std::vector<std::string>{"Small", "big"}));
    ASSERT_NE(kept->cabinet("SMALL"), nullptr);
    EXPECT_EQ(*kept->cabinet("small"), "first");
    EXPECT_EQ(kept->cabinet("big"), nullptr);
    EXPECT_EQ(kept->cabinet("deep/inner"), nullptr);
    EXPECT_EQ(kept->cabinet("outside"), nullptr);
    EXPECT_TRUE(kept->modelNames().empty());
}

TEST(Cabinet, ShippedArchiveHoldsTheFourCabinetsAndAChoiceIsOffOneOfThemOrAFile) {
    const auto archive = DataArchive::readFile(QUORLE_BUNDLE_DIR "/quorle.data");
    const std::vector<std::string> names = archive->cabinetNames();
    for (const char* name : {"1x12-open", "1x8-combo", "2x12-bright", "4x12-closed"}) {
        EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
        const std::string* wav = archive->cabinet(name);
        ASSERT_NE(wav, nullptr) << name;
        EXPECT_EQ(wav->substr(0, 4), "RIFF") << name;
        EXPECT_EQ(wav->substr(8, 28), kWavFormat) << name;
    }
    // A choice is off, a shipped name or a file.
    std::string error = "stale";
    for (const char* off : {"", "off", "OFF"}) {
        const auto none = cabinet::load(*archive, off, 48000.0, error);
        ASSERT_TRUE(none.has_value()) << off;
        EXPECT_TRUE(none->channels.empty());
        EXPECT_EQ(cabinet::convolverFor(*none, 0, 64), nullptr);
    }
    EXPECT_EQ(error, "");
    // A shipped name in any letter case, ready at the asked rate.
    const auto closed = cabinet::load(*archive, "4X12-Closed", 44100.0, error);
    ASSERT_TRUE(closed.has_value()) << error;
    EXPECT_EQ(closed->rate, 44100.0);
    ASSERT_EQ(closed->channels.size(), 1u);
    const auto convolver = cabinet::convolverFor(*closed, 1, 256); // mono feeds both sides
    ASSERT_NE(convolver, nullptr);
    EXPECT_EQ(convolver->length(), closed->channels[0].size());
    EXPECT_EQ(convolver->maxFrames(), 256u);
    // Anything else is a path, refused in one sentence naming it.
    EXPECT_FALSE(cabinet::load(*archive, "/nowhere/4x12-closed.wav", 48000.0, error));
    EXPECT_NE(error.find("/nowhere/4x12-closed.wav"), std::string::npos) << error;
    // A stereo response gives each side its own channel.
    ImpulseResponse stereo{48000.0, {{1.0f}, {0.5f, 0.25f}}};
    EXPECT_EQ(cabinet::convolverFor(stereo, 0, 64)->length(), 1u);
    EXPECT_EQ(cabinet::convolverFor(stereo, 1, 64)->length(), 2u);
}

} // namespace
