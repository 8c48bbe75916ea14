// The link walk in its plainest form, the yardstick for the scanner in the
// tests and the fuzz target.
#pragma once

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "extract/scan/link_tokenizer.h"

namespace varnolt {

// Every window start in turn, a forward search for the end, repeats by link
// text. Quadratic, and obviously right.
struct Walk {
  std::vector<std::string> shown;
  std::vector<std::string> log;
  int64_t found = 0;
};

inline std::string CutAtNul(const std::string& s) { return s.substr(0, s.find('\0')); }

// The length of the spelled pipe at `i`, 0 when none begins there.
inline size_t ReferencePipeAt(const std::string& buf, size_t i) {
  static const char* const kPipes[] = {"%7C",    "%7c",    "&#124;", "&#x7C;",  "&#x7c;",
                                       "&#X7C;", "&#X7c;", "&vert;", "&verbar;"};
  for (const char* pipe : kPipes) {
    if (buf.compare(i, std::strlen(pipe), pipe) == 0) return std::strlen(pipe);
  }
  return 0;
}

// A spelled link's text: each pipe as "|", and "&amp;" as "&" for `html`.
inline std::string ReferenceDecode(const std::string& raw, bool html) {
  std::string text;
  for (size_t i = 0; i < raw.size();) {
    if (const size_t pipe = ReferencePipeAt(raw, i)) {
      text += '|';
      i += pipe;
    } else if (html && raw.compare(i, 5, "&amp;") == 0) {
      text += '&';
      i += 5;
    } else {
      text += raw[i++];
    }
  }
  return text;
}

inline Walk ReferenceWalk(const std::string& buf) {
  Walk walk;
  std::set<std::string> seen;
  const size_t size = buf.size();
  for (size_t i = 0; i + 7 <= size;) {
    std::string window = CutAtNul(buf.substr(i, 7));
    for (char& c : window) c = (c >= 'A' && c <= 'Z') ? c + 32 : c;
    if (window != "ed2k://") {
      ++i;
      continue;
    }
    std::string text;
    size_t end = std::string::npos;
    if (ReferencePipeAt(buf, i + 7) != 0) {
      for (size_t j = i + 7; j < size && end == std::string::npos; ++j) {
        const size_t pipe = ReferencePipeAt(buf, j);
        if (pipe != 0 && j + pipe < size && buf[j + pipe] == '/') end = j + pipe + 1;
      }
      if (end != std::string::npos) {
        text = ReferenceDecode(CutAtNul(buf.substr(i, end - i)), buf[i + 7] == '&');
      }
    } else {
      for (size_t j = i; j + 2 <= size && end == std::string::npos; ++j) {
        if (CutAtNul(buf.substr(j, 2)) == "|/") end = j + 2;
      }
      if (end != std::string::npos) text = CutAtNul(buf.substr(i, end - i));
    }
    if (end == std::string::npos) {
      ++i;  // no end: the walk goes on behind the "ed2k://"
      continue;
    }
    text = text.substr(0, kMaxLinkText);
    walk.log.push_back("Link gefunden");
    ++walk.found;
    if (seen.insert(text).second) {
      walk.shown.push_back(text);
    } else {
      walk.log.push_back("doppelter Link gefunden");
    }
    i = end;
  }
  return walk;
}

}  // namespace varnolt
