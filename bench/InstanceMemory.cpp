// What one more instance of the plug-in costs a host: resident memory (the growth
// of this process's resident set over N instances, each initialised and run for
// one block, divided by N) and the time to make one ready to run (instantiate,
// initialise and run its first block; the median over the N, after one instance
// that pays the once-per-process costs). Either through the unit's client functions
// (tools/PluginHost) or as an LV2 host makes them (lilv, where it is installed).
//
//   instance-memory [--lv2 | --unit] [--instances N] [--max-frames F] [--factor K]
//                   [--offer-max-block B] [--rate HZ] [--stereo] [--bundle DIR]
//
// --unit (the default): the unit at F maximum frames per render call (default
// 4096) and oversampling factor K (default 1). --lv2: the mono (or --stereo) LV2
// plug-in at its default factor; --offer-max-block offers the host's maximum block
// length B through the options feature (not offered by default).
#include "au/quorleIds.h"
#include "tools/PluginHost.h"

#ifdef QUORLE_HAVE_LILV
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>
#endif

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Settings {
    bool lv2 = false;
    int instances = 16;
    UInt32 maxFrames = 4096;
    UInt32 factor = 1;
    uint32_t offerMaxBlock = 0; // 0: the options feature is not offered
    double rate = 48000.0;
    bool stereo = false;
    std::string bundle = QUORLE_BUNDLE_DIR;
};

// Resident set size of this process, in bytes.
size_t residentBytes() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f)
        return 0;
    unsigned long size = 0, resident = 0;
    const int read = std::fscanf(f, "%lu %lu", &size, &resident);
    std::fclose(f);
    return read == 2 ? resident * static_cast<size_t>(sysconf(_SC_PAGESIZE)) : 0;
}

double milliseconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Standard error off while an instance is made: the unit names its bundle there.
class QuietStderr {
  public:
    QuietStderr() : saved(dup(2)) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 2);
            close(null);
        }
    }
    ~QuietStderr() {
        if (saved >= 0) {
            dup2(saved, 2);
            close(saved);
        }
    }

  private:
    int saved;
};

// One instance, made by the constructor-like make() and kept until destroyed.
class Instance {
  public:
    virtual ~Instance() = default;
    // False when the plug-in did not start.
    virtual bool make() = 0;
    // Runs one block of `frames` frames of a quiet tone.
    virtual void run(uint32_t frames) = 0;
};

class UnitInstance : public Instance {
  public:
    explicit UnitInstance(const Settings& s) : settings(s) {}
    bool make() override {
        std::string error;
        if (!host.load(settings.bundle, error)) {
            std::fprintf(stderr, "instance-memory: %s\n", error.c_str());
            return false;
        }
        UInt32 factor = settings.factor;
        if (AudioUnitSetProperty(host.unit(), kQuorleProperty_Oversampling, kAudioUnitScope_Global,
                                 0, &factor, sizeof(factor)) != noErr)
            return false;
        return host.start(settings.rate, settings.stereo ? 2 : 1, settings.maxFrames) == noErr;
    }
    void run(uint32_t frames) override {
        frames = std::min<uint32_t>(frames, settings.maxFrames);
        std::vector<float> left(frames, 0.1f), right(frames, 0.1f);
        const float* in[2] = {left.data(), right.data()};
        float* out[2] = {left.data(), right.data()};
        host.render(in, out, frames);
    }

  private:
    const Settings& settings;
    PluginHost host;
};

