// An effect node: wraps one building-block effect. The main effect's graph walk
// runs the effect itself, from the input node's slot into this node's slot; the
// node's own process() does nothing. Its mappings are not applied to the effect.
#pragma once

#include "graph/AudioNode.h"

class AudioNodeFX : public AudioNode {
  public:
    AudioNodeFX() { kind = kFxNode; }
    // The effect's current 0..1 value of parameter `index`; 0 when the node has no effect.
    float getParam(int index) override;
};
