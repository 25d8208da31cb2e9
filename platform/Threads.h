// Processor floating-point modes and thread identity for the render path.
#pragma once

#include <cstdint>

// Switches on flush-to-zero and denormals-are-zero for the calling thread (on x86
// the SSE control register gains 0x8040) and restores the previous modes when it
// goes out of scope. Does nothing on processors without these modes.
class DenormalGuard {
  public:
    DenormalGuard();
    ~DenormalGuard();
    DenormalGuard(const DenormalGuard&) = delete;
    DenormalGuard& operator=(const DenormalGuard&) = delete;

  private:
    uint32_t saved;
};

// The current processor control word as seen by DenormalGuard (0 where unsupported).
uint32_t currentFloatModes();

// An identity of the calling thread, stable while the thread lives.
uintptr_t currentThreadId();
