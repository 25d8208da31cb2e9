// One channel engine as the benchmarks build it.
#pragma once

#include "main/ChannelEngine.h"
#include "main/DataArchive.h"

#include <cstdint>
#include <memory>
#include <utility>

// The setup of a channel playing `model` of `archive` (only that model's graph
// built) at `rate` Hz, `factor` times oversampled, for host blocks of up to
// `maxFrames` frames.
inline EngineSetup benchEngineSetup(double rate, uint32_t maxFrames, int factor, int model,
                                    std::shared_ptr<const DataArchive> archive) {
    EngineSetup setup;
    setup.rate = rate;
    setup.maxFrames = maxFrames;
    setup.factor = factor;
    setup.prepareAll = false;
    setup.startModel = model;
    setup.archive = std::move(archive);
    return setup;
}
