// A player's impulse-response files: read back sample for sample from the formats
// libsndfile writes, every unusable file refused in one sentence naming it (without
// blocking on a FIFO), resampled with their frequency response kept, and levelled
// so that a guitar keeps its level from one response to the next.
#include "ArchiveTestUtil.h"

#include "main/ImpulseResponse.h"
#include "tools/PluckedPhrase.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <fstream>
#include <limits>
#include <numeric>
#include <optional>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

constexpr double kPi = 3.141592653589793238462643383279;

using Channels = std::vector<std::vector<float>>;

// Writes `channels` to `path` in `format` at `rate` through libsndfile's float path.
// With `bits` (16 or 24) the samples are whole steps of 2^-(bits-1), written as those
// integers unscaled, so that they read back exactly.
bool writeSound(const std::string& path, int format, int rate, const Channels& channels,
                int bits = 0) {
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = static_cast<int>(channels.size());
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file)
        return false;
    if (bits)
        sf_command(file, SFC_SET_NORM_FLOAT, nullptr, SF_FALSE);
    const float scale = bits ? float(1 << (bits - 1)) : 1.0f;
    const size_t frames = channels.empty() ? 0 : channels[0].size();
    std::vector<float> interleaved;
    for (size_t n = 0; n < frames; ++n)
        for (const auto& channel : channels)
            interleaved.push_back(channel[n] * scale);
    const sf_count_t wrote = sf_writef_float(file, interleaved.data(), sf_count_t(frames));
    return sf_close(file) == 0 && wrote == sf_count_t(frames);
}

std::vector<float> noise(size_t frames, uint32_t seed, double peak = 0.9) {
    std::vector<float> out(frames);
    for (float& s : out) {
        seed = seed * 1664525u + 1013904223u;
        s = static_cast<float>(peak * ((seed >> 8) / 8388608.0 - 1.0));
    }
    return out;
}

// The impulse response of an RBJ biquad (a low-pass, or with `db` a high shelf) at
// `rate`, `frames` long.
std::vector<float> biquad(double hz, double q, double db, double rate, size_t frames) {
    const double a = std::pow(10.0, db / 40.0), w = 2.0 * kPi * hz / rate;
    const double alpha = std::sin(w) / (2.0 * q), c = std::cos(w), s = 2.0 * std::sqrt(a) * alpha;
    double b0 = (1 - c) / 2, b1 = 1 - c, b2 = (1 - c) / 2;
    double a0 = 1 + alpha, a1 = -2 * c, a2 = 1 - alpha;
    if (db != 0) {
        b0 = a * ((a + 1) + (a - 1) * c + s), b1 = -2 * a * ((a - 1) + (a + 1) * c);
        b2 = a * ((a + 1) + (a - 1) * c - s);
        a0 = (a + 1) - (a - 1) * c + s, a1 = 2 * ((a - 1) - (a + 1) * c);
        a2 = (a + 1) - (a - 1) * c - s;
    }
    std::vector<float> h(frames);
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    for (size_t n = 0; n < frames; ++n) {
        const double x = n == 0 ? 1.0 : 0.0;
        const double y = (b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2) / a0;
        x2 = x1, x1 = x, y2 = y1, y1 = y;
        h[n] = static_cast<float>(y);
    }
    return h;
}

std::vector<float> convolved(const std::vector<float>& a, const std::vector<float>& b) {
    std::vector<float> out(a.size() + b.size() - 1, 0.0f);
    for (size_t k = 0; k < b.size(); ++k) {
        const float gain = b[k];
        float* __restrict to = out.data() + k;
        const float* __restrict from = a.data();
        for (size_t n = 0; n < a.size(); ++n)
            to[n] += gain * from[n];
    }
    return out;
}

// A loudspeaker cabinet's shape at `rate`: +3 dB shelf over 2.5 kHz, 4 kHz low-pass.
std::vector<float> cabinet(double rate, size_t frames) {
    std::vector<float> h =
        convolved(biquad(2500, 0.7, 3, rate, frames), biquad(4000, 0.9, 0, rate, frames));
    h.resize(frames);
    return h;
}

// The frequency response at `hz`.
std::complex<double> response(const std::vector<float>& h, double rate, double hz) {
    std::complex<double> sum = 0.0;
    for (size_t n = 0; n < h.size(); ++n)
        sum += double(h[n]) * std::polar(1.0, -2.0 * kPi * hz * double(n) / rate);
    return sum;
}

double db(std::complex<double> h) {
    return 20.0 * std::log10(std::abs(h));
}