#ifdef QUORLE_HAVE_LILV
// The LV2 world, the URI map a host hands its plug-ins, and the options.
struct Lv2Host {
    explicit Lv2Host(const Settings& s) : world(lilv_world_new()) {
        LilvNode* bundle = lilv_new_file_uri(world, nullptr, (s.bundle + "/").c_str());
        lilv_world_load_bundle(world, bundle);
        lilv_node_free(bundle);
        LilvNode* uri =
            lilv_new_uri(world, s.stereo ? "http://pellark.invalid/plugins/quorle#stereo"
                                         : "http://pellark.invalid/plugins/quorle#mono");
        plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
        lilv_node_free(uri);
        mapFeature = {LV2_URID__map, &map};
        features.push_back(&mapFeature);
        if (s.offerMaxBlock > 0) {
            blockLength = static_cast<int32_t>(s.offerMaxBlock);
            options[0] = {LV2_OPTIONS_INSTANCE,
                          0,
                          urid(LV2_BUF_SIZE__maxBlockLength),
                          sizeof(int32_t),
                          urid(LV2_ATOM__Int),
                          &blockLength};
            options[1] = {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr};
            optionsFeature = {LV2_OPTIONS__options, options};
            features.push_back(&optionsFeature);
        }
        features.push_back(nullptr);
    }
    ~Lv2Host() { lilv_world_free(world); }

    LV2_URID urid(const char* uri) {
        for (size_t i = 0; i < uris.size(); ++i)
            if (uris[i] == uri)
                return static_cast<LV2_URID>(i + 1);
        uris.emplace_back(uri);
        return static_cast<LV2_URID>(uris.size());
    }
    static LV2_URID mapUri(LV2_URID_Map_Handle handle, const char* uri) {
        return static_cast<Lv2Host*>(handle)->urid(uri);
    }

    LilvWorld* world;
    const LilvPlugin* plugin = nullptr;
    std::vector<std::string> uris;
    LV2_URID_Map map = {this, &Lv2Host::mapUri};
    LV2_Feature mapFeature{};
    LV2_Feature optionsFeature{};
    int32_t blockLength = 0;
    LV2_Options_Option options[2] = {};
    std::vector<const LV2_Feature*> features;
};

class Lv2Instance : public Instance {
  public:
    Lv2Instance(Lv2Host& h, const Settings& s) : host(h), settings(s) {}
    ~Lv2Instance() override {
        if (instance) {
            lilv_instance_deactivate(instance);
            lilv_instance_free(instance);
        }
    }
    bool make() override {
        if (!host.plugin)
            return false;
        instance = lilv_plugin_instantiate(host.plugin, settings.rate, host.features.data());
        if (!instance)
            return false;
        const uint32_t channels = settings.stereo ? 2 : 1;
        for (uint32_t p = 0; p < 4; ++p)
            lilv_instance_connect_port(instance, p, &controls[p]);
        for (uint32_t c = 0; c < channels; ++c) {
            lilv_instance_connect_port(instance, 4 + c, audio.data());
            lilv_instance_connect_port(instance, 4 + channels + c, audio.data());
        }
        lilv_instance_connect_port(instance, 4 + 2 * channels, &oversampling);
        lilv_instance_connect_port(instance, 5 + 2 * channels, &latency);
        lilv_instance_activate(instance);
        return true;
    }
    void run(uint32_t frames) override {
        audio.assign(frames, 0.1f);
        const uint32_t channels = settings.stereo ? 2 : 1;
        for (uint32_t c = 0; c < 2 * channels; ++c)
            lilv_instance_connect_port(instance, 4 + c, audio.data());
        lilv_instance_run(instance, frames);
    }

  private:
    Lv2Host& host;
    const Settings& settings;
    LilvInstance* instance = nullptr;
    float controls[4] = {0.5f, 0.5f, 0.5f, 0.0f};
    float oversampling = static_cast<float>(kQuorleDefaultOversampling);
    float latency = 0.0f;
    std::vector<float> audio = std::vector<float>(1, 0.0f);
};
#endif

