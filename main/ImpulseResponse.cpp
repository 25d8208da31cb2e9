#include "main/ImpulseResponse.h"

#include "main/RealFft.h"
#include "main/WholeFile.h"

#include <samplerate.h>
#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace impulse {

namespace {

// Frames decoded per libsndfile call.
constexpr sf_count_t kDecodeFrames = 4096;
// libsamplerate's code for a failed allocation (SRC_ERR_MALLOC_FAILED, which its
// public header does not declare).
constexpr int kResamplerOutOfMemory = 1;

// A file in memory as libsndfile's virtual I/O reads it.
struct MemoryFile {
    const std::string& bytes;
    sf_count_t at = 0;
};

sf_count_t memoryLength(void* user) {
    return static_cast<sf_count_t>(static_cast<MemoryFile*>(user)->bytes.size());
}

sf_count_t memorySeek(sf_count_t offset, int whence, void* user) {
    auto& file = *static_cast<MemoryFile*>(user);
    const sf_count_t base = whence == SEEK_CUR   ? file.at
                            : whence == SEEK_END ? static_cast<sf_count_t>(file.bytes.size())
                                                 : 0;
    if (offset > 0 && offset > std::numeric_limits<sf_count_t>::max() - base)
        return -1;
    if (base + offset < 0)
        return -1;
    file.at = base + offset; // past the end, reads find nothing
    return file.at;
}

sf_count_t memoryRead(void* to, sf_count_t count, void* user) {
    auto& file = *static_cast<MemoryFile*>(user);
    const auto size = static_cast<sf_count_t>(file.bytes.size());
    if (count <= 0 || file.at >= size)
        return 0;
    const sf_count_t n = std::min(count, size - file.at);
    std::memcpy(to, file.bytes.data() + file.at, static_cast<size_t>(n));
    file.at += n;
    return n;
}

sf_count_t memoryWrite(const void*, sf_count_t, void*) {
    return 0;
}

sf_count_t memoryTell(void* user) {
    return static_cast<MemoryFile*>(user)->at;
}

struct SoundFileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};

std::optional<ImpulseResponse> refuse(std::string& error, std::string sentence) {
    error = std::move(sentence);
    return std::nullopt;
}

// The one sentence telling why the file at `path` was not read.
std::string unreadable(const std::string& path, const WholeFile& file) {
    switch (file.fault) {
    case FileFault::kCannotOpen: return path + " cannot be opened: " + file.reason();
    case FileFault::kFolder: return path + " is a folder, not a sound file";
    case FileFault::kNotRegular:
        return path + " is not a regular file (a FIFO, a device or a socket)";
    case FileFault::kCannotRead: return path + " " + file.reason();
    default: return path + " is " + file.reason();
    }
}

// `text` cut to at most `most` bytes at the start (`fromEnd` false) or at the end,
// never inside a UTF-8 character.
std::string cut(const std::string& text, size_t most, bool fromEnd) {
    if (text.size() <= most)
        return text;
    size_t at = fromEnd ? text.size() - most : most;
    while (at > 0 && at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80)
        at += fromEnd ? 1 : -1;
    return fromEnd ? text.substr(at) : text.substr(0, at);
}

