#include "graph/MixerAudioNode.h"

void MixerAudioNode::process(float*** buffers, int sampleFrames) {
    if (!input || !input2 || input->outBuffer < 0 || input2->outBuffer < 0 || outBuffer < 0)
        return; // nothing to read or nowhere to write
    const float g0 = getInParam(0, 1.0f);
    const float g1 = getInParam(1, 1.0f);
    const float* a = buffers[input->outBuffer][0];
    const float* b = buffers[input2->outBuffer][0];
    float* out = buffers[outBuffer][0];
    for (int i = 0; i < sampleFrames; ++i)
        out[i] = g0 * a[i] + g1 * b[i];
}
