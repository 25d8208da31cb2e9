#include "tools/measure/CabinetMeasure.h"

#include "main/CabinetLoad.h"
#include "main/ChannelEngine.h"
#include "main/DataArchive.h"
#include "tools/measure/Metrics.h"
#include "tools/measure/Targets.h"

#include <algorithm>
#include <cmath>

namespace measure {

namespace t = targets;

namespace {

constexpr uint32_t kConvolverBlock = 4096; // frames per convolver call offline
constexpr uint32_t kEngineBlock = 512;     // frames per engine call, as the renderer's host
constexpr double kTwoPi = 6.283185307179586476925286766559;

// One second-order section of the audio EQ cookbook, direct form I in double.
struct Section {
    double b0, b1, b2, a1, a2;
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    double run(double x) {
        const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        return y;
    }
};

Section highPass(double rate, double hz, double q) {
    const double w = kTwoPi * hz / rate, c = std::cos(w), alpha = std::sin(w) / (2.0 * q);
    const double a0 = 1.0 + alpha;
    return {(1.0 + c) / 2.0 / a0, -(1.0 + c) / a0, (1.0 + c) / 2.0 / a0, -2.0 * c / a0,
            (1.0 - alpha) / a0};
}

// The chord of the switching target, kSwitchAtSeconds + kSwitchAfterSeconds long.
Signal switchChord(double rate) {
    const double seconds = t::kSwitchAtSeconds + t::kSwitchAfterSeconds;
    return chord(rate, std::vector<double>(t::kSwitchChordHz.begin(), t::kSwitchChordHz.end()),
                 t::kSwitchChordDbfs, t::kSwitchChordTopHz, seconds);
}

std::string choiceName(const ShippedCabinets& c, int choice) {
    return choice < 0 ? std::string(cabinet::kOff) : c.names[static_cast<size_t>(choice)];
}

std::unique_ptr<Convolver> convolverOf(const ShippedCabinets& c, int choice, uint32_t frames) {
    return choice < 0 ? nullptr
                      : cabinet::convolverFor(c.responses[static_cast<size_t>(choice)], 0, frames);
}

// The engine's output for `input`, the cabinet changed from `from` to `to`
// (-1: off) at kSwitchAtSeconds.
Signal playSwitch(const ShippedCabinets& c, int model, int factor, int from, int to,
                  const Signal& input) {
    EngineSetup setup;
    setup.rate = c.rate;
    setup.maxFrames = kEngineBlock;
    setup.factor = factor;
    setup.prepareAll = false;
    setup.startModel = model;
    setup.archive = c.archive;
    ChannelEngine engine(setup);
    if (engine.model() != model || !engine.has(model))
        throw RenderError("the channel engine cannot build model " + std::to_string(model));
    engine.setControls(0.5f, 0.5f, 0.5f);
    std::unique_ptr<Convolver> first = convolverOf(c, from, engine.maxPiece());
    if (!engine.installCabinet(first))
        throw RenderError("the channel engine refuses the cabinet " + choiceName(c, from));
    const size_t switchAt = static_cast<size_t>(std::llround(t::kSwitchAtSeconds * c.rate));
    Signal out(input.size());
    std::unique_ptr<Convolver> next = convolverOf(c, to, engine.maxPiece());
    for (size_t at = 0; at < input.size();) {
        if (at == switchAt && !engine.offerCabinet(next))
            throw RenderError("the channel engine refuses the cabinet " + choiceName(c, to));
        const size_t end = at < switchAt ? switchAt : input.size();
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(kEngineBlock, end - at));
        engine.process(input.data() + at, out.data() + at, n);
        at += n;
    }
    return out;
}

// The index of model `name` (as a host lists it, without ".xml") in the engine's list.
int modelIndex(const ShippedCabinets& c, const std::string& name) {
    EngineSetup setup;
    setup.rate = c.rate;
    setup.prepareAll = false;
    setup.archive = c.archive;
    const ChannelEngine engine(setup);
    const std::vector<std::string>& names = engine.modelNames();
    const auto found = std::find_if(names.begin(), names.end(), [&](const std::string& n) {
        return n == name || n == name + ".xml";
    });
    if (found == names.end())
        throw RenderError("the data archive has no model \"" + name + "\"");
    return static_cast<int>(found - names.begin());
}

double meanSquare(const std::vector<double>& x, size_t from, size_t to) {
    double sum = 0.0;
    for (size_t i = from; i < to; ++i)
        sum += x[i] * x[i];
    return to > from ? sum / static_cast<double>(to - from) : 0.0;
}

} // namespace

