// A node of a model's processing graph.
//
// Audio flows through numbered buffer slots: a node reads the slot of its `input`
// node and writes the slot named by its own `outBuffer`. Control values flow
// through parameter mappings, resolved when a node reads them. The processing
// list is the `next` chain starting at the graph's input node; each node owns the
// rest of the list behind it and its building-block effect.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class AudioEffectX;
class AudioNode;
class FilterParams;

// Slots of the main effect's work-buffer table.
constexpr int32_t kNumSlots = 50;
constexpr int32_t kSlotLength = 144100; // samples per slot
constexpr int32_t kInputSlot = 0;
constexpr int32_t kOutputSlot = 1;
constexpr int32_t kFirstWorkSlot = 2;
constexpr int32_t kNoSlot = -1; // a processor: no audio output

enum NodeKind : int32_t { kProcessorNode = 1, kFxNode = 2, kMixerNode = 3 };

// One binding of a node's input parameter `set`: a constant, or output parameter
// `get` of another node, read at the moment the owner asks for it.
struct ParamMapping {
    float value = 1.0f;
    AudioNode* node = nullptr; // not owned; null for a constant
    int32_t get = 0;
    int32_t set = 0;

    float getParam() const;
};

class AudioNode {
  public:
    // The building-block kind of an effect node, as model files name it.
    enum FXType : int32_t {
        kFxNone = 0,
        kFxInv = 1,
        kFxClip = 2,
        kFxDelay = 3,
        kFxEq = 4,
        kFxSat = 5,
    };

    AudioNode() = default;
    AudioNode(const AudioNode&) = delete;
    AudioNode& operator=(const AudioNode&) = delete;

    // Runs one block over the table of 50 one-channel buffer lists. The base does nothing.
    virtual void process(float*** buffers, int sampleFrames);
    // Input parameter `index`: the first mapping that sets it, else `defaultValue`.
    virtual float getInParam(int index, float defaultValue);
    // Output parameter `index`. The base has none and answers 0.
    virtual float getParam(int index);
    // Deletes the rest of the processing list behind this node, then the effect.
    virtual ~AudioNode();

    // Setup thread: the rate the graph runs at (Hz). The base ignores it.
    virtual void setSampleRate(float rate);

    // Forwards an effect opcode to the effect of every node in the list from here on;
    // opcode 10 (sample rate, `opt` in Hz) reaches every node's setSampleRate too.
    intptr_t dispatcher(int32_t opcode, int32_t index, intptr_t value, void* ptr, float opt);

    std::vector<ParamMapping> params;
    AudioEffectX* effect = nullptr; // owned
    NodeKind kind = kFxNode;
    std::string name;
    AudioNode* input = nullptr; // not owned
    int32_t outBuffer = 0;
    AudioNode* next = nullptr; // owned
    bool listed = false;
    // An equaliser node's filter, set by planCascades(): the render thread runs such
    // nodes as cascades. Null for every other node and in graphs never planned.
    FilterParams* equaliser = nullptr;
    // Set by planCascades() on an equaliser node that alone reads what was written
    // for it by the equaliser just before it (for the first node: the fixed stage,
    // into the input slot): joined to that one's cascade, that output stays in the
    // lanes and is never written to its slot.
    bool soleReader = false;
    // Set by planCascades() on an equaliser node: an equaliser further down the list
    // that may run right after it instead, past the nodes between, because none of
    // those writes what it reads or touches what it writes. It then joins this
    // node's cascade as a branch (two equalisers reading one output side by side in
    // the lanes). Null otherwise.
    AudioNode* hoist = nullptr;
    // Set by planCascades() on an equaliser some node hoists: the spare slot (one no
    // node uses) it writes into when it runs early; where it stands in the list, that
    // slot is copied into its own (whose earlier content the nodes between may still
    // need). -1 otherwise.
    int32_t earlySlot = -1;
    // Set by planCascades() on the input node: a node writes audio into the output
    // slot, so what the fixed stage's first filter leaves there is never heard.
    bool outputWritten = false;
};
