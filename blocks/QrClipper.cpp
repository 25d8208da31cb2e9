#include "blocks/QrClipper.h"

#include "blocks/Float4.h"

#include <algorithm>
#include <iterator>

#include <cstdio>
#include <cstring>

namespace {
const char* const kNames[QrClipper::kNumParams] = {"Pre-gain", "Clip positive", "Clip negative",
                                                   "Post-gain", "Average time"};

// One detector step, in this order: drop the oldest magnitude from the sum, store
// and add the new one, advance the write position, return the mean (the current
// sample included). The sum is only ever updated incrementally: O(1) per sample.
inline float detectorStep(float* ring, float& sum, int32_t& index, int32_t length, float x) {
    sum = sum - ring[index];
    const float a = x > 0.0f ? x : -x;
    ring[index] = a;
    sum = sum + a;
    index = index + 1;
    if (index >= length)
        index = 0;
    return sum / static_cast<float>(length);
}

// The gain stages and the clip of one channel, for the mode and the output rule
// fixed at compile time. The detector's sum and position live in locals for the
// loop (the ring's stores could otherwise alias them) and are written back once.
template <bool kAveraging, bool kReplacing>
void runChannel(const float* in, float* out, int32_t frames, float pre, float post, float pos,
                float neg, float* ring, float& sumRef, int32_t& indexRef, int32_t length) {
    float sum = sumRef;
    int32_t index = indexRef;
    int32_t i = 0;
    if constexpr (!kAveraging) {
        // Hard clipping carries nothing from sample to sample: four at a time, the same
        // comparisons and selects lane by lane, then the rest one by one below.
        const Float4 vPre = splat4(pre), vPost = splat4(post);
        const Float4 vPos = splat4(pos), vNeg = splat4(neg);
        for (; i + 4 <= frames; i += 4) {
            const Float4 x = vPre * load4(in + i);
            const Float4 low = select4(vNeg > x, vNeg, x);
            const Float4 o = vPost * select4(x > vPos, vPos, low);
            store4(out + i, kReplacing ? o : load4(out + i) + o);
        }
    }
    for (; i < frames; ++i) {
        const float x = pre * in[i];
        float y;
        if constexpr (kAveraging) {
            const float m = detectorStep(ring, sum, index, length, x);
            y = m > pos ? x / m * pos : x;
        } else {
            // The positive level is tested first, so it wins where the levels cross.
            const float low = neg > x ? neg : x;
            y = x > pos ? pos : low;
        }
        const float o = post * y;
        if constexpr (kReplacing)
            out[i] = o;
        else
            out[i] = out[i] + o;
    }
    sumRef = sum;
    indexRef = index;
}

// The window for a time in seconds at `rate` Hz: the integer part of time x rate,
// bounded to 0..kMaxWindow. A NaN or infinite product gives the full window, as any
// product that is not below the bound does; a negative one gives no window.
int32_t windowFor(float seconds, float rate) {
    const float t = seconds * rate;
    if (!(t < static_cast<float>(QrClipper::kMaxWindow)))
        return QrClipper::kMaxWindow;
    if (!(t > 0.0f))
        return 0;
    return static_cast<int32_t>(t);
}

// What hosts are told about this block.
constexpr EffectIdentity kIdentity{"qrclip", "Pellark", "pellark qrclip", 1000, 1};
} // namespace

QrClipper::QrClipper(HostCallback callback) : AudioEffectX(callback, 1, kNumParams) {
    setIdentity(kIdentity);
    setNumInputs(2);
    setNumOutputs(2);
    setUniqueID(fourCC('q', 'r', 'c', 'l'));
    canMono(true);
    std::strcpy(programName, "Default");
    curProgram = 0;
}

QrClipper::~QrClipper() = default;

void QrClipper::setParameter(int32_t index, float value) {
    switch (index) {
    case kPreGain: preGain = value; break;
    case kClipPos: clipPos = value; break;
    case kClipNeg: clipNeg = value; break;
    case kPostGain: postGain = value; break;
    case kAverageTime:
        avgTime = value / 1000.0f;
        avgLength = windowFor(avgTime, sampleRate);
        for (int32_t i = 0; i < avgLength; ++i)
            avgRing[i] = 0.0f;
        avgSum = 0.0f;
        // The write position keeps its value while it lies inside the new window. One at
        // or beyond it would put a magnitude from outside the window into the sum, where
        // it would stay for good, so it restarts at 0.
        if (avgIndex >= avgLength)
            avgIndex = 0;
        break;
    default: break;
    }
    if (hostCallback)
        hostCallback(&effectRecord, 0, index, 0, nullptr, value);
}

float QrClipper::getParameter(int32_t index) {
    switch (index) {
    case kPreGain: return preGain;
    case kClipPos: return clipPos;
    case kClipNeg: return clipNeg;
    case kPostGain: return postGain;
    case kAverageTime: return 1000.0f * avgTime;
    default: return 0.0f;
    }
}

float QrClipper::averager(float x) {
    return detectorStep(avgRing, avgSum, avgIndex, avgLength, x);
}

void QrClipper::processR(float** inputs, float** outputs, int32_t sampleFrames, bool replacing) {
    const int32_t channels = isInputConnected(1) ? 2 : 1;
    const float pre = 16.0f * preGain;
    const float post = 16.0f * postGain;
    const bool averaging = avgLength > 1;
    float sum = avgSum;
    int32_t index = avgIndex;
    // The channels share one detector: its state runs on from one into the next.
    for (int32_t c = 0; c < channels; ++c) {
        const float* in = inputs[c];
        float* out = outputs[c];
        auto run = averaging ? (replacing ? runChannel<true, true> : runChannel<true, false>)
                             : (replacing ? runChannel<false, true> : runChannel<false, false>);
        run(in, out, sampleFrames, pre, post, clipPos, -clipNeg, avgRing, sum, index, avgLength);
    }
    avgSum = sum;
    avgIndex = index;
}

void QrClipper::process(float** inputs, float** outputs, int32_t sampleFrames) {
    processR(inputs, outputs, sampleFrames, false);
}

void QrClipper::processReplacing(float** inputs, float** outputs, int32_t sampleFrames) {
    processR(inputs, outputs, sampleFrames, true);
}

void QrClipper::setProgramName(char* name) {
    std::snprintf(programName, sizeof(programName), "%s", name);
}

void QrClipper::getProgramName(char* name) {
    std::snprintf(name, kTextSize, "%s", programName);
}

void QrClipper::getParameterLabel(int32_t, char* label) {
    label[0] = 0;
}

void QrClipper::getParameterDisplay(int32_t index, char* text) {
    switch (index) {
    case kPreGain: std::snprintf(text, kTextSize, "%f", 16.0f * preGain); break;
    case kClipPos: std::snprintf(text, kTextSize, "%f", clipPos); break;
    case kClipNeg: std::snprintf(text, kTextSize, "%f", clipNeg); break;
    case kPostGain: std::snprintf(text, kTextSize, "%f", 16.0f * postGain); break;
    case kAverageTime:
        // The window as it is, in ms at the current sample rate.
        std::snprintf(text, kTextSize, "%.2f ms",
                      static_cast<float>(1000 * avgLength) / getSampleRate());
        break;
    default: break;
    }
}

void QrClipper::getParameterName(int32_t index, char* text) {
    if (index >= 0 && index < kNumParams)
        std::snprintf(text, kTextSize, "%s", kNames[index]);
}

void QrClipper::clearState() {
    std::fill(std::begin(avgRing), std::end(avgRing), 0.0f);
    avgSum = 0.0f;
    avgIndex = 0;
}
