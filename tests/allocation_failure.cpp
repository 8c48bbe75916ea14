#include "tests/allocation_failure.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace varnolt {
namespace {

std::atomic<size_t> fail_from{SIZE_MAX};
thread_local bool spared = false;

bool Fails(size_t bytes) {
  return bytes >= fail_from.load(std::memory_order_relaxed) && !spared;
}

void* Allocate(size_t bytes) noexcept {
  if (Fails(bytes)) return nullptr;
  return std::malloc(bytes == 0 ? 1 : bytes);
}

#if !defined(_WIN32)
// The aligned forms, which only the POSIX builds ask for (large_memory.cpp).
void* AllocateAligned(size_t bytes, std::align_val_t alignment) noexcept {
  if (Fails(bytes)) return nullptr;
  void* p = nullptr;
  if (posix_memalign(&p, static_cast<size_t>(alignment), bytes == 0 ? 1 : bytes) != 0) {
    return nullptr;
  }
  return p;
}
#endif

}  // namespace

void FailAllocationsOfAtLeast(size_t bytes) {
  spared = false;
  fail_from.store(bytes);
}

void FailOtherThreadsAllocationsOfAtLeast(size_t bytes) {
  spared = true;
  fail_from.store(bytes);
}

void AllowAllocations() {
  fail_from.store(SIZE_MAX);
  spared = false;
}

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
#if !defined(_WIN32)
void* operator new(size_t bytes, std::align_val_t alignment) {
  if (void* p = varnolt::AllocateAligned(bytes, alignment)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }
#endif
