// The capability words of the effect interface, one table for what an effect can
// do and one for what a host can do. No effect here answers any of them.
#pragma once

#include <cstddef>

extern const char* const kEffectCanDoWords[];
extern const size_t kNumEffectCanDoWords;
extern const char* const kHostCanDoWords[];
extern const size_t kNumHostCanDoWords;
