// The one sentence that tells a player why the model they asked for cannot be
// played: the same from quorle-render and in an LV2 host's log.
#pragma once

#include "graph/BuildReason.h"

#include <string>

// "model INDEX (ENTRY) of FILE cannot be played: ENTRY:LINE: reason; ..." with every
// reason in `reasons` that refuses the model (notices left out), in the builder's
// words. `file` is the data archive the model was read from.
std::string modelRefusal(int index, const std::string& entry, const std::string& file,
                         const BuildReasons& reasons);
