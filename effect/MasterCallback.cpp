#include "effect/MasterCallback.h"

#include "effect/EffectOpcodes.h"

intptr_t masterCallback(AEffect*, int32_t opcode, int32_t index, intptr_t, void*, float) {
    if (opcode == kHostIsPinConnected)
        return index != 0 ? 1 : 0;
    return 0;
}
