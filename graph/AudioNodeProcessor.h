// A node that produces a control value instead of audio; it has no output slot.
#pragma once

#include "graph/AudioNode.h"

class AudioNodeProcessor : public AudioNode {
  public:
    AudioNodeProcessor() {
        kind = kProcessorNode;
        outBuffer = kNoSlot;
    }
};
