#include "effect/AudioEffect.h"

#include "effect/EffectEditor.h"
#include "effect/EffectOpcodes.h"

#include <cmath>
#include <cstdint>
#include <cstring>

AudioEffect::AudioEffect(HostCallback callback, int32_t programs, int32_t params)
    : hostCallback(callback), numPrograms(programs), numParams(params) {
    std::memset(&effectRecord, 0, sizeof(effectRecord));
    effectRecord.magic = kEffectMagic;
    effectRecord.dispatcher = dispatchEffectClass;
    effectRecord.process = processClass;
    effectRecord.setParameter = setParameterClass;
    effectRecord.getParameter = getParameterClass;
    effectRecord.numPrograms = programs;
    effectRecord.numParams = params;
    effectRecord.numInputs = 1;
    effectRecord.numOutputs = 2;
    effectRecord.ioRatio = 1.0f;
    effectRecord.object = this;
    effectRecord.uniqueId = kDefaultUniqueId;
    effectRecord.version = 1;
    effectRecord.processReplacing = processClassReplacing;
}

AudioEffect::~AudioEffect() {
    delete editor;
}

void AudioEffect::setParameter(int32_t, float) {}
float AudioEffect::getParameter(int32_t) {
    return 0.0f;
}

void AudioEffect::setParameterAutomated(int32_t index, float value) {
    setParameter(index, value);
    if (hostCallback)
        hostCallback(&effectRecord, kHostParameterAutomated, index, 0, nullptr, value);
}

void AudioEffect::processReplacing(float**, float**, int32_t) {}

void AudioEffect::setProgramName(char* name) {
    name[0] = 0;
}
void AudioEffect::getProgramName(char* name) {
    name[0] = 0;
}
void AudioEffect::getParameterLabel(int32_t, char* label) {
    label[0] = 0;
}
void AudioEffect::getParameterDisplay(int32_t, char* text) {
    text[0] = 0;
}
void AudioEffect::getParameterName(int32_t, char* text) {
    text[0] = 0;
}
int32_t AudioEffect::getChunk(void**, bool) {
    return 0;
}
int32_t AudioEffect::setChunk(void*, int32_t, bool) {
    return 0;
}

void AudioEffect::setFlag(int32_t bit, bool state) {
    if (state)
        effectRecord.flags |= bit;
    else
        effectRecord.flags &= ~bit;
}

intptr_t AudioEffect::callHost(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt,
                               intptr_t fallback) {
    if (!hostCallback)
        return fallback;
    return hostCallback(&effectRecord, opcode, index, value, ptr, opt);
}

int32_t AudioEffect::getMasterVersion() {
    intptr_t answer = callHost(kHostGetVersion, 0, 0, nullptr, 0.0f, 1);
    return answer ? static_cast<int32_t>(answer) : 1;
}

int32_t AudioEffect::getCurrentUniqueId() {
    return static_cast<int32_t>(callHost(kHostGetCurrentUniqueId, 0, 0, nullptr, 0.0f, 0));
}

void AudioEffect::masterIdle() {
    callHost(kHostIdle, 0, 0, nullptr, 0.0f, 0);
}

// The host answers 0 for a connected pin.
bool AudioEffect::isInputConnected(int32_t input) {
    return callHost(kHostIsPinConnected, input, 0, nullptr, 0.0f, 0) == 0;
}

bool AudioEffect::isOutputConnected(int32_t output) {
    return callHost(kHostIsPinConnected, output, 1, nullptr, 0.0f, 0) == 0;
}

intptr_t AudioEffect::dispatcher(int32_t opcode, int32_t index, intptr_t value, void* ptr,
                                 float opt) {
    switch (opcode) {
    case kOpOpen: open(); return 0;
    case kOpClose: close(); return 0;
    case kOpSetProgram:
        // A negative program number would index a subclass's programs out of bounds.
        if (value >= 0 && value < numPrograms)
            setProgram(static_cast<int32_t>(value));
        return 0;
    case kOpGetProgram: return getProgram();
    case kOpSetProgramName: setProgramName(static_cast<char*>(ptr)); return 0;
    case kOpGetProgramName: getProgramName(static_cast<char*>(ptr)); return 0;
    case kOpGetParameterLabel: getParameterLabel(index, static_cast<char*>(ptr)); return 0;
    case kOpGetParameterDisplay: getParameterDisplay(index, static_cast<char*>(ptr)); return 0;
    case kOpGetParameterName: getParameterName(index, static_cast<char*>(ptr)); return 0;
    case kOpGetVu: {
        // VU as a 15-bit integer; NaN and out-of-range readings are clamped before conversion.
        double vu = static_cast<double>(getVu()) * 32767.0;
        if (std::isnan(vu))
            return 0;
        if (vu >= 2147483647.0)
            return INT32_MAX;
        if (vu <= -2147483648.0)
            return INT32_MIN;
        return static_cast<int32_t>(vu);
    }
    case kOpSetSampleRate: setSampleRate(opt); return 0;
    case kOpSetBlockSize: setBlockSize(static_cast<int32_t>(value)); return 0;
    case kOpSuspendOrResume:
        if (value == 0)
            suspend();
        else
            resume();
        return 0;
    case kOpEditorGetRect: return editor ? editor->getRect(static_cast<EditorRect**>(ptr)) : 0;
    case kOpEditorOpen: return editor ? editor->open(ptr) : 0;
    case kOpEditorClose:
        if (editor)
            editor->close();
        return 0;
    case kOpEditorIdle:
        if (editor)
            editor->idle();
        return 0;
    case kOpFrameworkSignature: return kIdentifyAnswer;
    case kOpGetChunk: return getChunk(static_cast<void**>(ptr), index != 0);
    case kOpSetChunk: return setChunk(ptr, static_cast<int32_t>(value), index != 0);
    default: return 0;
    }
}

intptr_t dispatchEffectClass(AEffect* e, int32_t opcode, int32_t index, intptr_t value, void* ptr,
                             float opt) {
    AudioEffect* effect = e->object;
    if (opcode == kOpClose) {
        effect->dispatcher(opcode, index, value, ptr, opt);
        delete effect;
        return 1;
    }
    return effect->dispatcher(opcode, index, value, ptr, opt);
}

float getParameterClass(AEffect* e, int32_t index) {
    return e->object->getParameter(index);
}

void setParameterClass(AEffect* e, int32_t index, float value) {
    e->object->setParameter(index, value);
}

void processClass(AEffect* e, float** inputs, float** outputs, int32_t sampleFrames) {
    e->object->process(inputs, outputs, sampleFrames);
}

void processClassReplacing(AEffect* e, float** inputs, float** outputs, int32_t sampleFrames) {
    e->object->processReplacing(inputs, outputs, sampleFrames);
}
