// A picture of a model's graph, drawn by Graphviz's dot program:
// audio connections solid, parameter mappings dashed and labelled with the output
// and input parameter indices, each node labelled with its id, kind, preset,
// place in the processing order and the slot it writes. Nodes that never run are
// drawn grey. Setup-time tool code; allocates.
#pragma once

#include "graph/BuildReason.h"

#ifndef TIXML_USE_STL
#define TIXML_USE_STL
#endif
#include <tinyxml.h>

#include <cstddef>
#include <string>

namespace authoring {

// Most nodes a picture holds: Graphviz lays out larger graphs too slowly to wait for
// and too densely to read.
constexpr size_t kMaxDrawnNodes = 512;

// The graph of the model whose root element is `root`, as `report` (the builder's
// report on it) places its nodes, in the Graphviz "dot" language. Presets a
// report finds missing are marked so when `presetsKnown`.
std::string modelGraphDot(const TiXmlElement* root, const BuildReport& report, bool presetsKnown);

// Lays the graph out with Graphviz's dot program and writes it to `path` as SVG or
// PNG (by the extension). False, with `error` set, for another extension, without
// the program, or when it fails.
bool drawModelGraph(const std::string& dot, const std::string& path, std::string& error);

} // namespace authoring
