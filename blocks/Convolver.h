// Zero-latency convolution with a fixed impulse response (a speaker cabinet):
//   out[t] = sum_k ir[k] in[t - k],  k in [0, length),
// with no added delay, for blocks of any size from call to call.
//
// How: the first H taps (the head: H = kHead or 2 kHead) are a direct-form FIR,
// computed per sample; the rest of the response is cut into partitions convolved
// by FFT (overlap-save, FFTW single precision), in levels of growing partition size
// L = H, 4 H, 16 H, ... up to kMaxPartition:
//  - the first level (L = H) starts at tap H and is computed in the call where each
//    block of H inputs completes;
//  - every later level starts at tap 2L: a block of L inputs is then needed only L
//    samples after it completes, so it is convolved over those samples in separate
//    steps: its forward FFT, groups of partition products (each about the cost of
//    that FFT), its inverse FFT. The steps run as they earn credit at the average
//    rate of that work, earliest deadline first, and beyond their credit only where
//    a deadline leaves no later call to run them in.
// Each level reaches up to where the next one starts, the last one to the end. H
// and the number of levels are chosen at construction by an estimate of their cost:
// a level pays for its two FFTs per block, so a short response (a cabinet of a few
// thousand taps) is cheapest with its head and a single level, a long one with a
// level of each size. The head and the products run on AVX2 where the processor
// has it (the same sums in the same order: the same samples either way).
// So a call costs its share of the average plus at most about one step. Measured
// (one core of the 2-core build machine, shared; least of 3 passes per call, over
// a few runs): a 500 ms response at 48 kHz, 1.5 to 2 us a call of 64 frames on
// average, 5 to 6 us the dearest call; 2 s at 384 kHz, 4.8 to 6.2 and 14 to 21 us
// (the largest step is an FFT of 2 kMaxPartition = 8192 points, or its share of
// products). The shipped cabinets (608 to 1404 taps) at 48 kHz: 2000 to 2500 times
// real time, 100 to 118 instructions a sample (callgrind).
//
// Accuracy: float arithmetic; against an exact convolution the error energy is about
// -130 dB of the signal's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class Convolver {
  public:
    static constexpr size_t kMaxLength = 768000; // 2 s at 384 kHz
    static constexpr uint32_t kMaxFrames = 8192;
    static constexpr uint32_t kHead = 64;           // the shorter head (direct-form taps)
    static constexpr uint32_t kMaxPartition = 4096; // largest FFT partition (FFT of twice)

    // A response made ready to convolve: its head taps reversed, its partitions'
    // spectra, the FFT plans and the schedule of the FFT work. Read-only once made,
    // so any number of convolvers on any threads share one; each convolver keeps only
    // what it has heard (about half the memory of a convolver, and all of the time
    // it takes to make one).
    class Response;

    // Any thread but the audio thread: `ir` (`length` samples, 1..kMaxLength) made
    // ready. Throws std::invalid_argument for a length out of range or a null `ir`,
    // std::bad_alloc when memory or an FFT plan cannot be had.
    static std::shared_ptr<const Response> prepare(const float* ir, size_t length);

    // Any thread but the audio thread: prepares `ir` (`length` samples,
    // 1..kMaxLength) for process() calls of up to `maxFrames` frames (1..kMaxFrames).
    // Throws std::invalid_argument for a length or frame count out of range (or a
    // null `ir`), std::bad_alloc when memory or an FFT plan cannot be had.
    Convolver(const float* ir, size_t length, uint32_t maxFrames);
    // Any thread but the audio thread: a convolver of a response made ready before
    // (and shared with every other convolver of it), for process() calls of up to
    // `maxFrames` frames. Allocates and clears its state only: no FFT is planned or
    // run. Throws std::invalid_argument for a null response or a frame count out of
    // range, std::bad_alloc.
    Convolver(std::shared_ptr<const Response> response, uint32_t maxFrames);
    // Any thread but the audio thread: a convolver with room for the state of each
    // response of `fits` (one or more, none null), playing the first, any other one
    // rebind() hands it. The caller keeps those responses alive while they play.
    // Throws std::invalid_argument for an empty list, a null response or a frame
    // count out of range, std::bad_alloc.
    Convolver(const std::vector<const Response*>& fits, uint32_t maxFrames);

    // Audio thread: plays `response` from silence, in the room made at construction.
    // False, nothing changed, when it is null or its state does not fit. The caller
    // keeps it alive while it plays. Allocates nothing, takes no lock.
    bool rebind(const Response* response);
    ~Convolver();
    Convolver(const Convolver&) = delete;
    Convolver& operator=(const Convolver&) = delete;

    // Audio thread: convolves `frames` samples of `in` into `out` (in == out allowed,
    // other overlaps not). Any count works; maxFrames is the contract with the host.
    // Allocates nothing, takes no lock, does no I/O.
    void process(const float* in, float* out, uint32_t frames);
    // Audio thread: forgets the input heard (as if just constructed). Clears the
    // whole state, about 8 bytes per tap: a one-off cost of about a ms at kMaxLength.
    void reset();

    size_t length() const { return mLength; }
    uint32_t maxFrames() const { return mMaxFrames; }
    // The response it was made with and shares (null for one made with room for several).
    const std::shared_ptr<const Response>& response() const { return mResponse; }
    // The response it plays.
    const Response* playing() const { return mBound; }

    // FFTW-aligned float storage.
    using BufferPtr = std::unique_ptr<float, void (*)(void*)>;

  private:
    struct Level;

    void runHead(uint32_t n, float* out);
    void runFirstLevel();
    void runStep(Level& level);
    void runSteps(uint64_t end, uint32_t n);

    // Lays the state of `response` out in the arena and clears it.
    void bind(const Response& response);

    std::shared_ptr<const Response> mResponse;
    const Response* mBound = nullptr;
    size_t mLength = 0;
    uint32_t mMaxFrames;
    uint64_t mPos = 0; // input samples since the start or reset()

    // Every float of the state, in one FFTW-aligned allocation: a convolver made
    // for several responses keeps room for the largest.
    BufferPtr mArena;
    size_t mArenaFloats = 0;

    uint32_t mHead = kHead;         // the head's size and the first level's partition
    uint32_t mHeadTaps = 0;         // min(length, mHead)
    const float* mHeadIr = nullptr; // head taps, reversed (newest input meets ir[0] last)
    float* mHeadHist = nullptr;     // mHeadTaps - 1 past inputs, then the current chunk
    float* mHeadAcc = nullptr;      // one chunk's head output

    uint32_t mRingMask = 0; // input ring of a power of two samples
    float* mRing = nullptr;

    std::vector<Level> mLevels; // FFT levels, first one computed synchronously
    double mRate = 0;           // estimated cost of the spread levels per input sample
    double mCredit = 0;         // cost the spread steps may still take now
};
