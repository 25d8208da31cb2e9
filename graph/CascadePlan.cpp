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
    planHoists(inputNode);
}

namespace {
bool boundToNodes(const AudioNode* node) {
    for (const ParamMapping& m : node->params)
        if (m.node)
            return true;
    return false;
}

// Whether a later equaliser reading `laterIn` may run before `node`, writing a
// spare slot: `node` does not write what it reads, and no control of `node` reads
// another node at the moment it runs.
bool passable(const AudioNode* node, int32_t laterIn) {
    return !boundToNodes(node) && node->outBuffer != laterIn;
}

// The highest work slot no node of the list reads or writes, or -1.
int32_t spareSlot(const AudioNode* inputNode) {
    bool used[kNumSlots] = {};
    auto mark = [&](int32_t slot) {
        if (slot >= kFirstWorkSlot && slot < kNumSlots)
            used[slot] = true;
    };
    for (const AudioNode* node = inputNode; node; node = node->next) {
        mark(node->outBuffer);
        mark(node->input ? node->input->outBuffer : kInputSlot);
        if (node->kind == kMixerNode)
            if (const AudioNode* second = static_cast<const MixerAudioNode*>(node)->input2)
                mark(second->outBuffer);
    }
    for (int32_t slot = kNumSlots - 1; slot >= kFirstWorkSlot; --slot)
        if (!used[slot])
            return slot;
    return -1;
}
} // namespace

void planHoists(AudioNode* inputNode) {
    for (AudioNode* node = inputNode ? inputNode->next : nullptr; node; node = node->next) {
        node->hoist = nullptr;
        node->earlySlot = -1;
    }
    if (!inputNode)
        return;
    int32_t spare = spareSlot(inputNode);
    // The first run of equalisers joins the fixed stage's cascade: an equaliser that
    // reads the input slot further down may join it there. So may one reading an
    // equaliser's output, at the end of that equaliser's run.
    for (AudioNode* node = inputNode->next; node; node = node->next) {
        if (!node->equaliser || boundToNodes(node))
            continue;
        const AudioNode* source = node->input;
        AudioNode* end = nullptr; // the last equaliser of the run that holds the source
        if (GraphReaders::readsInput(source, inputNode)) {
            for (AudioNode* e = inputNode->next; e && e->equaliser && e != node; e = e->next)
                end = e;
        } else if (source->equaliser) {
            for (AudioNode* e = const_cast<AudioNode*>(source); e && e->equaliser && e != node;
                 e = e->next)
                end = e;
        }
        if (!end || end->next == node || end->hoist || spare < 0)
            continue;
        const int32_t in = node->input ? node->input->outBuffer : kInputSlot;
        bool clear = true;
        AudioNode* passed = end->next;
        for (; passed && passed != node && clear; passed = passed->next)
            clear = passable(passed, in);
        if (clear && passed == node) {
            end->hoist = node;
            node->earlySlot = spare;
            spare = -1; // one spare slot, one hoist a graph
        }
    }
}
