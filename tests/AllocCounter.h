// Counts heap allocations made through operator new, for the real-time tests: link
// AllocCounter.cpp into a test program (it replaces the global operator new and
// delete for that whole program) and wrap the code under test in an AllocCount.
#pragma once

#include <cstdint>

// Allocations made through any operator new since the program started.
uint64_t heapAllocations();

// The allocations made during this object's lifetime so far.
class AllocCount {
  public:
    AllocCount() : start(heapAllocations()) {}
    uint64_t sinceStart() const { return heapAllocations() - start; }

  private:
    uint64_t start;
};
