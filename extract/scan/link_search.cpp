#include "extract/scan/link_search.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#include "extract/boundary/bytes.h"

// Wider screening where the processor has it, chosen at run time.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define VARNOLT_AVX2_PATH 1
#endif

namespace varnolt {
namespace {

// The plain path, and the tail that the screens leave over.
size_t FindMarkerPlain(const char* data, size_t i, size_t size) {
  for (; i + kMarkerSize <= size; ++i) {
    if (IsMarker(data + i)) return i;
  }
  return kNotFound;
}

// The screen looks at many window starts at once, by the marker's two
// caseless bytes, '2' at +2 and ':' at +4, which are rare together in text,
// and checks only the survivors in full. It is written once over the width
// of the processor's vectors (8 bytes: a plain word; 16: SSE2; 32: AVX2),
// in the compiler's vector types, which each width's caller compiles to its
// own instructions. A step of two vectors of `kWidth` starts at i reads up
// to data[i + 2 * kWidth + 3], and every window it reports ends by
// i + 2 * kWidth + 6, so steps run while that fits; the plain path takes the
// rest.
template <size_t kWidth>
[[gnu::always_inline]] inline size_t ScreenForMarker(const char* data, size_t i, size_t size) {
  constexpr size_t kWords = 2 * kWidth / 8;
  for (; i + 2 * kWidth + 6 <= size; i += 2 * kWidth) {
    const char* p = data + i;
    Bytes<kWidth> twos[2], colons[2];
    std::memcpy(&twos[0], p + 2, kWidth);
    std::memcpy(&colons[0], p + 4, kWidth);
    std::memcpy(&twos[1], p + kWidth + 2, kWidth);
    std::memcpy(&colons[1], p + kWidth + 4, kWidth);
    const Bytes<kWidth> candidates[2] = {(twos[0] == '2') & (colons[0] == ':'),
                                         (twos[1] == '2') & (colons[1] == ':')};
    // Mostly there are none: one test of both vectors folded into a word.
    const Bytes<kWidth> either = candidates[0] | candidates[1];
    if (FoldToWord<kWidth>(either) == 0) continue;
    uint64_t words[kWords];
    std::memcpy(words, candidates, sizeof words);
    for (size_t w = 0; w < kWords; ++w) {
      for (uint64_t bits = words[w] & kHighBits; bits != 0; bits &= bits - 1) {
        const size_t k = 8 * w + static_cast<size_t>(std::countr_zero(bits)) / 8;
        if (IsMarker(p + k)) return i + k;
      }
    }
  }
  return FindMarkerPlain(data, i, size);
}

size_t FindMarkerWords(const char* data, size_t i, size_t size) {
  return ScreenForMarker<8>(data, i, size);
}

#if defined(__SSE2__)
size_t FindMarkerSse2(const char* data, size_t i, size_t size) {
  return ScreenForMarker<16>(data, i, size);
}
#endif

#if defined(VARNOLT_AVX2_PATH)
__attribute__((target("avx2"))) size_t FindMarkerAvx2(const char* data, size_t i, size_t size) {
  return ScreenForMarker<32>(data, i, size);
}

bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}
#endif

}  // namespace

size_t FindMarker(const char* data, size_t from, size_t size) {
  // A marker close by, as where links follow each other, is found before a
  // screen would have paid off.
  for (const size_t near = std::min(from + 16, size); from + kMarkerSize <= near; ++from) {
    if ((data[from] | 0x20) == 'e' && IsMarker(data + from)) return from;
  }
#if defined(VARNOLT_AVX2_PATH)
  if (HasAvx2()) return FindMarkerAvx2(data, from, size);
#endif
#if defined(__SSE2__)
  return FindMarkerSse2(data, from, size);
#else
  return FindMarkerWords(data, from, size);
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
// its bytes is zero once XORed with each.
size_t FindPercentAmpersandOrNul(const char* data, size_t from, size_t to) {
  size_t i = from;
  for (; i + 8 <= to; i += 8) {
    const uint64_t word = Load64(data + i);
    if (HasZeroByte(word) || HasZeroByte(word ^ EachByte('%')) ||
        HasZeroByte(word ^ EachByte('&'))) {
      break;
    }
  }
  for (; i < to; ++i) {
    if (data[i] == '%' || data[i] == '&' || data[i] == '\0') return i;
  }
  return to;
}

namespace {

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

// The pairs (k, k + 1) where a pipe's last byte stands before a '/', looked
// for `kWidth` at a time (written once over the width, as the marker's
// screen is) while both bytes of each are in view; each is checked
// backwards for a whole pipe. Returns where the first pipe so ended begins
// and sets `pipe_size`, or kNotFound with `k` where the plain loop goes on.
template <size_t kWidth>
[[gnu::always_inline]] inline size_t ScreenForSpelledEnd(const char* data, size_t from, size_t size,
                                                         size_t& k, size_t& pipe_size) {
  for (; k + kWidth + 1 <= size; k += kWidth) {
    Bytes<kWidth> last, next;
    std::memcpy(&last, data + k, kWidth);
    std::memcpy(&next, data + k + 1, kWidth);
    const Bytes<kWidth> pairs = (((last | 0x20) == 'c') | (last == ';')) & (next == '/');
    if (FoldToWord<kWidth>(pairs) == 0) continue;
    uint64_t words[kWidth / 8];
    std::memcpy(words, &pairs, sizeof words);
    for (size_t w = 0; w < kWidth / 8; ++w) {
      for (uint64_t bits = words[w] & kHighBits; bits != 0; bits &= bits - 1) {
        const size_t end = k + 8 * w + static_cast<size_t>(std::countr_zero(bits)) / 8;
        if (const size_t pipe = PipeEndingAt(data, from, size, end)) {
          pipe_size = pipe;
          return end + 1 - pipe;
        }
      }
    }
  }
  return kNotFound;
}

}  // namespace

// A spelled link ends where a pipe's last byte ('C', 'c' or ';') stands
// before a '/': such pairs are rare in any text, even in one dense with
// "%7C", and only they are checked backwards for a whole pipe. Pipes do not
// overlap, so the first pair that ends a pipe ends the first pipe followed
// by '/'. Sixteen pairs at a time where the processor can, then eight, then
// one by one.
size_t FindSpelledEnd(const char* data, size_t from, size_t size, size_t& pipe_size) {
  size_t k = from + 2;  // where the shortest pipe's last byte could be
#if defined(__SSE2__)
  if (const size_t found = ScreenForSpelledEnd<16>(data, from, size, k, pipe_size);
      found != kNotFound) {
    return found;
  }
#endif
  if (const size_t found = ScreenForSpelledEnd<8>(data, from, size, k, pipe_size);
      found != kNotFound) {
    return found;
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
  std::vector<MarkerSearch> searches = {{"plain", FindMarkerPlain}, {"words", FindMarkerWords}};
#if defined(__SSE2__)
  searches.push_back({"sse2", FindMarkerSse2});
#endif
#if defined(VARNOLT_AVX2_PATH)
  if (HasAvx2()) searches.push_back({"avx2", FindMarkerAvx2});
#endif
  return searches;
}

}  // namespace varnolt
