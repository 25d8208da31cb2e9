// A limited ratio: output parameter 2 is input 0 / input 1 (defaults 1.0), at most
// `maxRatio`, and `maxRatio` when the denominator is 0 or the ratio is not a
// number. Every other output parameter i passes input parameter i through.
//
// Its inputs are resolved once per block, when the graph walk reaches it (after
// every node it reads, which are listed before it) and its readers reuse them, so
// chains of dividers cost one evaluation each per block instead of one per path.
// The values are exactly those a read at any later moment of the block would give:
// nothing a divider reads changes after it has run in that block.
#pragma once

#include "graph/AudioNodeProcessor.h"

#include <vector>

class DividerAN : public AudioNodeProcessor {
  public:
    // Audio thread, once per block in list order: resolves the inputs.
    void process(float*** buffers, int sampleFrames) override;
    float getParam(int index) override;
    // Setup thread, once the mappings are complete: makes room for the resolved
    // inputs and resolves them, so that the audio thread allocates nothing.
    void prepare();

    float maxRatio = 100.0f;

  private:
    float ratio(float a, float b) const;
    void resolve();
    // Input parameter `index` as resolved this block (the first mapping that sets it).
    float resolvedInput(int index) const;

    std::vector<float> resolved; // value of params[i] in the current block
    float resolvedRatio = 0.0f;
    bool fresh = false; // resolved holds this block's values
};
