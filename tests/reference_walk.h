// The link walk in its plainest form, the yardstick for the streaming
// scanner in the tests and the fuzz target.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace varnolt {

// Every window start in turn, a forward search for the terminator, repeats
// by link text. Quadratic, and obviously right.
struct Walk {
  std::vector<std::string> shown;
  std::vector<std::string> log;
  int64_t found = 0;
};

inline std::string CutAtNul(const std::string& s) { return s.substr(0, s.find('\0')); }

inline Walk ReferenceWalk(const std::string& buf) {
  Walk walk;
  std::set<std::string> seen;
  const int64_t size = static_cast<int64_t>(buf.size());
  for (int64_t i = 0; i + 7 <= size;) {
    std::string window = CutAtNul(buf.substr(i, 7));
    for (char& c : window) c = (c >= 'A' && c <= 'Z') ? c + 32 : c;
    if (window != "ed2k://") {
      ++i;
      continue;
    }
    int64_t j = i;
    while (j <= size - 2 && CutAtNul(buf.substr(j, 2)) != "|/") ++j;
    if (j > size - 2) {
      ++i;
      continue;
    }
    const std::string text = CutAtNul(buf.substr(i, j - i + 2));
    walk.log.push_back("Link gefunden");
    ++walk.found;
    if (seen.insert(text).second) {
      walk.shown.push_back(text);
    } else {
      walk.log.push_back("doppelter Link gefunden");
    }
    i = j + 1;
  }
  return walk;
}

}  // namespace varnolt
