// The graph builder: turns a model document's root element into a processing
// graph of nodes, orders them for processing and assigns their buffer slots.
#pragma once

// TinyXML is built with its std::string support; every user must agree on it.
#ifndef TIXML_USE_STL
#define TIXML_USE_STL
#endif
#include <tinyxml.h>

#include "graph/AudioNode.h"

// Most nodes a model may create; each effect node holds a building block and its memory.
constexpr int kMaxModelNodes = 512;

// Builds the graph described by `root` and returns its input node, whose `next`
// chain is the processing list; the caller owns it. The input node carries
// `inputSlot` and the output node `outputSlot` while slots are assigned; the
// finished graph has slot 0 on the input node and slot 1 on the output node.
//
// Returns null, having released everything it built, when the model cannot run:
// a reference ("input", "input2", a param's "node") that names no earlier node,
// a mixer without "input2", an effect, mixer or averager whose audio input is a
// processor, more than 48 work slots needed at once, or more than kMaxModelNodes
// nodes. Nodes that the output does not depend on are built and then released.
AudioNode* parseElement(TiXmlElement* root, int inputSlot, int outputSlot);
// A new divider or averager for a "processor" element; null without a known "type".
AudioNode* createProcessor(TiXmlElement* element);
// The effect kind for a type word, without regard to case; kFxNone for any other word.
AudioNode::FXType getFxType(const char* type);
