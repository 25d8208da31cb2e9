// quorle-render: an offline host. Reads an audio file, runs every channel through
// the plug-in (one kernel per channel) at the file's sample rate, and writes the
// result in the format the output's extension names.
//
//   quorle-render [options] INPUT OUTPUT
//   quorle-render [options] --list-models
//   quorle-render [options] --list-presets
//   quorle-render [options] --demo OUTDIR
//   quorle-render --version
#include "au/AUBase.h"
#include "au/quorleIds.h"
#include "lv2/CabinetPorts.h"
#include "main/CabinetLoad.h"
#include "main/DataArchive.h"
#include "main/ModelRefusal.h"
#include "main/UserArchive.h"
#include "main/VorlixMac.h"
#include "main/WholeFile.h"
#include "tools/FactoryPresets.h"
#include "tools/PluckedPhrase.h"
#include "tools/PluginHost.h"
#include "tools/ReplacedFile.h"

#include <sndfile.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr UInt32 kMaxSlice = 4096; // frames per render call the unit is set up for
// Samples (frames x channels) a file is read, rendered and written in at a time:
// memory stays bounded whatever the file's length.
constexpr sf_count_t kChunkSamples = 1 << 16;
// The largest presets.ttl read (bytes): the shipped one holds 14 presets in 8 KB.
constexpr size_t kMaxPresetsBytes = size_t(1) << 20;

struct Options {
    float drive = 0.5f, post = 0.5f, bass = 0.5f;
    std::optional<std::string> model; // index or name; none: model 0
    std::string bundle;
    std::string archive; // a player's data archive; empty: the bundle's
    // The archive the unit plays, as read (the player's, checked, or the bundle's).
    std::shared_ptr<const DataArchive> playing;
    // The model's own (the default), off, a shipped cabinet's name or a file.
    std::string cabinet = cabinet::kModelsOwn;
    // The cabinet as read once, at its own rate (none for off), and a file's bytes,
    // which the unit is handed: what was checked is what plays.
    std::optional<ImpulseResponse> cabinetRead;
    std::string cabinetBytes;
    long block = 512;
    UInt32 oversampling = kQuorleDefaultOversampling;
    bool listModels = false;
    bool listPresets = false;
    // A factory preset (--preset), and the controls given after it, which it leaves.
    std::optional<std::string> preset;
    bool afterPreset[5] = {}; // drive, post, bass, model, cabinet
    std::string demoDir;
    std::vector<std::string> files;
};

bool gProgressShown = false; // a progress bar is on the terminal's last line

[[noreturn]] void die(const std::string& message, int status = 1) {
    if (gProgressShown)
        std::fprintf(stderr, "\r%-48s\r", "");
    ReplacedFile::removeTemporary(); // an output being written
    std::fprintf(stderr, "quorle-render: %s\n", message.c_str());
    std::exit(status);
}

void usage(FILE* to) {
    std::fprintf(to,
                 "usage: quorle-render [options] INPUT OUTPUT\n"
                 "       quorle-render [options] --list-models\n"
                 "       quorle-render [options] --list-presets\n"
                 "       quorle-render [options] --demo OUTDIR\n"
                 "       quorle-render --version\n"
                 "options:\n"
                 "  --drive X      drive, 0..1 (default 0.5)\n"
                 "  --post X       post gain, 0..1 (default 0.5)\n"
                 "  --bass X       bass tilt, 0..1 (default 0.5)\n"
                 "  --model M      model index or name (see --list-models; default 0); one\n"
                 "                 the archive holds but that cannot be played is named with\n"
                 "                 the reason and nothing is rendered (status 2)\n"
                 "  --preset P     a factory preset of the bundle (see --list-presets), by its\n"
                 "                 label or its short name (\"Classic crunch\", classic-crunch;\n"
                 "                 letter case ignored): its model, drive, post gain, bass and,\n"
                 "                 for the Rig: presets, cabinet; those options given after it\n"
                 "                 win; an unknown name lists the presets (status 2)\n"
                 "  --bundle DIR   plug-in bundle (default: the one beside this program)\n"
                 "  --archive FILE a data archive of your own models (quorle-model pack);\n"
                 "                 one that cannot be used is named and the bundle's plays\n"
                 "  --cabinet C    the speaker cabinet after the drive: model (the default: the\n"
                 "                 one the model was voiced for), off, a shipped one\n"
                 "                 (4x12-closed, 1x12-open, 1x8-combo, 2x12-bright,\n"
                 "                 2x10-open, 1x15-open)\n"
                 "                 or your own impulse-response file (WAV, FLAC, AIFF...,\n"
                 "                 mono or stereo, up to 2 s); one that cannot be played is\n"
                 "                 named and nothing is rendered (status 2)\n"
                 "  --block N      frames per render call, 1 or more (default 512)\n"
                 "  --oversampling N\n"
                 "                 run the model at the file's rate times N: 1, 2, 4 or 8\n"
                 "                 (default %u); the output stays aligned with the input\n"
                 "The output format follows OUTPUT's extension: .wav (32-bit float), .flac,\n"
                 ".aiff, .caf, .w64, .au, .ogg.\n",
                 static_cast<unsigned>(kQuorleDefaultOversampling));
}