bool parse(int argc, char** argv, Settings& s) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--lv2")
            s.lv2 = true;
        else if (a == "--unit")
            s.lv2 = false;
        else if (a == "--stereo")
            s.stereo = true;
        else if (a == "--instances" && hasValue)
            s.instances = std::atoi(argv[++i]);
        else if (a == "--max-frames" && hasValue)
            s.maxFrames = static_cast<UInt32>(std::atol(argv[++i]));
        else if (a == "--factor" && hasValue)
            s.factor = static_cast<UInt32>(std::atol(argv[++i]));
        else if (a == "--offer-max-block" && hasValue)
            s.offerMaxBlock = static_cast<uint32_t>(std::atol(argv[++i]));
        else if (a == "--rate" && hasValue)
            s.rate = std::atof(argv[++i]);
        else if (a == "--bundle" && hasValue)
            s.bundle = argv[++i];
        else
            return false;
    }
    return s.instances > 0 && s.maxFrames > 0;
}

} // namespace

int main(int argc, char** argv) {
    Settings s;
    if (!parse(argc, argv, s)) {
        std::fprintf(stderr, "usage: instance-memory [--lv2 | --unit] [--instances N] "
                             "[--max-frames F] [--factor K] [--offer-max-block B] [--rate HZ] "
                             "[--stereo] [--bundle DIR]\n");
        return 2;
    }
#ifdef QUORLE_HAVE_LILV
    std::unique_ptr<Lv2Host> lv2 = s.lv2 ? std::make_unique<Lv2Host>(s) : nullptr;
#else
    if (s.lv2) {
        std::fprintf(stderr, "instance-memory: built without lilv\n");
        return 2;
    }
#endif
    auto create = [&]() -> std::unique_ptr<Instance> {
#ifdef QUORLE_HAVE_LILV
        if (lv2)
            return std::make_unique<Lv2Instance>(*lv2, s);
#endif
        return std::make_unique<UnitInstance>(s);
    };
    // The block each instance runs once, as a host's first cycle would.
    const uint32_t block = s.lv2 ? (s.offerMaxBlock ? s.offerMaxBlock : 4096) : s.maxFrames;

    // The first instance loads the library, the archive and whatever else is made
    // once per process.
    std::vector<std::unique_ptr<Instance>> kept;
    kept.push_back(create());
    double first = 0;
    {
        QuietStderr quiet;
        const auto start = std::chrono::steady_clock::now();
        if (!kept.back()->make()) {
            first = -1;
        } else {
            kept.back()->run(block);
            first = milliseconds(std::chrono::steady_clock::now() - start);
        }
    }
    if (first < 0) {
        std::fprintf(stderr, "instance-memory: the plug-in did not start\n");
        return 1;
    }

    std::vector<double> times;
    const size_t before = residentBytes();
    for (int n = 0; n < s.instances; ++n) {
        kept.push_back(create());
        bool made;
        const auto start = std::chrono::steady_clock::now();
        {
            QuietStderr quiet;
            made = kept.back()->make();
        }
        if (!made) {
            std::fprintf(stderr, "instance-memory: instance %d did not start\n", n + 2);
            return 1;
        }
        kept.back()->run(block); // the first run is part of starting
        times.push_back(milliseconds(std::chrono::steady_clock::now() - start));
    }
    const size_t after = residentBytes();
    std::sort(times.begin(), times.end());
    const double perInstance =
        (static_cast<double>(after) - static_cast<double>(before)) / s.instances;

    std::printf("%s %s, %.0f Hz, ", s.lv2 ? "LV2" : "unit", s.stereo ? "stereo" : "mono", s.rate);
    if (s.lv2) {
        if (s.offerMaxBlock)
            std::printf("host offers max block %u\n", s.offerMaxBlock);
        else
            std::printf("no max block offered\n");
    } else {
        std::printf("max frames %u, factor %u\n", s.maxFrames, s.factor);
    }
    std::printf("resident per extra instance: %.0f kB (%d instances, %.1f MB in all)\n",
                perInstance / 1e3, s.instances,
                (static_cast<double>(after) - static_cast<double>(before)) / 1e6);
    std::printf("instantiate + initialise + first run: median %.2f ms, min %.2f ms, max %.2f ms "
                "(the first instance: %.2f ms)\n",
                times[times.size() / 2], times.front(), times.back(), first);
    return 0;
}
