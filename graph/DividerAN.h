// A limited ratio: output parameter 2 is input 0 / input 1 (defaults 1.0), at most
// `maxRatio`, and `maxRatio` when the denominator is 0 or the ratio is not a
// number. Every other output parameter i passes input parameter i through.
#pragma once

#include "graph/AudioNodeProcessor.h"

class DividerAN : public AudioNodeProcessor {
  public:
    float getParam(int index) override;

    float maxRatio = 100.0f;
};
