#include "blocks/ParamCalculator.h"

#include <cmath>

float MaxFreqVal = 5.0f;

float ParamCalculator::GetK(float p) {
    float g = (p - 0.5f) * 30.0f; // level, -15..+15
    g = g + g;
    g = g / 10.0f;
    return std::exp(g);
}

float ParamCalculator::GetFrequency(float p) {
    float numerator = std::exp(MaxFreqVal * p) - 1.0f;
    double denominator = std::exp(static_cast<double>(MaxFreqVal)) - 1.0;
    return static_cast<float>(numerator / denominator);
}

float ParamCalculator::GetKFreq(float f) {
    return std::log((std::exp(MaxFreqVal) - 1.0f) * f + 1.0f) / MaxFreqVal;
}
