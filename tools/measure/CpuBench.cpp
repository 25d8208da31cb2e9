#include "tools/measure/CpuBench.h"

#include "tools/QuietStreams.h"
#include "tools/measure/Signals.h"
#include "tools/measure/Targets.h"

#ifdef QUORLE_HAVE_LILV
#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/urid/urid.h>

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>
#endif

namespace measure {

#ifndef QUORLE_HAVE_LILV

CpuFigures measureCpu(const std::string&, const std::vector<size_t>& models, CpuRuns) {
    CpuFigures figures;
    figures.models.assign(models.size(), std::nullopt);
    figures.why = "n/a: quorle-model was built without lilv (install liblilv-dev and rebuild)";
    return figures;
}

#else

namespace {

constexpr const char* kQuorleMonoUri = "http://pellark.invalid/plugins/quorle#mono";
constexpr int kPasses = 5;             // timed passes; the median counts
constexpr int kPhrasesPerPass = 5;     // 4 s phrases: 20 s of audio a pass
constexpr size_t kAtomCapacity = 4096; // bytes of an atom port's buffer

// The URID map a host hands plug-ins that use URIDs: URIs numbered from 1.
class UridMap {
  public:
    UridMap() {
        mMap.handle = this;
        mMap.map = &UridMap::map;
        mFeature.URI = LV2_URID__map;
        mFeature.data = &mMap;
    }
    const LV2_Feature* feature() const { return &mFeature; }
    LV2_URID id(const char* uri) { return map(this, uri); }

