#include "tools/measure/Lv2Timer.h"

#include "tools/QuietStreams.h"

#include <algorithm>
#include <cmath>

#ifdef QUORLE_HAVE_LILV
#include "tools/Lv2HostFeatures.h"

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/options/options.h>
#include <lv2/parameters/parameters.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <time.h>

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <set>
#endif

namespace measure {

double TimedPlugin::speed(double cpuSeconds) const {
    return mAudioSeconds * static_cast<double>(mChannels) / cpuSeconds;
}

std::vector<std::optional<Speeds>> timeRounds(const std::vector<TimedPlugin*>& plugins, int reps,
                                              void (*progress)(int round, int rounds)) {
    reps = std::max(1, reps);
    std::vector<std::vector<double>> seconds(plugins.size());
    for (int round = 0; round < reps; ++round) {
        if (progress)
            progress(round, reps);
        for (size_t p = 0; p < plugins.size(); ++p)
            if (plugins[p]->state() == TimedPlugin::State::Ready)
                seconds[p].push_back(plugins[p]->play());
    }
    std::vector<std::optional<Speeds>> speeds(plugins.size());
    for (size_t p = 0; p < plugins.size(); ++p) {
        std::vector<double>& s = seconds[p];
        if (s.empty())
            continue;
        std::sort(s.begin(), s.end());
        if (!(s.front() > 0.0))
            continue;
        speeds[p] = Speeds{plugins[p]->speed(s.front()), plugins[p]->speed(s[s.size() / 2])};
    }
    return speeds;
}

#ifndef QUORLE_HAVE_LILV

struct Lv2Timer::World {};

Lv2Timer::Lv2Timer(const std::string&) {}
Lv2Timer::~Lv2Timer() = default;

std::unique_ptr<TimedPlugin> Lv2Timer::open(const std::string&, const std::vector<PortSetting>&,
                                            const Signal&, double, unsigned, Start) {
    return std::make_unique<TimedPlugin>(TimedPlugin::State::Failed,
                                         "built without lilv (install liblilv-dev and rebuild)");
}
std::string Lv2Timer::findByName(const std::vector<std::string>&) const {
    return {};
}
std::string Lv2Timer::name(const std::string&) const {
    return {};
}
std::vector<std::pair<float, std::string>> Lv2Timer::scalePoints(const std::string&,
                                                                 const std::string&) const {
    return {};
}
std::optional<float> Lv2Timer::portDefault(const std::string&, const std::string&) const {
    return std::nullopt;
}

#else

namespace {

constexpr size_t kAtomCapacity = 4096; // bytes of an atom port's buffer

using Node = std::unique_ptr<LilvNode, void (*)(LilvNode*)>;

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

std::string lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

struct Lv2Timer::World {
    LilvWorld* world = lilv_world_new();
    lv2host::UriMap urids;
    ~World() { lilv_world_free(world); }

    Node uri(const char* text) const { return Node(lilv_new_uri(world, text), lilv_node_free); }
    const LilvPlugin* plugin(const std::string& text) const {
        Node node = uri(text.c_str());
        return node ? lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), node.get())
                    : nullptr;
    }
    const LilvPort* port(const LilvPlugin* plugin, const std::string& symbol) const {
        Node node(lilv_new_string(world, symbol.c_str()), lilv_node_free);
        return plugin ? lilv_plugin_get_port_by_symbol(plugin, node.get()) : nullptr;
    }
};

namespace {

// One instance with its features, ports and buffers.
class Lv2Instance : public TimedPlugin {
  public:
    Lv2Instance(std::shared_ptr<Lv2Timer::World> world, const LilvPlugin* plugin,
                const std::vector<PortSetting>& settings, const Signal& input, double rate,
                unsigned block, Lv2Timer::Start start)
        : TimedPlugin(State::Failed, {}), mWorld(std::move(world)), mInput(input),
          mBlock(std::max(1u, block)) {
        mAudioSeconds = static_cast<double>(input.size()) / rate;
        if (!supportsFeatures(plugin))
            return;
        makeFeatures(rate);
        {
            QuietStreams quiet; // plug-ins announce themselves on standard output
            mInstance = lilv_plugin_instantiate(plugin, rate, mFeatures.data());
        }
        if (!mInstance) {
            mWhy = "failed: does not instantiate";
            return;
        }
        if (!connectPorts(plugin, settings))
            return;
        if (lilv_plugin_has_latency(plugin))
            mLatencyPort = static_cast<int>(lilv_plugin_get_latency_port_index(plugin));
        mScheduler.plugin = static_cast<const LV2_Worker_Interface*>(
            lilv_instance_get_extension_data(mInstance, LV2_WORKER__interface));
        mScheduler.instance = lilv_instance_get_handle(mInstance);
        QuietStreams quiet;
        lilv_instance_activate(mInstance);
        mActive = true;
        mState = State::Ready;
        if (start == Lv2Timer::Start::WarmedUp)
            playFrames(std::min(input.size(), static_cast<size_t>(rate)));
    }
    ~Lv2Instance() override {
        QuietStreams quiet; // some plug-ins report what they free
        if (mActive)
            lilv_instance_deactivate(mInstance);
        if (mInstance)
            lilv_instance_free(mInstance);
    }

