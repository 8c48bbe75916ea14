#include "extract/link_search.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "extract/bytes.h"

// Wider screening where the processor has it, chosen at run time.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define VARNOLT_AVX2_PATH 1
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace varnolt {
namespace {

// The plain path, and the tail that the vector paths leave over.
size_t FindMarkerPlain(const char* data, size_t i, size_t size) {
  for (; i + kMarkerSize <= size; ++i) {
    if (IsMarker(data + i)) return i;
  }
  return kNotFound;
}

// The vector paths screen many window starts at once by the marker's two
// caseless bytes, '2' at +2 and ':' at +4, which are rare together in text,
// and check only the survivors in full. A block of `width` starts at i reads
// up to data[i + width + 3], and every window it reports ends by
// i + width + 6, so blocks run while i + width + 6 <= size; the plain path
// takes the rest.

#if defined(__SSE2__)
size_t FindMarkerSse2(const char* data, size_t i, size_t size) {
  const __m128i two = _mm_set1_epi8('2');
  const __m128i colon = _mm_set1_epi8(':');
  for (; i + 32 + 6 <= size; i += 32) {
    const char* p = data + i;
    const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2));
    const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4));
    const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 18));
    const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 20));
    const uint32_t low = static_cast<uint32_t>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a0, two), _mm_cmpeq_epi8(b0, colon))));
    const uint32_t high = static_cast<uint32_t>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a1, two), _mm_cmpeq_epi8(b1, colon))));
    for (uint32_t mask = low | (high << 16); mask != 0; mask &= mask - 1) {
      const size_t k = static_cast<size_t>(__builtin_ctz(mask));
      if (IsMarker(p + k)) return i + k;
    }
  }
  return FindMarkerPlain(data, i, size);
}
#endif

#if defined(VARNOLT_AVX2_PATH)
__attribute__((target("avx2"))) size_t FindMarkerAvx2(const char* data, size_t i, size_t size) {
  const __m256i two = _mm256_set1_epi8('2');
  const __m256i colon = _mm256_set1_epi8(':');
  for (; i + 64 + 6 <= size; i += 64) {
    const char* p = data + i;
    const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 2));
    const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 4));
    const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 34));
    const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 36));
    const uint64_t low = static_cast<uint32_t>(_mm256_movemask_epi8(
        _mm256_and_si256(_mm256_cmpeq_epi8(a0, two), _mm256_cmpeq_epi8(b0, colon))));
    const uint64_t high = static_cast<uint32_t>(_mm256_movemask_epi8(
        _mm256_and_si256(_mm256_cmpeq_epi8(a1, two), _mm256_cmpeq_epi8(b1, colon))));
    for (uint64_t mask = low | (high << 32); mask != 0; mask &= mask - 1) {
      const size_t k = static_cast<size_t>(__builtin_ctzll(mask));
      if (IsMarker(p + k)) return i + k;
    }
  }
  return FindMarkerPlain(data, i, size);
}

bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#endif

}  // namespace

size_t FindMarker(const char* data, size_t from, size_t size) {
  // A marker close by, as where links follow each other, is found before a
  // vector pass would have paid off.
  for (const size_t near = std::min(from + 16, size); from + kMarkerSize <= near; ++from) {
    if ((data[from] | 0x20) == 'e' && IsMarker(data + from)) return from;
  }
#if defined(VARNOLT_AVX2_PATH)
  if (HasAvx2()) return FindMarkerAvx2(data, from, size);
#endif
#if defined(__SSE2__)
  return FindMarkerSse2(data, from, size);
#else
  return FindMarkerPlain(data, from, size);
#endif
}

// Bars are common inside links ("|file|name|size|hash|/"), so this hops from
// bar to bar.
size_t FindTerminator(const char* data, size_t from, size_t size) {
  // A terminator close by, as in the shortest links, is found before the
  // call to memchr would have paid off.
  for (const size_t near = std::min(from + 16, size); from + 1 < near; ++from) {
    if (data[from] == '|' && data[from + 1] == '/') return from;
  }
  while (from + 1 < size) {
    const void* bar = std::memchr(data + from, '|', size - 1 - from);
    if (bar == nullptr) return kNotFound;
    const size_t j = static_cast<size_t>(static_cast<const char*>(bar) - data);
    if (data[j + 1] == '/') return j;
    from = j + 1;
  }
  return kNotFound;
}

