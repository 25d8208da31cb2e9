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

// Most nodes a picture holds: larger graphs are too dense to read.
constexpr size_t kMaxDrawnNodes = 512;

// Above this many nodes the graph asks Graphviz for its quick layout: one pass of
// crossing reduction, network simplex cut short, straight edges, and edge labels
// placed beside the edges instead of as nodes of their own; and an edge from far
// back is drawn short (modelGraphDot). Measured on chains of mixers each reading a
// node up to 40 back: 200 nodes 18.5 s -> 0.08 s, 512 nodes over 120 s -> 0.2 s; 64
// mixers each reading "in" took 4 s in the full layout.
constexpr size_t kQuickLayoutNodes = 32;

// Seconds graph lets Graphviz's dot run before stopping it, unless told otherwise.
constexpr double kDefaultDrawSeconds = 20.0;

// The graph of the model whose root element is `root`, as `report` (the builder's
// report on it) places its nodes, in the Graphviz "dot" language. Presets a
// report finds missing are marked so when `presetsKnown`.
std::string modelGraphDot(const TiXmlElement* root, const BuildReport& report, bool presetsKnown);

// Lays the graph out with Graphviz's dot program and writes it to `path` as SVG or
// PNG (by the extension), through a new file beside `path` renamed over it, so a
// failure leaves `path` as it was. dot is stopped (SIGKILL) after `seconds`. False,
// with `error` set to one sentence, for another extension, without the program,
// when it fails or when it was stopped.
bool drawModelGraph(const std::string& dot, const std::string& path, double seconds,
                    std::string& error);

} // namespace authoring
