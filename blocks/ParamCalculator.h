// Mappings from a 0..1 control to the filter's gain factor and frequency.
#pragma once

// Steepness of the exponential frequency curve.
extern float MaxFreqVal;

class ParamCalculator {
  public:
    virtual ~ParamCalculator() = default;

    // Gain factor K = e^(6 (p - 0.5)): 0.0498 at 0, 1 at 0.5, 20.09 at 1.
    static float GetK(float p);
    // (e^(M p) - 1) / (e^M - 1): 0..1 control -> 0..1 fraction of the 44.1 kHz Nyquist.
    static float GetFrequency(float p);
    // The inverse of GetFrequency.
    static float GetKFreq(float f);
};