float unitValue(const std::string& option, const char* text) {
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text, &end);
    if (end == text || *end || errno == ERANGE || !(v >= 0.0 && v <= 1.0))
        die(option + " needs a value from 0 to 1, not \"" + text + "\"");
    return static_cast<float>(v);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc)
                die(a + " needs a value");
            return argv[++i];
        };
        if (a == "--drive") {
            o.drive = unitValue(a, value());
            o.afterPreset[0] = true;
        } else if (a == "--post") {
            o.post = unitValue(a, value());
            o.afterPreset[1] = true;
        } else if (a == "--bass") {
            o.bass = unitValue(a, value());
            o.afterPreset[2] = true;
        } else if (a == "--model") {
            o.model = value();
            o.afterPreset[3] = true;
        } else if (a == "--preset") {
            o.preset = value();
            std::fill(std::begin(o.afterPreset), std::end(o.afterPreset), false);
        } else if (a == "--list-presets")
            o.listPresets = true;
        else if (a == "--bundle")
            o.bundle = value();
        else if (a == "--archive")
            o.archive = value();
        else if (a == "--cabinet") {
            o.cabinet = value();
            o.afterPreset[4] = true;
        } else if (a == "--block") {
            const char* text = value();
            char* end = nullptr;
            errno = 0;
            o.block = std::strtol(text, &end, 10);
            if (end == text || *end || errno == ERANGE || o.block < 1)
                die("--block needs a whole number of frames, 1 or more, not \"" +
                    std::string(text) + "\"");
        } else if (a == "--oversampling") {
            const char* text = value();
            char* end = nullptr;
            errno = 0;
            const long factor = std::strtol(text, &end, 10);
            if (end == text || *end || !(factor == 1 || factor == 2 || factor == 4 || factor == 8))
                die("--oversampling needs 1, 2, 4 or 8, not \"" + std::string(text) + "\"");
            o.oversampling = static_cast<UInt32>(factor);
        } else if (a == "--list-models")
            o.listModels = true;
        else if (a == "--demo")
            o.demoDir = value();
        else if (a == "--help" || a == "-h") {
            usage(stdout);
            std::exit(0);
        } else if (a == "--version") {
            std::printf("quorle-render %s\n", QUORLE_VERSION);
            std::exit(0);
        } else if (a.size() > 1 && a[0] == '-' && a != "-")
            die("unknown option " + a + " (see --help)");
        else
            o.files.push_back(a);
    }
    if (!o.listModels && !o.listPresets && o.demoDir.empty() && o.files.size() != 2) {
        usage(stderr);
        std::exit(2);
    }
    return o;
}

// The bundle's factory presets (its presets.ttl, opened once without blocking and
// read whole up to kMaxPresetsBytes); a file that cannot be read or understood ends
// the run, status 2.
std::vector<FactoryPreset> factoryPresets(const Options& o) {
    const std::string path = o.bundle + "/presets.ttl";
    const WholeFile file = readWholeFile(path, kMaxPresetsBytes);
    if (!file.ok())
        die("cannot read " + path + ": " + file.reason(), 2);
    std::vector<FactoryPreset> presets;
    std::string error;
    if (!parseFactoryPresets(file.bytes, presets, error))
        die(path + ": " + error, 2);
    return presets;
}

