// What a model costs to play, measured by playing it: the plucked phrase through
// one channel engine at 44.1 kHz with the plug-in's default oversampling (2x), in
// host blocks of 512 frames, timed in this thread's CPU time. quorle-model check
// reports it for every model that loads and warns when it is too slow for this
// machine. Setup thread: it builds the model and allocates.
#pragma once

#include <memory>
#include <optional>
#include <string>

class DataArchive;

namespace authoring {

struct ModelCost {
    // x real time: seconds of audio one channel plays per second of CPU.
    double speed = 0.0;
    double audioSeconds = 0.0; // how much audio was timed
};

// The speed a model must reach to play in real time with room to spare: a change
// of model or of oversampling runs it twice at once for 20 to 40 ms, and a host has
// more than this plug-in to run in each cycle, so a model that takes more than half
// of the audio's time drops out on every change.
constexpr double kRealTimeSpeed = 2.0;

// Model `name` (an entry of `archive`) played as the top says, over up to
// `maxAudioSeconds` of the phrase, stopping once about `cpuSeconds` of CPU have
// gone (at least four blocks are timed, after one that is not). nullopt when the
// archive does not list the model or an engine cannot be made with it.
std::optional<ModelCost> measureModelCost(const std::shared_ptr<const DataArchive>& archive,
                                          const std::string& name, double maxAudioSeconds = 4.0,
                                          double cpuSeconds = 0.5);

// The line check prints: "runs at N x real time (...)".
std::string costLine(const ModelCost& cost);

// One sentence when `speed` is under kRealTimeSpeed, empty otherwise.
std::string costWarning(double speed);

} // namespace authoring
