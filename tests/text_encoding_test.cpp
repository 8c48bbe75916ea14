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
    EXPECT_FALSE(IsValidUtf8(ascii + "\xE4" + ascii)) << at;        // Windows-1252 "ä"
    EXPECT_FALSE(IsValidUtf8(ascii + "\xC0\xAF")) << at;            // overlong "/"
    EXPECT_FALSE(IsValidUtf8(ascii + "\xED\xA0\x80")) << at;        // a surrogate
    EXPECT_FALSE(IsValidUtf8(ascii + "\xF4\x90\x80\x80")) << at;    // above U+10FFFF
    EXPECT_FALSE(IsValidUtf8(ascii + "\xE2\x82")) << at;            // cut short
  }
}

TEST(DisplayText, ShowsUtf8AsItIsAndAnythingElseAsWindows1252) {
  EXPECT_EQ(DisplayText("Dateigr\xC3\xB6sse"), "Dateigr\xC3\xB6sse");
  EXPECT_EQ(DisplayText("Dateigr\xF6sse \x80\x81"), "Dateigr\xC3\xB6sse \xE2\x82\xAC\xC2\x81");
}

}  // namespace
}  // namespace varnolt
