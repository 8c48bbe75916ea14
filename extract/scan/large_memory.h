// Memory for the big tables of a scan (the texts and the index of the set of
// shown links). Taken so that the system may back it with 2 MiB pages: filling
// 30 MiB of fresh 4 KiB pages costs some 8,000 page faults, which the scan of
// a large page otherwise pays in a tenth of its time.
#pragma once

#include <cstddef>
#include <memory>

namespace varnolt {

// Throws std::bad_alloc. The contents are undefined.
void* AllocateLarge(size_t bytes);
// `bytes` must be what `p` was allocated with.
void FreeLarge(void* p, size_t bytes) noexcept;

// A standard allocator over AllocateLarge(), for containers that grow large.
template <class T>
struct LargeAllocator {
  using value_type = T;
  LargeAllocator() = default;
  template <class U>
  LargeAllocator(const LargeAllocator<U>&) {}
  T* allocate(size_t n) { return static_cast<T*>(AllocateLarge(n * sizeof(T))); }
  void deallocate(T* p, size_t n) noexcept { FreeLarge(p, n * sizeof(T)); }
  friend bool operator==(const LargeAllocator&, const LargeAllocator&) { return true; }
};

struct LargeFree {
  size_t bytes;
  void operator()(char* p) const noexcept { FreeLarge(p, bytes); }
};
using LargeBlock = std::unique_ptr<char[], LargeFree>;

inline LargeBlock AllocateLargeBlock(size_t bytes) {
  return LargeBlock(static_cast<char*>(AllocateLarge(bytes)), LargeFree{bytes});
}

}  // namespace varnolt
