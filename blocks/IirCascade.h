// Cascades of allpass-based equaliser sections run as a skewed wavefront.
//
// Section j of a cascade runs in vector lane j, kLag samples behind section j - 1,
// so every lane's recurrence advances at each step and the sections overlap instead
// of running one after another. Each lane performs, per sample, exactly the float
// operations of the section run on its own, in the same order: the output is bit for
// bit that of running the sections one after another. Four lanes with SSE2; eight
// with AVX2 where the processor has it, and sixteen with AVX-512 for cascades of 9
// to 16 sections (chosen at load, one binary for every x86-64).
//
// A wavefront fills (lane j idle for its first j kLag steps) only when its cascade
// starts: with a CascadeCarry, the lanes' skewed registers are kept at the end of a
// block and the next block resumes from them, lane j first replaying the j kLag
// samples it had run ahead on a copy to finish the block before. A kept wavefront is
// resumed only when its sections, coefficients and their states are bit for bit
// those it left; anything else (a parameter or pass count changed, a state cleared,
// another level) starts it afresh from the sections' states.
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

class CascadeCarry;

namespace IirCascade {

constexpr int32_t kStateY = 0;
constexpr int32_t kStateX = 6;
constexpr int32_t kLag = 4;          // samples each lane runs behind the one before
constexpr int32_t kMaxSections = 64; // room of a CascadeChain

enum class Level : int32_t { kScalar = 0, kSse2 = 1, kAvx2 = 2, kAvx512 = 3 };

// Audio thread: runs `count` sections in order over `frames` samples of `in`, each
// section's output into its tap. The last section must have a tap; sections in
// lanes beyond the first group read the previous group's output from it. `in` may
// be a tap of the cascade. With `carry`, its wavefronts resume from and are kept
// in it. Allocates nothing.
void run(const CascadeSection* sections, int32_t count, const float* in, int32_t frames,
         CascadeCarry* carry = nullptr);

// The most sections a tree may have at the level in force (0: none at the plain
// level). Any thread.
int32_t treeLanes();
// Audio thread: as run(), but section j reads section from[j]'s output (from[0] and
// any other -1: `in`; otherwise an earlier section), bit for bit as running the
// sections one after another, each on what the one it reads wrote. For two branches
// that read the same output: they run side by side in the lanes of one wavefront.
// `count` must be at most treeLanes() (else nothing runs). Allocates nothing.
void runTree(const CascadeSection* sections, int32_t count, const int8_t* from, const float* in,
             int32_t frames, CascadeCarry* carry = nullptr);

// Audio thread: as run(a, countA, inA) and then run(b, countB, inB), bit for bit,
// the two cascades side by side in the lanes (half the lanes each) when they have
// as many sections. Neither cascade may read or write the other's buffers.
void runPair(const CascadeSection* a, int32_t countA, const float* inA, const CascadeSection* b,
             int32_t countB, const float* inB, int32_t frames, CascadeCarry* carry = nullptr);

// The widest level this processor runs.
Level best();
// The level run() uses (best() unless set). Setup thread: tests and benchmarks
// compare the levels; a level the processor lacks is held to best(). Returns the
// level in force before.
Level setLevel(Level level);

} // namespace IirCascade

// The wavefronts one effect runs, kept from one block to the next (see the top of
// this file): up to kWaves of them, the one unused longest making room. Owned by
// whoever runs the same cascades block after block, used on its audio thread only.
// Holds no pointer it dereferences, so the sections it names may go at any time.
class CascadeCarry {
  public:
    static constexpr int32_t kWaves = 16;
    static constexpr int32_t kLanes = 16;

