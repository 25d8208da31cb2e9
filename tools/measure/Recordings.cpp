#include "tools/measure/Recordings.h"

#include "tools/measure/Metrics.h"
#include "tools/measure/Renderer.h"

#include <sndfile.h>

#include <algorithm>
#include <dirent.h>
#include <sys/stat.h>

namespace measure {

namespace {

std::string baseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

bool endsWith(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

} // namespace

Recording readRecording(const std::string& path, double rate) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file)
        throw RenderError("cannot read the recording \"" + path + "\": " + sf_strerror(nullptr));
    Signal mono;
    if (info.channels > 0 && info.frames > 0 && info.samplerate > 0) {
        const auto channels = static_cast<size_t>(info.channels);
        std::vector<float> block(4096 * channels);
        sf_count_t got = 0;
        while ((got = sf_readf_float(file, block.data(), 4096)) > 0)
            for (sf_count_t i = 0; i < got; ++i) {
                double sum = 0.0;
                for (size_t c = 0; c < channels; ++c)
                    sum += block[static_cast<size_t>(i) * channels + c];
                mono.push_back(static_cast<float>(sum / static_cast<double>(channels)));
            }
    }
    sf_close(file);
    if (!mono.empty() && info.samplerate != static_cast<int>(rate))
        mono = resampled(mono, info.samplerate, rate);
    const double level = mono.empty() ? kFloorDb : rmsDb(mono.data(), mono.size());
    if (!(level > -120.0))
        throw RenderError("the recording \"" + path + "\" holds no sound");
    const auto gain = static_cast<float>(amplitudeOf(kRecordingDbfs - level));
    for (float& v : mono)
        v *= gain;
    return {baseName(path), std::move(mono)};
}

std::vector<Recording> readRecordings(const std::string& dir, double rate) {
    struct stat st {};
    if (stat(dir.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
        return {readRecording(dir, rate)};
    DIR* d = opendir(dir.c_str());
    if (!d)
        throw RenderError("cannot open the folder of recordings \"" + dir + "\"");
    std::vector<std::string> paths;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (endsWith(name, ".wav") || endsWith(name, ".flac"))
            paths.push_back(dir + "/" + name);
    }
    closedir(d);
    std::sort(paths.begin(), paths.end());
    if (paths.empty())
        throw RenderError("the folder \"" + dir + "\" holds no .wav or .flac recording");
    std::vector<Recording> out;
    for (const std::string& path : paths)
        out.push_back(readRecording(path, rate));
    return out;
}

} // namespace measure
