// What the graph builder found in a model: every reason it refuses the model, and
// what it noticed in one that still loads, each with the element it concerns and
// that element's line in the document. The plug-in's messages and the authoring
// tools (quorle-model check, graph, pack) read the same list.
#pragma once

#include <string>
#include <vector>

enum class BuildCode {
    // Refusals: the builder returns no graph.
    kUnreadable,         // the text does not parse, or holds no "quorle" element
    kNestingTooDeep,     // elements nest deeper than kMaxModelNesting
    kUnknownReference,   // "input", "input2" or a param's "node" names no earlier node
    kProcessorAsAudio,   // audio read from a processor
    kMixerWithoutInput2, // a mixer needs its second input
    kTooManySlots,       // more work slots live at once than there are
    kOverMemoryBudget,   // more than kModelMemoryBudget bytes
    kPresetRefused,      // a block's preset holds a value that is not a finite number
    // Notices: the model loads all the same.
    kPresetMissing, // no preset for a block: it keeps its defaults
    kNeverRuns,     // built, but the output does not depend on it
    kPassedOver,    // an element or param the builder makes nothing of
    kMsIgnored,     // a param "ms" that is no averager's window: the param is read without it
    kNoOutput,      // nothing writes the output: slot 1 keeps what was there before the run
};

struct BuildReason {
    BuildCode code;
    std::string id; // the element's id; empty when it has none
    int line = 0;   // 1-based line of the element; 0 for the document as a whole
    std::string message;

    // Whether this reason alone keeps the model from loading.
    bool refuses() const { return code < BuildCode::kPresetMissing; }
};

using BuildReasons = std::vector<BuildReason>;

// Whether any reason in the list refuses the model.
bool anyRefusal(const BuildReasons& reasons);
// A short fixed word for `code` ("unknown-reference"), for tests and scripts.
const char* codeName(BuildCode code);

// An element that became a node, as the builder placed it.
struct PlacedNode {
    int element = 0; // index among the root's child elements, from 0
    std::string id;
    int line = 0;
    int order = 0; // position in the processing list, 1 first; 0: it never runs
    int slot = 0;  // slot it writes: kOutputSlot for the output, kNoSlot for a processor
};

// Everything the builder reports about one model.
struct BuildReport {
    BuildReasons reasons;
    std::vector<PlacedNode> nodes; // in document order
};