  private:
    static LV2_URID map(LV2_URID_Map_Handle handle, const char* uri) {
        auto* self = static_cast<UridMap*>(handle);
        std::lock_guard<std::mutex> lock(self->mLock);
        for (size_t i = 0; i < self->mUris.size(); ++i)
            if (self->mUris[i] == uri)
                return static_cast<LV2_URID>(i + 1);
        self->mUris.emplace_back(uri);
        return static_cast<LV2_URID>(self->mUris.size());
    }
    std::mutex mLock;
    std::vector<std::string> mUris;
    LV2_URID_Map mMap;
    LV2_Feature mFeature;
};

// Instantiates with standard output and standard error pointed at /dev/null: the
// unit announces its directory when it opens, which is no part of the report.
LilvInstance* instantiateQuietly(const LilvPlugin* plugin, double rate,
                                 const LV2_Feature* const* features) {
    QuietStreams quiet;
    return lilv_plugin_instantiate(plugin, rate, features);
}

using World = std::unique_ptr<LilvWorld, void (*)(LilvWorld*)>;
using Node = std::unique_ptr<LilvNode, void (*)(LilvNode*)>;

Node uriNode(LilvWorld* world, const char* uri) {
    return Node(lilv_new_uri(world, uri), lilv_node_free);
}

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

// One plug-in instance wired to buffers: every audio input plays the phrase.
class Bench {
  public:
    // `settings`: control ports (by symbol) set to a value other than their default.
    Bench(LilvWorld* world, const LilvPlugin* plugin, UridMap& urids, const Signal& phrase,
          const std::vector<std::pair<std::string, float>>& settings)
        : mPhrase(phrase) {
        const LV2_Feature* features[] = {urids.feature(), nullptr};
        mInstance = instantiateQuietly(plugin, targets::kCpuRate, features);
        if (!mInstance) {
            mWhy = "does not instantiate";
            return;
        }
        Node audio = uriNode(world, LILV_URI_AUDIO_PORT),
             control = uriNode(world, LILV_URI_CONTROL_PORT),
             input = uriNode(world, LILV_URI_INPUT_PORT), cv = uriNode(world, LILV_URI_CV_PORT),
             atom = uriNode(world, LV2_ATOM__AtomPort),
             optional = uriNode(world, LV2_CORE__connectionOptional);
        const uint32_t ports = lilv_plugin_get_num_ports(plugin);
        std::vector<float> defaults(ports, 0.0f);
        lilv_plugin_get_port_ranges_float(plugin, nullptr, nullptr, defaults.data());
        mControls.resize(ports, 0.0f);
        for (uint32_t i = 0; i < ports; ++i) {
            const LilvPort* port = lilv_plugin_get_port_by_index(plugin, i);
            const bool in = lilv_port_is_a(plugin, port, input.get());
            const char* symbol = lilv_node_as_string(lilv_port_get_symbol(plugin, port));
            if (lilv_port_is_a(plugin, port, audio.get())) {
                (in ? mAudioIn : mAudioOut).push_back(i);
            } else if (lilv_port_is_a(plugin, port, control.get())) {
                mControls[i] = std::isnan(defaults[i]) ? 0.0f : defaults[i];
                for (const auto& [name, value] : settings)
                    if (name == symbol)
                        mControls[i] = value;
                lilv_instance_connect_port(mInstance, i, &mControls[i]);
            } else if (lilv_port_is_a(plugin, port, cv.get())) {
                mCv.emplace_back(targets::kCpuBlock, 0.0f);
                lilv_instance_connect_port(mInstance, i, mCv.back().data());
            } else if (lilv_port_is_a(plugin, port, atom.get())) {
                mAtoms.emplace_back(kAtomCapacity / sizeof(uint64_t), 0);
                auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(mAtoms.back().data());
                // An input holds an empty sequence; an output offers its capacity.
                sequence->atom.type = in ? urids.id(LV2_ATOM__Sequence) : urids.id(LV2_ATOM__Chunk);
                sequence->atom.size =
                    in ? sizeof(LV2_Atom_Sequence_Body) : kAtomCapacity - sizeof(LV2_Atom);
                mAtomPorts.push_back({i, in});
                lilv_instance_connect_port(mInstance, i, sequence);
            } else if (lilv_port_has_property(plugin, port, optional.get())) {
                lilv_instance_connect_port(mInstance, i, nullptr);
            } else {
                mWhy = std::string("has port \"") + symbol + "\" of a kind this bench cannot feed";
                return;
            }
        }
        if (mAudioIn.empty()) {
            mWhy = "has no audio input";
            return;
        }
        mOutputs.assign(mAudioOut.size(), Signal(phrase.size()));
        lilv_instance_activate(mInstance);
        mActive = true;
    }
    ~Bench() {
        if (mActive)
            lilv_instance_deactivate(mInstance);
        if (mInstance)
            lilv_instance_free(mInstance);
    }
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    const std::string& why() const { return mWhy; }

    // x real time per channel: the median of the timed passes after one warm-up.
    std::optional<double> speed(const CpuRuns& runs) {
        if (!mWhy.empty())
            return std::nullopt;
        playPhrase();
        std::vector<double> seconds;
        for (int pass = 0; pass < std::max(1, runs.passes); ++pass) {
            const double start = threadCpuSeconds();
            for (int p = 0; p < std::max(1, runs.phrasesPerPass); ++p)
                playPhrase();
            seconds.push_back(threadCpuSeconds() - start);
        }
        std::sort(seconds.begin(), seconds.end());
        const double median = seconds[seconds.size() / 2];
        const double audio = static_cast<double>(mPhrase.size()) / targets::kCpuRate *
                             std::max(1, runs.phrasesPerPass) *
                             static_cast<double>(mAudioIn.size());
        if (!(median > 0.0))
            return std::nullopt;
        return audio / median;
    }

  private:
    void playPhrase() {
        for (size_t at = 0; at < mPhrase.size(); at += targets::kCpuBlock) {
            const uint32_t n =
                static_cast<uint32_t>(std::min<size_t>(targets::kCpuBlock, mPhrase.size() - at));
            for (uint32_t port : mAudioIn)
                lilv_instance_connect_port(mInstance, port,
                                           const_cast<float*>(mPhrase.data() + at));
            for (size_t o = 0; o < mAudioOut.size(); ++o)
                lilv_instance_connect_port(mInstance, mAudioOut[o], mOutputs[o].data() + at);
            for (size_t a = 0; a < mAtomPorts.size(); ++a)
                if (!mAtomPorts[a].second) // outputs offer their whole capacity every run
                    reinterpret_cast<LV2_Atom*>(mAtoms[a].data())->size =
                        kAtomCapacity - sizeof(LV2_Atom);
            lilv_instance_run(mInstance, n);
        }
    }

