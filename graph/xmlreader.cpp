#include "graph/xmlreader.h"

#include "blocks/ADelay.h"
#include "blocks/QrClipper.h"
#include "blocks/QrIIRFilter.h"
#include "blocks/QrInv.h"
#include "blocks/QrSaturator.h"
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
#include <map>
#include <mutex>
#include <string>

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

std::string quoted(const char* text) {
    return std::string("\"") + (text ? text : "") + "\"";
}

// Collects what one build finds; `report` may be null (nothing is kept).
struct Findings {
    BuildReport* report;
    bool sound = true;

    void add(BuildCode code, const char* id, int line, std::string message) {
        BuildReason reason{code, id ? id : "", line, std::move(message)};
        sound = sound && !reason.refuses();
        if (report)
            report->reasons.push_back(std::move(reason));
    }
};

// Whether a param's "ms" gives its averager's window (and then sets it): only on
// an averager's set 0, without "value" or "node", when no set-0 param came before
// (only the first counts), as a positive finite number of milliseconds. Anywhere
// else a notice says it is ignored.
bool takeWindowMs(const char* ms, int32_t set, bool withOther, bool set0Before,
                  AveragerAN* averager, const char* id, int line, Findings& found) {
    const double v = std::strtod(ms, nullptr);
    std::string why;
    if (!averager || set != 0)
        why = "it only gives an averager's window (set 0)";
    else if (withOther)
        why = "\"value\" or \"node\" gives this window";
    else if (set0Before)
        why = "an earlier set-0 param gives this window";
    else if (!(v > 0.0) || !std::isfinite(v))
        why = quoted(ms) + " is not a positive number of milliseconds";
    if (why.empty()) {
        averager->setWindowMs(v);
        return true;
    }
    found.add(BuildCode::kMsIgnored, id, line, "\"ms\" is ignored here: " + why);
    return false;
}

