#include "blocks/QrInv.h"

#include <cstdio>

namespace {
// What hosts are told about this block.
constexpr EffectIdentity kIdentity{"qriinv", "Pellark", "pellark qriinv", 1000, 1};
} // namespace

QrInv::QrInv(HostCallback callback) : AudioEffectX(callback, 1, 1) {
    setIdentity(kIdentity);
    setNumInputs(2);
    setNumOutputs(2);
    setUniqueID(fourCC('q', 'r', 'i', 'n'));
    canMono(true);
    std::snprintf(programName, sizeof(programName), "Default");
}

QrInv::~QrInv() = default;

void QrInv::setParameter(int32_t, float) {}

float QrInv::getParameter(int32_t) {
    return 0.0f;
}

// Negates each served channel; `add` mixes the result into the output instead of
// replacing it. The loop stays branch-free: the choice is made per call.
template <bool add>
static void invert(AudioEffectX& fx, float** inputs, float** outputs, int32_t sampleFrames) {
    if (!inputs || !outputs)
        return;
    const int32_t channels = fx.isInputConnected(1) ? 2 : 1;
    for (int32_t c = 0; c < channels; ++c) {
        const float* in = inputs[c];
        float* out = outputs[c];
        if (!in || !out)
            continue;
        for (int32_t i = 0; i < sampleFrames; ++i)
            out[i] = add ? out[i] - in[i] : -in[i]; // replacing: a sign-bit flip
    }
}

void QrInv::process(float** inputs, float** outputs, int32_t sampleFrames) {
    invert<true>(*this, inputs, outputs, sampleFrames);
}

void QrInv::processReplacing(float** inputs, float** outputs, int32_t sampleFrames) {
    invert<false>(*this, inputs, outputs, sampleFrames);
}

void QrInv::setProgramName(char* name) {
    if (name)
        std::snprintf(programName, sizeof(programName), "%s", name);
}

void QrInv::getProgramName(char* name) {
    if (name)
        std::snprintf(name, kTextSize, "%s", programName);
}

void QrInv::getParameterLabel(int32_t, char* label) {
    if (label)
        label[0] = 0;
}

void QrInv::getParameterDisplay(int32_t, char*) {}

void QrInv::getParameterName(int32_t, char*) {}
