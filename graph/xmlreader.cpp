#include "graph/xmlreader.h"

#include "graph/AudioNodeFX.h"
#include "graph/AveragerAN.h"
#include "graph/BuilderState.h"
#include "graph/Debug.h"
#include "graph/DividerAN.h"
#include "graph/MixerAudioNode.h"
#include "main/DataArchive.h"

#include <strings.h>

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace {

bool sameWord(const char* a, const char* b) {
    return a && b && strcasecmp(a, b) == 0;
}

// An integer as the C library's atoi reads it, without its overflow: values beyond
// the int range are clamped.
int32_t parseInt(const char* text) {
    long v = std::strtol(text, nullptr, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

// A real number as atof reads it, narrowed to float without overflow.
float parseFloat(const char* text) {
    double v = std::atof(text);
    if (std::isfinite(v) && std::fabs(v) > FLT_MAX)
        return v > 0 ? INFINITY : -INFINITY;
    return static_cast<float>(v);
}

// Does this node read its `input` as audio?
bool readsAudio(const AudioNode* node) {
    return node->kind != kProcessorNode || dynamic_cast<const AveragerAN*>(node) != nullptr;
}

// Adds the node's "param" children as mappings. False when a param names a node
// that is not registered.
bool readParams(TiXmlElement* element, AudioNode* node) {
    bool sound = true;
    for (TiXmlElement* p = element->FirstChildElement("param"); p;
         p = p->NextSiblingElement("param")) {
        ParamMapping m;
        const char* set = p->Attribute("set");
        if (!set) {
            debug("no <set> attrib!\n");
            continue;
        }
        m.set = parseInt(set);
        const char* value = p->Attribute("value");
        const char* source = p->Attribute("node");
        const char* get = p->Attribute("get");
        if (value) {
            m.value = parseFloat(value);
        } else if (source && get) {
            m.get = parseInt(get);
            m.node = findNode(source);
            sound = sound && m.node != nullptr;
        } else {
            debug("Param error: No <node,get> or <value> attribute found!\n");
        }
        node->params.push_back(m);
    }
    return sound;
}

} // namespace

AudioNode::FXType getFxType(const char* type) {
    if (sameWord(type, "eq"))
        return AudioNode::kFxEq;
    if (sameWord(type, "clip"))
        return AudioNode::kFxClip;
    if (sameWord(type, "delay"))
        return AudioNode::kFxDelay;
    if (sameWord(type, "inv"))
        return AudioNode::kFxInv;
    return AudioNode::kFxNone;
}

AudioNode* createProcessor(TiXmlElement* element) {
    const char* type = element->Attribute("type");
    if (!type) {
        debug("no <type> for processor!\n");
        return nullptr;
    }
    debug("processor type:%s\n", type);
    if (sameWord(type, "divider"))
        return new DividerAN;
    if (sameWord(type, "averager"))
        return new AveragerAN;
    debug("Unknown type\n");
    return nullptr;
}

AudioNode* parseElement(TiXmlElement* root, int inputSlot, int outputSlot) {
    resetBuilderState();
    auto* inputNode = new AudioNodeFX;
    inputNode->listed = true;
    inputNode->outBuffer = inputSlot;
    gNodeMap["in"] = inputNode;
    gNodeList.push_back(inputNode);

    std::vector<AudioNode*> created; // every node made from an element
    bool sound = true;
    AudioNode* previous = inputNode;

    for (TiXmlElement* element = root->FirstChildElement(); element && sound;
         element = element->NextSiblingElement()) {
        const char* tag = element->Value();
        debug("node:%s %d,%d \n", tag, inputSlot, outputSlot);
        const char* inputId = element->Attribute("input");
        AudioNode* input = inputId ? findNode(inputId) : previous;
        const char* id = element->Attribute("id");

        AudioNode* node = nullptr;
        if (sameWord(tag, "mixer")) {
            auto* mixer = new MixerAudioNode;
            mixer->input2 = findNode(element->Attribute("input2"));
            sound = mixer->input2 && mixer->input2->kind != kProcessorNode;
            node = mixer;
        } else if (sameWord(tag, "processor")) {
            node = createProcessor(element);
        } else if (sameWord(tag, "fx")) {
            const char* type = element->Attribute("type");
            debug(" id:%s ", id ? id : "");
            if (id) {
                auto* fx = new AudioNodeFX;
                fx->effect = createEffect(getFxType(type), id); // no type: no effect
                fx->name = id;
                node = fx;
            }
        }
        if (!node)
            continue; // passed over

        created.push_back(node);
        sound = sound && readParams(element, node) && input &&
                !(readsAudio(node) && input->kind == kProcessorNode) &&
                created.size() <= static_cast<size_t>(kMaxModelNodes);
        node->input = input;
        previous = node;
        if (id)
            gNodeMap[id] = node;
    }
    debug("\n");

    AudioNode* last = previous;
    if (sound) {
        last->outBuffer = outputSlot;
        buildNodeList(last);

        // Backward liveness pass: a producer gets its slot when its last consumer is
        // visited and gives it back when it is visited itself.
        for (size_t i = gNodeList.size() - 1; i >= 1 && sound; --i) {
            AudioNode* node = gNodeList[i];
            auto lend = [&](AudioNode* producer) {
                if (producer && producer != inputNode && producer->outBuffer == 0) {
                    producer->outBuffer = getBuffer();
                    sound = sound && producer->outBuffer != kNoSlot;
                }
            };
            lend(node->input);
            if (node->kind == kMixerNode)
                lend(static_cast<MixerAudioNode*>(node)->input2);
            // A producer that only feeds parameters still needs somewhere to write.
            lend(node);
            if (node->outBuffer != kOutputSlot && node->outBuffer != kNoSlot)
                gBuffs.push_front(node->outBuffer);
            debug("node %s, in:%s outbuf:%d\n", node->name.c_str(),
                  node->input ? node->input->name.c_str() : ".", node->outBuffer);
        }
        last->outBuffer = kOutputSlot;
        inputNode->outBuffer = kInputSlot;
    }

    // Nodes outside the processing list never run; they go now, with the graph
    // when the model is refused.
    for (AudioNode* node : created)
        if (!node->listed)
            delete node;
    if (!sound) {
        delete inputNode;
        return nullptr;
    }
    return inputNode;
}
