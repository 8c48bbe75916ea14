// The conversions at the Windows edge, with the code page given, so that
// Western and Chinese systems are both tried on any system.
#include "extract/boundary/wide_text.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "extract/boundary/text_encoding.h"

namespace varnolt {
namespace {

constexpr UINT kWestern = 1252;
constexpr UINT kChinese = 936;  // GBK

// Well-formed UTF-8 to UTF-16 by the system, the reference for ToWide.
std::wstring SystemUtf16(const std::string& utf8) {
  std::wstring wide(utf8.size(), L'\0');
  wide.resize(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                  static_cast<int>(utf8.size()), wide.data(),
                                  static_cast<int>(wide.size())));
  return wide;
}

bool HasSurrogateForm(const std::string& bytes) {
  for (size_t i = 0; i + 1 < bytes.size(); ++i) {
    if (bytes[i] == '\xED' && static_cast<uint8_t>(bytes[i + 1]) >= 0xA0) return true;
  }
  return false;
}

// --- Bytes to the screen and to the system's names

// On a Western system the window must show a line as the Qt window does:
// held against that rule (DisplayText) for every one- and two-byte text and
// for random longer ones.
TEST(ToWide, WesternSystemShowsLinesAsTheDisplayRuleDoes) {
  std::vector<std::string> texts;
  for (int first = 0; first < 256; ++first) {
    for (int second = 0; second < 256; ++second) {
      texts.push_back({static_cast<char>(first), static_cast<char>(second)});
    }
  }
  std::mt19937 random(21);
  const char pieces[][5] = {"a",    "\xC3\xA4", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xE4",
                            "\x80", "\x81",     "\xC3",         "\xE2\x82",         "\xF0\x9F",
                            "\xBF", "\xFF",     "\xED\xA0"};
  for (int k = 0; k < 2000; ++k) {
    std::string text;
    for (int n = random() % 12; n > 0; --n) text += pieces[random() % std::size(pieces)];
    texts.push_back(text);
  }
  for (const std::string& bytes : texts) {
    if (HasSurrogateForm(bytes)) continue;  // the one deliberate difference, below
    ASSERT_EQ(ToWide(bytes, kWestern), SystemUtf16(DisplayText(bytes)))
        << testing::PrintToString(bytes);
  }
}

TEST(ToWide, StrayBytesAreReadInTheSystemsCodePage) {
  const struct {
    UINT code_page;
    std::string bytes;
    std::wstring shown;
  } cases[] = {
      // Invalid UTF-8 in a line: the program's UTF-8 beside a name in the
      // system's code page, each read as what it is.
      {kWestern,
       "\xC3\x96"
       "ffne Datei: m\xE4rz.htm...",
       L"Öffne Datei: märz.htm..."},
      {1251,
       "\xC3\x96"
       "ffne \xCF\xF0\xE8\xE2\xE5\xF2.htm",
       L"Öffne Привет.htm"},
      // GBK: "电影" (B5 E7 D3 B0), whose D3 B0 alone is UTF-8 "Ӱ", must not
      // be read piece by piece.
      {kChinese,
       "\xC3\x96"
       "ffne Datei: \xB5\xE7\xD3\xB0.mkv...",
       L"Öffne Datei: 电影.mkv..."},
      {kChinese, "\xE4\xB8\xAD\xE6\x96\x87 \xD6\xD0\xCE\xC4", L"中文 中文"},  // UTF-8, then GBK
      // A second byte in the ASCII range belongs to its character: "丂" is 81 40.
      {kChinese, "x\x81\x40y \xB5\xE7\x81\x40", L"x丂y 电丂"},
      // A run that is UTF-8 as a whole is UTF-8, also where GBK could read it.
      {kChinese, "\xD3\xB0", L"Ӱ"},
      // Bytes that make no character in the code page still show, one each.
      {kChinese, "a\xB5", L"aµ"},
      {kChinese, "\xB5\xE7\xFF!", L"电ÿ!"},
      {kChinese, "\x80", L"€"},
      // A NUL stays; where the text ends is the caller's choice.
      {kChinese, std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ToWide(c.bytes, c.code_page), c.shown) << c.code_page << " " << c.bytes;
  }
}

// A name with an unpaired surrogate reaches the program in its three-byte
// form and must reach the system again as that surrogate, or the file it
// names cannot be opened.
TEST(ToWide, SurrogateFormBecomesTheSurrogateAgain) {
  for (UINT code_page : {kWestern, kChinese}) {
    EXPECT_EQ(ToWide("a\xED\xA0\x80z", code_page), std::wstring(L"a\xD800z")) << code_page;
    EXPECT_EQ(ToWide("\xED\xBF\xBF.htm", code_page), std::wstring(L"\xDFFF.htm")) << code_page;
  }
}

TEST(StrayByteCodePage, UnicodeSystemKeepsStrayBytesVisibleAsWindows1252) {
  EXPECT_EQ(StrayByteCodePage(CP_UTF8), kWestern);
  EXPECT_EQ(StrayByteCodePage(kChinese), kChinese);
  EXPECT_EQ(StrayByteCodePage(1251), 1251u);
}

// --- The system's UTF-16 to the program's bytes

TEST(FromWide, GivesUtf8AndKeepsUnpairedSurrogates) {
  const struct {
    std::wstring text;
    std::string bytes;
  } cases[] = {
      {L"Café 中文 \xD83D\xDE00", "Caf\xC3\xA9 \xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80"},
      {L"a\xD800z", "a\xED\xA0\x80z"},                // a lead surrogate alone
      {L"\xDC00\xD800", "\xED\xB0\x80\xED\xA0\x80"},  // trail before lead: no pair
      {L"x\xDBFF", "x\xED\xAF\xBF"},                  // a lead surrogate at the end
      {std::wstring(L"\0\x7F\x80\x7FF\x800\xFFFF", 6),
       std::string("\0\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF", 12)},
  };
  for (const auto& c : cases) EXPECT_EQ(FromWide(c.text), c.bytes) << c.bytes;
}

// What the system hands over must come back to it unchanged, whatever the
// system's code page: a name typed, chosen or dropped opens.
TEST(WideText, EveryTextOfTheSystemComesBackUnchanged) {
  std::mt19937 random(7);
  const wchar_t units[] = {L'a',   L'\\',  L'\0',  0x7F,   0xE9,   0x4E2D, 0xFFFF, 0xD800,
                           0xDBFF, 0xDC00, 0xDFFF, 0xD83D, 0xDE00, 0x80,   0x81,   0xB5};
  for (int k = 0; k < 3000; ++k) {
    std::wstring text;
    for (int n = random() % 10; n > 0; --n) text += units[random() % std::size(units)];
    for (UINT code_page : {kWestern, kChinese, 1251u}) {
      ASSERT_EQ(ToWide(FromWide(text), code_page), text) << code_page << " " << k;
    }
    ASSERT_EQ(ToWide(FromWide(text)), text) << k;
  }
}

// The input field holds characters, the program's texts count bytes: at the
// limit, a character that does not fit whole is left out, not cut.
TEST(FromWide, LimitEndsBeforeACharacterThatDoesNotFit) {
  constexpr size_t kLimit = 31999;
  const std::wstring ascii(kLimit - 2, L'a');
  EXPECT_EQ(FromWide(ascii + L"中", kLimit), std::string(kLimit - 2, 'a'));
  EXPECT_EQ(FromWide(ascii.substr(1) + L"中", kLimit).size(), kLimit);
  EXPECT_EQ(FromWide(ascii.substr(1) + L"\xD83D\xDE00", kLimit).size(), kLimit - 3);
  EXPECT_EQ(FromWide(ascii.substr(1) + L"\xD800", kLimit).size(), kLimit);
  EXPECT_EQ(FromWide(ascii + L"\xD800", kLimit).size(), kLimit - 2);
  EXPECT_EQ(FromWide(ascii + L"é", kLimit).size(), kLimit);
  EXPECT_EQ(FromWide(L"abc", 0), "");
}

}  // namespace
}  // namespace varnolt
