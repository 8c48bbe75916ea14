#include "extract/link_search.h"

#include <algorithm>
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
  // Links that follow each other directly are found without a vector pass.
  if (from + kMarkerSize <= size && IsMarker(data + from)) return from;
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

// Spelled pipes begin with '%' or '&'; only those bytes are looked at
// closely. Spelled links are short, and a search that runs far (an end that
// never comes) runs once per scan.
size_t FindSpelledEnd(const char* data, size_t from, size_t size, size_t& pipe_size) {
  for (size_t j = from; (j = FindPercentAmpersandOrNul(data, j, size)) < size; ++j) {
    const size_t pipe = SpelledPipeAt(data + j, size - j);
    if (pipe != 0 && j + pipe < size && data[j + pipe] == '/') {
      pipe_size = pipe;
      return j;
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
