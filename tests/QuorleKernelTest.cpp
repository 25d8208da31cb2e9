// The unit's kernels reached from inside: state poisoned behind the unit's back,
// calls longer than the kernel's work block, interleaved channels, the
// process-wide plug-in directory, and the cabinet the kernels play.
#include "QuorleUnitHost.h"

#include "main/CabinetLoad.h"
#include "main/DataArchive.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>

namespace {

using quorletest::LocalUnit;
using quorletest::tone;

using quorletest::allFinite;

TEST(QuorleKernel, PoisonedStateIsClearedByAResetOrByTheNextBlock) {
    const std::vector<float> warm = tone(196.0, 44100.0, 512),
                             later = tone(330.0, 44100.0, 1536, 0.5f);
    const std::vector<float> nan(512, std::numeric_limits<float>::quiet_NaN());
    enum { Fresh, HostReset, NextBlock };
    for (int model = 0; model < 4; ++model) {
        std::vector<float> expected; // a fresh unit's output
        for (int way : {Fresh, HostReset, NextBlock}) {
            SCOPED_TRACE(testing::Message() << "model " << model << ", way " << way);
            LocalUnit unit(512);
            ASSERT_EQ(unit.initialize(), noErr);
            ASSERT_EQ(unit.setParameter(3, static_cast<float>(model)), noErr);
            std::vector<float> out;
            if (way != Fresh) {
                ASSERT_EQ(unit.renderAll(warm, out, 512), noErr);
                // Straight into the effect, past the kernel's guard on its input.
                float* in = const_cast<float*>(nan.data());
                float* sink = out.data();
                unit.kernel()->effect()->process(&in, &sink, 512);
            }
            if (way == HostReset) {
                ASSERT_EQ(AudioUnitReset(unit.unit, kAudioUnitScope_Global, 0), noErr);
            } else if (way == NextBlock) {
                // The next block comes out as silence, and the state is clean after it.
                ASSERT_EQ(unit.renderAll(warm, out, 512), noErr);
                EXPECT_EQ(out, std::vector<float>(512, 0.0f));
            }
            ASSERT_EQ(unit.renderAll(later, out, 512), noErr);
            EXPECT_TRUE(allFinite(out));
            if (way == Fresh)
                expected = out;
            EXPECT_EQ(out, expected); // bit for bit
        }
    }
}

// A kernel called with more frames than its unit's maximum per render call, in
// place; and a kernel given one channel of an interleaved pair. Either way its
// channel comes out as a unit that rendered the same samples plainly, and the
// other channel is untouched.
TEST(QuorleKernel, LongCallsAndInterleavedChannels) {
    struct Case {
        const char* name;
        UInt32 maxFrames;
        UInt32 frames;
        UInt32 stride;
    };
    const Case cases[] = {{"longer than the work block, in place", 256, 1000, 1},
                          {"every second sample", 1024, 700, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<float> channel = tone(440.0, 44100.0, c.frames, 0.6f);
        channel[300] = std::numeric_limits<float>::infinity();
        std::vector<float> plainIn = channel;
        plainIn[300] = 0.0f;

        // Rendered in calls as long as the kernel's pieces.
        LocalUnit reference(c.maxFrames);
        ASSERT_EQ(reference.initialize(), noErr);
        std::vector<float> expected;
        ASSERT_EQ(reference.renderAll(plainIn, expected, c.maxFrames), noErr);

        LocalUnit unit(c.maxFrames);
        ASSERT_EQ(unit.initialize(), noErr);
        std::vector<float> buffer(c.frames * c.stride, 7.0f);
        for (UInt32 i = 0; i < c.frames; ++i)
            buffer[i * c.stride] = channel[i];
        bool silence = false;
        unit.kernel()->Process(buffer.data(), buffer.data(), c.frames, c.stride, silence);

        std::vector<float> out(c.frames);
        for (UInt32 i = 0; i < c.frames; ++i) {
            out[i] = buffer[i * c.stride];
            for (UInt32 k = 1; k < c.stride; ++k)
                ASSERT_EQ(buffer[i * c.stride + k], 7.0f) << i;
        }
        EXPECT_EQ(out, expected);
    }
}

// Instances finding different bundles keep the directory that was set first.
TEST(QuorleUnit, ThePluginDirectoryFirstSetStays) {
    namespace fs = std::filesystem;
    const std::string saved = gFxDir;
    const std::string own = fs::canonical(QUORLE_TEST_PROGRAM_DIR).string() + "/";
    const std::pair<std::string, std::string> cases[] = {{"", own}, {"/elsewhere/", "/elsewhere/"}};
    for (const auto& [before, after] : cases) {
        gFxDir = before;
        AudioUnit unit = nullptr;
        ASSERT_EQ(OpenAComponent(quorletest::LocalEntry, &kQuorleDescription, &unit), noErr);
        char dir[kDirectorySize] = "";
        UInt32 size = sizeof(dir);
        EXPECT_EQ(noErr, AudioUnitGetProperty(unit, kQuorleProperty_PluginDirectory,
                                              kAudioUnitScope_Global, 0, dir, &size));
        EXPECT_EQ(std::string(dir), after) << "set before: " << before;
        CloseComponent(unit);
    }
    gFxDir = saved;
}

OSStatus setCabinet(LocalUnit& unit, const std::string& choice) {
    return unit.setProperty(kQuorleProperty_Cabinet, choice.c_str(),
                            static_cast<UInt32>(choice.size() + 1));
}

std::string cabinetOf(LocalUnit& unit) {
    std::vector<char> text(kMaxArchivePathBytes, 'x');
    UInt32 size = kMaxArchivePathBytes;
    EXPECT_EQ(noErr, AudioUnitGetProperty(unit.unit, kQuorleProperty_Cabinet,
                                          kAudioUnitScope_Global, 0, text.data(), &size));
    return text.data();
}

// A tone rendered at factor 2 in 300-frame calls, with the cabinet `choice`
// ("": never set); `tail` gets the unit's tail time as chosen and after rendering
// (the status when it offers none), `latency` its latency.
std::vector<float> renderWithCabinet(const char* choice, double (&tail)[2], double& latency) {
    LocalUnit unit(512);
    const UInt32 factor = 2;
    unit.setProperty(kQuorleProperty_Oversampling, &factor, sizeof(factor));
    if (*choice) {
        EXPECT_EQ(setCabinet(unit, choice), noErr) << choice;
    }
    auto read = [&](AudioUnitPropertyID id, double& value) {
        UInt32 size = sizeof(double);
        if (OSStatus status =
                AudioUnitGetProperty(unit.unit, id, kAudioUnitScope_Global, 0, &value, &size))
            value = status;
    };
    read(kAudioUnitProperty_TailTime, tail[0]);
    EXPECT_EQ(unit.initialize(), noErr);
    std::vector<float> out;
    EXPECT_EQ(unit.renderAll(tone(196.0, 44100.0, 8192, 0.5f), out, 300), noErr);
    read(kAudioUnitProperty_TailTime, tail[1]);
    read(kAudioUnitProperty_Latency, latency);
    return out;
}

// Off, set or not, plays what the unit played before it had a cabinet, and there
// is no tail; a shipped cabinet plays after the effect: the output is the plain
// output convolved with that cabinet levelled at the unit's rate (44.1 kHz, the
// file being 48 kHz), with no delay added, and its length is the tail, from the
// moment it is chosen.
TEST(QuorleUnit, ACabinetIsThePlainOutputConvolvedWithItsResponse) {
    double plainTail[2], plainLatency = -1.0, tail[2], latency = -1.0;
    const std::vector<float> plain = renderWithCabinet("", plainTail, plainLatency);
    EXPECT_EQ(renderWithCabinet("OFF", tail, latency), plain);
    for (double none : {plainTail[0], plainTail[1], tail[0], tail[1]})
        EXPECT_EQ(none, kAudioUnitErr_InvalidProperty);

    const std::vector<float> out = renderWithCabinet("4x12-closed", tail, latency);
    std::string error;
    const auto shipped = DataArchive::readDirectory(QUORLE_BUNDLE_DIR "/");
    const auto response = cabinet::load(*shipped, "4x12-closed", 44100.0, error);
    ASSERT_TRUE(response) << error;
    const std::vector<float>& h = response->channels[0];
    EXPECT_EQ(latency, plainLatency);
    EXPECT_GT(latency, 0.0);
    EXPECT_DOUBLE_EQ(tail[1], h.size() / 44100.0);
    EXPECT_NEAR(tail[0], tail[1], 1e-4); // at the file's own rate
    double signal = 0.0, wrong = 0.0;
    for (size_t n = 0; n < plain.size(); ++n) {
        double expected = 0.0;
        for (size_t k = 0; k <= n && k < h.size(); ++k)
            expected += static_cast<double>(h[k]) * plain[n - k];
        signal += expected * expected;
        wrong += (out[n] - expected) * (out[n] - expected);
    }
    EXPECT_GT(signal, 1.0);
    EXPECT_LT(10.0 * std::log10(wrong / signal), -100.0);
}

// Writes `samples` as a mono 32-bit float WAV file at 48 kHz.
void writeWav(const std::string& path, const std::vector<float>& samples) {
    SF_INFO info = {};
    info.samplerate = 48000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << path;
    sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
}

// The cabinet is taken whole, read at once and only while uninitialised: a choice
// that cannot be played is refused and the one before keeps playing.
TEST(QuorleUnit, TheCabinetPropertyRefusesWhatItCannotPlay) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::path(QUORLE_TEST_PROGRAM_DIR) / "unit-cabinet";
    fs::create_directories(dir);
    const std::string gain = (dir / "gain.wav").string(), text = (dir / "text.wav").string();
    writeWav(gain, {0.5f});
    std::ofstream(text) << "not a sound file";

    LocalUnit unit(512);
    EXPECT_EQ(cabinetOf(unit), "") << "off by default";
    ASSERT_EQ(setCabinet(unit, "1x8-COMBO"), noErr);
    const std::string tooLong(kMaxArchivePathBytes, 'a'); // no room for the terminator
    const struct {
        const char* what;
        const void* bytes;
        UInt32 size;
    } refused[] = {
        {"no terminator", "1x12-open", 9},
        {"a NUL inside", "off\0x", 6},
        {"too long", tooLong.c_str(), static_cast<UInt32>(tooLong.size() + 1)},
        {"no such file", "/nowhere/cab.wav", 17},
        {"no such cabinet", "5x12-closed", 12},
        {"not a sound file", text.c_str(), static_cast<UInt32>(text.size() + 1)},
    };
    for (const auto& c : refused) {
        EXPECT_EQ(unit.setProperty(kQuorleProperty_Cabinet, c.bytes, c.size),
                  kAudioUnitErr_InvalidPropertyValue)
            << c.what;
        EXPECT_EQ(cabinetOf(unit), "1x8-COMBO") << c.what;
    }
    EXPECT_EQ(unit.setProperty(kQuorleProperty_Cabinet, "off", 4, kAudioUnitScope_Input),
              kAudioUnitErr_InvalidScope);
    ASSERT_EQ(unit.initialize(), noErr);
    EXPECT_TRUE(unit.kernel()->engine().cabinetOn()) << "the kept choice plays";
    EXPECT_EQ(setCabinet(unit, "off"), kAudioUnitErr_Initialized);
    EXPECT_EQ(setCabinet(unit, gain), kAudioUnitErr_Initialized);
    EXPECT_EQ(cabinetOf(unit), "1x8-COMBO");

    // A file, read when set, plays though it is gone by initialisation.
    AudioUnitUninitialize(unit.unit);
    ASSERT_EQ(setCabinet(unit, gain), noErr);
    fs::remove_all(dir);
    ASSERT_EQ(unit.initialize(), noErr);
    EXPECT_TRUE(unit.kernel()->engine().cabinetOn());
    EXPECT_EQ(cabinetOf(unit), gain);
}

} // namespace