// The options' preset applied: each control it sets, unless given after it. The
// model is the index the preset holds (into whichever archive plays, as in an LV2
// host); the cabinet the shipped one its value numbers (0 off, shipped ones from 2,
// in the LV2 Cabinet port's fixed order).
void applyPreset(Options& o) {
    const std::vector<FactoryPreset> presets = factoryPresets(o);
    const FactoryPreset* preset = findFactoryPreset(presets, *o.preset);
    if (!preset) {
        std::string names;
        for (const FactoryPreset& p : presets)
            names += (names.empty() ? "" : ", ") + p.fragment;
        die("no preset \"" + *o.preset + "\" in " + o.bundle +
                "/presets.ttl; the presets: " + names,
            2);
    }
    const auto& v = preset->values;
    if (!o.afterPreset[0])
        o.drive = static_cast<float>(v.at("drive"));
    if (!o.afterPreset[1])
        o.post = static_cast<float>(v.at("post"));
    if (!o.afterPreset[2])
        o.bass = static_cast<float>(v.at("bass"));
    if (!o.afterPreset[3])
        o.model = std::to_string(std::lround(v.at("model")));
    const auto cabinet = v.find("cabinet");
    if (o.afterPreset[4] || cabinet == v.end())
        return;
    const long number = std::lround(cabinet->second);
    if (number == -1)
        o.cabinet = cabinet::kModelsOwn;
    else if (number == 0)
        o.cabinet = cabinet::kOff;
    else if (number >= 2 && number - 2 < quorlelv2::kCabinetPortCount)
        o.cabinet = quorlelv2::kCabinetPortNames[number - 2];
    else
        die("preset " + preset->fragment + " names cabinet " + std::to_string(number) +
                ", which the bundle does not ship",
            2);
}

int listPresets(const Options& o) {
    for (const FactoryPreset& p : factoryPresets(o))
        std::printf("%-20s %s\n", p.fragment.c_str(), p.label.c_str());
    return 0;
}

void check(OSStatus status, const char* what) {
    if (status != noErr)
        die(std::string(what) + " failed: status " + std::to_string(status) + " (" +
            statusName(status) + ")");
}

// A rate in Hz as a user writes it: 44100, 22050.5.
std::string hertz(double rate) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.10g", rate);
    return text;
}

// The model `text` names: an index into `names` or one of them.
long modelIndex(const std::string& text, const std::vector<std::string>& names) {
    char* end = nullptr;
    errno = 0;
    long index = std::strtol(text.c_str(), &end, 10);
    if (*end == 0 && end != text.c_str()) {
        if (errno == ERANGE || index < 0 || index >= static_cast<long>(names.size()))
            die("unknown model " + text + ": the bundle has " + std::to_string(names.size()) +
                " models, 0 to " + std::to_string(names.size() - 1));
        return index;
    }
    for (size_t m = 0; m < names.size(); ++m)
        if (names[m] == text)
            return static_cast<long>(m);
    die("unknown model \"" + text + "\" (see --list-models)");
}

// The bundle's unit loaded, set to play the options' archive when one was named.
void loadUnit(PluginHost& host, const Options& o) {
    std::string error;
    if (!host.load(o.bundle, error))
        die(error);
    // Like the LV2 plug-in, a change of model crossfades rather than clicks.
    const UInt32 fades = 1;
    check(AudioUnitSetProperty(host.unit(), kQuorleProperty_FadeModelSwitches,
                               kAudioUnitScope_Global, 0, &fades, sizeof(fades)),
          "asking for faded model switches");
    if (!o.archive.empty())
        check(AudioUnitSetProperty(host.unit(), kQuorleProperty_ArchivePath, kAudioUnitScope_Global,
                                   0, o.archive.c_str(), static_cast<UInt32>(o.archive.size() + 1)),
              "choosing the data archive");
    // Read by readCabinet() first (the model's own made a name there; left as it is only
    // for the listings); off is the unit's own default.
    if (!o.cabinetBytes.empty()) {
        const std::string value = o.cabinet + '\0' + o.cabinetBytes;
        check(AudioUnitSetProperty(host.unit(), kQuorleProperty_CabinetBytes,
                                   kAudioUnitScope_Global, 0, value.data(),
                                   static_cast<UInt32>(value.size())),
              "choosing the cabinet");
    } else if (!cabinet::isOff(o.cabinet) && !cabinet::isModelsOwn(o.cabinet))
        check(AudioUnitSetProperty(host.unit(), kQuorleProperty_Cabinet, kAudioUnitScope_Global, 0,
                                   o.cabinet.c_str(), static_cast<UInt32>(o.cabinet.size() + 1)),
              "choosing the cabinet");
}