// The sum of the squares of x, in dB.
double energyDb(const std::vector<float>& x) {
    return 10.0 * std::log10(std::inner_product(x.begin(), x.end(), x.begin(), 0.0));
}

TEST(ImpulseResponse, FilesReadBackSampleForSampleAndResampledKeepTheirResponseAndDuration) {
    PluginDir dir; // a fresh directory, removed at the end
    // File, format, rate, channels, bits (0: float samples).
    for (const auto& [file, format, rate, channels, bits] : {
             std::tuple{"mono.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, 1, 0},
             {"stereo.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 96000, 2, 0},
             {"stereo.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 2, 16},
             {"mono.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 96000, 1, 16},
             {"mono.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 96000, 1, 24},
             {"stereo.aiff", SF_FORMAT_AIFF | SF_FORMAT_FLOAT, 44100, 2, 0},
             {"gain.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, 1, 0}, // one sample: a plain gain
         }) {
        SCOPED_TRACE(file);
        const std::string path = dir.path + "/" + file;
        const size_t frames = file == std::string("gain.wav") ? 1 : 3000;
        Channels expected;
        const double scale = bits ? double(1 << (bits - 1)) : 0.0;
        for (int ch = 0; ch < channels; ++ch) {
            expected.push_back(noise(frames, 7 + uint32_t(ch)));
            for (float& s : expected.back())
                s = scale ? float(std::lround(s * (scale - 1)) / scale) : s;
        }
        ASSERT_TRUE(writeSound(path, format, rate, expected, bits));
        std::string error = "stale";
        const std::optional<ImpulseResponse> ir = impulse::readFile(path, error);
        ASSERT_TRUE(ir.has_value()) << error;
        EXPECT_EQ(error, "");
        EXPECT_EQ(ir->rate, rate);
        EXPECT_EQ(ir->channels, expected);

        // The same bytes from memory (an archive's entry) read the same.
        const std::optional<ImpulseResponse> fromBytes =
            impulse::readBytes(fileBytes(path), file, error);
        ASSERT_TRUE(fromBytes.has_value()) << error;
        EXPECT_EQ(fromBytes->channels, expected);
    }

    // From, to (Hz), and up to where within half a decibel (Hz).
    for (const auto& [from, to, withinHalfDbTo] :
         {std::tuple{96000, 48000, 15000.0}, {48000, 44100, 15000.0}, {44100, 96000, 8000.0}}) {
        SCOPED_TRACE(std::to_string(from) + " Hz to " + std::to_string(to) + " Hz");
        const size_t frames = size_t(from) / 20; // 50 ms
        const std::string path = dir.path + "/cab.wav";
        ASSERT_TRUE(
            writeSound(path, SF_FORMAT_WAV | SF_FORMAT_FLOAT, from, {cabinet(from, frames)}));
        std::string error;
        const std::optional<ImpulseResponse> ir = impulse::readFile(path, error);
        ASSERT_TRUE(ir.has_value()) << error;
        const ImpulseResponse native = impulse::prepared(*ir, from);
        const ImpulseResponse moved = impulse::prepared(*ir, to);
        ASSERT_EQ(moved.channels.size(), 1u);
        EXPECT_EQ(moved.rate, to);
        EXPECT_EQ(moved.channels[0].size(), size_t(std::lround(double(frames) * to / from)));
        // Sample 0 stays at time 0, so the responses compare with their phases. The
        // converter's ringing before sample 0 is dropped: the error is 36 dB below the
        // level of the guitar's band (which levelling puts at 0 dB) for this response,
        // which starts at full level, but shows in decibels where the response is low.
        for (double hz = 100.0; hz <= 15000.0; hz *= std::pow(2.0, 1.0 / 6.0)) {
            const std::complex<double> want = response(native.channels[0], from, hz);
            const std::complex<double> got = response(moved.channels[0], to, hz);
            EXPECT_LT(std::abs(got - want), 0.03) << hz << " Hz";
            if (hz <= withinHalfDbTo) {
                EXPECT_NEAR(db(got), db(want), 0.5) << hz << " Hz";
            }
        }
    }
}

TEST(ImpulseResponse, EachUnusableFileIsRefusedInOneSentenceNamingIt) {
    PluginDir dir; // a fresh directory, removed at the end
    const std::string d = dir.path + "/";
    const int wav = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    std::ofstream(d + "notes.wav") << "a text file, not a sound\n";
    std::ofstream(d + "zero-bytes.wav").close();
    ASSERT_TRUE(writeSound(d + "no-frames.wav", wav, 48000, {{}}));
    ASSERT_TRUE(writeSound(d + "two-seconds.wav", wav, 44100, {noise(88200, 1)}));
    ASSERT_TRUE(writeSound(d + "too-long.wav", wav, 44100, {noise(88201, 1)}));
    std::vector<float> nan = noise(100, 2), inf = nan;
    nan[50] = std::numeric_limits<float>::quiet_NaN();
    inf[99] = -std::numeric_limits<float>::infinity();
    ASSERT_TRUE(writeSound(d + "nan.wav", wav, 48000, {nan}));
    ASSERT_TRUE(writeSound(d + "inf.wav", wav, 48000, {inf}));
    ASSERT_TRUE(writeSound(d + "eight.wav", wav, 48000, Channels(8, noise(100, 3))));
    ASSERT_TRUE(writeSound(d + "slow.wav", wav, 4000, {noise(100, 4)}));
    ASSERT_TRUE(writeSound(d + "fast.wav", wav, 400000, {noise(100, 5)}));
    ASSERT_TRUE(writeSound(d + "silent.wav", wav, 48000, {std::vector<float>(100, 0.0f)}));
    // A file reported larger than the limit is refused without being read (sparse here).
    std::ofstream(d + "huge.wav").close();
    ASSERT_EQ(truncate((d + "huge.wav").c_str(), off_t(impulse::kMaxFileBytes) + 1), 0);
    const Fifo fifo(d + "fifo.wav");
    ASSERT_TRUE(fifo.ok);
    const std::string longPath = "/" + std::string(4095, 'a');

    // Path, what the message says (empty: taken).
    for (const auto& [path, says] : {
             std::pair<std::string, const char*>{d + "two-seconds.wav", ""},
             {"", "no impulse response file was named"},
             {longPath, " is 4096 bytes long, longer than the 4095 bytes a path may have"},
             {d + "missing.wav", " cannot be opened: No such file or directory"},
             {fifo.path, " is not a regular file (a FIFO, a device or a socket)"},
             {"/dev/zero", " is not a regular file (a FIFO, a device or a socket)"},
             {dir.path, " is a folder, not a sound file"},
             {d + "notes.wav", " is not a sound file that can be read (WAV, FLAC, AIFF, Ogg...)"},
             {d + "zero-bytes.wav", " is empty (0 bytes)"},
             {d + "huge.wav", " is larger than 32 MB"},
             {d + "no-frames.wav", " holds no samples (0 frames)"},
             {d + "too-long.wav",
              " lasts longer than 2 s (more than 88200 frames at 44100 Hz), the longest impulse "
              "response taken"},
             {d + "nan.wav", " holds a sample that is not a number (NaN) or is infinite"},
             {d + "inf.wav", " holds a sample that is not a number (NaN) or is infinite"},
             {d + "eight.wav", " has 8 channels; an impulse response has 1 or 2"},
             {d + "slow.wav", " is sampled at 4000 Hz, outside the 8000 to 384000 Hz taken"},
             {d + "fast.wav", " is sampled at 400000 Hz, outside the 8000 to 384000 Hz taken"},
             {d + "silent.wav", " is silent (every sample is 0) and cannot be levelled"},
         }) {
        SCOPED_TRACE(path.substr(0, 80));
        // A read that blocks (a FIFO waiting for a writer) fails rather than hangs.
        const auto read = withinReleasing(path, [](const std::string& path) {
            std::string error;
            auto ir = impulse::readFile(path, error);
            return std::pair{std::move(ir), error};
        });
        ASSERT_TRUE(read.has_value()) << "the read blocked";
        const auto& [ir, error] = *read;
        if (*says == '\0') {
            EXPECT_TRUE(ir.has_value()) << error;
            continue;
        }
        EXPECT_FALSE(ir.has_value());
        EXPECT_NE(error.find(says), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_LT(error.size(), 200u) << error;
        EXPECT_NE(error.find(path.substr(0, 24)), std::string::npos) << error;
    }

    // From memory, the name given is the one in the sentence.
    std::string error;
    EXPECT_FALSE(impulse::readBytes("RIFF, or so it says", "cab 3", error).has_value());
    EXPECT_EQ(error, "cab 3 is not a sound file that can be read (WAV, FLAC, AIFF, Ogg...)");
    EXPECT_FALSE(impulse::readBytes(fileBytes(d + "eight.wav"), "cab 4", error).has_value());
    EXPECT_EQ(error, "cab 4 has 8 channels; an impulse response has 1 or 2");
}

TEST(ImpulseResponse, LevellingKeepsAGuitarAtOneLevelAndNeverGivesARunawayGain) {
    const double rate = 48000.0;
    const std::vector<float> phrase = pluckedPhrase(rate);
    std::vector<float> room = noise(size_t(0.25 * rate), 11, 0.5);
    for (size_t n = 0; n < room.size(); ++n)
        room[n] *= float(std::exp(-6.91 * double(n) / (0.25 * rate))); // 60 dB down in 0.25 s
    std::vector<double> levels, unitEnergyLevels;
    for (const auto& [name, response] : {
             std::pair<const char*, std::vector<float>>{"bright (+12 dB shelf at 2 kHz)",
                                                        biquad(2000, 0.7, 12, rate, 1200)},
             {"dark (1.5 kHz low-pass)", biquad(1500, 0.7, 0, rate, 1200)},
             {"one sample", {0.3f}},
             {"room (0.25 s decay)", room},
         }) {
        const ImpulseResponse ir = impulse::prepared(ImpulseResponse{rate, {response}}, rate);
        ASSERT_EQ(ir.channels.size(), 1u) << name;
        const std::vector<float>& h = ir.channels[0];
        levels.push_back(energyDb(convolved(phrase, h)) - 10.0 * std::log10(double(phrase.size())));
        unitEnergyLevels.push_back(levels.back() - energyDb(h));
    }
    auto spread = [](const std::vector<double>& v) {
        return *std::max_element(v.begin(), v.end()) - *std::min_element(v.begin(), v.end());
    };
    EXPECT_LE(spread(levels), 1.5);
    // The responses differ enough for the rule to matter: unit energy would not do.
    EXPECT_GT(spread(unitEnergyLevels), 6.0);

    // The one-sample response is a gain of 1 with its sign, at any rate.
    const ImpulseResponse gain = impulse::prepared(ImpulseResponse{44100, {{-0.3f}}}, 96000);
    EXPECT_EQ(gain.channels, Channels{{-1.0f}});
    // A stereo response takes one gain for both sides (from their mean power): the
    // image stays, and the sides are levelled together.
    const std::vector<float> cab = cabinet(rate, 2400);
    std::vector<float> half = cab;
    for (float& s : half)
        s *= 0.5f;
    const ImpulseResponse mono = impulse::prepared(ImpulseResponse{rate, {cab}}, rate);
    const ImpulseResponse stereo = impulse::prepared(ImpulseResponse{rate, {cab, half}}, rate);
    ASSERT_EQ(stereo.channels.size(), 2u);
    const double meanPowerRatio = std::sqrt(1.0 / ((1.0 + 0.25) / 2.0));
    for (size_t n = 0; n < cab.size(); n += 97) {
        EXPECT_FLOAT_EQ(stereo.channels[1][n], 0.5f * stereo.channels[0][n]);
        EXPECT_NEAR(stereo.channels[0][n], mono.channels[0][n] * meanPowerRatio, 1e-6);
    }

    // Nothing in the guitar's band (all at half the rate): raised only until its
    // loudest frequency is at +24 dB.
    std::vector<float> nyquist(64);
    for (size_t n = 0; n < nyquist.size(); ++n)
        nyquist[n] = (n % 2 ? -1e-3f : 1e-3f) * float(std::sin(kPi * (n + 0.5) / 64.0));
    const ImpulseResponse raised = impulse::prepared(ImpulseResponse{48000, {nyquist}}, 48000);
    ASSERT_EQ(raised.channels.size(), 1u);
    EXPECT_NEAR(db(response(raised.channels[0], 48000, 24000)),
                20.0 * std::log10(impulse::kMaxPeakGain), 0.01);
    // What reading refuses, or a rate out of range, gives no response at all.
    const ImpulseResponse refused[] = {
        impulse::prepared(ImpulseResponse{48000, {{0.0f, 0.0f}}}, 48000),
        impulse::prepared(ImpulseResponse{48000, {{0.5f, std::nanf("")}}}, 48000),
        impulse::prepared(ImpulseResponse{48000, {{0.5f}, {0.5f, 0.5f}}}, 48000),
        impulse::prepared(ImpulseResponse{48000, Channels(3, {0.5f})}, 48000),
        impulse::prepared(ImpulseResponse{1000, {{0.5f}}}, 48000),
        impulse::prepared(ImpulseResponse{48000, {{0.5f}}}, 0.0),
        impulse::prepared(ImpulseResponse{48000, {{0.5f}}}, std::nan("")),
    };
    for (const ImpulseResponse& ir : refused)
        EXPECT_TRUE(ir.channels.empty());
}

} // namespace
