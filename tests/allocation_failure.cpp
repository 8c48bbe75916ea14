#include "tests/allocation_failure.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace varnolt {
namespace {

std::atomic<size_t> fail_from{SIZE_MAX};

void* Allocate(size_t bytes) noexcept {
  if (bytes >= fail_from.load(std::memory_order_relaxed)) return nullptr;
  return std::malloc(bytes == 0 ? 1 : bytes);
}

}  // namespace

void FailAllocationsOfAtLeast(size_t bytes) { fail_from.store(bytes); }
void AllowAllocations() { fail_from.store(SIZE_MAX); }

}  // namespace varnolt

// Every form the program and the standard library use; the deallocation
// forms must match, or the sanitizer sees memory from malloc freed by its own
// operator delete.
void* operator new(size_t bytes) {
  if (void* p = varnolt::Allocate(bytes)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t bytes) { return operator new(bytes); }
void* operator new(size_t bytes, const std::nothrow_t&) noexcept {
  return varnolt::Allocate(bytes);
}
void* operator new[](size_t bytes, const std::nothrow_t&) noexcept {
  return varnolt::Allocate(bytes);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
