#include "graph/MixerAudioNode.h"

#include "blocks/Float4.h"

void MixerAudioNode::process(float*** buffers, int sampleFrames) {
    if (!input || !input2 || input->outBuffer < 0 || input2->outBuffer < 0 || outBuffer < 0)
        return; // nothing to read or nowhere to write
    const float g0 = getInParam(0, 1.0f);
    const float g1 = getInParam(1, 1.0f);
    const float* a = buffers[input->outBuffer][0];
    const float* b = buffers[input2->outBuffer][0];
    float* out = buffers[outBuffer][0];
    // Four samples at a time, each read before it is written, so the output may be
    // either input's slot.
    const Float4 v0 = splat4(g0), v1 = splat4(g1);
    int i = 0;
    for (; i + 4 <= sampleFrames; i += 4)
        store4(out + i, v0 * load4(a + i) + v1 * load4(b + i));
    for (; i < sampleFrames; ++i)
        out[i] = g0 * a[i] + g1 * b[i];
}
