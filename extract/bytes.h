// Small helpers for reading bytes a machine word at a time.
#pragma once

#include <cstdint>
#include <cstring>

namespace varnolt {

// The 8 bytes at `p`, in the machine's byte order, whatever their alignment.
inline uint64_t Load64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// True when none of the 8 bytes of `word` has its high bit set (all ASCII).
inline bool AllAscii(uint64_t word) { return (word & 0x8080808080808080ULL) == 0; }

}  // namespace varnolt
