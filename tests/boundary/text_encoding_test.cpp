#include "extract/boundary/text_encoding.h"

#include <gtest/gtest.h>

namespace varnolt {
namespace {

// Bad bytes at every distance from the start, so that the eight-at-a-time
// path and the byte path both meet them.
TEST(IsValidUtf8, JudgesEveryPosition) {
  for (size_t at = 0; at < 20; ++at) {
    const std::string ascii(at, 'a');
    EXPECT_TRUE(IsValidUtf8(ascii + "\xC3\xA4" + ascii)) << at;
    EXPECT_TRUE(IsValidUtf8(ascii + "\xF0\x9F\x98\x80")) << at;
    // The least and greatest characters next to each forbidden range.
    EXPECT_TRUE(IsValidUtf8(ascii + "\xE0\xA0\x80\xED\x9F\xBF\xF0\x90\x80\x80")) << at;
    EXPECT_TRUE(IsValidUtf8(ascii + "\xF4\x8F\xBF\xBF")) << at;
    EXPECT_FALSE(IsValidUtf8(ascii + "\xE4" + ascii)) << at;      // Windows-1252 "ä"
    EXPECT_FALSE(IsValidUtf8(ascii + "\xC0\xAF")) << at;          // overlong "/"
    EXPECT_FALSE(IsValidUtf8(ascii + "\xC1\xBF")) << at;          // overlong DEL
    EXPECT_FALSE(IsValidUtf8(ascii + "\xE0\x80\xAF")) << at;      // overlong "/", 3 bytes
    EXPECT_FALSE(IsValidUtf8(ascii + "\xF0\x8F\xBF\xBF")) << at;  // overlong U+FFFF
    EXPECT_FALSE(IsValidUtf8(ascii + "\xED\xA0\x80")) << at;      // a surrogate
    EXPECT_FALSE(IsValidUtf8(ascii + "\xF4\x90\x80\x80")) << at;  // above U+10FFFF
    EXPECT_FALSE(IsValidUtf8(ascii + "\xF5\x80\x80\x80")) << at;  // above U+10FFFF
    EXPECT_FALSE(IsValidUtf8(ascii + "\xE2\x82\xC0")) << at;      // a lead byte for a third
    EXPECT_FALSE(IsValidUtf8(ascii + "\xE2\x82")) << at;          // cut short
  }
}

TEST(DisplayText, DecodesUtf8PiecesAsUtf8AndOtherBytesAsWindows1252) {
  const struct {
    std::string bytes, shown;
  } cases[] = {
      {"Dateigr\xC3\xB6sse", "Dateigr\xC3\xB6sse"},                            // UTF-8
      {"Dateigr\xF6sse \x80\x81", "Dateigr\xC3\xB6sse \xE2\x82\xAC\xC2\x81"},  // Windows-1252
      // Both in one line: the program's "Öffne" beside a Windows-1252 name.
      {"\xC3\x96"
       "ffne Datei: m\xE4rz.htm...",
       "\xC3\x96"
       "ffne Datei: m\xC3\xA4rz.htm..."},
      {"\xE2\x82\xAC\xE2\x82", "\xE2\x82\xAC\xC3\xA2\xE2\x80\x9A"},      // a sequence cut short
      {"\xF0\x9F\x98\x80\xC0\xAF", "\xF0\x9F\x98\x80\xC3\x80\xC2\xAF"},  // overlong after valid
  };
  for (const auto& c : cases) EXPECT_EQ(DisplayText(c.bytes), c.shown) << c.bytes;
}

// Control characters in a name must not reach a terminal as such.
TEST(TerminalText, EscapesControlCharactersAndNothingElse) {
  const struct {
    std::string bytes, shown;
  } cases[] = {
      {"a\x1b[2Jb", "a\\x1b[2Jb"},
      {"line\nbreak\r\t", "line\\nbreak\\r\\t"},
      {std::string("nul\0del\x7f", 8), "nul\\x00del\\x7f"},
      {"unit\x1f sep", "unit\\x1f sep"},  // the last control byte, and the first that is not
      {"C:\\dir\\m\xE4rz.htm", "C:\\dir\\m\xC3\xA4rz.htm"},  // backslashes stay
      {"\xC2\x9B"
       "31m",
       "\\u009b31m"},                     // a C1 control in UTF-8
      {"\x9D\x80", "\\x9d\xE2\x82\xAC"},  // undefined in Windows-1252, and the euro sign
      // Bidirectional overrides and isolates would show a name reversed; their
      // neighbours (the paragraph separator, U+206A) are text.
      {"a\xE2\x80\xAEgpj.exe \xE2\x80\xAA\xE2\x81\xA6\xE2\x81\xA9",
       "a\\u202egpj.exe \\u202a\\u2066\\u2069"},
      {"\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA",
       "\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA"},
      {"\xC3\x96"
       "ffne \xC2\xA0 ~",
       "\xC3\x96"
       "ffne \xC2\xA0 ~"},
  };
  for (const auto& c : cases) EXPECT_EQ(TerminalText(c.bytes), c.shown) << c.bytes;
}

}  // namespace
}  // namespace varnolt
