// Times LV2 plug-ins as a host runs them, on the calling (setup) thread: lilv loads
// them; every audio input plays the same mono signal in blocks; control ports keep
// their defaults unless set by symbol; CV and atom ports get buffers of their own
// (an atom input holds an empty sequence). Only the host's cycles count (the audio
// ports pointed at the block, then run()), in CPU time of the calling thread, read
// once around them: a clock read costs far more than a cycle's port calls. The
// host offers urid:map, options (the block lengths and the sample rate),
// bufsz:boundedBlockLength and worker:schedule, whose jobs it does between two
// run() calls, off the clock. A plug-in that is not there or does not start says
// so instead of being timed. The same host also renders: a fresh instance, not
// warmed up, plays a signal once and hands back its first audio output.
#pragma once

#include "tools/measure/Signals.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace measure {

struct PortSetting {
    std::string symbol;
    float value;
};

// One plug-in instance wired to its buffers, or the reason there is none.
class TimedPlugin {
  public:
    enum class State { Ready, NotInstalled, Failed };
    TimedPlugin(State state, std::string why) : mState(state), mWhy(std::move(why)) {}
    virtual ~TimedPlugin() = default;
    TimedPlugin(const TimedPlugin&) = delete;
    TimedPlugin& operator=(const TimedPlugin&) = delete;

    State state() const { return mState; }
    const std::string& why() const { return mWhy; } // empty when Ready
    unsigned channels() const { return mChannels; } // audio inputs fed
    // CPU seconds spent in run() playing the whole signal once, in blocks.
    virtual double play() { return 0.0; }
    // The first audio output of playing the whole signal once, as long as the
    // signal; empty when the plug-in is not ready or has no audio output. Each call
    // goes on from the state the one before left.
    virtual Signal render() { return {}; }
    // Seconds of audio per channel per CPU second, for one play() that took `cpuSeconds`.
    double speed(double cpuSeconds) const;
    // The latency the plug-in reports (its lv2:reportsLatency output, in frames) after
    // the last run(); nullopt when it reports none.
    virtual std::optional<float> latency() const { return std::nullopt; }

  protected:
    State mState;
    std::string mWhy;
    unsigned mChannels = 0;
    double mAudioSeconds = 0.0; // the signal's length
};

class Lv2Timer {
  public:
    // The plug-ins of the bundle `bundleDir` alone, or every installed one (as
    // LV2_PATH says) when it is empty.
    explicit Lv2Timer(const std::string& bundleDir = {});
    ~Lv2Timer();
    Lv2Timer(const Lv2Timer&) = delete;
    Lv2Timer& operator=(const Lv2Timer&) = delete;

    enum class Start {
        WarmedUp, // on the first second of the input, for timing
        Fresh,    // as activated, for rendering (a warm-up would change what a decay shows)
    };
    // `uri` instantiated at `rate` Hz and activated, to be fed `input` (which must
    // outlive it) in blocks of `block` frames. `settings` set control inputs by symbol.
    std::unique_ptr<TimedPlugin> open(const std::string& uri,
                                      const std::vector<PortSetting>& settings, const Signal& input,
                                      double rate, unsigned block, Start start = Start::WarmedUp);
    // URI of the first plug-in whose name holds every one of `words` (lower case);
    // empty when there is none.
    std::string findByName(const std::vector<std::string>& words) const;
    // The name of `uri`; empty when it is not there.
    std::string name(const std::string& uri) const;
    // The scale points (value, label) of the port `symbol` of `uri`, by value.
    std::vector<std::pair<float, std::string>> scalePoints(const std::string& uri,
                                                           const std::string& symbol) const;
    // The default of the port `symbol` of `uri`, when it has one.
    std::optional<float> portDefault(const std::string& uri, const std::string& symbol) const;

    struct World; // the lilv world; the instances opened keep it alive

  private:
    std::shared_ptr<World> mWorld;
    std::string mWhere; // "in DIR" or "installed", for the reasons given
};

// x real time per channel over repetitions: `fastest` from the least CPU time.
struct Speeds {
    double fastest = 0.0;
    double median = 0.0;
};

// Plays every ready plug-in `reps` times, one after another in each round (a change
// of the machine's load falls on all of them alike); nothing for one that is not
// ready or whose time was not positive.
std::vector<std::optional<Speeds>> timeRounds(const std::vector<TimedPlugin*>& plugins, int reps,
                                              void (*progress)(int round, int rounds) = nullptr);

} // namespace measure
