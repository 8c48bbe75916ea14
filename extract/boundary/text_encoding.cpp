#include "extract/boundary/text_encoding.h"

#include "extract/boundary/bytes.h"

namespace varnolt {
namespace {

// Windows-1252 at 0x80..0x9F; the other non-ASCII bytes equal their code
// point.
constexpr char16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

}  // namespace

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

size_t Utf8SequenceLength(std::string_view bytes, size_t at) {
  if (at >= bytes.size()) return 0;
  const uint8_t lead = static_cast<uint8_t>(bytes[at]);
  if (lead < 0x80) return 1;
  // The length of the sequence and the range its second byte must fall in;
  // the narrowed ranges after E0, ED, F0 and F4 exclude overlong forms,
  // surrogates and code points above U+10FFFF.
  size_t length;
  uint8_t low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (bytes.size() - at < length) return 0;
  const uint8_t second = static_cast<uint8_t>(bytes[at + 1]);
  if (second < low || second > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    const uint8_t next = static_cast<uint8_t>(bytes[at + k]);
    if (next < 0x80 || next > 0xBF) return 0;
  }
  return length;
}

bool IsValidUtf8(std::string_view bytes) {
  size_t i = 0;
  const size_t n = bytes.size();
  while (i < n) {
    // Links are mostly ASCII: eight bytes at a time while no high bit is set.
    if (n - i >= 8 && AllAscii(Load64(bytes.data() + i))) {
      i += 8;
      continue;
    }
    const size_t length = Utf8SequenceLength(bytes, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

char16_t Windows1252Character(uint8_t byte) {
  return byte >= 0x80 && byte <= 0x9F ? kHighControls[byte - 0x80] : char16_t{byte};
}

std::string DisplayText(std::string_view bytes) {
  if (IsValidUtf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() * 2);
  for (size_t i = 0; i < bytes.size();) {
    const size_t length = Utf8SequenceLength(bytes, i);
    if (length > 0) {
      out.append(bytes, i, length);
      i += length;
    } else {
      AppendUtf8(out, Windows1252Character(static_cast<uint8_t>(bytes[i++])));
    }
  }
  return out;
}

namespace {

// True for the UTF-8 of the bidirectional embeddings, overrides and
// isolates, U+202A-U+202E (E2 80 AA-AE) and U+2066-U+2069 (E2 81 A6-A9):
// the characters that reorder the text around them on a terminal.
bool IsBidiControl(std::string_view utf8) {
  const auto last = static_cast<uint8_t>(utf8[2]);
  if (utf8[0] != '\xE2') return false;
  if (utf8[1] == '\x80') return last >= 0xAA && last <= 0xAE;
  if (utf8[1] == '\x81') return last >= 0xA6 && last <= 0xA9;
  return false;
}

// TerminalText(), or with `decode_stray` false EscapeTerminalControls().
std::string EscapeForTerminal(std::string_view bytes, bool decode_stray) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() + 8);
  auto escape_byte = [&out](uint8_t byte) {
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
  };
  for (size_t i = 0; i < bytes.size();) {
    const uint8_t byte = static_cast<uint8_t>(bytes[i]);
    const size_t length = Utf8SequenceLength(bytes, i);
    if (byte < 0x20 || byte == 0x7F) {
      if (byte == '\t') {
        out += "\\t";
      } else if (byte == '\n') {
        out += "\\n";
      } else if (byte == '\r') {
        out += "\\r";
      } else {
        escape_byte(byte);
      }
      ++i;
    } else if (length == 2 && byte == 0xC2 && static_cast<uint8_t>(bytes[i + 1]) <= 0x9F) {
      // U+0080-U+009F, encoded as C2 80 to C2 9F.
      out += "\\u00";
      out += kHex[static_cast<uint8_t>(bytes[i + 1]) >> 4];
      out += kHex[static_cast<uint8_t>(bytes[i + 1]) & 0xF];
      i += 2;
    } else if (length == 3 && IsBidiControl(bytes.substr(i, 3))) {
      // A right-to-left override shows the rest of the line reversed: a name
      // could pose as another.
      out += "\\u";
      out += bytes[i + 1] == '\x80' ? "202" : "206";
      out += kHex[static_cast<uint8_t>(bytes[i + 2]) & 0xF];
      i += 3;
    } else if (length > 0) {
      out.append(bytes, i, length);
      i += length;
    } else if (!decode_stray) {
      out += static_cast<char>(byte);
      ++i;
    } else if (const char16_t c = Windows1252Character(byte); c >= 0x80 && c <= 0x9F) {
      escape_byte(byte);  // one of the five bytes the code page leaves undefined
      ++i;
    } else {
      AppendUtf8(out, c);
      ++i;
    }
  }
  return out;
}

}  // namespace

std::string TerminalText(std::string_view bytes) { return EscapeForTerminal(bytes, true); }

std::string EscapeTerminalControls(std::string_view bytes) {
  return EscapeForTerminal(bytes, false);
}

}  // namespace varnolt
