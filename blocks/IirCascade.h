// Cascades of allpass-based equaliser sections run as a skewed wavefront.
//
// Section j of a cascade runs in vector lane j, kLag samples behind section j - 1,
// so every lane's recurrence advances at each step and the sections overlap instead
// of running one after another. Each lane performs, per sample, exactly the float
// operations of the section run on its own, in the same order: the output is bit for
// bit that of running the sections one after another. Four lanes with SSE2; eight
// with AVX2 where the processor has it (chosen at load, one binary for every x86-64).
#pragma once

#include <cstdint>

class FilterParams;

// One section as FilterParams runs it: where its state lives, where its output goes.
struct CascadeSection {
    float b0, b1, b2, a1, a2; // allpass: x[n], x[n-1], x[n-2]; feedback y[n-1], y[n-2]
    float direct, shelved;    // weights of the section's input and allpass output
    float gain;               // scales the section's output; exactly 1 for none
    float* state;             // y[n], y[n-1], y[n-2] at kStateY.., x[n].. at kStateX..
    float* tap;               // receives the section's output, or null
};

namespace IirCascade {

constexpr int32_t kStateY = 0;
constexpr int32_t kStateX = 6;
constexpr int32_t kLag = 4;          // samples each lane runs behind the one before
constexpr int32_t kMaxSections = 64; // room of a CascadeChain

enum class Level : int32_t { kScalar = 0, kSse2 = 1, kAvx2 = 2 };

// Audio thread: runs `count` sections in order over `frames` samples of `in`, each
// section's output into its tap. The last section must have a tap; sections in
// lanes beyond the first group read the previous group's output from it. `in` may
// be a tap of the cascade. Allocates nothing.
void run(const CascadeSection* sections, int32_t count, const float* in, int32_t frames);

// Audio thread: as run(a, countA, inA) and then run(b, countB, inB), bit for bit,
// the two cascades side by side in the lanes (half the lanes each) when they have
// as many sections. Neither cascade may read or write the other's buffers.
void runPair(const CascadeSection* a, int32_t countA, const float* inA, const CascadeSection* b,
             int32_t countB, const float* inB, int32_t frames);

// The widest level this processor runs.
Level best();
// The level run() uses (best() unless set). Setup thread: tests and benchmarks
// compare the levels; a level the processor lacks is held to best(). Returns the
// level in force before.
Level setLevel(Level level);

} // namespace IirCascade

// Consecutive filters gathered into as few cascades as they allow, on the audio
// thread: a filter joins the cascade when it reads what the previous one wrote.
// Coefficients and pass counts are read from the filters as they are added, so a
// parameter change made between blocks is always heard. Allocates nothing.
class CascadeChain {
  public:
    explicit CascadeChain(int32_t frames) : frames(frames) {}
    CascadeChain(const CascadeChain&) = delete;
    CascadeChain& operator=(const CascadeChain&) = delete;
    ~CascadeChain();

    // Adds `filter`'s passes reading `in` (first channel) and writing `out`, as
    // FilterParams::process would: a filter without passes writes nothing. Runs what
    // was gathered first when `in` is not the last filter's output or room runs out.
    void add(FilterParams& filter, const float* in, float* out);
    // Runs what was gathered.
    void flush();
    // Audio thread: from now on the two chains flush together, their cascades side by
    // side in the lanes, so that two channels running the same graph share them.
    // Each chain must gather over buffers of its own. Set on two chains of the same
    // frame count; a chain unpairs when either of them goes.
    void pairWith(CascadeChain& other);

  private:
    CascadeSection sections[IirCascade::kMaxSections];
    int32_t count = 0;
    int32_t frames;
    const float* source = nullptr; // the gathered cascade's input
    const float* last = nullptr;   // the last filter's output
    CascadeChain* partner = nullptr;
};