// The options' cabinet read once (kept in `o`), shipped names from the bundle's
// archive: one that cannot be played is named in one line, status 2.
void readCabinet(Options& o, size_t model) {
    const std::shared_ptr<const DataArchive> bundled = DataArchive::readDirectory(o.bundle + "/");
    if (cabinet::isModelsOwn(o.cabinet)) {
        // The shipped cabinet the model names; a model that names none plays none.
        const std::vector<std::string>& names = o.playing->modelNames();
        const std::string own =
            model < names.size() ? cabinet::modelsOwn(*o.playing, names[model], *bundled) : "";
        o.cabinet = own.empty() ? cabinet::kOff : own;
    }
    if (cabinet::isOff(o.cabinet))
        return;
    std::string error;
    if (cabinet::shippedName(*bundled, o.cabinet).empty()) {
        std::optional<std::string> bytes = impulse::fileBytes(o.cabinet, error);
        if (bytes) {
            o.cabinetRead = impulse::readBytes(*bytes, o.cabinet, error);
            o.cabinetBytes = std::move(*bytes);
        }
    } else {
        o.cabinetRead = cabinet::read(*bundled, o.cabinet, error);
    }
    if (!o.cabinetRead) {
        std::fprintf(stderr, "quorle-render: cannot play the cabinet: %s\n", error.c_str());
        std::exit(2);
    }
}

// Ends the run unless the unit started: a cabinet that cannot play at `rate` is
// named with the reason, status 2.
void checkStarted(OSStatus started, const Options& o, double rate) {
    std::string why;
    if (started == kAudioUnitErr_FailedInitialization && o.cabinetRead &&
        impulse::prepared(*o.cabinetRead, rate, &why).channels.empty()) {
        std::fprintf(stderr, "quorle-render: cannot play the cabinet %s: %s\n", o.cabinet.c_str(),
                     why.c_str());
        std::exit(2);
    }
    check(started, "starting the plug-in");
}

// Stops the run, status 2, when model `index` of the archive the unit plays cannot
// be built: one line naming it, the archive and the builder's reasons. The unit
// would play its fixed stage alone in its place. Built from the same copy of the
// archive the unit reads (the builder's verdict does not depend on the rate).
void checkModel(const Options& o, long index) {
    VorlixMac effect;
    effect.setMaxBlock(64);
    effect.archive = o.playing;
    effect.init();
    if (index < 0 || static_cast<size_t>(index) >= effect.modelNames.size() ||
        effect.prepare(static_cast<int>(index)))
        return;
    const std::string file = o.archive.empty() ? o.bundle + "/quorle.data" : o.archive;
    die(modelRefusal(static_cast<int>(index), effect.modelNames[static_cast<size_t>(index)], file,
                     effect.lastRefusal()),
        2);
}

// A unit loaded, started for `channels` at `rate` and set up as the options say.
// Returns its latency in frames.
sf_count_t startUnit(PluginHost& host, const Options& o, double rate, UInt32 channels,
                     const std::vector<std::string>* models = nullptr, long model = -1) {
    loadUnit(host, o);
    check(AudioUnitSetProperty(host.unit(), kQuorleProperty_Oversampling, kAudioUnitScope_Global, 0,
                               &o.oversampling, sizeof(o.oversampling)),
          "setting the oversampling");
    const OSStatus started =
        host.start(rate, channels, static_cast<UInt32>(std::min<long>(o.block, kMaxSlice)));
    if (started == kAudioUnitErr_FormatNotSupported && host.sampleRate() != rate)
        die("sample rate " + hertz(rate) + " Hz is not supported (" +
            hertz(AUBase::kMinSampleRate) + ".." + hertz(AUBase::kMaxSampleRate) + " Hz)");
    checkStarted(started, o, rate);
    std::vector<std::string> names = models ? *models : host.modelNames();
    if (names.empty())
        die("the bundle " + o.bundle + " lists no models");
    if (model < 0 && o.model)
        model = modelIndex(*o.model, names);
    checkModel(o, std::max(model, 0L));
    check(host.setParameter(0, o.drive), "setting the drive");
    check(host.setParameter(1, o.post), "setting the post gain");
    check(host.setParameter(2, o.bass), "setting the bass");
    check(host.setParameter(3, static_cast<float>(std::max(model, 0L))), "choosing the model");
    Float64 seconds = 0;
    UInt32 size = sizeof(seconds);
    check(AudioUnitGetProperty(host.unit(), kAudioUnitProperty_Latency, kAudioUnitScope_Global, 0,
                               &seconds, &size),
          "reading the latency");
    return static_cast<sf_count_t>(std::llround(seconds * rate));
}

