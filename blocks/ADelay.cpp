#include "blocks/ADelay.h"

#include "blocks/Float4.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
const char* const kNames[3] = {"Delay", "FeedBack", "Volume"};
const char* const kLabels[3] = {"ms", "amount", "dB"};

// Delay length for a 0..1 control at `rate` Hz: v x rate x 0.2 (200 ms at full
// control), truncated, bounded to 0..size. NaN gives 0.
int32_t samplesFor(float v, float rate, int32_t size) {
    const float samples = v * rate * 0.2f;
    if (!(samples > 0.0f))
        return 0;
    if (samples >= static_cast<float>(size))
        return size;
    return static_cast<int32_t>(samples);
}
// out = the line (added to out when kAdd), line = in, over n samples, four at a
// time. in and out are the same block or disjoint; the line is neither.
template <bool kAdd> void exchange(const float* in, float* out, float* line, int32_t n) {
    int32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const Float4 x = load4(in + i);
        const Float4 d = load4(line + i);
        store4(out + i, kAdd ? load4(out + i) + d : d);
        store4(line + i, x);
    }
    for (; i < n; ++i) {
        const float x = in[i];
        out[i] = kAdd ? out[i] + line[i] : line[i];
        line[i] = x;
    }
}

// What hosts are told about this block.
constexpr EffectIdentity kIdentity{"Delay", "Steinberg Media Technologies", "Delay", 1100, 1};
} // namespace

ADelay::ADelay(HostCallback callback) : AudioEffectX(callback, kNumPrograms, 1) {
    setIdentity(kIdentity);
    for (std::vector<float>& line : delayBuffers)
        line.assign(static_cast<size_t>(size), 0.0f);
    setProgram(0);
    setNumInputs(2);
    setNumOutputs(2);
    hasVu(true);
    setUniqueID(fourCC('A', 'D', 'l', 'y'));
    resume();
}

ADelay::~ADelay() = default;

void ADelay::setDelay(float v) {
    delay = v;
    programs[curProgram].delay = v;
    cursor = 0;
    delaySamples = samplesFor(v, sampleRate, size);
}

void ADelay::setParameter(int32_t index, float value) {
    switch (index) {
    case 0: setDelay(value); break;
    case 1: feedBack = programs[curProgram].feedBack = value; break;
    case 2: volume = programs[curProgram].volume = value; break;
    default: break;
    }
    if (hostCallback)
        hostCallback(&effectRecord, 0, index, 0, nullptr, value);
}

float ADelay::getParameter(int32_t index) {
    switch (index) {
    case 0: return delay;
    case 1: return feedBack;
    case 2: return volume;
    default: return 0.0f;
    }
}

void ADelay::process(float** inputs, float** outputs, int32_t sampleFrames) {
    run(inputs, outputs, sampleFrames, true);
}

void ADelay::processReplacing(float** inputs, float** outputs, int32_t sampleFrames) {
    run(inputs, outputs, sampleFrames, false);
}

void ADelay::run(float** inputs, float** outputs, int32_t sampleFrames, bool add) {
    if (!inputs || !outputs)
        return;
    const int32_t channels = isInputConnected(1) ? 2 : 1;
    const int32_t ring = delaySamples > 1 ? delaySamples : 1; // 0 and 1: one sample
    int32_t end = cursor;
    for (int32_t c = 0; c < channels; ++c) {
        const float* in = inputs[c];
        float* out = outputs[c];
        if (!in || !out)
            continue;
        float* line = delayBuffers[c].data();
        int32_t pos = cursor; // every channel starts from the same position
        // In runs up to the line's end, so the inner loop is a plain exchange of
        // blocks. Each input sample is read before its output is written, so in ==
        // out works.
        for (int32_t i = 0; i < sampleFrames;) {
            const int32_t room = pos < ring ? ring - pos : 1;
            const int32_t run = std::min(sampleFrames - i, room);
            if (add)
                exchange<true>(in + i, out + i, line + pos, run);
            else
                exchange<false>(in + i, out + i, line + pos, run);
            i += run;
            pos += run;
            if (pos >= ring)
                pos = 0;
        }
        end = pos;
    }
    cursor = end;
}

void ADelay::setProgram(int32_t program) {
    if (program < 0 || program >= kNumPrograms)
        return;
    curProgram = program;
    const ADelayProgram& p = programs[program];
    setParameter(0, p.delay);
    setParameter(1, p.feedBack);
    setParameter(2, p.volume);
}

void ADelay::setProgramName(char* name) {
    if (name)
        std::snprintf(programs[curProgram].programName, sizeof(ADelayProgram::programName), "%s",
                      name);
}

void ADelay::getProgramName(char* name) {
    if (!name)
        return;
    const char* own = programs[curProgram].programName;
    if (std::strcmp(own, "Init") == 0)
        std::snprintf(name, kTextSize, "Init %d", static_cast<int>(curProgram) + 1);
    else
        std::snprintf(name, kTextSize, "%s", own);
}

void ADelay::getParameterLabel(int32_t index, char* label) {
    if (label && index >= 0 && index < 3)
        std::snprintf(label, kTextSize, "%s", kLabels[index]);
}

void ADelay::getParameterDisplay(int32_t index, char* text) {
    if (!text)
        return;
    switch (index) {
    case 0: float2string(200.0f * delay, text); break; // ms
    case 1: float2string(feedBack, text); break;
    case 2: dB2string(volume, text); break;
    default: break;
    }
}

void ADelay::getParameterName(int32_t index, char* text) {
    if (text && index >= 0 && index < 3)
        std::snprintf(text, kTextSize, "%s", kNames[index]);
}

void ADelay::setSampleRate(float rate) {
    sampleRate = rate;
    programs[curProgram].delay = delay;
    cursor = 0;
    delaySamples = samplesFor(delay, rate, size);
}

void ADelay::resume() {
    for (std::vector<float>& line : delayBuffers)
        std::fill(line.begin(), line.end(), 0.0f);
}

bool ADelay::string2parameter(int32_t index, char* text) {
    if (!text)
        return true;
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (end == text)
        return false;
    setParameter(index, static_cast<float>(value / 200.0));
    return true;
}

bool ADelay::getProgramNameIndexed(int32_t, int32_t index, char* text) {
    if (index < 0 || index >= kNumPrograms || !text)
        return false;
    std::snprintf(text, kTextSize, "%s", programs[index].programName);
    return true;
}

void ADelay::clearState() {
    resume();
    cursor = 0;
}
