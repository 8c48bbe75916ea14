#include "extract/input/utf16_text.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "extract/scan_file.h"
#include "tests/fake_controls.h"
#include "tests/faulty_source.h"
#include "tests/input/reference_utf16.h"
#include "tests/input/utf16_harness.h"
#include "tests/scan/reference_walk.h"
#include "tests/temp_dir.h"

namespace varnolt {
namespace {

using Lines = std::vector<std::string>;
using Units = std::vector<uint16_t>;
using namespace std::string_literals;

Units operator+(Units a, const Units& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// --- Files as Windows programs write them, through the whole job

class Utf16FileTest : public ::testing::Test {
 protected:
  TempDir temp_;
};

TEST_F(Utf16FileTest, FindsTheLinksOfTheTextAsItsUtf8TwinWould) {
  const std::string crlf_page =
      "<a href=\"ed2k://|file|A.iso|1|AB|/\">A</a>\r\ned2k://|file|A.iso|1|AB|/\r\n"
      "ed2k://|file|Café Crème.iso|2|CD|/\r\n";
  const Units smiley = Utf16Units("ed2k://|file|\xF0\x9F\x98\x80.mkv|3|EF|/");
  const Units lone_high = Utf16Units("x ed2k://|file|a") + Units{0xD800} + Utf16Units("b|/");
  const Units lone_low = Utf16Units("x ed2k://|file|a") + Units{0xDC00} + Utf16Units("b|/");
  const struct {
    const char* name;
    std::string file;
    std::string shown;  // the result list, lines joined by "\n"
    int found;
  } cases[] = {
      {"little-endian, CRLF lines", Utf16File(Utf16Units(crlf_page), false),
       "ed2k://|file|A.iso|1|AB|/\ned2k://|file|Café Crème.iso|2|CD|/", 3},
      {"big-endian", Utf16File(Utf16Units(crlf_page), true),
       "ed2k://|file|A.iso|1|AB|/\ned2k://|file|Café Crème.iso|2|CD|/", 3},
      {"a character beyond U+FFFF", Utf16File(smiley, false),
       "ed2k://|file|\xF0\x9F\x98\x80.mkv|3|EF|/", 1},
      {"an unpaired high surrogate", Utf16File(lone_high, true), "ed2k://|file|a\uFFFDb|/", 1},
      {"an unpaired low surrogate", Utf16File(lone_low, false), "ed2k://|file|a\uFFFDb|/", 1},
      {"an odd last byte", Utf16File(Utf16Units("x ed2k://a|/"), false) + "e", "ed2k://a|/", 1},
      {"a spelled link", Utf16File(Utf16Units("<a href=\"ed2k://%7Cfile%7CA%7C/\">"), false),
       "ed2k://|file|A|/", 1},
      {"a mark and nothing behind it", "\xFF\xFE", "", 0},
      {"UTF-16 without a mark is bytes", Utf16File(Utf16Units(" ed2k://a|/"), false).substr(2), "",
       0},
      {"a mark the other way round is bytes", "\xFE\xFE ed2k://a|/", "ed2k://a|/", 1},
  };
  for (const auto& c : cases) {
    FakeControls ui;
    const std::string name = temp_.Write("page.txt", c.file);
    EXPECT_EQ(ScanFile(name, ui).status, ScanStatus::kCompleted) << c.name;
    EXPECT_EQ(ui.results, c.shown) << c.name;
    ASSERT_GE(ui.log.size(), 6u) << c.name;
    // The size is the file's, not its text's; the rest of the log keeps its form.
    EXPECT_EQ(ui.log[1], "Dateigrösse: " + std::to_string(c.file.size()) + " bytes") << c.name;
    EXPECT_EQ(ui.log[3], "Lese Datei ein...OK") << c.name;
    EXPECT_EQ(ui.log.back(), "Suche beendet. " + std::to_string(c.found) + " Links gefunden, " +
                                 std::to_string(ui.ResultLines().size()) + " Links angezeigt")
        << c.name;
  }
}

// The text's cuts (the NUL cut and the 63,999-byte cut) are measured in
// UTF-8, where each character of this name takes three bytes, not two.
TEST_F(Utf16FileTest, CutsTextsWhereTheUtf8TwinWould) {
  std::string name;
  for (int i = 0; i < 22000; ++i) name += "\xE4\xB8\xAD";
  const std::string long_link = "ed2k://|file|" + name + "|/";
  const std::string text = " " + long_link + " ed2k://|file|a\0b|/"s;
  FakeControls twin;
  ScanFile(temp_.Write("twin.txt", text), twin);
  FakeControls ui;
  ScanFile(temp_.Write("page.txt", Utf16File(Utf16Units(text), false)), ui);
  EXPECT_EQ(ui.results, twin.results);
  EXPECT_EQ(ui.ResultLines().at(0).size(), 63999u);
  EXPECT_EQ(ui.ResultLines().at(1), "ed2k://|file|a");
}

// --- Reads at any offset, of any length, under any cut of the file

TEST(Utf16Text, ReadsEqualTheTranscodedTextAtEveryOffset) {
  const Units units = Utf16Units("ab\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z") +
                      Units{0xD800, 'q', 0xDC00, 0xDBFF, 0xDFFF, 0xDC00, 0} + Utf16Units("end");
  for (const bool big : {false, true}) {
    const std::string file = Utf16File(units, big);
    const std::string expected = ReferenceUtf8(units);
    for (const size_t block_units : {1, 2, 3, 7, 64}) {
      for (const size_t read_units : {1, 2, 5, 8192}) {
        CopiedSource bytes(file);
        const auto text =
            Utf16Text::Create(bytes, big ? ByteOrder::kBigEndian : ByteOrder::kLittleEndian,
                              {block_units, read_units});
        ASSERT_EQ(text->Count(), Utf16Text::CountStatus::kCounted);
        ASSERT_EQ(text->Size(), static_cast<int64_t>(expected.size()));
        for (size_t offset = 0; offset <= expected.size(); ++offset) {
          for (size_t n = 1; n <= expected.size() - offset + 1; ++n) {
            std::string buffer(n, '?');
            const ReadResult read = text->Read(static_cast<int64_t>(offset), n, buffer.data());
            ASSERT_EQ(read.status,
                      offset < expected.size() ? ReadStatus::kBytes : ReadStatus::kEnded);
            ASSERT_EQ(read.bytes, expected.substr(offset, n))
                << "big " << big << ", blocks of " << block_units << ", reads of " << read_units
                << ", offset " << offset << ", n " << n;
          }
        }
      }
    }
  }
}

// Random texts: pieces of links as in the scan's differential test, between
// characters of every width and surrogates paired and unpaired.
Units RandomUnits(std::mt19937& rng) {
  static const uint16_t kOthers[] = {0xE9,   0x4E2D, 0xFF5C, 0xD83D, 0xDE00, 0xD800, 0xDC00, 0xDBFF,
                                     0xDFFF, 0x7F,   0x80,   0x7FF,  0x800,  0xFFFD, 0};
  std::uniform_int_distribution<size_t> other(0, std::size(kOthers) - 1);
  Units units;
  for (const char byte : RandomInput(rng)) {
    if (rng() % 8 == 0) units.push_back(kOthers[other(rng)]);
    if (rng() % 16 == 0) units.push_back(static_cast<uint16_t>(rng()));
    units.push_back(static_cast<uint8_t>(byte));
  }
  return units;
}

TEST(Utf16Text, ScansEqualThePlainWalkOverTheTranscodedText) {
  std::mt19937 rng(2612);
  std::uniform_int_distribution<size_t> small(1, 24);
  std::uniform_int_distribution<unsigned> threads(1, 3);
  for (int round = 0; round < 1000; ++round) {
    const Units units = RandomUnits(rng) + RandomUnits(rng);
    const bool big = round % 2 == 1;
    std::string file = Utf16File(units, big);
    if (round % 5 == 0) file += 'x';  // an odd last byte
    const Walk expected = ReferenceWalk(ReferenceUtf8(units));
    WalkOptions options;
    options.piece_size = small(rng);
    options.range_size = small(rng);
    options.threads = threads(rng);
    const Utf16Layout layout{small(rng), small(rng)};
    const Scanned actual = ScanUtf16(file, options, layout);
    const auto where = ::testing::Message()
                       << "round " << round << ", pieces of " << options.piece_size
                       << ", ranges of " << options.range_size << ", blocks of "
                       << layout.block_units << ", reads of " << layout.read_units;
    ASSERT_EQ(actual.status, WalkStatus::kDone) << where;
    ASSERT_EQ(actual.log, expected.log) << where;
    ASSERT_EQ(actual.results, Joined(expected.shown)) << where;
    ASSERT_EQ(actual.counts.found, expected.found) << where;
  }
}

// --- Faults while the file is counted and read

Scanned ScanFlaky(const std::string& content, int64_t size, int good_reads,
                  std::function<bool()> keep_going = {}) {
  FakeControls ui;
  ScanOptions options;
  options.piece_size = 16;
  options.keep_going = std::move(keep_going);
  options.open = [&](const std::string&) -> std::unique_ptr<ByteSource> {
    auto file = std::make_unique<FaultySource>(size, content);
    file->FailAfter(good_reads);
    return file;
  };
  const ScanResult result = ScanFile("f", ui, options);
  Scanned scanned;
  scanned.status = result.status == ScanStatus::kCompleted ? WalkStatus::kDone
                   : result.status == ScanStatus::kStopped ? WalkStatus::kStopped
                                                           : WalkStatus::kReadFailed;
  scanned.log = ui.log;
  scanned.results = ui.results;
  return scanned;
}

TEST(Utf16Text, FaultsWhileCountingOrWalkingEndTheJobWithTheirLine) {
  const std::string file =
      Utf16File(Utf16Units("x ed2k://a|/" + std::string(40, ' ') + "ed2k://b|/"), false);
  const auto size = static_cast<int64_t>(file.size());
  const std::string read_failed = "FEHLER:Datei konnte nicht gelesen werden";

  // The mark is read, then the count fails: nothing was walked.
  const Scanned counting = ScanFlaky(file, size, 1);
  EXPECT_EQ(counting.status, WalkStatus::kReadFailed);
  EXPECT_EQ(counting.log.at(3), "Lese Datei ein...");
  EXPECT_EQ(counting.log.back(), read_failed);
  EXPECT_EQ(counting.log.size(), 5u);

  // Counted and begun, then the file fails: what was found stays.
  const Scanned walking = ScanFlaky(file, size, 4);
  EXPECT_EQ(walking.status, WalkStatus::kReadFailed);
  EXPECT_EQ(walking.results, "ed2k://a|/");
  EXPECT_EQ(walking.log.back(), read_failed);

  // A file that shrank after it was opened is walked to its new end.
  const Scanned shrunk = ScanFlaky(file.substr(0, 2 + 2 * 18), size, 1000);
  EXPECT_EQ(shrunk.status, WalkStatus::kDone);
  EXPECT_EQ(shrunk.results, "ed2k://a|/");
}

// A large file is counted in steps, and a close request ends the count.
TEST(Utf16Text, StopRequestEndsTheCount) {
  const std::string file = Utf16File(Units(3 << 20, 'x'), false);
  int asked = 0;
  const Scanned stopped =
      ScanFlaky(file, static_cast<int64_t>(file.size()), 1 << 20, [&] { return ++asked < 2; });
  EXPECT_EQ(stopped.status, WalkStatus::kStopped);
  EXPECT_EQ(stopped.log.back(), "Lese Datei ein...");
  EXPECT_EQ(asked, 2);
}

}  // namespace
}  // namespace varnolt
