// What an oversampling change does to the sound of one channel: a signal rendered
// through a channel engine that changes its factor part way, beside the same signal
// rendered at the old factor and at the new one throughout, judged over the stretch
// the change can reach:
//
//  - the dip: the deepest fall of a 5 ms window's RMS (windows sliding by one
//    sample) under the quieter of the two steady renders' in the same window, in
//    dB (0 when it never falls; windows where both steady renders are under
//    -80 dBFS are not judged);
//  - the rise: the same window's RMS above the louder of the two, in dB (0 when
//    it never rises);
//  - the step ratio: the largest difference between neighbouring output samples,
//    over the largest the steady renders make in the same stretch.
//
// The targets an oversampling change must meet: a dip no deeper than -3 dB and a
// step ratio of at most 1.5. Used by bench/FactorChangeTable.cpp (the table) and
// tests/FactorChangeTest.cpp (the targets asserted). Setup thread; it allocates.
#pragma once

#include "main/ChannelEngine.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace factorchange {

constexpr double kWindowMs = 5.0;
constexpr double kFloor = 1e-4;   // -80 dBFS: quieter windows are not judged
constexpr double kSpanMs = 150.0; // after the change, longer than any change lasts
constexpr double kDipTargetDb = -3.0;
constexpr double kStepTarget = 1.5;

struct Figures {
    double dipDb = 0.0;
    double riseDb = 0.0;
    double stepRatio = 0.0;
    bool meetsTargets() const { return dipDb >= kDipTargetDb && stepRatio <= kStepTarget; }
};

// `in` through a fresh engine made from `setup` (its factor the one it starts at), in
// host blocks of `block` frames; at the first block starting at or after frame `at`
// it is asked for factor `to` (at 0: before anything is heard, so it plays `to`
// throughout, in the pieces an engine started at setup.factor cuts).
inline std::vector<float> render(const EngineSetup& setup, const std::vector<float>& in, int to,
                                 size_t at, uint32_t block) {
    ChannelEngine engine(setup);
    std::vector<float> out(in.size());
    bool asked = false;
    for (size_t done = 0; done < in.size();) {
        if (!asked && done >= at) {
            engine.setFactor(to);
            asked = true;
        }
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(block, in.size() - done));
        engine.process(in.data() + done, out.data() + done, n);
        done += n;
    }
    return out;
}

// Sums of squares: sums[i] holds x[0]^2 + ... + x[i-1]^2.
inline std::vector<double> squareSums(const std::vector<float>& x) {
    std::vector<double> sums(x.size() + 1, 0.0);
    for (size_t i = 0; i < x.size(); ++i)
        sums[i + 1] = sums[i] + static_cast<double>(x[i]) * x[i];
    return sums;
}

inline double largestStep(const std::vector<float>& x, size_t from, size_t to) {
    double largest = 0.0;
    for (size_t i = std::max<size_t>(from, 1); i < std::min(to, x.size()); ++i)
        largest = std::max(largest, std::fabs(static_cast<double>(x[i]) - x[i - 1]));
    return largest;
}

// The change render `changed` judged against the steady renders `before` (the old
// factor throughout) and `after` (the new one), the change asked for at frame `at`.
inline Figures judge(const std::vector<float>& changed, const std::vector<float>& before,
                     const std::vector<float>& after, size_t at, double rate) {
    Figures f;
    const size_t window = static_cast<size_t>(std::lround(kWindowMs * rate / 1000.0));
    const size_t end =
        std::min(changed.size(), at + static_cast<size_t>(std::lround(kSpanMs * rate / 1000.0)));
    const std::vector<double> c = squareSums(changed), a = squareSums(before),
                              b = squareSums(after);
    auto rms = [&](const std::vector<double>& sums, size_t w) {
        return std::sqrt(std::max(0.0, sums[w + window] - sums[w]) / static_cast<double>(window));
    };
    for (size_t w = at > window ? at - window : 0; w + window <= end; ++w) {
        const double quieter = std::min(rms(a, w), rms(b, w));
        if (quieter < kFloor)
            continue;
        const double heard = std::max(rms(c, w), 1e-12);
        f.dipDb = std::min(f.dipDb, 20.0 * std::log10(heard / quieter));
        f.riseDb = std::max(f.riseDb, 20.0 * std::log10(heard / std::max(rms(a, w), rms(b, w))));
    }
    const double steadyStep = std::max(largestStep(before, at, end), largestStep(after, at, end));
    f.stepRatio = steadyStep > 0.0 ? largestStep(changed, at, end) / steadyStep : 0.0;
    return f;
}

// Every change from `from` to `to` of `in` at frame `at` (a multiple of `block`), the
// steady renders made here too.
inline Figures measure(EngineSetup setup, const std::vector<float>& in, int from, int to, size_t at,
                       uint32_t block) {
    setup.factor = from;
    const std::vector<float> before = render(setup, in, from, 0, block);
    const std::vector<float> after = render(setup, in, to, 0, block);
    const std::vector<float> changed = render(setup, in, to, at, block);
    return judge(changed, before, after, at, setup.rate);
}

// A sine of `hz` at `peak`, `seconds` long.
inline std::vector<float> sine(double hz, double peak, double rate, double seconds) {
    std::vector<float> x(static_cast<size_t>(seconds * rate));
    for (size_t i = 0; i < x.size(); ++i)
        x[i] = static_cast<float>(peak * std::sin(2.0 * M_PI * hz * static_cast<double>(i) / rate));
    return x;
}

} // namespace factorchange
