// The hot loop of the scan: finding the next "ed2k://", the next "|/", and
// the pipes that pages written for browsers spell out ("%7C", "&#124;", ...).
#pragma once

#include <cstddef>
#include <vector>

namespace varnolt {

constexpr size_t kNotFound = static_cast<size_t>(-1);
constexpr size_t kMarkerSize = 7;  // "ed2k://"

// True when the 7 bytes at `p` are "ed2k://" with its letters in any case.
// (c | 0x20) equals a lower-case letter exactly for that letter and its
// capital, so this folds A-Z and nothing else.
inline bool IsMarker(const char* p) {
  return (p[0] | 0x20) == 'e' && (p[1] | 0x20) == 'd' && p[2] == '2' && (p[3] | 0x20) == 'k' &&
         p[4] == ':' && p[5] == '/' && p[6] == '/';
}

// The first offset i >= from with a whole marker in data[i, i + 7) and
// i + 7 <= size, or kNotFound. Uses the widest vector path the processor has.
size_t FindMarker(const char* data, size_t from, size_t size);

// The first offset j >= from with "|/" in data[j, j + 2) and j + 2 <= size,
// or kNotFound.
size_t FindTerminator(const char* data, size_t from, size_t size);

// The longest spelled pipe, "&verbar;".
constexpr size_t kMaxSpelledPipeSize = 8;

// The length of the spelled pipe that begins at `p`, or 0 when none does
// within the `available` bytes from `p`. A spelled pipe is "%7C", "&#124;",
// "&#x7C;", "&vert;" or "&verbar;"; the C and the x may be capitals, every
// other letter must be as written (HTML's names are case-sensitive).
inline size_t SpelledPipeAt(const char* p, size_t available) {
  if (available < 3) return 0;
  if (p[0] == '%') return p[1] == '7' && (p[2] | 0x20) == 'c' ? 3 : 0;
  if (p[0] != '&' || available < 6) return 0;
  if (p[1] == '#') {
    const bool decimal = p[2] == '1' && p[3] == '2' && p[4] == '4';
    const bool hex = (p[2] | 0x20) == 'x' && p[3] == '7' && (p[4] | 0x20) == 'c';
    return (decimal || hex) && p[5] == ';' ? 6 : 0;
  }
  if (p[1] != 'v' || p[2] != 'e' || p[3] != 'r') return 0;
  if (p[4] == 't' && p[5] == ';') return 6;
  const bool verbar = available >= 8 && p[4] == 'b' && p[5] == 'a' && p[6] == 'r' && p[7] == ';';
  return verbar ? 8 : 0;
}

// The first offset i >= from, i < to, whose byte may begin a spelled pipe
// or "&amp;" ('%' or '&') or is a NUL; `to` when there is none.
size_t FindPercentAmpersandOrNul(const char* data, size_t from, size_t to);

// The end of a spelled link: the first offset j >= from where a spelled pipe
// begins that is followed by "/", with the "/" before `size`. Returns j and
// sets `pipe_size` to the pipe's length, or returns kNotFound.
size_t FindSpelledEnd(const char* data, size_t from, size_t size, size_t& pipe_size);

// Every way FindMarker() can search on this processor, plain first, so that
// tests can hold each to the plain one.
struct MarkerSearch {
  const char* name;
  size_t (*find)(const char* data, size_t from, size_t size);
};
std::vector<MarkerSearch> MarkerSearches();

}  // namespace varnolt
