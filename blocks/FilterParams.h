// The arithmetic of the allpass-based equaliser: controls, coefficients and the
// delay lines of up to kMaxPasses cascaded identical sections.
//
// Each section outputs 0.5 ((1 + K) x + (1 - K) y) where y is an allpass of x:
// with the first-order allpass a low shelf (K at 0 Hz, 1 at Nyquist) or, with the
// sign of the allpass term flipped, a high shelf; with the second-order allpass a
// peak or notch of gain K at the centre frequency.
#pragma once

#include <cstdint>

struct CascadeSection;

class FilterParams {
  public:
    static constexpr int32_t kMaxPasses = 20; // room in `history`

    FilterParams();

    // Stores the 0..1 frequency control and recomputes the coefficients.
    void SetFreq(float f);
    // Corner or centre frequency as a fraction of Nyquist (1.0 = 22050 Hz at any rate).
    float GetNormalizedFreq();
    // cos(pi * GetNormalizedFreq()).
    float GetBeta();
    // Sets the frequency from a fraction of the 44.1 kHz Nyquist.
    void setNormalizedFreq(float n);
    // Runs every pass over the first channel; overwrites outputs[0]. In place is fine.
    // Without passes nothing is written.
    void process(float** inputs, float** outputs, int32_t sampleFrames);
    // Audio thread: describes the passes as cascade sections on the current controls,
    // the last one scaled by postGain and writing `out`; returns how many (0..kMaxPasses).
    // The two gain weights come from K through an exponential: they are recomputed
    // only when k, the shelf's sign or the two-pass case differ from the last call.
    int32_t sections(CascadeSection* out, float* tap);

    int32_t channels = 2;
    float b0 = 0, b1 = 0, b2 = 0; // allpass feed-forward: x[n], x[n-1], x[n-2]
    float a0 = 0;                 // allpass output coefficient, always 1 once set
    float a1 = 0, a2 = 0;         // allpass feedback: y[n-1], y[n-2]
    float* sampleRate = nullptr;  // the owner's sample rate, Hz
    float k = 0.5f;               // gain control 0..1; K = ParamCalculator::GetK(k)
    float postGain = 1.0f;        // linear, after the last pass
    double alpha = 0.95;          // second-order bandwidth coefficient
    float freq = 0.5f;            // frequency control 0..1
    int32_t passes = 4;           // cascaded sections, 0..kMaxPasses

    // Per pass: y[n], y[n-1], y[n-2] of channels 0 and 1, then x[n], x[n-1], x[n-2]
    // of channels 0 and 1.
    enum { kY = 0, kX = 6, kSlotSize = 12 };
    float history[kMaxPasses][kSlotSize] = {};

    int32_t order = 2;      // 2: second-order peak; any other value: first-order shelf
    bool highShelf = false; // shelves only: false low shelf, true high shelf

  private:
    // sections()' weights of a section's input and allpass output, and the controls
    // they were made from (k by its bits, so that a NaN is a value like any other).
    uint32_t weightedK = 0;
    bool weightedTwo = false;     // made for two passes (K's square root)
    bool weightedFlipped = false; // made for a high shelf (the allpass term negated)
    bool weighted = false;        // false: nothing made yet
    float direct = 0.0f, shelved = 0.0f;
};
