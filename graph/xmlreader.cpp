#include "graph/xmlreader.h"

#include "blocks/ADelay.h"
#include "blocks/QrClipper.h"
#include "blocks/QrIIRFilter.h"
#include "blocks/QrInv.h"
#include "blocks/QrSaturator.h"
#include "effect/MasterCallback.h"
#include "graph/AudioNodeFX.h"
#include "graph/AveragerAN.h"
#include "graph/BuilderState.h"
#include "graph/Debug.h"
#include "graph/DividerAN.h"
#include "graph/MixerAudioNode.h"

#include <strings.h>

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <mutex>

namespace {

// Held for a whole build: the builder's state (graph/BuilderState.h) is one per process.
std::mutex gBuildLock;

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

// An averager's window in milliseconds from a param's "ms" attribute. False, with
// a trace line, where it cannot be one: on another node or another set index, next
// to "value" or "node", given twice, or not a positive finite number.
bool readWindowMs(const char* ms, int32_t set, bool withOther, AudioNode* node) {
    auto* averager = dynamic_cast<AveragerAN*>(node);
    const double v = std::strtod(ms, nullptr);
    if (!averager || set != 0 || withOther || averager->windowMs > 0.0) {
        debug("Param error: \"ms\" sets an averager's window (set 0) once, alone\n");
        return false;
    }
    if (!(v > 0.0) || !std::isfinite(v)) {
        debug("Param error: \"ms\" is not a positive number\n");
        return false;
    }
    averager->setWindowMs(v);
    return true;
}

// Adds the node's "param" children as mappings (an averager's window in
// milliseconds is kept by the averager instead). False when a param names a node
// that is not registered, or gives a window in milliseconds that cannot be one.
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
        if (const char* ms = p->Attribute("ms")) {
            sound = sound && readWindowMs(ms, m.set, value || source, node);
            continue;
        }
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
    // A window in milliseconds and one in samples would contradict each other.
    if (auto* averager = dynamic_cast<AveragerAN*>(node); averager && averager->windowMs > 0.0)
        for (const ParamMapping& m : node->params)
            if (m.set == 0) {
                debug("Param error: a window in both milliseconds and samples\n");
                sound = false;
            }
    return sound;
}

// Memory of a building block of `type` with everything it allocates (bytes).
size_t effectBytes(AudioNode::FXType type) {
    switch (type) {
    case AudioNode::kFxInv: return sizeof(QrInv);
    case AudioNode::kFxClip: return sizeof(QrClipper);
    case AudioNode::kFxDelay: return sizeof(ADelay) + 2 * ADelay::kBufferSize * sizeof(float);
    case AudioNode::kFxEq: return sizeof(QrIIRFilter);
    case AudioNode::kFxSat: return sizeof(QrSaturator);
    default: return 0;
    }
}

// The largest ring an averager can allocate: for a window in milliseconds the ring
// it reserves; else its constant window (as the averager truncates and bounds it),
// or the longest window when a node maps it.
size_t averagerBytes(AveragerAN* averager) {
    if (averager->windowMs > 0.0)
        return sizeof(AveragerAN) +
               static_cast<size_t>(AveragerAN::capacityForMs(averager->windowMs)) * sizeof(float);
    int32_t window = 1; // without a mapping the window is one sample
    for (const ParamMapping& m : averager->params) {
        if (m.set != 0)
            continue;
        window = AveragerAN::kMaxAverageSamples; // a node may set any window
        const float length = m.value;
        if (!m.node)
            window = length >= 1.0f && length < AveragerAN::kMaxAverageSamples + 1.0f
                         ? static_cast<int32_t>(length)
                         : 1;
        break;
    }
    return sizeof(AveragerAN) + static_cast<size_t>(window) * sizeof(float);
}

// Does this node write audio into its slot when it runs?
bool writesAudio(const AudioNode* node) {
    return node->kind == kMixerNode || (node->kind == kFxNode && node->effect);
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
    if (sameWord(type, "sat"))
        return AudioNode::kFxSat;
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
    DefaultBlockFactory defaults(masterCallback);
    return parseElement(root, inputSlot, outputSlot, defaults);
}

AudioNode* parseElement(TiXmlElement* root, int inputSlot, int outputSlot, EffectFactory& effects) {
    std::lock_guard<std::mutex> lock(gBuildLock);
    resetBuilderState();
    auto* inputNode = new AudioNodeFX;
    inputNode->listed = true;
    inputNode->outBuffer = inputSlot;
    gNodeMap["in"] = inputNode;
    gNodeList.push_back(inputNode);

    std::vector<AudioNode*> created; // every node made from an element
    size_t memory = 0;               // bytes the model takes, counted before allocating
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
                memory += sizeof(AudioNodeFX) + effectBytes(getFxType(type));
                if (memory > kModelMemoryBudget) {
                    sound = false;
                    break;
                }
                auto* fx = new AudioNodeFX;
                PresetStatus preset = PresetStatus::kMissing;
                fx->effect = effects.create(getFxType(type), id, &preset); // no type: no effect
                fx->name = id;
                sound = preset != PresetStatus::kRefused;
                node = fx;
            }
        }
        if (!node)
            continue; // passed over

        created.push_back(node);
        sound = sound && readParams(element, node) && input &&
                !(readsAudio(node) && input->kind == kProcessorNode) &&
                created.size() <= static_cast<size_t>(kMaxModelNodes);
        if (auto* averager = dynamic_cast<AveragerAN*>(node))
            memory += averagerBytes(averager);
        else if (node->kind != kFxNode)
            memory += sizeof(MixerAudioNode) + sizeof(DividerAN);
        sound = sound && memory <= kModelMemoryBudget;
        node->input = input;
        previous = node;
        if (id)
            gNodeMap[id] = node;
    }
    debug("\n");

    AudioNode* last = previous;
    // A model must end in a node that writes the output slot.
    sound = sound && last != inputNode && writesAudio(last);
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

        // The work slots it uses count against its budget too.
        bool used[kNumSlots] = {};
        for (AudioNode* node : gNodeList)
            if (node->outBuffer >= kFirstWorkSlot && node->outBuffer < kNumSlots)
                used[node->outBuffer] = true;
        for (bool u : used)
            memory += u ? sizeof(float) * kSlotLength : 0;
        sound = sound && memory <= kModelMemoryBudget;
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

void prepareGraph(AudioNode* inputNode) {
    for (AudioNode* node = inputNode; node; node = node->next) {
        if (auto* averager = dynamic_cast<AveragerAN*>(node))
            averager->prepare();
        else if (auto* divider = dynamic_cast<DividerAN*>(node))
            divider->prepare();
    }
}
