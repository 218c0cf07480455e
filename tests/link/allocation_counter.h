#pragma once
// Counts the program's heap allocations while counting is switched on.

#include <cstddef>

namespace pv::link::testing {

void startCountingAllocations();
// Stops counting and returns the number of allocations since the start.
std::size_t stopCountingAllocations();

}  // namespace pv::link::testing
