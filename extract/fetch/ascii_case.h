// Letter case in the protocol texts of a download (schemes, header names,
// codings), where only ASCII letters fold. Allocates nothing, so that it may
// run inside libcurl's callbacks.
#pragma once

#include <cstddef>
#include <string_view>

namespace varnolt {

inline char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

// `text` equals `lower` (written in lower case) but for the case of its letters.
inline bool EqualsFolded(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (AsciiLower(text[i]) != lower[i]) return false;
  }
  return true;
}

// `text` begins with `lower` (written in lower case) but for letter case.
inline bool StartsWithFolded(std::string_view text, std::string_view lower) {
  return text.size() >= lower.size() && EqualsFolded(text.substr(0, lower.size()), lower);
}

}  // namespace varnolt
