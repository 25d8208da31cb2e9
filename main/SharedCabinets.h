// The shipped cabinets made ready once per process: a cabinet's response, at a
// rate, resampled, levelled and cut into its convolver's spectra once, and shared
// read-only by every instance and channel that plays it (each keeps only its own
// convolution state). The first instance at a rate pays for the resampling and
// the FFTs; every later one only allocates and clears its state.
// Any thread but the audio thread; everything here allocates and may take a lock.
#pragma once

#include "blocks/Convolver.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class DataArchive;

namespace cabinet {

// A response ready to convolve at one rate: one prepared response per channel of
// the file (a mono file: one).
struct ReadyCabinet {
    double rate = 0;
    std::vector<std::shared_ptr<const Convolver::Response>> channels;
};

// The shipped cabinet `name` of `archive` (as its cabinetNames() lists it) ready at
// `rate`, shared with every earlier call for the same cabinet (the same bytes in
// any archive) at the same rate. Null, with one sentence in `error`, when it cannot
// be had. Throws std::bad_alloc.
std::shared_ptr<const ReadyCabinet> shared(const DataArchive& archive, const std::string& name,
                                           double rate, std::string& error);

// How many cabinets the process keeps ready, in use or not (a later call for one
// that no instance plays any more finds it still ready, up to kSharedRoom of them).
size_t sharedCount();
constexpr size_t kSharedRoom = 32;

// Channel `channel`'s convolver of `ready`: a mono response feeds every channel, a
// stereo one gives channel 0 its left and every other channel its right. Null for a
// response without channels. Sized for process() calls of up to `maxFrames` frames.
// Throws std::bad_alloc.
std::unique_ptr<Convolver> convolverFor(const ReadyCabinet& ready, uint32_t channel,
                                        uint32_t maxFrames);

} // namespace cabinet
