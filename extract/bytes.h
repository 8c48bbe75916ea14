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

// Bytes 0, 2, 4 and 6 of `word` (in memory order, as Load64 reads it on a
// little-endian machine), packed into four: the low bytes of four
// little-endian 16-bit units.
inline uint32_t PackLowBytes(uint64_t word) {
  word = (word & 0x000000FF000000FFULL) | ((word >> 8) & 0x0000FF000000FF00ULL);
  return static_cast<uint32_t>((word & 0xFFFF) | ((word >> 16) & 0xFFFF0000));
}

}  // namespace varnolt
