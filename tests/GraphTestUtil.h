// Graphs for tests: built from model documents or by hand, a work-buffer table like
// the main effect's and a walk over the processing list.
#pragma once

#include "effect/AudioEffectX.h"
#include "effect/MasterCallback.h"
#include "graph/AudioNode.h"
#include "graph/AudioNodeFX.h"
#include "graph/BuilderState.h"
#include "graph/xmlreader.h"
#include "main/QrVorlixGeneric.h"

#include <memory>
#include <string>
#include <vector>

// 50 one-channel buffer lists of kSlotLength samples.
struct SlotTable {
    std::vector<std::vector<float>> storage;
    std::vector<float*> lists;
    std::vector<float**> table;

    SlotTable()
        : storage(kNumSlots, std::vector<float>(kSlotLength)), lists(kNumSlots), table(kNumSlots) {
        for (int s = 0; s < kNumSlots; ++s) {
            lists[s] = storage[s].data();
            table[s] = &lists[s];
        }
    }
    float*** buffers() { return table.data(); }
    float* slot(int s) { return storage[s].data(); }
};

// Runs every node after the input node once: effect nodes through their effect,
// from their input's slot into their own; every other node through process().
inline void walkGraph(AudioNode* inputNode, float*** buffers, int frames) {
    for (AudioNode* n = inputNode->next; n; n = n->next) {
        if (n->kind == kFxNode) {
            if (!n->effect)
                continue;
            int in = n->input ? n->input->outBuffer : kInputSlot;
            n->effect->processReplacing(buffers[in], buffers[n->outBuffer], frames);
        } else {
            n->process(buffers, frames);
        }
    }
}

// Starts a hand-built graph: the input node, listed and registered as "in".
inline AudioNode* startGraph() {
    resetBuilderState();
    auto* in = new AudioNodeFX;
    in->listed = true;
    gNodeMap["in"] = in;
    gNodeList.push_back(in);
    return in;
}

// An effect node around `effect`, reading `input`, writing `slot`.
inline AudioNodeFX* fxNode(AudioEffectX* effect, AudioNode* input, int slot, const char* id) {
    auto* n = new AudioNodeFX;
    n->effect = effect;
    n->input = input;
    n->outBuffer = slot;
    n->name = id;
    gNodeMap[id] = n;
    return n;
}

// The graph of a model document, its effects at their defaults (no archive).
inline std::unique_ptr<AudioNode> buildModel(const std::string& xml) {
    gAudioMaster = masterCallback;
    TiXmlDocument doc;
    doc.Parse(xml.c_str());
    TiXmlElement* root = doc.FirstChildElement("quorle");
    return std::unique_ptr<AudioNode>(root ? parseElement(root, kInputSlot, kOutputSlot) : nullptr);
}

// A model of `n` averagers with the params `window`, each mapped by the output mixer
// so that all of them run.
inline std::string averagerModel(int n, const std::string& window) {
    std::string xml = "<quorle>", maps;
    for (int i = 0; i < n; ++i) {
        const std::string id = "a" + std::to_string(i);
        xml += "<processor id=\"" + id + "\" type=\"averager\" input=\"in\">" + window +
               "</processor>";
        maps += "<param set=\"" + std::to_string(i + 2) + "\" node=\"" + id + "\" get=\"0\"/>";
    }
    return xml + "<mixer input=\"in\" input2=\"in\">" + maps + "</mixer></quorle>";
}
