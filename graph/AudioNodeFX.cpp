#include "graph/AudioNodeFX.h"

#include "effect/AudioEffectX.h"
#include "graph/Debug.h"

float AudioNodeFX::getParam(int index) {
    if (!effect) {
        // The graph input and nodes of an unknown type have no parameters to read.
        debug("getParam of a node without an effect\n");
        return 0.0f;
    }
    return effect->getParameter(index);
}
