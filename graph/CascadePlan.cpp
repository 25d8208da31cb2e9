#include "graph/CascadePlan.h"

#include "blocks/QrIIRFilter.h"
#include "graph/AudioNode.h"
#include "graph/MixerAudioNode.h"

#include <map>

bool GraphReaders::readsInput(const AudioNode* source, const AudioNode* inputNode) {
    return !source || source == inputNode || source->outBuffer == kInputSlot;
}

GraphReaders::GraphReaders(const AudioNode* inputNode) {
    for (const AudioNode* node = inputNode ? inputNode->next : nullptr; node; node = node->next) {
        const AudioNode* sources[2] = {node->input, nullptr};
        if (node->kind == kMixerNode)
            sources[1] = static_cast<const MixerAudioNode*>(node)->input2;
        for (int k = 0; k < 2; ++k) {
            const AudioNode* source = sources[k];
            if (k == 1 && !source)
                continue;
            if (readsInput(source, inputNode))
                ++input;
            if (source)
                ++of[source];
        }
    }
}

namespace {
int readerCount(const GraphReaders& readers, const AudioNode* node) {
    const auto found = readers.of.find(node);
    return found == readers.of.end() ? 0 : found->second;
}
} // namespace

void planCascades(AudioNode* inputNode) {
    auto valid = [](int32_t slot) { return slot >= 0 && slot < kNumSlots; };
    auto inSlotOf = [](const AudioNode* node) {
        return node->input ? node->input->outBuffer : kInputSlot;
    };
    if (inputNode) {
        inputNode->soleReader = false;
        inputNode->outputWritten = false;
    }
    for (AudioNode* node = inputNode ? inputNode->next : nullptr; node; node = node->next) {
        node->equaliser = nullptr;
        node->soleReader = false;
        auto* filter = dynamic_cast<QrIIRFilter*>(node->effect);
        if (node->kind == kFxNode && filter && valid(node->outBuffer) && valid(inSlotOf(node)))
            node->equaliser = &filter->params;
        const bool writesAudio =
            node->kind == kMixerNode || (node->kind == kFxNode && node->effect != nullptr);
        if (inputNode && node->outBuffer == kOutputSlot && writesAudio)
            inputNode->outputWritten = true;
    }
    // Who reads each node's output (the input node's: the input slot).
    const GraphReaders readers(inputNode);
    if (!inputNode)
        return;
    // An equaliser whose input is the equaliser just before it, read by no one else.
    AudioNode* first = inputNode->next;
    if (first && first->equaliser && inSlotOf(first) == kInputSlot && readers.input == 1)
        first->soleReader = true;
    for (AudioNode* before = first; before && before->next; before = before->next) {
        AudioNode* node = before->next;
        node->soleReader = node->equaliser && before->equaliser && node->input == before &&
                           readerCount(readers, before) == 1;
    }
}
