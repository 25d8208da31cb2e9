// Adds two buffers: out = g0 * input + g1 * input2, with the gains read from input
// parameters 0 and 1 (default 1.0) once per block.
#pragma once

#include "graph/AudioNode.h"

class MixerAudioNode : public AudioNode {
  public:
    MixerAudioNode() { kind = kMixerNode; }
    void process(float*** buffers, int sampleFrames) override;

    AudioNode* input2 = nullptr; // not owned
};
