// Running out of memory is the one failure that any part of the core may
// meet anywhere: an allocation that throws std::bad_alloc, or a container
// asked to grow beyond what it can hold (std::length_error).
#pragma once

#include <new>
#include <stdexcept>

namespace varnolt {

// Runs `work` and returns true when it ran out of memory before it ended;
// false when it ended. Every other exception passes through.
template <class Work>
bool RanOutOfMemory(Work&& work) {
  try {
    work();
    return false;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return true;
}

}  // namespace varnolt