// Decodes a whole sound file held in `bytes`.
std::optional<ImpulseResponse> decode(const std::string& bytes, const std::string& name,
                                      std::string& error) {
    MemoryFile memory{bytes};
    SF_VIRTUAL_IO io = {memoryLength, memorySeek, memoryRead, memoryWrite, memoryTell};
    SF_INFO info = {};
    std::unique_ptr<SNDFILE, SoundFileCloser> file(sf_open_virtual(&io, SFM_READ, &info, &memory));
    if (!file || info.channels < 1)
        return refuse(error,
                      name + " is not a sound file that can be read (WAV, FLAC, AIFF, Ogg...)");
    if (static_cast<size_t>(info.channels) > kMaxChannels)
        return refuse(error, name + " has " + std::to_string(info.channels) +
                                 " channels; an impulse response has 1 or 2");
    if (info.samplerate < kMinRate || info.samplerate > kMaxRate)
        return refuse(error, name + " is sampled at " + std::to_string(info.samplerate) +
                                 " Hz, outside the " + std::to_string(kMinRate) + " to " +
                                 std::to_string(kMaxRate) + " Hz taken");

    // The header's frame count may be wrong or unknown: the frames are counted as
    // they are decoded, up to one past the most taken.
    const auto channels = static_cast<size_t>(info.channels);
    const auto most = static_cast<sf_count_t>(std::floor(kMaxSeconds * info.samplerate));
    std::vector<float> interleaved;
    std::vector<float> chunk(static_cast<size_t>(kDecodeFrames) * channels);
    sf_count_t frames = 0;
    while (frames <= most) {
        const sf_count_t want = std::min(kDecodeFrames, most + 1 - frames);
        const sf_count_t got = sf_readf_float(file.get(), chunk.data(), want);
        if (got <= 0)
            break;
        interleaved.insert(interleaved.end(), chunk.begin(),
                           chunk.begin() + static_cast<ptrdiff_t>(got) * info.channels);
        frames += got;
    }
    if (frames == 0)
        return refuse(error, name + " holds no samples (0 frames)");
    if (frames > most)
        return refuse(error, name + " lasts longer than " + std::to_string(int(kMaxSeconds)) +
                                 " s (more than " + std::to_string(most) + " frames at " +
                                 std::to_string(info.samplerate) +
                                 " Hz), the longest impulse response taken");

    bool sounds = false;
    for (float s : interleaved) {
        if (!std::isfinite(s))
            return refuse(error,
                          name + " holds a sample that is not a number (NaN) or is infinite");
        sounds = sounds || s != 0.0f;
    }
    if (!sounds)
        return refuse(error, name + " is silent (every sample is 0) and cannot be levelled");

    ImpulseResponse ir;
    ir.rate = info.samplerate;
    ir.channels.assign(channels, std::vector<float>(static_cast<size_t>(frames)));
    for (size_t n = 0; n < static_cast<size_t>(frames); ++n)
        for (size_t c = 0; c < channels; ++c)
            ir.channels[c][n] = interleaved[n * channels + c];
    error.clear();
    return ir;
}

// Whether `ir` is one readFile() could have given.
bool usable(const ImpulseResponse& ir) {
    if (!(ir.rate >= kMinRate && ir.rate <= kMaxRate) || ir.channels.empty() ||
        ir.channels.size() > kMaxChannels)
        return false;
    const size_t frames = ir.channels[0].size();
    if (frames == 0 || double(frames) > std::floor(kMaxSeconds * ir.rate))
        return false;
    bool sounds = false;
    for (const std::vector<float>& channel : ir.channels) {
        if (channel.size() != frames)
            return false;
        for (float s : channel) {
            if (!std::isfinite(s))
                return false;
            sounds = sounds || s != 0.0f;
        }
    }
    return sounds;
}

// `in` at `ratio` times its rate, `frames` long.
std::vector<float> resampled(const std::vector<float>& in, double ratio, size_t frames) {
    if (in.size() == 1)
        return in; // a plain gain at any rate
    std::vector<float> out(frames + 2, 0.0f);
    SRC_DATA data = {};
    data.data_in = in.data();
    data.input_frames = static_cast<long>(in.size());
    data.data_out = out.data();
    data.output_frames = static_cast<long>(out.size());
    data.src_ratio = ratio;
    data.end_of_input = 1;
    const int failed = src_simple(&data, SRC_SINC_BEST_QUALITY, 1);
    if (failed == kResamplerOutOfMemory)
        throw std::bad_alloc();
    if (failed)
        return {};
    out.resize(frames); // zeros past what the converter gave
    return out;
}

