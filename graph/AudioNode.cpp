#include "graph/AudioNode.h"

#include "effect/EffectOpcodes.h"

#include "effect/AudioEffectX.h"
#include "graph/Debug.h"

float ParamMapping::getParam() const {
    return node ? node->getParam(get) : value;
}

void AudioNode::process(float***, int) {}

float AudioNode::getInParam(int index, float defaultValue) {
    for (const ParamMapping& m : params)
        if (m.set == index)
            return m.getParam();
    return defaultValue;
}

float AudioNode::getParam(int) {
    debug("getParam not implemented\n");
    return 0.0f;
}

AudioNode::~AudioNode() {
    // The list is released iteratively: a long model must not recurse once per node.
    AudioNode* rest = next;
    next = nullptr;
    while (rest) {
        AudioNode* after = rest->next;
        rest->next = nullptr;
        delete rest;
        rest = after;
    }
    delete effect;
}

void AudioNode::setSampleRate(float) {}

intptr_t AudioNode::dispatcher(int32_t opcode, int32_t index, intptr_t value, void* ptr,
                               float opt) {
    for (AudioNode* n = this; n; n = n->next) {
        if (opcode == kOpSetSampleRate)
            n->setSampleRate(opt);
        if (n->effect)
            n->effect->dispatcher(opcode, index, value, ptr, opt);
    }
    return 0;
}