    const Signal& mPhrase;
    LilvInstance* mInstance = nullptr;
    bool mActive = false;
    std::string mWhy;
    std::vector<float> mControls;
    std::vector<uint32_t> mAudioIn, mAudioOut;
    std::vector<Signal> mOutputs, mCv;
    std::vector<std::vector<uint64_t>> mAtoms;
    std::vector<std::pair<uint32_t, bool>> mAtomPorts; // index, is input
};

// The installed plug-in whose name holds "calf" and "saturator".
const LilvPlugin* findCalfSaturator(LilvWorld* world) {
    const LilvPlugins* all = lilv_world_get_all_plugins(world);
    LILV_FOREACH(plugins, i, all) {
        const LilvPlugin* plugin = lilv_plugins_get(all, i);
        Node name(lilv_plugin_get_name(plugin), lilv_node_free);
        const std::string text = name ? lower(lilv_node_as_string(name.get())) : "";
        if (text.find("calf") != std::string::npos && text.find("saturator") != std::string::npos)
            return plugin;
    }
    return nullptr;
}

void append(std::string& why, const std::string& reason) {
    why += (why.empty() ? "" : "; ") + reason;
}

} // namespace

CpuFigures measureCpu(const std::string& bundleDir, const std::vector<size_t>& models,
                      unsigned oversampling, CpuRuns runs) {
    CpuFigures figures;
    figures.models.assign(models.size(), std::nullopt);
    const Signal input = phrase(targets::kCpuRate);
    UridMap urids;

    // quorle from this bundle alone, whatever else is installed.
    World own(lilv_world_new(), lilv_world_free);
    std::error_code ec;
    const std::string dir = std::filesystem::absolute(bundleDir, ec).string() + "/";
    Node bundle(lilv_new_file_uri(own.get(), nullptr, dir.c_str()), lilv_node_free);
    lilv_world_load_bundle(own.get(), bundle.get());
    Node uri = uriNode(own.get(), kQuorleMonoUri);
    const LilvPlugin* quorle =
        lilv_plugins_get_by_uri(lilv_world_get_all_plugins(own.get()), uri.get());
    if (!quorle)
        append(figures.why, std::string("n/a: ") + kQuorleMonoUri + " is not in " + bundleDir);
    for (size_t i = 0; quorle && i < models.size(); ++i) {
        Bench bench(own.get(), quorle, urids, input,
                    {{"model", static_cast<float>(models[i])},
                     {"oversampling", static_cast<float>(oversampling)}});
        figures.models[i] = bench.speed(runs);
        if (!figures.models[i]) {
            append(figures.why, "n/a: quorle " + bench.why());
            break;
        }
    }

    World installed(lilv_world_new(), lilv_world_free);
    lilv_world_load_all(installed.get());
    const LilvPlugin* calf = findCalfSaturator(installed.get());
    if (!calf) {
        append(figures.why, "n/a: no Calf Saturator among the installed LV2 plug-ins "
                            "(Debian package calf-plugins)");
        return figures;
    }
    Node name(lilv_plugin_get_name(calf), lilv_node_free);
    figures.calfName = std::string(lilv_node_as_string(name.get())) + " <" +
                       lilv_node_as_uri(lilv_plugin_get_uri(calf)) + ">";
    Bench bench(installed.get(), calf, urids, input, {});
    figures.calf = bench.speed(runs);
    if (!figures.calf)
        append(figures.why, "n/a: " + figures.calfName + " " + bench.why());
    return figures;
}

#endif

} // namespace measure
