// Reading bytes a machine word (or a vector) at a time: the helpers that the
// scan's fast paths and the display rule's share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace varnolt {

inline constexpr uint64_t kHighBits = 0x8080808080808080ULL;

// `byte` in each of the 8 bytes of a word.
constexpr uint64_t EachByte(uint8_t byte) { return 0x0101010101010101ULL * byte; }

// The 8 bytes at `p`, in the machine's byte order, whatever their alignment.
inline uint64_t Load64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// True when none of the 8 bytes of `word` has its high bit set (all ASCII).
inline bool AllAscii(uint64_t word) { return (word & kHighBits) == 0; }

// True when a byte of `word` is below `bound` (at most 0x80). A byte below
// the bound borrows into its high bit when the bound is subtracted; a byte
// whose own high bit is set cannot, which `& ~word` makes sure of.
inline bool HasByteBelow(uint64_t word, uint8_t bound) {
  return ((word - EachByte(bound)) & ~word & kHighBits) != 0;
}

// True when a byte of `word` is zero.
inline bool HasZeroByte(uint64_t word) { return HasByteBelow(word, 1); }

// 0x80 in each byte of `word` that is zero and 0 in every other: exact for
// every byte, unlike the borrow of HasByteBelow, which may also mark a byte
// above a zero one.
inline uint64_t ZeroBytes(uint64_t word) {
  constexpr uint64_t k7F = 0x7F7F7F7F7F7F7F7FULL;
  return ~(((word & k7F) + k7F) | word | k7F);
}

// The compiler's vector of `kWidth` bytes, for fast paths written once over
// the width of the processor's vectors: 8 (a plain word), 16 (SSE2) or 32
// (AVX2). Each width's caller compiles the same code to its own instructions.
template <size_t kWidth>
struct ByteVector;
template <>
struct ByteVector<8> {
  typedef char Type __attribute__((vector_size(8)));
};
template <>
struct ByteVector<16> {
  typedef char Type __attribute__((vector_size(16)));
};
template <>
struct ByteVector<32> {
  typedef char Type __attribute__((vector_size(32)));
};
template <size_t kWidth>
using Bytes = typename ByteVector<kWidth>::Type;

// The bytes of `v` ORed together, eight at a time, down to one word: 0
// exactly when every byte of `v` is 0. A test for "anything there?" that
// stays in the vector registers.
template <size_t kWidth>
[[gnu::always_inline]] inline uint64_t FoldToWord(const Bytes<kWidth>& v) {
  if constexpr (kWidth == 8) {
    uint64_t word;
    std::memcpy(&word, &v, 8);
    return word;
  } else {
    Bytes<kWidth / 2> low, high;
    std::memcpy(&low, &v, kWidth / 2);
    std::memcpy(&high, reinterpret_cast<const char*>(&v) + kWidth / 2, kWidth / 2);
    const Bytes<kWidth / 2> either = low | high;
    return FoldToWord<kWidth / 2>(either);
  }
}

// Bytes 0, 2, 4 and 6 of `word` (in memory order, as Load64 reads it on a
// little-endian machine), packed into four: the low bytes of four
// little-endian 16-bit units.
inline uint32_t PackLowBytes(uint64_t word) {
  word = (word & 0x000000FF000000FFULL) | ((word >> 8) & 0x0000FF000000FF00ULL);
  return static_cast<uint32_t>((word & 0xFFFF) | ((word >> 16) & 0xFFFF0000));
}

}  // namespace varnolt