ShippedCabinets loadCabinets(const std::string& bundleDir, double rate) {
    ShippedCabinets c;
    c.rate = rate;
    const std::string dir = bundleDir + "/";
    std::string error;
    c.archive = DataArchive::readFile(dir + "quorle.data", {}, &error);
    if (!c.archive->found())
        throw RenderError(error);
    c.names = c.archive->cabinetNames();
    if (c.names.empty())
        throw RenderError(dir + "quorle.data holds no cabinet");
    for (const std::string& name : c.names) {
        std::optional<ImpulseResponse> response = cabinet::load(*c.archive, name, rate, error);
        if (!response)
            throw RenderError(dir + "quorle.data: " + error);
        c.responses.push_back(std::move(*response));
    }
    return c;
}

Signal throughCabinet(const Signal& x, const ImpulseResponse& response) {
    const std::unique_ptr<Convolver> convolver =
        cabinet::convolverFor(response, 0, kConvolverBlock);
    if (!convolver)
        return x;
    Signal out(x.size());
    for (size_t at = 0; at < x.size(); at += kConvolverBlock) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(kConvolverBlock, x.size() - at));
        convolver->process(x.data() + at, out.data() + at, n);
    }
    return out;
}

double CabinetLevels::spreadDb() const {
    if (dbfs.empty())
        return 0.0;
    const auto range = std::minmax_element(dbfs.begin(), dbfs.end());
    return *range.second - *range.first;
}

CabinetLevels measureCabinetLevels(const Renderer& r, size_t model, double rate,
                                   const ShippedCabinets& cabinets) {
    CabinetLevels levels;
    levels.model = r.modelNames().at(model);
    const Signal phrase = samePhrase(rate);
    levels.plain = r.render(model, Controls{}, phrase, rate);
    levels.plainDbfs = rmsDb(levels.plain.data(), levels.plain.size());
    for (const std::string& name : cabinets.names) {
        levels.wet.push_back(r.render(model, Controls{}, phrase, rate, name));
        levels.dbfs.push_back(rmsDb(levels.wet.back().data(), levels.wet.back().size()));
    }
    return levels;
}

std::vector<CabinetSwitch> measureCabinetSwitches(const ShippedCabinets& c, const std::string& name,
                                                  int factor) {
    const int model = modelIndex(c, name);
    const Signal sound = switchChord(c.rate);
    const size_t switchAt = static_cast<size_t>(std::llround(t::kSwitchAtSeconds * c.rate));
    const size_t steady = static_cast<size_t>(std::llround(t::kSwitchSteadySeconds * c.rate));
    const size_t window = static_cast<size_t>(std::llround(t::kSwitchWindowSeconds * c.rate));
    std::vector<CabinetSwitch> switches;
    const int choices = static_cast<int>(c.names.size());
    for (int from = -1; from < choices; ++from)
        for (int to = -1; to < choices; ++to) {
            if (from == to)
                continue;
            const std::vector<double> band =
                highBand(playSwitch(c, model, factor, from, to, sound), c.rate, t::kSwitchBandHz);
            const double before = meanSquare(band, switchAt - steady, switchAt);
            const double after = meanSquare(band, band.size() - steady, band.size());
            const std::vector<double> windows = slidingMeanSquare(
                std::vector<double>(band.begin() + static_cast<long>(switchAt - steady),
                                    band.end()),
                window);
            CabinetSwitch s;
            s.model = name;
            s.from = choiceName(c, from);
            s.to = choiceName(c, to);
            s.worstDb = powerDb(*std::max_element(windows.begin(), windows.end()));
            s.steadyDb = powerDb(std::max(before, after));
            switches.push_back(s);
        }
    return switches;
}

std::vector<double> highBand(const Signal& x, double rate, double hz) {
    // Butterworth: the sections' Qs are 1 / (2 cos((2k - 1) pi / 16)), k = 1..4.
    Section sections[4] = {highPass(rate, hz, 0.50979558), highPass(rate, hz, 0.60134489),
                           highPass(rate, hz, 0.89997622), highPass(rate, hz, 2.56291545)};
    std::vector<double> out(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        double v = x[i];
        for (Section& s : sections)
            v = s.run(v);
        out[i] = v;
    }
    return out;
}

std::vector<double> slidingMeanSquare(const std::vector<double>& x, size_t window) {
    std::vector<double> out;
    if (window == 0 || x.size() < window)
        return out;
    // Each sum afresh from a running total would drift; in blocks of a window, the
    // first sum of each block is taken whole.
    out.reserve(x.size() - window + 1);
    double sum = 0.0;
    for (size_t i = 0; i + window <= x.size(); ++i) {
        if (i % window == 0) {
            sum = 0.0;
            for (size_t k = i; k < i + window; ++k)
                sum += x[k] * x[k];
        } else {
            sum += x[i + window - 1] * x[i + window - 1] - x[i - 1] * x[i - 1];
        }
        out.push_back(std::max(0.0, sum) / static_cast<double>(window));
    }
    return out;
}

} // namespace measure