// Shows a progress bar on a terminal once the render has taken a second.
class Progress {
  public:
    explicit Progress(sf_count_t total)
        : total(total), tty(isatty(STDERR_FILENO)), start(std::chrono::steady_clock::now()) {}
    void update(sf_count_t done) {
        if (!tty || total <= 0)
            return;
        auto now = std::chrono::steady_clock::now();
        if (now - start < std::chrono::seconds(1) || now - last < std::chrono::milliseconds(100))
            return;
        last = now;
        gProgressShown = true;
        int width = 40, filled = static_cast<int>(width * done / total);
        std::fprintf(stderr, "\r[%-*s] %3d%%", width, std::string(filled, '#').c_str(),
                     static_cast<int>(100 * done / total));
    }
    ~Progress() {
        if (gProgressShown)
            std::fprintf(stderr, "\r%-48s\r", "");
        gProgressShown = false;
    }

  private:
    sf_count_t total;
    bool tty;
    std::chrono::steady_clock::time_point start, last;
};

// Renders the first `frames` frames of deinterleaved channels in calls of at most
// `block` frames.
void renderChannels(PluginHost& host, std::vector<std::vector<float>>& in,
                    std::vector<std::vector<float>>& out, sf_count_t frames, long block) {
    const UInt32 slice = static_cast<UInt32>(std::min<long>(block, kMaxSlice));
    std::vector<const float*> ins(in.size());
    std::vector<float*> outs(out.size());
    for (sf_count_t at = 0; at < frames; at += slice) {
        UInt32 n = static_cast<UInt32>(std::min<sf_count_t>(slice, frames - at));
        for (size_t c = 0; c < in.size(); ++c) {
            ins[c] = in[c].data() + at;
            outs[c] = out[c].data() + at;
        }
        check(host.render(ins.data(), outs.data(), n), "rendering");
    }
}

int outputFormat(const std::string& path) {
    std::string ext = fs::path(path).extension().string();
    for (char& c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == ".wav")
        return SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    if (ext == ".flac")
        return SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
    if (ext == ".aiff" || ext == ".aif")
        return SF_FORMAT_AIFF | SF_FORMAT_FLOAT;
    if (ext == ".caf")
        return SF_FORMAT_CAF | SF_FORMAT_FLOAT;
    if (ext == ".w64")
        return SF_FORMAT_W64 | SF_FORMAT_FLOAT;
    if (ext == ".au")
        return SF_FORMAT_AU | SF_FORMAT_FLOAT;
    if (ext == ".ogg")
        return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    die("cannot tell the output format from \"" + path +
        "\": use .wav, .flac, .aiff, .caf, .w64, .au or .ogg");
}

// An audio file written in pieces, in the format its extension names, under a
// temporary name beside the file `path` ends at (through links) and moved into
// place when complete (tools/ReplacedFile.h): a failed or interrupted run leaves no
// half file and any earlier file of that name untouched, and the output may
// replace the input.
class SoundWriter {
  public:
    SoundWriter(const std::string& path, int rate, int channels) : path(path) {
        SF_INFO info = {};
        info.samplerate = rate;
        info.channels = channels;
        info.format = outputFormat(path);
        std::string error;
        if (!output.open(path, error))
            die(error);
        file = sf_open_fd(output.descriptor(), SFM_WRITE, &info, SF_FALSE);
        if (!file)
            die("cannot write " + path + ": " + sf_strerror(nullptr));
    }
    ~SoundWriter() {
        if (file)
            sf_close(file);
    }
    SoundWriter(const SoundWriter&) = delete;
    SoundWriter& operator=(const SoundWriter&) = delete;

