// UTF-16 in its plainest form, for the tests of the UTF-16 text and the fuzz
// target: code units to UTF-8 as the text's twin saved in UTF-8 would hold
// it (one character at a time, through the display rule's encoder), and code
// units to the bytes of a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "extract/boundary/text_encoding.h"

namespace varnolt {

// A surrogate pair is one character; any other surrogate is U+FFFD.
inline std::string ReferenceUtf8(const std::vector<uint16_t>& units) {
  std::string out;
  for (size_t i = 0; i < units.size(); ++i) {
    uint32_t c = units[i];
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    AppendUtf8(out, c);
  }
  return out;
}

// The units of a file's bytes behind its two-byte mark; a last odd byte is
// dropped.
inline std::vector<uint16_t> UnitsOf(const std::string& file, bool big_endian) {
  std::vector<uint16_t> units;
  for (size_t i = 2; i + 1 < file.size(); i += 2) {
    const auto a = static_cast<uint8_t>(file[i]);
    const auto b = static_cast<uint8_t>(file[i + 1]);
    units.push_back(static_cast<uint16_t>(big_endian ? (a << 8) | b : a | (b << 8)));
  }
  return units;
}

// A file holding `units` behind the byte-order mark, as Windows programs
// write UTF-16 text.
inline std::string Utf16File(const std::vector<uint16_t>& units, bool big_endian) {
  std::string file = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (const uint16_t unit : units) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    file += big_endian ? high : low;
    file += big_endian ? low : high;
  }
  return file;
}

// The units of well-formed UTF-8 `text`.
inline std::vector<uint16_t> Utf16Units(const std::string& text) {
  std::vector<uint16_t> units;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<uint8_t>(text[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    uint32_t c = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (size_t k = 1; k < length; ++k) c = (c << 6) | (static_cast<uint8_t>(text[i + k]) & 0x3F);
    i += length;
    if (c >= 0x10000) {
      units.push_back(static_cast<uint16_t>(0xD800 + ((c - 0x10000) >> 10)));
      units.push_back(static_cast<uint16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      units.push_back(static_cast<uint16_t>(c));
    }
  }
  return units;
}

}  // namespace varnolt
