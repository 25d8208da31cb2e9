// The one host callback of the system, given to every effect. It answers only the
// pin question (opcode 4): pin 0 is connected, every other pin is not. Every other
// question answers 0.
#pragma once

#include "effect/AEffect.h"

intptr_t masterCallback(AEffect* effect, int32_t opcode, int32_t index, intptr_t value, void* ptr,
                        float opt);