    void write(const float* interleaved, sf_count_t frames) {
        if (sf_writef_float(file, interleaved, frames) != frames)
            die("cannot write " + path + ": the disk refused the samples");
    }
    // Completes the file under its own name.
    void finish() {
        const bool closed = sf_close(file) == 0;
        file = nullptr;
        std::string error;
        if (!closed)
            die("cannot write " + path + ": the disk refused the samples");
        if (!output.commit(error))
            die(error);
    }

  private:
    std::string path;
    ReplacedFile output;
    SNDFILE* file = nullptr;
};

void writeFile(const std::string& path, int rate, const std::vector<std::vector<float>>& channels,
               sf_count_t frames) {
    SoundWriter writer(path, rate, static_cast<int>(channels.size()));
    std::vector<float> interleaved(static_cast<size_t>(frames) * channels.size());
    for (sf_count_t i = 0; i < frames; ++i)
        for (size_t c = 0; c < channels.size(); ++c)
            interleaved[static_cast<size_t>(i) * channels.size() + c] = channels[c][i];
    writer.write(interleaved.data(), frames);
    writer.finish();
}

// Reads up to `frames` frames, fewer only at the end of the file.
sf_count_t readFrames(SNDFILE* file, float* interleaved, size_t channels, sf_count_t frames) {
    sf_count_t got = 0;
    while (got < frames) {
        sf_count_t n = sf_readf_float(file, interleaved + got * channels, frames - got);
        if (n <= 0)
            break;
        got += n;
    }
    return got;
}

int renderFile(const Options& o) {
    const std::string& inPath = o.files[0];
    const std::string& outPath = o.files[1];
    outputFormat(outPath); // refuse an unknown extension before any work
    SF_INFO info = {};
    std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> file(sf_open(inPath.c_str(), SFM_READ, &info),
                                                     &sf_close);
    if (!file)
        die("cannot read " + inPath + ": " + sf_strerror(nullptr));
    const size_t channels = static_cast<size_t>(info.channels);

    PluginHost host;
    // The first `latency` frames out come before the input's first: they are
    // dropped, and as many silent frames after the input's end bring out its last.
    const sf_count_t latency = startUnit(host, o, info.samplerate, static_cast<UInt32>(channels));

    // Whole render calls per chunk, so that the calls fall as they would over the
    // whole file at once.
    const sf_count_t slice = std::min<long>(o.block, kMaxSlice);
    const sf_count_t chunk =
        slice * std::max<sf_count_t>(1, kChunkSamples / static_cast<sf_count_t>(channels) / slice);
    std::vector<float> interleaved(static_cast<size_t>(chunk) * channels);
    std::vector<std::vector<float>> in(channels, std::vector<float>(static_cast<size_t>(chunk)));
    std::vector<std::vector<float>> out = in;

    SoundWriter writer(outPath, info.samplerate, info.channels);
    sf_count_t done = 0, toDrop = latency, padding = 0;
    {
        Progress progress(info.frames == SF_COUNT_MAX ? 0 : info.frames);
        for (;;) {
            sf_count_t got = readFrames(file.get(), interleaved.data(), channels, chunk);
            done += got;
            if (got < chunk && done > 0) { // the input's end: silence after it
                const sf_count_t extra = std::min(chunk - got, latency - padding);
                std::fill(interleaved.begin() + got * static_cast<sf_count_t>(channels),
                          interleaved.begin() + (got + extra) * static_cast<sf_count_t>(channels),
                          0.0f);
                padding += extra;
                got += extra;
            }
            if (got == 0)
                break;
            for (sf_count_t i = 0; i < got; ++i)
                for (size_t c = 0; c < channels; ++c)
                    in[c][i] = interleaved[static_cast<size_t>(i) * channels + c];
            renderChannels(host, in, out, got, o.block);
            const sf_count_t skip = std::min(toDrop, got);
            toDrop -= skip;
            for (sf_count_t i = skip; i < got; ++i)
                for (size_t c = 0; c < channels; ++c)
                    interleaved[static_cast<size_t>(i - skip) * channels + c] = out[c][i];
            writer.write(interleaved.data(), got - skip);
            progress.update(done);
        }
    }
    const bool lengthKnown = info.frames != SF_COUNT_MAX;
    if (lengthKnown && done < info.frames)
        die("cannot read " + inPath + ": it ends before its length says");
    writer.finish();
    return 0;
}

