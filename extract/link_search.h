// The hot loop of the scan: finding the next "ed2k://" and the next "|/".
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

// Every way FindMarker() can search on this processor, plain first, so that
// tests can hold each to the plain one.
struct MarkerSearch {
  const char* name;
  size_t (*find)(const char* data, size_t from, size_t size);
};
std::vector<MarkerSearch> MarkerSearches();

}  // namespace varnolt