    double play() override { return playFrames(mInput.size()); }

    std::optional<float> latency() const override {
        if (mLatencyPort < 0 || static_cast<size_t>(mLatencyPort) >= mControls.size())
            return std::nullopt;
        return mControls[static_cast<size_t>(mLatencyPort)];
    }

    Signal render() override {
        Signal out;
        if (mState != State::Ready || mAudioOut.empty())
            return out;
        out.reserve(mInput.size());
        playFrames(mInput.size(), &out);
        return out;
    }

  private:
    bool supportsFeatures(const LilvPlugin* plugin) {
        const std::set<std::string> offered = {LV2_URID__map, LV2_URID__unmap, LV2_OPTIONS__options,
                                               LV2_WORKER__schedule,
                                               LV2_BUF_SIZE__boundedBlockLength};
        LilvNodes* required = lilv_plugin_get_required_features(plugin);
        LILV_FOREACH(nodes, i, required) {
            const std::string feature = lilv_node_as_uri(lilv_nodes_get(required, i));
            if (!offered.count(feature))
                mWhy = "failed: needs the feature " + feature;
        }
        lilv_nodes_free(required);
        return mWhy.empty();
    }

    void makeFeatures(double rate) {
        lv2host::UriMap& urids = mWorld->urids;
        mBlockLength = static_cast<int32_t>(mBlock);
        mRate = static_cast<float>(rate);
        const LV2_URID intType = urids.id(LV2_ATOM__Int);
        auto option = [&](const char* key, LV2_URID type, const void* value, uint32_t size) {
            return LV2_Options_Option{LV2_OPTIONS_INSTANCE, 0, urids.id(key), size, type, value};
        };
        mOptions = {
            option(LV2_BUF_SIZE__minBlockLength, intType, &mOne, sizeof(int32_t)),
            option(LV2_BUF_SIZE__maxBlockLength, intType, &mBlockLength, sizeof(int32_t)),
            option(LV2_BUF_SIZE__nominalBlockLength, intType, &mBlockLength, sizeof(int32_t)),
            option(LV2_PARAMETERS__sampleRate, urids.id(LV2_ATOM__Float), &mRate, sizeof(float)),
            LV2_Options_Option{LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr}};
        mFeatureList = {{LV2_URID__map, &urids.map},
                        {LV2_URID__unmap, &urids.unmap},
                        {LV2_OPTIONS__options, mOptions.data()},
                        {LV2_WORKER__schedule, &mScheduler.schedule},
                        {LV2_BUF_SIZE__boundedBlockLength, nullptr}};
        for (const LV2_Feature& f : mFeatureList)
            mFeatures.push_back(&f);
        mFeatures.push_back(nullptr);
    }

