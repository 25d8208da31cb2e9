// audio-diff: exits 0 when two audio files hold the same samples (same channel
// count, rate and length, every sample equal); otherwise says where they differ.
//
//   audio-diff A B
#include <sndfile.h>

#include <cstdio>
#include <vector>

namespace {
bool load(const char* path, SF_INFO& info, std::vector<float>& samples) {
    SNDFILE* file = sf_open(path, SFM_READ, &info);
    if (!file) {
        std::fprintf(stderr, "audio-diff: cannot read %s\n", path);
        return false;
    }
    samples.resize(static_cast<size_t>(info.frames) * static_cast<size_t>(info.channels));
    sf_count_t got = sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    return got == info.frames;
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: audio-diff A B\n");
        return 2;
    }
    SF_INFO a = {}, b = {};
    std::vector<float> x, y;
    if (!load(argv[1], a, x) || !load(argv[2], b, y))
        return 2;
    if (a.channels != b.channels || a.samplerate != b.samplerate || a.frames != b.frames) {
        std::fprintf(
            stderr,
            "audio-diff: shapes differ: %d ch %d Hz %lld frames vs %d ch %d Hz %lld frames\n",
            a.channels, a.samplerate, static_cast<long long>(a.frames), b.channels, b.samplerate,
            static_cast<long long>(b.frames));
        return 1;
    }
    for (size_t i = 0; i < x.size(); ++i)
        if (x[i] != y[i]) {
            std::fprintf(stderr, "audio-diff: frame %zu channel %zu: %.9g vs %.9g\n",
                         i / static_cast<size_t>(a.channels), i % static_cast<size_t>(a.channels),
                         x[i], y[i]);
            return 1;
        }
    return 0;
}
