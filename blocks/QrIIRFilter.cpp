#include "blocks/QrIIRFilter.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {
const char* const kNames[QrIIRFilter::kNumParams] = {"Order", "Type", "Nr of passes", "Frequency",
                                                     "Alpha", "K",    "Post gain"};

// Passes from a 0..1 control: v x 10, bounded to the history's room.
int32_t passesFrom(float v) {
    float scaled = v * 10.0f;
    if (!(scaled > 0.0f))
        return 0;
    if (scaled >= static_cast<float>(FilterParams::kMaxPasses))
        return FilterParams::kMaxPasses;
    return static_cast<int32_t>(scaled);
}
// The order from a 0..1 control: the integer part of v + 1.5, so 1 below 0.5 and 2
// up to 1.5. Values outside 0..1 give other orders, which run the first-order shelf
// as order 1 does; those beyond the int range are held at its ends, and one that is
// not a number gives 1.
int32_t orderFrom(float v) {
    const double order = static_cast<double>(v) + 1.5;
    if (std::isnan(order))
        return 1;
    if (order >= static_cast<double>(INT32_MAX))
        return INT32_MAX;
    if (order <= static_cast<double>(INT32_MIN))
        return INT32_MIN;
    return static_cast<int32_t>(order);
}

// What hosts are told about this block.
constexpr EffectIdentity kIdentity{"qriir", "Pellark", "pellark qriir", 1000, 1};
} // namespace

QrIIRFilter::QrIIRFilter(HostCallback callback) : AudioEffectX(callback, 1, kNumParams) {
    setIdentity(kIdentity);
    setNumInputs(2);
    setNumOutputs(2);
    setUniqueID(fourCC('q', 'r', 'i', 'i'));
    canMono(true);
    std::strcpy(programName, "Default");
    params.sampleRate = &sampleRate;
}

QrIIRFilter::~QrIIRFilter() = default;

void QrIIRFilter::setParameter(int32_t index, float value) {
    switch (index) {
    case kOrder: params.order = orderFrom(value); break;
    case kType:
        params.highShelf = value > 0.5f;
        if (params.order == 1)
            params.SetFreq(params.freq);
        break;
    case kPasses: params.passes = passesFrom(value); break;
    case kFrequency: params.SetFreq(value); break;
    case kAlpha:
        if (params.order != 1) {
            params.alpha = value;
            params.SetFreq(params.freq);
        }
        break;
    case kK:
        params.k = value;
        params.SetFreq(params.freq);
        break;
    case kPostGain: params.postGain = value; break;
    default: break;
    }
    if (hostCallback)
        hostCallback(&effectRecord, 0, index, 0, nullptr, value);
}

float QrIIRFilter::getParameter(int32_t index) {
    switch (index) {
    case kOrder: return static_cast<float>(static_cast<int64_t>(params.order) - 1);
    case kType: return params.highShelf ? 1.0f : 0.0f;
    case kPasses: return static_cast<float>(params.passes) / 10.0f;
    case kFrequency: return params.freq;
    case kAlpha: return static_cast<float>(params.alpha);
    case kK: return params.k;
    case kPostGain: return params.postGain;
    default: return 0.0f;
    }
}

void QrIIRFilter::process(float** inputs, float** outputs, int32_t sampleFrames) {
    params.process(inputs, outputs, sampleFrames);
}

void QrIIRFilter::processReplacing(float** inputs, float** outputs, int32_t sampleFrames) {
    process(inputs, outputs, sampleFrames);
}

void QrIIRFilter::setProgramName(char* name) {
    std::snprintf(programName, sizeof(programName), "%s", name);
}

void QrIIRFilter::getProgramName(char* name) {
    std::snprintf(name, kTextSize, "%s", programName);
}

void QrIIRFilter::getParameterLabel(int32_t, char* label) {
    label[0] = 0;
}

void QrIIRFilter::getParameterDisplay(int32_t index, char* text) {
    switch (index) {
    case kOrder: std::snprintf(text, kTextSize, "%d", params.order); break;
    case kType:
        std::snprintf(text, kTextSize, "%s",
                      params.order != 1 ? "N/A" : (params.highShelf ? "high shelf" : "low shelf"));
        break;
    case kPasses: std::snprintf(text, kTextSize, "%d", params.passes); break;
    case kFrequency: {
        // The corner or centre in Hz.
        float hz = params.GetNormalizedFreq() * getSampleRate() * 0.5f;
        int whole = (hz > -1e9f && hz < 1e9f) ? static_cast<int>(hz) : 0;
        std::snprintf(text, kTextSize, "%d", whole);
        break;
    }
    case kAlpha:
        if (params.order <= 1)
            std::snprintf(text, kTextSize, "N/A");
        else
            std::snprintf(text, kTextSize, "%f", params.alpha);
        break;
    case kK: std::snprintf(text, kTextSize, "%f", params.k); break;
    case kPostGain: std::snprintf(text, kTextSize, "%f", params.postGain); break;
    default: break;
    }
}

void QrIIRFilter::getParameterName(int32_t index, char* text) {
    if (index >= 0 && index < kNumParams)
        std::snprintf(text, kTextSize, "%s", kNames[index]);
}

void QrIIRFilter::setSampleRate(float rate) {
    sampleRate = rate;
    params.SetFreq(params.freq);
}

void QrIIRFilter::setBlockSizeAndSampleRate(int32_t frames, float rate) {
    blockSize = frames;
    sampleRate = rate;
    params.SetFreq(params.freq);
}

void QrIIRFilter::resume() {
    params.channels = isInputConnected(1) ? 2 : 1;
}

void QrIIRFilter::clearState() {
    std::memset(params.history, 0, sizeof(params.history));
}