// Eight bytes at a time: a word holds none of the three bytes when none of
// its bytes is zero once XORed with each. HasZeroByte() is exact about
// whether a zero byte exists, which is all that is asked here.
size_t FindPercentAmpersandOrNul(const char* data, size_t from, size_t to) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHighBits = 0x8080808080808080ULL;
  const auto has_zero_byte = [](uint64_t v) { return (v - kOnes) & ~v & kHighBits; };
  size_t i = from;
  for (; i + 8 <= to; i += 8) {
    const uint64_t word = Load64(data + i);
    if (has_zero_byte(word) | has_zero_byte(word ^ (kOnes * '%')) |
        has_zero_byte(word ^ (kOnes * '&'))) {
      break;
    }
  }
  for (; i < to; ++i) {
    if (data[i] == '%' || data[i] == '&' || data[i] == '\0') return i;
  }
  return to;
}

namespace {

// 0x80 in each byte of `v` that is zero, 0 in every other byte.
uint64_t ZeroBytes(uint64_t v) {
  constexpr uint64_t k7F = 0x7F7F7F7F7F7F7F7FULL;
  return ~(((v & k7F) + k7F) | v | k7F);
}

// The length of the spelled pipe whose last byte is data[k] and which begins
// at `from` or later, or 0. At most one can end there: pipes do not overlap.
size_t PipeEndingAt(const char* data, size_t from, size_t size, size_t k) {
  for (const size_t length : {size_t{3}, size_t{6}, size_t{8}}) {
    if (k + 1 < from + length) break;
    const size_t start = k + 1 - length;
    if (SpelledPipeAt(data + start, size - start) == length) return length;
  }
  return 0;
}

bool MayEndPipe(char c) { return (c | 0x20) == 'c' || c == ';'; }

}  // namespace

// A spelled link ends where a pipe's last byte ('C', 'c' or ';') stands
// before a '/': such pairs are looked for many at a time (rare in any text,
// even in one dense with "%7C"), and only they are checked backwards for a
// whole pipe. Pipes do not overlap, so the first pair that ends a pipe ends
// the first pipe followed by '/'. The words are read little-endian, the
// order of every processor this builds for.
size_t FindSpelledEnd(const char* data, size_t from, size_t size, size_t& pipe_size) {
  static_assert(std::endian::native == std::endian::little);
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  size_t k = from + 2;  // where the shortest pipe's last byte could be
  // Sixteen pairs (k + b, k + b + 1) at a time where the processor can, then
  // eight, while their bytes are in view.
#if defined(__SSE2__)
  const __m128i slash = _mm_set1_epi8('/');
  const __m128i lower_c = _mm_set1_epi8('c');
  const __m128i case_bit = _mm_set1_epi8(0x20);
  const __m128i semicolon = _mm_set1_epi8(';');
  for (; k + 17 <= size; k += 16) {
    const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + k));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + k + 1));
    const __m128i ends_pipe = _mm_or_si128(_mm_cmpeq_epi8(_mm_or_si128(last, case_bit), lower_c),
                                           _mm_cmpeq_epi8(last, semicolon));
    auto pairs = static_cast<uint32_t>(
        _mm_movemask_epi8(_mm_and_si128(ends_pipe, _mm_cmpeq_epi8(next, slash))));
    for (; pairs != 0; pairs &= pairs - 1) {
      const size_t end = k + static_cast<size_t>(std::countr_zero(pairs));
      if (const size_t pipe = PipeEndingAt(data, from, size, end)) {
        pipe_size = pipe;
        return end + 1 - pipe;
      }
    }
  }
#endif
  for (; k + 9 <= size; k += 8) {
    const uint64_t last = Load64(data + k);
    const uint64_t next = Load64(data + k + 1);
    uint64_t pairs =
        ZeroBytes(next ^ (kOnes * '/')) &
        (ZeroBytes((last | (kOnes * 0x20)) ^ (kOnes * 'c')) | ZeroBytes(last ^ (kOnes * ';')));
    for (; pairs != 0; pairs &= pairs - 1) {
      const size_t end = k + static_cast<size_t>(std::countr_zero(pairs)) / 8;
      if (const size_t pipe = PipeEndingAt(data, from, size, end)) {
        pipe_size = pipe;
        return end + 1 - pipe;
      }
    }
  }
  for (; k + 1 < size; ++k) {
    if (data[k + 1] != '/' || !MayEndPipe(data[k])) continue;
    if (const size_t pipe = PipeEndingAt(data, from, size, k)) {
      pipe_size = pipe;
      return k + 1 - pipe;
    }
  }
  return kNotFound;
}

std::vector<MarkerSearch> MarkerSearches() {
  std::vector<MarkerSearch> searches = {{"plain", FindMarkerPlain}};
#if defined(__SSE2__)
  searches.push_back({"sse2", FindMarkerSse2});
#endif
#if defined(VARNOLT_AVX2_PATH)
  if (HasAvx2()) searches.push_back({"avx2", FindMarkerAvx2});
#endif
  return searches;
}

}  // namespace varnolt
