#include "graph/CascadePlan.h"

#include "blocks/QrIIRFilter.h"
#include "graph/AudioNode.h"

void planCascades(AudioNode* inputNode) {
    auto valid = [](int32_t slot) { return slot >= 0 && slot < kNumSlots; };
    for (AudioNode* node = inputNode ? inputNode->next : nullptr; node; node = node->next) {
        node->equaliser = nullptr;
        auto* filter = dynamic_cast<QrIIRFilter*>(node->effect);
        const int32_t inSlot = node->input ? node->input->outBuffer : kInputSlot;
        if (node->kind == kFxNode && filter && valid(node->outBuffer) && valid(inSlot))
            node->equaliser = &filter->params;
    }
}
