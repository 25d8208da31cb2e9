#include "graph/CascadePlan.h"

#include "blocks/QrIIRFilter.h"
#include "graph/AudioNode.h"
#include "graph/MixerAudioNode.h"

#include <map>

void planCascades(AudioNode* inputNode) {
    auto valid = [](int32_t slot) { return slot >= 0 && slot < kNumSlots; };
    auto inSlotOf = [](const AudioNode* node) {
        return node->input ? node->input->outBuffer : kInputSlot;
    };
    if (inputNode) {
        inputNode->soleReader = false;
        inputNode->outputWritten = false;
    }
    // Who reads each node's output (the input node's: the input slot).
    std::map<const AudioNode*, int> readers;
    int inputReaders = 0;
    for (AudioNode* node = inputNode ? inputNode->next : nullptr; node; node = node->next) {
        node->equaliser = nullptr;
        node->soleReader = false;
        auto* filter = dynamic_cast<QrIIRFilter*>(node->effect);
        if (node->kind == kFxNode && filter && valid(node->outBuffer) && valid(inSlotOf(node)))
            node->equaliser = &filter->params;
        const AudioNode* sources[2] = {node->input, nullptr};
        if (node->kind == kMixerNode)
            sources[1] = static_cast<const MixerAudioNode*>(node)->input2;
        for (int k = 0; k < 2; ++k) {
            const AudioNode* source = sources[k];
            if (k == 1 && !source)
                continue;
            if (!source || source == inputNode || source->outBuffer == kInputSlot)
                ++inputReaders;
            if (source)
                ++readers[source];
        }
        const bool writesAudio =
            node->kind == kMixerNode || (node->kind == kFxNode && node->effect != nullptr);
        if (inputNode && node->outBuffer == kOutputSlot && writesAudio)
            inputNode->outputWritten = true;
    }
    if (!inputNode)
        return;
    // An equaliser whose input is the equaliser just before it, read by no one else.
    AudioNode* first = inputNode->next;
    if (first && first->equaliser && inSlotOf(first) == kInputSlot && inputReaders == 1)
        first->soleReader = true;
    for (AudioNode* before = first; before && before->next; before = before->next) {
        AudioNode* node = before->next;
        node->soleReader =
            node->equaliser && before->equaliser && node->input == before && readers[before] == 1;
    }
}
