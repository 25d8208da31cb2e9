// Work buffers shared by every run of the process, lent to a main effect before
// its init(), which then finds its table in place and allocates none: a fresh
// 29 MB table for each input would leave the fuzzer little time for anything
// else. Also the test signal the harnesses feed and a renderer.
#pragma once

#include "graph/AudioNode.h"
#include "main/VorlixMac.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

namespace fuzz {

// Longest block the harnesses render; only this much of each slot is cleared.
constexpr int32_t kMaxBlock = 1024;

// Lends the process's work-buffer table to `fx` for its lifetime; declare it right
// after the effect, so that the table is taken back before the effect is destroyed.
class BorrowedBuffers {
  public:
    explicit BorrowedBuffers(QrVorlixGeneric& fx) : fx(fx) {
        static std::vector<std::vector<float>> memory(kNumSlots,
                                                      std::vector<float>(kSlotLength, 0.0f));
        static std::vector<float*> lists = [] {
            std::vector<float*> l;
            for (auto& slot : memory)
                l.push_back(slot.data());
            return l;
        }();
        for (int32_t s = 0; s < kNumSlots; ++s) {
            // Every run starts from the silence a fresh table holds.
            std::memset(memory[s].data(), 0, sizeof(float) * kMaxBlock);
            fx.buffers[s] = &lists[s];
        }
        fx.bufferSize = kSlotLength;
    }
    ~BorrowedBuffers() {
        for (float**& slot : fx.buffers)
            slot = nullptr;
    }
    BorrowedBuffers(const BorrowedBuffers&) = delete;
    BorrowedBuffers& operator=(const BorrowedBuffers&) = delete;

  private:
    QrVorlixGeneric& fx;
};

// A guitar-like test signal of `frames` samples within -1..1: a decaying tone with
// a full-scale click at the start and a stretch of silence in the middle.
inline std::vector<float> testSignal(size_t frames, uint32_t seed = 0) {
    std::vector<float> v(frames, 0.0f);
    const double hz = 110.0 * (1 + seed % 4);
    for (size_t i = 0; i < frames; ++i) {
        if (i > frames / 2 && i < frames / 2 + frames / 8)
            continue;
        v[i] = static_cast<float>(0.8 * std::exp(-1e-3 * static_cast<double>(i)) *
                                  std::sin(2.0 * M_PI * hz * static_cast<double>(i) / 44100.0));
    }
    if (frames > 0)
        v[0] = 1.0f;
    if (frames > 1)
        v[1] = -1.0f;
    return v;
}

// Renders `frames` frames of `signal` through `fx` (one channel, in blocks of the
// given size) and returns the output.
inline std::vector<float> render(QrVorlixGeneric& fx, const std::vector<float>& signal,
                                 int32_t block) {
    std::vector<float> in(signal), out(signal.size(), 0.0f);
    for (size_t at = 0; at < in.size(); at += static_cast<size_t>(block)) {
        const auto n =
            static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(block), in.size() - at));
        // One-element channel arrays of their own, so that reading a second channel
        // that is not there is caught.
        std::unique_ptr<float*[]> inputs(new float* [1] { in.data() + at });
        std::unique_ptr<float*[]> outputs(new float* [1] { out.data() + at });
        fx.process(inputs.get(), outputs.get(), n);
    }
    return out;
}

inline bool allFinite(const std::vector<float>& v) {
    for (float x : v)
        if (!std::isfinite(x))
            return false;
    return true;
}

} // namespace fuzz