// Adds the node's "param" children as mappings (an averager's window in
// milliseconds is kept by the averager instead), with a reason for a param naming
// a node that is not registered, and notices for an "ms" that is no window and for
// set-0 params after a window in milliseconds, which are never read.
void readParams(TiXmlElement* element, AudioNode* node, const char* id, Findings& found) {
    auto* averager = dynamic_cast<AveragerAN*>(node);
    bool set0Before = false;
    for (TiXmlElement* p = element->FirstChildElement("param"); p;
         p = p->NextSiblingElement("param")) {
        ParamMapping m;
        const char* set = p->Attribute("set");
        if (!set) {
            found.add(BuildCode::kPassedOver, id, p->Row(),
                      "a param without \"set\" is passed over");
            continue;
        }
        m.set = parseInt(set);
        const char* value = p->Attribute("value");
        const char* source = p->Attribute("node");
        const char* get = p->Attribute("get");
        const char* ms = p->Attribute("ms");
        if (ms &&
            takeWindowMs(ms, m.set, value || source, set0Before, averager, id, p->Row(), found)) {
            set0Before = true;
            continue;
        }
        if (!ms && m.set == 0 && averager && averager->windowMs > 0.0)
            found.add(BuildCode::kPassedOver, id, p->Row(),
                      "the window is given in milliseconds above: this set-0 param is never "
                      "read");
        set0Before = set0Before || m.set == 0;
        if (value) {
            m.value = parseFloat(value);
        } else if (source && get) {
            m.get = parseInt(get);
            m.node = findNode(source);
            if (!m.node)
                found.add(BuildCode::kUnknownReference, id, p->Row(),
                          "param set=\"" + std::string(set) +
                              "\": \"node\" names no earlier node: " + quoted(source));
        } else {
            debug("Param error: No <node,get> or <value> attribute found!\n");
        }
        node->params.push_back(m);
    }
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

AudioNode* parseElement(TiXmlElement* root, int inputSlot, int outputSlot, BuildReport* report) {
    // Presets from the archive file open now (createEffect()); it stays held to the end.
    OpenArchiveFactory effects;
    return parseElement(root, inputSlot, outputSlot, effects, report);
}

namespace {

// A node made from an element, with where it came from.
struct Made {
    AudioNode* node;
    int element;
    std::string id;
    int line;
};

const char* kindWord(const AudioNode* node) {
    if (node->kind == kMixerNode)
        return "mixer";
    if (node->kind == kProcessorNode)
        return dynamic_cast<const AveragerAN*>(node) ? "averager" : "divider";
    return "fx";
}

} // namespace

AudioNode* parseElement(TiXmlElement* root, int inputSlot, int outputSlot, EffectFactory& effects,
                        BuildReport* report) {
    std::lock_guard<std::mutex> lock(gBuildLock);
    resetBuilderState();
    Findings found{report};
    auto* inputNode = new AudioNodeFX;
    inputNode->listed = true;
    inputNode->outBuffer = inputSlot;
    gNodeMap["in"] = inputNode;
    gNodeList.push_back(inputNode);

    std::vector<Made> created; // every node made from an element, in document order
    size_t memory = 0;         // bytes the model takes, counted before allocating
    bool overBudget = false;
    bool stopped = false; // reading ended early: nothing more may be made
    AudioNode* previous = inputNode;

    int index = 0;
    for (TiXmlElement* element = root->FirstChildElement(); element;
         element = element->NextSiblingElement(), ++index) {
        const char* tag = element->Value();
        debug("node:%s %d,%d \n", tag, inputSlot, outputSlot);
        const char* inputId = element->Attribute("input");
        AudioNode* input = inputId ? findNode(inputId) : previous;
        const char* id = element->Attribute("id");
        const int line = element->Row();

        AudioNode* node = nullptr;
        if (sameWord(tag, "mixer")) {
            auto* mixer = new MixerAudioNode;
            const char* input2Id = element->Attribute("input2");
            mixer->input2 = findNode(input2Id);
            if (!input2Id)
                found.add(BuildCode::kMixerWithoutInput2, id, line,
                          "a mixer needs \"input2\", its second audio input");
            else if (!mixer->input2)
                found.add(BuildCode::kUnknownReference, id, line,
                          "\"input2\" names no earlier node: " + quoted(input2Id));
            else if (mixer->input2->kind == kProcessorNode)
                found.add(BuildCode::kProcessorAsAudio, id, line,
                          "\"input2\" reads processor " + quoted(input2Id) +
                              ", which gives no audio");
            node = mixer;
        } else if (sameWord(tag, "processor")) {
            node = createProcessor(element);
            if (!node)
                found.add(BuildCode::kPassedOver, id, line,
                          "a processor of type " + quoted(element->Attribute("type")) +
                              " is passed over (divider or averager)");
        } else if (sameWord(tag, "fx")) {
            const char* type = element->Attribute("type");
            debug(" id:%s ", id ? id : "");
            if (!id) {
                found.add(BuildCode::kPassedOver, id, line, "an fx without \"id\" is passed over");
            } else {
                memory += sizeof(AudioNodeFX) + effectBytes(getFxType(type));
                if (memory > kModelMemoryBudget) {
                    found.add(BuildCode::kOverMemoryBudget, id, line,
                              "the model takes more than " +
                                  std::to_string(kModelMemoryBudget >> 20) + " MB by here");
                    stopped = true;
                    break;
                }
                auto* fx = new AudioNodeFX;
                PresetStatus preset = PresetStatus::kMissing;
                fx->effect = effects.create(getFxType(type), id, &preset); // no type: no effect
                fx->name = id;
                const std::string presetName = quoted((std::string(id) + ".fxp").c_str());
                if (!fx->effect)
                    found.add(BuildCode::kPassedOver, id, line,
                              "fx type " + quoted(type) +
                                  " is no building block (eq, clip, delay, inv or sat): the node "
                                  "does nothing");
                else if (preset == PresetStatus::kRefused)
                    found.add(BuildCode::kPresetRefused, id, line,
                              "preset " + presetName +
                                  " holds a value that is not a finite number");
                else if (preset == PresetStatus::kMissing)
                    found.add(BuildCode::kPresetMissing, id, line,
                              "no preset " + presetName + ": the block keeps its defaults");
                node = fx;
            }
        } else {
            found.add(BuildCode::kPassedOver, id, line,
                      "<" + std::string(tag) +
                          "> is passed over (model elements are fx, mixer and processor)");
        }
        if (!node)
            continue;

        created.push_back({node, index, id ? id : "", line});
        readParams(element, node, id, found);
        if (!input)
            found.add(BuildCode::kUnknownReference, id, line,
                      "\"input\" names no earlier node: " + quoted(inputId));
        else if (readsAudio(node) && input->kind == kProcessorNode)
            found.add(BuildCode::kProcessorAsAudio, id, line,
                      std::string(kindWord(node)) + " reads a processor's output as audio" +
                          (inputId ? " (" + quoted(inputId) + ")"
                                   : std::string(" (the node before it)")));
        if (auto* averager = dynamic_cast<AveragerAN*>(node))
            memory += averagerBytes(averager);
        else if (node->kind != kFxNode)
            memory += sizeof(MixerAudioNode) + sizeof(DividerAN);
        if (memory > kModelMemoryBudget && !overBudget) {
            overBudget = true;
            found.add(BuildCode::kOverMemoryBudget, id, line,
                      "the model takes more than " + std::to_string(kModelMemoryBudget >> 20) +
                          " MB by here");
        }
        node->input = input;
        previous = node;
        if (id)
            gNodeMap[id] = node;
    }
    debug("\n");

    AudioNode* last = previous;
    const Made* lastMade = created.empty() ? nullptr : &created.back();
    // A model whose output nothing writes still runs: slot 1 keeps what was there.
    const std::string unheard = "nothing writes the output: only the fixed stage will be heard";
    if (!stopped && last == inputNode)
        found.add(BuildCode::kNoOutput, nullptr, root->Row(),
                  "no fx, mixer or processor element, so " + unheard);
    else if (!stopped && !writesAudio(last))
        found.add(BuildCode::kNoOutput, lastMade->id.c_str(), lastMade->line,
                  std::string("the last node is ") +
                      (last->kind == kProcessorNode ? "a processor" : "an fx without a block") +
                      ", which writes no audio, so " + unheard);
    bool placed = false;
    if (!stopped) {
        placed = true;
        last->outBuffer = outputSlot;
        buildNodeList(last);

        // Backward liveness pass: a producer gets its slot when its last consumer is
        // visited and gives it back when it is visited itself.
        bool slots = true;
        for (size_t i = gNodeList.size() - 1; i >= 1 && slots; --i) {
            AudioNode* node = gNodeList[i];
            auto lend = [&](AudioNode* producer) {
                if (producer && producer != inputNode && producer->outBuffer == 0) {
                    producer->outBuffer = getBuffer();
                    slots = slots && producer->outBuffer != kNoSlot;
                }
            };
            lend(node->input);
            if (node->kind == kMixerNode)
                lend(static_cast<MixerAudioNode*>(node)->input2);
            // A producer that only feeds parameters still needs somewhere to write.
            lend(node);
            if (node->outBuffer != kOutputSlot && node->outBuffer != kNoSlot)
                gBuffs.push_front(node->outBuffer);
            if (!slots)
                for (const Made& m : created)
                    if (m.node == node)
                        found.add(BuildCode::kTooManySlots, m.id.c_str(), m.line,
                                  "more than " + std::to_string(kNumSlots - kFirstWorkSlot) +
                                      " work slots would be live at once here");
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
        if (memory > kModelMemoryBudget && !overBudget)
            found.add(BuildCode::kOverMemoryBudget, nullptr, root->Row(),
                      "the model with its work slots takes more than " +
                          std::to_string(kModelMemoryBudget >> 20) + " MB");
    }

    if (report) {
        std::map<const AudioNode*, int> order;
        for (size_t i = 1; placed && i < gNodeList.size(); ++i)
            order[gNodeList[i]] = static_cast<int>(i);
        for (const Made& m : created) {
            const auto at = order.find(m.node);
            // A processor writes no audio, even as the last node (which holds slot 1).
            const int32_t slot = m.node->kind == kProcessorNode ? kNoSlot : m.node->outBuffer;
            report->nodes.push_back(
                {m.element, m.id, m.line, at == order.end() ? 0 : at->second, slot});
        }
    }
    // Nodes outside the processing list never run; they go now, with the graph
    // when the model is refused.
    for (const Made& m : created)
        if (!m.node->listed) {
            if (placed)
                found.add(BuildCode::kNeverRuns, m.id.c_str(), m.line,
                          std::string(kindWord(m.node)) +
                              " is built but the output does not depend on it: it never runs");
            delete m.node;
        }
    if (!found.sound) {
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