int listModels(const Options& o) {
    PluginHost host;
    loadUnit(host, o);
    checkStarted(host.start(44100.0, 1, 512), o, 44100.0);
    std::vector<std::string> names = host.modelNames();
    for (size_t m = 0; m < names.size(); ++m)
        std::printf("%zu %s\n", m, names[m].c_str());
    return 0;
}

int demo(const Options& o) {
    const double rate = 44100.0;
    std::error_code ec;
    fs::create_directories(o.demoDir, ec);
    std::vector<std::vector<float>> in = {pluckedPhrase(rate)};
    const sf_count_t frames = static_cast<sf_count_t>(in[0].size());

    std::vector<std::string> names;
    {
        PluginHost probe;
        loadUnit(probe, o);
        checkStarted(probe.start(rate, 1, 512), o, rate);
        names = probe.modelNames();
    }
    if (names.empty())
        die("the bundle " + o.bundle + " lists no models");
    std::printf("%-12s %10s %10s  %s\n", "model", "peak dBFS", "RMS dBFS", "file");
    for (size_t m = 0; m < names.size(); ++m) {
        PluginHost host; // each model starts from fresh state, with its own cabinet
        Options own = o;
        readCabinet(own, m);
        const sf_count_t latency = startUnit(host, own, rate, 1, &names, static_cast<long>(m));
        // Rendered on for `latency` frames of silence, the first `latency` dropped.
        std::vector<std::vector<float>> padded = in;
        padded[0].resize(in[0].size() + static_cast<size_t>(latency), 0.0f);
        std::vector<std::vector<float>> out(1, std::vector<float>(padded[0].size()));
        renderChannels(host, padded, out, frames + latency, o.block);
        out[0].erase(out[0].begin(), out[0].begin() + latency);
        const std::string path = (fs::path(o.demoDir) / (names[m] + ".wav")).string();
        writeFile(path, static_cast<int>(rate), out, frames);
        double peak = 0.0, energy = 0.0;
        for (float s : out[0]) {
            peak = std::max(peak, static_cast<double>(std::fabs(s)));
            energy += static_cast<double>(s) * s;
        }
        auto dB = [](double v) { return v > 1e-12 ? 20.0 * std::log10(v) : -240.0; };
        std::printf("%-12s %10.1f %10.1f  %s\n", names[m].c_str(), dB(peak),
                    dB(std::sqrt(energy / static_cast<double>(frames))), path.c_str());
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        Options o = parse(argc, argv);
        if (o.bundle.empty())
            o.bundle = defaultBundle();
        if (o.listPresets)
            return listPresets(o);
        if (o.preset)
            applyPreset(o);
        const std::shared_ptr<const DataArchive> bundled =
            DataArchive::readDirectory(o.bundle + "/");
        o.playing = bundled;
        if (!o.archive.empty()) {
            const UserArchiveCheck archive = checkUserArchive(o.archive, bundled);
            if (archive.usable)
                o.playing = archive.archive;
            if (!archive.usable) {
                std::fprintf(stderr, "quorle-render: %s; playing the bundle's models\n",
                             archive.message.c_str());
                o.archive.clear();
            }
            for (const std::string& refused : archive.refusedModels)
                std::fprintf(stderr, "quorle-render: %s: %s (that model cannot be played)\n",
                             o.archive.c_str(), refused.c_str());
        }
        if (o.listModels)
            return listModels(o);
        if (!o.demoDir.empty())
            return demo(o);
        // The model's own cabinet is that of the model asked for, named as the unit
        // names it (the archive's entry without ".xml").
        std::vector<std::string> shown;
        for (const std::string& entry : o.playing->modelNames())
            shown.push_back(entry.size() > 4 ? entry.substr(0, entry.size() - 4) : entry);
        readCabinet(o, o.model ? static_cast<size_t>(modelIndex(*o.model, shown)) : 0);
        return renderFile(o);
    } catch (const std::bad_alloc&) {
        die("out of memory");
    } catch (const std::exception& e) {
        die(e.what());
    }
}
