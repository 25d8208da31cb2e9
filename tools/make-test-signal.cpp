// make-test-signal: writes the plucked-string phrase as a 32-bit float WAV for
// tests, one channel or several (each later channel quieter and a little later).
//
//   make-test-signal OUTPUT.wav CHANNELS RATE SECONDS [silent]
#include "tools/PluckedPhrase.h"

#include <sndfile.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: make-test-signal OUTPUT.wav CHANNELS RATE SECONDS [silent]\n");
        return 2;
    }
    const int channels = std::atoi(argv[2]);
    const int rate = std::atoi(argv[3]);
    const double seconds = std::atof(argv[4]);
    if (channels < 1 || channels > 64 || rate < 1000 || !(seconds >= 0.0 && seconds <= 600.0)) {
        std::fprintf(stderr, "make-test-signal: bad arguments\n");
        return 2;
    }
    std::vector<float> phrase = pluckedPhrase(rate, seconds);
    if (argc == 6)
        std::fill(phrase.begin(), phrase.end(), 0.0f);
    std::vector<float> interleaved(phrase.size() * static_cast<size_t>(channels), 0.0f);
    for (size_t i = 0; i < phrase.size(); ++i)
        for (int c = 0; c < channels; ++c) {
            size_t lag = static_cast<size_t>(c) * 100;
            interleaved[i * channels + c] = i >= lag ? phrase[i - lag] / (1.0f + c) : 0.0f;
        }
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(argv[1], SFM_WRITE, &info);
    if (!file) {
        std::fprintf(stderr, "make-test-signal: cannot write %s\n", argv[1]);
        return 1;
    }
    sf_writef_float(file, interleaved.data(), static_cast<sf_count_t>(phrase.size()));
    sf_close(file);
    return 0;
}