    // One wavefront's registers after its last block, lane by lane.
    struct Wave {
        const float* key = nullptr;        // its first lane's section state; null: none
        uint32_t used = 0;                 // when it last ran (the carry's clock)
        int32_t lanes = 0;                 // vector width it ran at; 0: nothing kept
        int32_t group = 0;                 // lanes per cascade (lanes / 2 for a pair)
        int32_t count = 0;                 // sections per cascade
        const float* state[kLanes];        // the section each lane ran
        int32_t wait[kLanes];              // steps before the lane has its first sample
        alignas(32) float coef[8][kLanes]; // b0 b1 b2 a1 a2 direct shelved gain
        alignas(32) float x1[kLanes], x2[kLanes], y1[kLanes], y2[kLanes];
        alignas(32) float ring[IirCascade::kLag][kLanes]; // the last kLag steps' outputs
        float end[kLanes][4];     // x[n-1] x[n-2] y[n-1] y[n-2] each lane left in its state
        bool tree = false;        // lanes read other lanes than the one before
        int8_t from[kLanes] = {}; // for a tree, the lane each one read (-1: the input)
    };

    // Audio thread: the wavefront whose first lane runs the section with `state`,
    // or the slot to keep it in (then holding nothing).
    Wave& find(const float* state);
    // Forgets every wavefront.
    void clear();

  private:
    Wave waves[kWaves];
    uint32_t clock = 0;
};

// Consecutive filters gathered into as few cascades as they allow, on the audio
// thread: a filter joins the cascade when it reads what the previous one wrote.
// Coefficients and pass counts are read from the filters as they are added, so a
// parameter change made between blocks is always heard. Allocates nothing.
class CascadeChain {
  public:
    // With `carry`, the chain's wavefronts resume from it block after block.
    explicit CascadeChain(int32_t frames, CascadeCarry* carry = nullptr)
        : frames(frames), carry(carry) {}
    CascadeChain(const CascadeChain&) = delete;
    CascadeChain& operator=(const CascadeChain&) = delete;
    ~CascadeChain();

    // Adds `filter`'s passes reading `in` (first channel) and writing `out`, as
    // FilterParams::process would: a filter without passes writes nothing. A filter
    // that reads what an earlier filter of the cascade wrote (not the last one) joins
    // it as a branch, side by side in the lanes, when the cascade still fits one
    // wavefront (IirCascade::treeLanes()) and every earlier filter writing `out`
    // reaches each sample before it. Runs what was gathered first when the filter
    // cannot join or room runs out.
    // `soleReader`: nothing but this filter reads `in`, so when it joins the filter
    // that writes `in`, that one's output is never written to `in` (the samples that
    // reach `out` are the same).
    void add(FilterParams& filter, const float* in, float* out, bool soleReader = false);
    // As add(), only when `filter` joins the gathered cascade as a branch; else
    // false, and nothing is added or run.
    bool addBranch(FilterParams& filter, const float* in, float* out);
    // Runs what was gathered.
    void flush();
    // Audio thread: from now on the two chains flush together, their cascades side by
    // side in the lanes, so that two channels running the same graph share them.
    // Each chain must gather over buffers of its own. Set on two chains of the same
    // frame count; a chain unpairs when either of them goes.
    void pairWith(CascadeChain& other);

  private:
    // Appends `filter`'s sections, the first reading section `parent` (-1: the input;
    // count - 1 joins the chain as before), to a cascade that has room for them.
    void join(FilterParams& filter, const float* in, float* out, bool soleReader, int32_t parent);
    // The filter (-1: none, the cascade's input) whose output a branch reads, or -2.
    int32_t branchFrom(const float* in, int32_t passes, const float* out) const;

    CascadeSection sections[IirCascade::kMaxSections];
    // Once a branch joins (till then section j reads j - 1, j behind the input):
    int8_t from[IirCascade::kMaxSections];  // the section each one reads; -1: the input
    int8_t depth[IirCascade::kMaxSections]; // sections between it and the input
    bool branched = false;
    int32_t treeRoom = IirCascade::treeLanes();
    int32_t count = 0;
    int32_t frames;
    CascadeCarry* carry;
    const float* source = nullptr; // the gathered cascade's input
    const float* last = nullptr;   // the last filter's output
    CascadeChain* partner = nullptr;
};