    bool connectPorts(const LilvPlugin* plugin, const std::vector<PortSetting>& settings) {
        const Lv2Timer::World& w = *mWorld;
        Node audio = w.uri(LILV_URI_AUDIO_PORT), control = w.uri(LILV_URI_CONTROL_PORT),
             input = w.uri(LILV_URI_INPUT_PORT), cv = w.uri(LILV_URI_CV_PORT),
             atom = w.uri(LV2_ATOM__AtomPort), optional = w.uri(LV2_CORE__connectionOptional);
        const uint32_t ports = lilv_plugin_get_num_ports(plugin);
        std::vector<float> defaults(ports, 0.0f);
        lilv_plugin_get_port_ranges_float(plugin, nullptr, nullptr, defaults.data());
        mControls.assign(ports, 0.0f);
        for (const PortSetting& s : settings) {
            const LilvPort* port = w.port(plugin, s.symbol);
            if (!port || !lilv_port_is_a(plugin, port, control.get()) ||
                !lilv_port_is_a(plugin, port, input.get())) {
                mWhy = "failed: has no control input \"" + s.symbol + "\"";
                return false;
            }
        }
        for (uint32_t i = 0; i < ports; ++i) {
            const LilvPort* port = lilv_plugin_get_port_by_index(plugin, i);
            const bool in = lilv_port_is_a(plugin, port, input.get());
            const std::string symbol = lilv_node_as_string(lilv_port_get_symbol(plugin, port));
            if (lilv_port_is_a(plugin, port, audio.get())) {
                if (in) {
                    mAudioIn.push_back(i);
                } else {
                    mAudioOut.emplace_back(mBlock, 0.0f);
                    lilv_instance_connect_port(mInstance, i, mAudioOut.back().data());
                }
            } else if (lilv_port_is_a(plugin, port, control.get())) {
                mControls[i] = std::isnan(defaults[i]) ? 0.0f : defaults[i];
                for (const PortSetting& s : settings)
                    if (in && s.symbol == symbol)
                        mControls[i] = s.value;
                lilv_instance_connect_port(mInstance, i, &mControls[i]);
            } else if (lilv_port_is_a(plugin, port, cv.get())) {
                mCv.emplace_back(mBlock, 0.0f);
                lilv_instance_connect_port(mInstance, i, mCv.back().data());
            } else if (lilv_port_is_a(plugin, port, atom.get())) {
                mAtoms.emplace_back(kAtomCapacity / sizeof(uint64_t), 0);
                auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(mAtoms.back().data());
                lv2host::UriMap& urids = mWorld->urids;
                // An input holds an empty sequence; an output offers its capacity.
                sequence->atom.type = urids.id(in ? LV2_ATOM__Sequence : LV2_ATOM__Chunk);
                sequence->atom.size =
                    in ? sizeof(LV2_Atom_Sequence_Body) : kAtomCapacity - sizeof(LV2_Atom);
                if (!in)
                    mAtomOutputs.push_back(&sequence->atom);
                lilv_instance_connect_port(mInstance, i, sequence);
            } else if (lilv_port_has_property(plugin, port, optional.get())) {
                lilv_instance_connect_port(mInstance, i, nullptr);
            } else {
                mWhy = "failed: has port \"" + symbol + "\" of a kind this host cannot feed";
                return false;
            }
        }
        if (mAudioIn.empty()) {
            mWhy = "failed: has no audio input";
            return false;
        }
        mChannels = static_cast<unsigned>(mAudioIn.size());
        return true;
    }

    // CPU seconds of the run() calls over the first `frames` of the input; the first
    // audio output appended to `output` when one is given.
    double playFrames(size_t frames, Signal* output = nullptr) {
        double spent = 0.0;
        double start = threadCpuSeconds();
        for (size_t at = 0; at < frames; at += mBlock) {
            const uint32_t n = static_cast<uint32_t>(std::min<size_t>(mBlock, frames - at));
            for (uint32_t port : mAudioIn)
                lilv_instance_connect_port(mInstance, port, const_cast<float*>(mInput.data() + at));
            for (LV2_Atom* out : mAtomOutputs) // outputs offer their whole capacity every run
                out->size = kAtomCapacity - sizeof(LV2_Atom);
            lilv_instance_run(mInstance, n);
            if (output)
                output->insert(output->end(), mAudioOut.front().begin(),
                               mAudioOut.front().begin() + n);
            if (mScheduler.pending()) {
                spent += threadCpuSeconds() - start;
                mScheduler.serve();
                start = threadCpuSeconds();
            }
        }
        return spent + threadCpuSeconds() - start;
    }

