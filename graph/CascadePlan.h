// Which nodes of a graph the render thread may run as equaliser cascades.
//
// The plan is made once per graph, off the render thread: each equaliser node whose
// slots the table has gets `equaliser`, its filter's controls. The render thread
// then hands consecutive marked nodes to a CascadeChain, which fuses those that read
// what the one before wrote and reads every coefficient and pass count as it goes;
// any other node runs what was gathered first. The plan holds no coefficient, so a
// parameter change can never leave it stale.
#pragma once

#include <map>

class AudioNode;

// Who reads each node's output in the processing list behind `inputNode` (a node's
// input and, for a mixer, its second input), and how many reads are of the input
// slot (what the fixed stage writes). Setup thread.
struct GraphReaders {
    std::map<const AudioNode*, int> of;
    int input = 0;
    explicit GraphReaders(const AudioNode* inputNode);
    // Whether a node whose input is `source` reads the input slot.
    static bool readsInput(const AudioNode* source, const AudioNode* inputNode);
};

// Setup thread, after the graph is built and before it first runs: marks the
// equaliser nodes of the processing list behind `inputNode`. Graphs never planned
// run node by node, to the same samples.
void planCascades(AudioNode* inputNode);
// Part of planCascades(): the equalisers that may run earlier than their place in
// the list (AudioNode::hoist). Setup thread.
void planHoists(AudioNode* inputNode);
