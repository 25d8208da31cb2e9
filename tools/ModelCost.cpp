#include "tools/ModelCost.h"

#include "main/ChannelEngine.h"
#include "main/DataArchive.h"
#include "tools/PluckedPhrase.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <exception>
#include <vector>

namespace authoring {

namespace {

constexpr double kRate = 44100.0;
constexpr int kFactor = 2;
constexpr uint32_t kBlock = 512;
constexpr int kFewestBlocks = 4;

// This thread's CPU time so far, seconds.
double threadSeconds() {
    timespec t = {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// A speed as people read it: 3 significant figures, at most 2 decimals.
std::string speedText(double speed) {
    char text[32];
    std::snprintf(text, sizeof text,
                  speed >= 100.0  ? "%.0f"
                  : speed >= 10.0 ? "%.1f"
                                  : "%.2f",
                  speed);
    return text;
}

} // namespace

std::optional<ModelCost> measureModelCost(const std::shared_ptr<const DataArchive>& archive,
                                          const std::string& name, double maxAudioSeconds,
                                          double cpuSeconds) {
    if (!archive)
        return std::nullopt;
    EngineSetup setup;
    setup.rate = kRate;
    setup.maxFrames = kBlock;
    setup.factor = kFactor;
    setup.prepareAll = false;
    setup.archive = archive;
    const std::vector<std::string>& names = archive->modelNames();
    const auto found = std::find(names.begin(), names.end(), name);
    if (found == names.end())
        return std::nullopt;
    setup.startModel = static_cast<int>(found - names.begin());
    std::unique_ptr<ChannelEngine> engine;
    try {
        engine = std::make_unique<ChannelEngine>(setup);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!engine->has(setup.startModel))
        return std::nullopt;
    const std::vector<float> phrase =
        pluckedPhrase(kRate, std::max(maxAudioSeconds, 5.0 * kBlock / kRate));
    std::vector<float> out(kBlock);
    engine->setControls(0.5f, 0.5f, 0.5f);
    engine->process(phrase.data(), out.data(), kBlock); // first touches, not timed
    const double start = threadSeconds();
    double spent = 0.0;
    size_t at = kBlock;
    int blocks = 0;
    while (at + kBlock <= phrase.size() && (blocks < kFewestBlocks || spent < cpuSeconds)) {
        engine->process(phrase.data() + at, out.data(), kBlock);
        at += kBlock;
        ++blocks;
        spent = threadSeconds() - start;
    }
    ModelCost cost;
    cost.audioSeconds = blocks * kBlock / kRate;
    cost.speed = cost.audioSeconds / std::max(spent, 1e-9);
    return cost;
}

std::string costLine(const ModelCost& cost) {
    return "runs at " + speedText(cost.speed) +
           "x real time (one channel, 44.1 kHz, oversampling 2x; CPU time on this machine)";
}

std::string costWarning(double speed) {
    if (speed >= kRealTimeSpeed)
        return {};
    return "it runs at " + speedText(speed) +
           "x real time, too slow to play in real time on this machine at 44.1 kHz and 2x "
           "oversampling (a model needs " +
           speedText(kRealTimeSpeed) +
           "x: a change of model or oversampling runs it twice at once)";
}

} // namespace authoring