    std::shared_ptr<Lv2Timer::World> mWorld; // outlives the instance: lilv frees it last
    const Signal& mInput;
    const unsigned mBlock;
    LilvInstance* mInstance = nullptr;
    bool mActive = false;
    // Peers may send longer messages than the plug-in does.
    lv2host::Worker<64, 4096> mScheduler;
    int32_t mOne = 1, mBlockLength = 0;
    float mRate = 0.0f;
    std::vector<LV2_Options_Option> mOptions;
    std::vector<LV2_Feature> mFeatureList;
    std::vector<const LV2_Feature*> mFeatures;
    std::vector<float> mControls;
    int mLatencyPort = -1; // the lv2:reportsLatency output's index; -1: none
    std::vector<uint32_t> mAudioIn;
    std::vector<Signal> mAudioOut, mCv;
    std::vector<std::vector<uint64_t>> mAtoms;
    std::vector<LV2_Atom*> mAtomOutputs;
};

} // namespace

Lv2Timer::Lv2Timer(const std::string& bundleDir) : mWorld(std::make_shared<World>()) {
    if (bundleDir.empty()) {
        lilv_world_load_all(mWorld->world);
        mWhere = "not installed";
        return;
    }
    std::error_code ec;
    const std::string dir = std::filesystem::absolute(bundleDir, ec).string() + "/";
    Node bundle(lilv_new_file_uri(mWorld->world, nullptr, dir.c_str()), lilv_node_free);
    if (bundle)
        lilv_world_load_bundle(mWorld->world, bundle.get());
    mWhere = "not installed (not in " + bundleDir + ")";
}

Lv2Timer::~Lv2Timer() = default;

std::unique_ptr<TimedPlugin> Lv2Timer::open(const std::string& uri,
                                            const std::vector<PortSetting>& settings,
                                            const Signal& input, double rate, unsigned block,
                                            Start start) {
    const LilvPlugin* plugin = mWorld->plugin(uri);
    if (!plugin)
        return std::make_unique<TimedPlugin>(TimedPlugin::State::NotInstalled, mWhere);
    if (input.empty() || !(rate > 0.0))
        return std::make_unique<TimedPlugin>(TimedPlugin::State::Failed, "failed: nothing to play");
    return std::make_unique<Lv2Instance>(mWorld, plugin, settings, input, rate, block, start);
}

std::string Lv2Timer::findByName(const std::vector<std::string>& words) const {
    const LilvPlugins* all = lilv_world_get_all_plugins(mWorld->world);
    LILV_FOREACH(plugins, i, all) {
        const LilvPlugin* plugin = lilv_plugins_get(all, i);
        Node name(lilv_plugin_get_name(plugin), lilv_node_free);
        const std::string text = name ? lower(lilv_node_as_string(name.get())) : "";
        if (std::all_of(words.begin(), words.end(), [&](const std::string& word) {
                return text.find(word) != std::string::npos;
            }))
            return lilv_node_as_uri(lilv_plugin_get_uri(plugin));
    }
    return {};
}

std::string Lv2Timer::name(const std::string& uri) const {
    const LilvPlugin* plugin = mWorld->plugin(uri);
    Node name(plugin ? lilv_plugin_get_name(plugin) : nullptr, lilv_node_free);
    return name ? lilv_node_as_string(name.get()) : "";
}

std::vector<std::pair<float, std::string>> Lv2Timer::scalePoints(const std::string& uri,
                                                                 const std::string& symbol) const {
    std::vector<std::pair<float, std::string>> points;
    const LilvPlugin* plugin = mWorld->plugin(uri);
    const LilvPort* port = mWorld->port(plugin, symbol);
    if (!port)
        return points;
    LilvScalePoints* all = lilv_port_get_scale_points(plugin, port);
    LILV_FOREACH(scale_points, i, all) {
        const LilvScalePoint* point = lilv_scale_points_get(all, i);
        points.emplace_back(lilv_node_as_float(lilv_scale_point_get_value(point)),
                            lilv_node_as_string(lilv_scale_point_get_label(point)));
    }
    lilv_scale_points_free(all);
    std::sort(points.begin(), points.end());
    return points;
}

std::optional<float> Lv2Timer::portDefault(const std::string& uri,
                                           const std::string& symbol) const {
    const LilvPlugin* plugin = mWorld->plugin(uri);
    const LilvPort* port = mWorld->port(plugin, symbol);
    if (!port)
        return std::nullopt;
    LilvNode* value = nullptr;
    lilv_port_get_range(plugin, port, &value, nullptr, nullptr);
    Node owned(value, lilv_node_free);
    if (!value || !(lilv_node_is_float(value) || lilv_node_is_int(value)))
        return std::nullopt;
    return lilv_node_as_float(value);
}

#endif

} // namespace measure
