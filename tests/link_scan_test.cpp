#include "extract/link_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "extract/link_search.h"
#include "tests/fake_controls.h"
#include "tests/reference_walk.h"

namespace varnolt {
namespace {

using Lines = std::vector<std::string>;
using namespace std::string_literals;

struct Scanned {
  Lines log;
  std::string results;
  LinkCounts counts;
};

// Feeds `input` in pieces of the given sizes (cycled), holding at most
// `pending_limit` bytes of an unfinished link.
Scanned Scan(const std::string& input, const std::vector<size_t>& pieces, size_t pending_limit,
             bool log_each_link = true) {
  FakeControls ui;
  auto refetch = [&input](int64_t offset, size_t length, std::string& out) {
    out = input.substr(static_cast<size_t>(offset), length);
    return true;
  };
  LinkScanner scanner(ui, static_cast<int64_t>(input.size()), refetch, pending_limit);
  scanner.set_log_each_link(log_each_link);
  for (size_t at = 0, k = 0; at < input.size(); ++k) {
    const size_t n = std::min(pieces[k % pieces.size()], input.size() - at);
    scanner.Feed(input.data() + at, n);
    at += n;
  }
  const LinkCounts counts = scanner.Finish();
  return {ui.log, ui.results, counts};
}

std::string Joined(const Lines& lines) {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
  return text;
}

struct Expectation {
  const char* name;
  std::string input;
  Lines shown;
  int64_t found;
};

// --- The walk's rules, one input each

TEST(LinkScan, FollowsTheWalkRules) {
  const std::vector<Expectation> cases = {
      {"link at offset 0 is found", "ed2k://a|/", {"ed2k://a|/"}, 1},
      {"terminator in the last two bytes", "xed2k://a|/", {"ed2k://a|/"}, 1},
      {"capitals kept", "xED2K://A|/", {"ED2K://A|/"}, 1},
      {"repeat shown once", " ed2k://a|/ ed2k://a|/ ed2k://b|/", {"ed2k://a|/", "ed2k://b|/"}, 3},
      {"repeat test is case-sensitive", " ed2k://a|/ ed2k://A|/", {"ed2k://a|/", "ed2k://A|/"}, 2},
      {"inner marker belongs to the link", " ed2k://a ed2k://b|/", {"ed2k://a ed2k://b|/"}, 1},
      {"no terminator, no link", " ed2k://x", {}, 0},
      {"pairs inside a link are no terminators",
       "x href=ed2k://|file|a.iso|9|AB|/ y",
       {"ed2k://|file|a.iso|9|AB|/"},
       1},
      {"walk resumes behind the terminator",
       " ed2k://|file|a|9|AB|/|sources,h:1|/",
       {"ed2k://|file|a|9|AB|/"},
       1},
      {"run of one link",
       "ed2k://a|/ed2k://a|/ed2k://a|/ed2k://b|/",
       {"ed2k://a|/", "ed2k://b|/"},
       4},
      {"repeat of an older link right after a new one",
       "ed2k://a|/ ed2k://bbbb|/ed2k://a|/ed2k://c|/",
       {"ed2k://a|/", "ed2k://bbbb|/", "ed2k://c|/"},
       4},
      {"NUL cuts the text, not the link", "ed2k://a\0b|/ ed2k://a\0c|/"s, {"ed2k://a"}, 2},
      {"marker with a NUL never matches", "ed2k:/\0/a|/"s, {}, 0},
      {"seven bytes hold no link", "ed2k://", {}, 0},
      {"empty input", "", {}, 0},
  };
  for (const Expectation& c : cases) {
    FakeControls ui;
    const LinkCounts counts = LinkScan(ui, c.input.data(), static_cast<int64_t>(c.input.size()));
    EXPECT_EQ(ui.results, Joined(c.shown)) << c.name;
    EXPECT_EQ(counts.found, c.found) << c.name;
    EXPECT_EQ(counts.shown, static_cast<int64_t>(c.shown.size())) << c.name;
  }
}

TEST(LinkScan, LogsEveryLinkAndEveryRepeatInOrder) {
  FakeControls ui;
  const std::string input = " ed2k://a|/ ed2k://a|/ ed2k://b|/";
  LinkScan(ui, input.data(), static_cast<int64_t>(input.size()));
  EXPECT_EQ(ui.log,
            (Lines{"Link gefunden", "Link gefunden", "doppelter Link gefunden", "Link gefunden"}));
}

// Regression: repeats used to be judged by the visible lines, so a link with
// a line break in it was shown again every time.
TEST(LinkScan, LinkWithALineBreakIsShownOnce) {
  FakeControls ui;
  const std::string input = " ed2k://a\ned2k://b|/ ed2k://a\ned2k://b|/";
  const LinkCounts counts = LinkScan(ui, input.data(), static_cast<int64_t>(input.size()));
  EXPECT_EQ(ui.results, "ed2k://a\ned2k://b|/");
  EXPECT_EQ(counts.found, 2);
  EXPECT_EQ(counts.shown, 1);
}

// --- Progress

TEST(LinkScan, ProgressEndsAtFullAndShortInputsLeaveTheBarAlone) {
  FakeControls short_ui;
  LinkScan(short_ui, "ed2k://", 7);
  EXPECT_TRUE(short_ui.progress.empty());

  FakeControls ui;
  const std::string input(5 << 20, 'x');
  LinkScan(ui, input.data(), static_cast<int64_t>(input.size()));
  ASSERT_FALSE(ui.progress.empty());
  EXPECT_EQ(ui.progress.back(), 100);
  EXPECT_TRUE(std::is_sorted(ui.progress.begin(), ui.progress.end()));
  EXPECT_LE(ui.progress.size(), 101u);
}

// --- Streaming equals the plain walk, wherever the pieces are cut

std::string RandomInput(std::mt19937& rng) {
  static const std::vector<std::string> kPieces = {
      "ed2k://", "ED2K://", "eD2k:/", "Ed2K://", "|/", "|", "/", "ed2k://|file|", "\0"s, "\r", "\n",
      "e", "2k:", "x", "abc def ", "|/|/",
      // Runs of one whole link, short and long, take a path of their own.
      "ed2k://a|/ed2k://a|/", "ed2k://b|/", "ed2k://|file|long|/ed2k://|file|long|/"};
  std::uniform_int_distribution<size_t> piece(0, kPieces.size() - 1);
  std::uniform_int_distribution<int> length(0, 60);
  std::uniform_int_distribution<int> byte(0, 255);
  std::string input;
  for (int n = length(rng); n > 0; --n) {
    if (byte(rng) < 40) {
      input += static_cast<char>(byte(rng));
    } else {
      input += kPieces[piece(rng)];
    }
  }
  return input;
}

TEST(LinkScanner, EqualsThePlainWalkOnRandomInputs) {
  std::mt19937 rng(20261206);
  std::uniform_int_distribution<size_t> piece_size(1, 20);
  for (int round = 0; round < 2000; ++round) {
    const std::string input = RandomInput(rng);
    const Walk expected = ReferenceWalk(input);
    const std::vector<size_t> pieces = {piece_size(rng), piece_size(rng), piece_size(rng)};
    const size_t pending_limit = round % 3 == 0 ? 3 : LinkScanner::kDefaultPendingLimit;
    // Without the per-link lines, the rest must not change.
    const bool log_each_link = round % 4 != 0;
    const Scanned actual = Scan(input, pieces, pending_limit, log_each_link);
    ASSERT_EQ(actual.log, log_each_link ? expected.log : Lines()) << "round " << round;
    ASSERT_EQ(actual.results, Joined(expected.shown)) << "round " << round;
    ASSERT_EQ(actual.counts.found, expected.found) << "round " << round;
    ASSERT_EQ(actual.counts.shown, static_cast<int64_t>(expected.shown.size()))
        << "round " << round;
  }
}

// A link longer than the pending limit is fetched again in full, never cut.
TEST(LinkScanner, LongLinkIsKeptWhole) {
  const std::string body(200000, 'z');
  const std::string input = " ed2k://" + body + "|/";
  EXPECT_EQ(Scan(input, {4096}, 1000).results, "ed2k://" + body + "|/");
}

TEST(LinkScanner, FailedRefetchIsReported) {
  FakeControls ui;
  LinkScanner scanner(
      ui, 0, [](int64_t, size_t, std::string&) { return false; }, 4);
  const std::string input = " ed2k://long link|/";
  scanner.Feed(input.data(), 10);
  scanner.Feed(input.data() + 10, input.size() - 10);
  scanner.Finish();
  EXPECT_TRUE(scanner.refetch_failed());
  EXPECT_TRUE(ui.results.empty());
}

// --- The vector searches find exactly what the plain one finds

TEST(FindMarker, EveryPathAgreesWithThePlainOne) {
  const std::vector<MarkerSearch> searches = MarkerSearches();
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    // Candidates at every alignment, and near misses such as "ed2k:/x".
    std::string input = RandomInput(rng) + RandomInput(rng) + RandomInput(rng);
    input.insert(rng() % (input.size() + 1), "e?2?:/");
    for (size_t from = 0; from <= input.size(); from += 1 + rng() % 7) {
      const size_t expected = searches[0].find(input.data(), from, input.size());
      for (const MarkerSearch& search : searches) {
        ASSERT_EQ(search.find(input.data(), from, input.size()), expected)
            << search.name << " round " << round << " from " << from;
      }
    }
  }
}

}  // namespace
}  // namespace varnolt
