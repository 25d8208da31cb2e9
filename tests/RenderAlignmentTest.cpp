// quorle-render as a user runs it: at every oversampling factor the output has the
// input's length and an impulse's peak stays where it was; other factors are refused.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const std::string kDir = QUORLE_TEST_WORK_DIR;

void writeWav(const std::string& path, const std::vector<float>& samples, int rate) {
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
}

std::vector<float> readWav(const std::string& path) {
    SF_INFO info = {};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file)
        return {};
    std::vector<float> samples(static_cast<size_t>(info.frames * info.channels));
    sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    return samples;
}

int render(const std::string& options, const std::string& in, const std::string& out) {
    const std::string command = std::string(QUORLE_RENDER) + " --bundle " QUORLE_BUNDLE_DIR " " +
                                options + " " + in + " " + out + " 2>" + kDir + "/render.err";
    return std::system(command.c_str());
}

TEST(RenderAlignment, AnImpulsePeaksAtItsInputPositionAtEveryFactor) {
    std::system(("mkdir -p " + kDir).c_str());
    std::vector<float> impulse(5000, 0.0f);
    impulse[1234] = 0.5f;
    const std::string in = kDir + "/impulse.wav";
    writeWav(in, impulse, 48000);
    for (const char* factor : {"1", "2", "4", "8", ""}) { // "": the default
        SCOPED_TRACE(factor);
        const std::string out = kDir + "/impulse-" + factor + ".wav";
        const std::string options = *factor ? std::string("--oversampling ") + factor : "";
        ASSERT_EQ(render(options + " --drive 0.3 --block 300", in, out), 0);
        const std::vector<float> got = readWav(out);
        ASSERT_EQ(got.size(), impulse.size());
        size_t peak = 0;
        for (size_t i = 0; i < got.size(); ++i)
            if (std::fabs(got[i]) > std::fabs(got[peak]))
                peak = i;
        EXPECT_EQ(peak, 1234u);
        EXPECT_GT(std::fabs(got[peak]), 0.01f);
    }
    for (const char* bad : {"3", "0", "16", "two"})
        EXPECT_NE(render(std::string("--oversampling ") + bad, in, kDir + "/x.wav"), 0) << bad;
}

} // namespace