// The factor `ir` is scaled by (see prepared()).
double levelGain(const ImpulseResponse& ir) {
    const size_t frames = ir.channels[0].size();
    // Bins no wider than 2 Hz, so that the lowest band holds some 45 of them.
    size_t size = 1;
    while (size < frames || double(size) < ir.rate / 2.0)
        size *= 2;
    RealFft spectrum(size);
    const double binHz = ir.rate / double(size);
    double bandPower = 0.0; // summed over channels and bands
    double peak = 0.0;      // the largest |H|^2 of any channel
    size_t bands = 0;
    for (const std::vector<float>& channel : ir.channels) {
        // The response zero-padded to the transform's size.
        std::fill(spectrum.input(), spectrum.input() + size, 0.0);
        std::copy(channel.begin(), channel.end(), spectrum.input());
        spectrum.run();
        for (size_t k = 0; k < spectrum.bins(); ++k)
            peak = std::max(peak, spectrum.power(k));
        for (double centre = kBandLowHz; centre <= kBandHighHz * 1.001; centre *= 2.0) {
            const auto from = static_cast<size_t>(std::ceil(centre / std::sqrt(2.0) / binHz));
            const auto to = std::min(
                spectrum.bins(), static_cast<size_t>(std::ceil(centre * std::sqrt(2.0) / binHz)));
            double sum = 0.0;
            for (size_t k = from; k < to; ++k)
                sum += spectrum.power(k);
            if (to > from) {
                bandPower += sum / double(to - from);
                ++bands;
            }
        }
    }
    double gain = bandPower > 0.0 ? std::sqrt(double(bands) / bandPower)
                                  : std::numeric_limits<double>::infinity();
    if (peak > 0.0 && gain * gain * peak > kMaxPeakGain * kMaxPeakGain)
        gain = kMaxPeakGain / std::sqrt(peak);
    return gain; // infinite only for a silent response
}

} // namespace

std::optional<ImpulseResponse> readBytes(const std::string& bytes, const std::string& name,
                                         std::string& error) {
    if (bytes.empty())
        return refuse(error, name + " is empty (0 bytes)");
    if (bytes.size() > kMaxFileBytes)
        return refuse(error, name + " is larger than " + byteCount(kMaxFileBytes));
    return decode(bytes, name, error);
}

std::optional<std::string> fileBytes(const std::string& path, std::string& error) {
    auto refused = [&](std::string sentence) -> std::optional<std::string> {
        error = std::move(sentence);
        return std::nullopt;
    };
    if (path.empty())
        return refused("no impulse response file was named");
    if (path.size() > kMaxPathBytes)
        return refused("the impulse response path " + cut(path, 24, false) + "..." +
                       cut(path, 24, true) + " is " + std::to_string(path.size()) +
                       " bytes long, longer than the " + std::to_string(kMaxPathBytes) +
                       " bytes a path may have");
    if (path.find('\0') != std::string::npos)
        return refused("the impulse response path " + std::string(path.c_str()) +
                       " holds a NUL byte");
    WholeFile file = readWholeFile(path, kMaxFileBytes);
    if (!file.ok())
        return refused(unreadable(path, file));
    error.clear();
    return std::move(file.bytes);
}

std::optional<ImpulseResponse> readFile(const std::string& path, std::string& error) {
    const std::optional<std::string> bytes = fileBytes(path, error);
    if (!bytes)
        return std::nullopt;
    return decode(*bytes, path, error);
}

ImpulseResponse prepared(const ImpulseResponse& ir, double rate, std::string* why) {
    auto fail = [&](const std::string& reason) {
        if (why)
            *why = reason;
        return ImpulseResponse{};
    };
    if (!usable(ir) || !(rate >= kMinRate && rate <= kMaxRate))
        return fail("it is no usable response at " + std::to_string(std::lround(rate)) + " Hz");
    ImpulseResponse out;
    out.rate = rate;
    const double ratio = rate / ir.rate;
    const size_t in = ir.channels[0].size();
    const size_t frames = std::max<size_t>(1, static_cast<size_t>(std::lround(double(in) * ratio)));
    const std::string resampling = "resampled from " + std::to_string(std::lround(ir.rate)) +
                                   " to " + std::to_string(std::lround(rate)) + " Hz";
    for (const std::vector<float>& channel : ir.channels) {
        out.channels.push_back(ratio == 1.0 ? channel : resampled(channel, ratio, frames));
        if (out.channels.back().empty())
            return fail("it cannot be " + resampling);
        for (float s : out.channels.back())
            if (!std::isfinite(s))
                return fail(resampling + ", its samples grow beyond the largest a float holds");
    }
    const double gain = levelGain(out);
    if (!(gain > 0.0) || !std::isfinite(gain))
        return fail("its level at " + std::to_string(std::lround(rate)) +
                    " Hz cannot be measured (samples too large or too small)");
    for (std::vector<float>& channel : out.channels)
        for (float& s : channel)
            s = static_cast<float>(s * gain);
    return out;
}

} // namespace impulse
