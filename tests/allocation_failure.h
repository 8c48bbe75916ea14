// Makes the program's allocations fail on demand, for the tests of what
// happens when memory runs out. The test program that includes this links
// tests/allocation_failure.cpp, which replaces the global operator new.
#pragma once

#include <cstddef>

namespace varnolt {

// From now on, every operator new of `bytes` or more throws std::bad_alloc
// (the nothrow forms return nullptr), on every thread.
void FailAllocationsOfAtLeast(size_t bytes);

// The same, on every thread but the calling one: for the faults of worker
// threads, while the thread that drives them goes on.
void FailOtherThreadsAllocationsOfAtLeast(size_t bytes);

// Lets every allocation through again.
void AllowAllocations();

}  // namespace varnolt
