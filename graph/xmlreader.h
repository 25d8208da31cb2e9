// The graph builder: turns a model document's root element into a processing
// graph of nodes, orders them for processing and assigns their buffer slots.
#pragma once

// TinyXML is built with its std::string support; every user must agree on it.
#ifndef TIXML_USE_STL
#define TIXML_USE_STL
#endif
#include <tinyxml.h>

#include "graph/AudioNode.h"
#include "graph/BuildReason.h"
#include "graph/EffectFactory.h"

#include <cstddef>

// Memory one model may take in one effect instance (bytes): its building blocks
// with their delay lines, its averagers' rings at the longest window they can
// take, and the work slots it uses. Counted before anything of that size is
// allocated; a model over it is refused. The shipped models take under 3 MB.
constexpr size_t kModelMemoryBudget = size_t(64) << 20;

// Builds the graph described by `root` and returns its input node, whose `next`
// chain is the processing list; the caller owns it. The input node carries
// `inputSlot` and the output node `outputSlot` while slots are assigned; the
// finished graph has slot 0 on the input node and slot 1 on the output node.
//
// Returns null, having released everything it built, when the model cannot run:
// a reference ("input", "input2", a param's "node") that names no earlier node,
// a mixer without "input2", an effect, mixer or averager whose audio input is a
// processor, more than 48 work slots needed at once, more memory than
// kModelMemoryBudget, or a preset holding a value that is not a finite number.
// Nodes that the output does not depend on are built and then released.
//
// A model whose output nothing writes still gives a graph: without node elements
// it is the input node alone; when the last node writes no audio (a processor, or
// an effect node without a block) it runs as built. Either way slot 1 keeps what
// the caller put there before the run.
//
// A param's "ms" is an averager's window in milliseconds when it stands on the
// averager's first set-0 param, without "value" or "node", as a positive finite
// number; anywhere else it is ignored and the param is read as any other: "value",
// else "node" with "get", else the constant 1.0.
//
// `report`, when given, gets every reason found added, not just the first: each
// refusal, and the notices of a model that loads (a preset missing, a node that
// never runs, an element passed over, an ignored "ms", no output), with the
// element's id and line (TinyXML's Row(), so the document must come from Parse());
// and every node made, with its place in the processing list and its slot. Reading
// stops early only at an effect over the memory budget.
//
// Every building block comes from `effects`, which applies the preset named by
// the element's id. Graphs are built one at a time in the process (the builder's
// state is shared): a call waits for any build under way on another thread.
// Setup thread; allocates.
AudioNode* parseElement(TiXmlElement* root, int inputSlot, int outputSlot, EffectFactory& effects,
                        BuildReport* report = nullptr);
// The same with blocks made by createEffect(), each with its preset from the data
// archive the caller holds open (openZip()); without an open archive the blocks
// keep their defaults.
AudioNode* parseElement(TiXmlElement* root, int inputSlot, int outputSlot,
                        BuildReport* report = nullptr);
// Readies a finished graph to run without allocating: sizes every averager's
// window (reserving the ring of a window in milliseconds for every rate) and
// resolves every divider's inputs, in processing order. Setup thread.
void prepareGraph(AudioNode* inputNode);
// A new divider or averager for a "processor" element; null without a known "type".
AudioNode* createProcessor(TiXmlElement* element);
// The effect kind for a type word, without regard to case; kFxNone for any other word.
AudioNode::FXType getFxType(const char* type);
