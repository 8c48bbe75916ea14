#include "extract/scan/large_memory.h"

#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace varnolt {
namespace {

// Blocks of at least this size are aligned to it, so that each is whole huge
// pages; smaller ones come from the ordinary heap.
constexpr size_t kHugePage = size_t{2} << 20;

bool Huge(size_t bytes) {
#if defined(__linux__)
  return bytes >= kHugePage;
#else
  (void)bytes;
  return false;
#endif
}

}  // namespace

void* AllocateLarge(size_t bytes) {
  if (!Huge(bytes)) return ::operator new(bytes);
  void* p = ::operator new(bytes, std::align_val_t(kHugePage));
#if defined(__linux__)
  // Only a hint: where the system keeps huge pages for those who ask
  // (the default), this is the asking; elsewhere it changes nothing.
  madvise(p, bytes, MADV_HUGEPAGE);
#endif
  return p;
}

void FreeLarge(void* p, size_t bytes) noexcept {
  if (Huge(bytes)) {
    ::operator delete(p, std::align_val_t(kHugePage));
  } else {
    ::operator delete(p);
  }
}

}  // namespace varnolt
