// Reports a benchmark's speed as a multiple of real time for one channel.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>

inline void reportRealtime(benchmark::State& state, int64_t framesPerIteration, double rate) {
    state.counters["x_realtime"] =
        benchmark::Counter(static_cast<double>(framesPerIteration) / rate,
                           benchmark::Counter::kIsIterationInvariantRate);
    state.SetItemsProcessed(state.iterations() * framesPerIteration);
}
