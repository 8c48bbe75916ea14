#include "extract/scan/link_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "extract/scan/link_search.h"
#include "extract/scan/link_set.h"
#include "tests/allocation_failure.h"
#include "tests/fake_controls.h"
#include "tests/scan/reference_walk.h"
#include "tests/scan/scan_harness.h"

namespace varnolt {
namespace {

using Lines = std::vector<std::string>;
using namespace std::string_literals;

struct Expectation {
  const char* name;
  std::string input;
  Lines shown;
  int64_t found;
};

void ExpectScans(const std::vector<Expectation>& cases) {
  for (const Expectation& c : cases) {
    FakeControls ui;
    const LinkCounts counts = LinkScan(ui, c.input.data(), static_cast<int64_t>(c.input.size()));
    EXPECT_EQ(ui.results, Joined(c.shown)) << c.name;
    EXPECT_EQ(counts.found, c.found) << c.name;
    EXPECT_EQ(counts.shown, static_cast<int64_t>(c.shown.size())) << c.name;
  }
}

// --- The walk's rules, one input each

TEST(LinkScan, FollowsTheWalkRules) {
  ExpectScans({
      {"link at offset 0 is found", "ed2k://a|/", {"ed2k://a|/"}, 1},
      {"terminator in the last two bytes", "xed2k://a|/", {"ed2k://a|/"}, 1},
      {"capitals kept", "xED2K://A|/", {"ED2K://A|/"}, 1},
      {"only letters fold",
       "ed\x12k://a|/ ed2k\x1A//b|/ ed2k:\x0F/c|/ eD2K://d|/",
       {"eD2K://d|/"},
       1},
      {"repeat shown once", " ed2k://a|/ ed2k://a|/ ed2k://b|/", {"ed2k://a|/", "ed2k://b|/"}, 3},
      {"a run of one link counts every copy",
       "ed2k://a|/ed2k://a|/ed2k://a|/ed2k://a|/ed2k://a|/x",
       {"ed2k://a|/"},
       5},
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
  });
}

// Pages written for browsers spell the pipe out.
TEST(LinkScan, DecodesSpelledSeparators) {
  ExpectScans({
      {"%7c in an href",
       "<a href=\"ed2k://%7cfile%7cA.iso%7c1%7cAB%7c/\">",
       {"ed2k://|file|A.iso|1|AB|/"},
       1},
      {"capital marker and %7C",
       "ED2K://%7Cfile%7CB.iso%7C2%7CCD%7C/",
       {"ED2K://|file|B.iso|2|CD|/"},
       1},
      {"HTML references, &amp; decoded",
       "ed2k://&#124;file&#124;Tom &amp; Jerry.avi&#124;1234&#124;0123456789ABCDEF&#124;/",
       {"ed2k://|file|Tom & Jerry.avi|1234|0123456789ABCDEF|/"},
       1},
      {"every spelling, mixed",
       "ed2k://&vert;a&#X7c;b&verbar;c&#x7C;d%7c/",
       {"ed2k://|a|b|c|d|/"},
       1},
      {"a %7C link keeps &amp;",
       "ed2k://%7Cfile%7CK&amp;L.iso%7C11%7CAB%7C/",
       {"ed2k://|file|K&amp;L.iso|11|AB|/"},
       1},
      {"an unended spelled link yields nothing, the raw one behind it is found",
       "ed2k://%7Cfile%7Cbroken%7C8 then ed2k://|file|H.iso|8|EE|/",
       {"ed2k://|file|H.iso|8|EE|/"},
       1},
      {"a raw link keeps what looks spelled",
       "ed2k://|file|name%7Cwith%20pipe.iso|10|AB|/",
       {"ed2k://|file|name%7Cwith%20pipe.iso|10|AB|/"},
       1},
      {"a spelled link does not swallow the raw one behind it",
       "ed2k://%7Ca%7C/ x ed2k://|b|/",
       {"ed2k://|a|/", "ed2k://|b|/"},
       2},
      {"the spelled twin of a raw link is a repeat",
       "<a href=\"ed2k://%7Cfile%7CT%7C1%7CAB%7C/\">ed2k://|file|T|1|AB|/</a>",
       {"ed2k://|file|T|1|AB|/"},
       2},
      {"a raw end inside a spelled link does not end it",
       "ed2k://%7Ca|/b%7C/",
       {"ed2k://|a|/b|/"},
       1},
      {"NUL cuts a spelled link's text",
       "ed2k://%7Ca\0b%7C/ ed2k://%7Ca\0c%7C/"s,
       {"ed2k://|a"},
       2},
      {"look-alikes begin raw links",
       "ed2k://%7Dx|/ ed2k://%7 y|/ ed2k://&#12;z|/ ed2k://&Vert;w|/",
       {"ed2k://%7Dx|/", "ed2k://%7 y|/", "ed2k://&#12;z|/", "ed2k://&Vert;w|/"},
       4},
      {"a raw ed2k:// without end does not hide spelled links",
       "see the ed2k:// links: ed2k://%7Ca%7C/ ed2k://&#124;b&#124;/",
       {"ed2k://|a|/", "ed2k://|b|/"},
       2},
  });
}

// A link's text holds at most 63,999 bytes, however far away its end lies:
// the walk follows it to its end across many pieces. The length is written
// out rather than taken from the code's constant, so that moving the cut is
// caught.
TEST(LinkScan, CutsLongLinksAndJudgesRepeatsByTheCutText) {
  const std::string body(100000, 'a');
  const std::string input = " ed2k://" + body + "x|/ ed2k://" + body + "y|/ ed2k://%7C" + body +
                            "%7C/ ed2k://|file|after|/";
  WalkOptions options;
  options.piece_size = 4096;
  const Scanned scanned = ScanBytes(input, options);
  const std::string cut = ("ed2k://" + body).substr(0, 63999);
  const std::string spelled_cut = ("ed2k://|" + body).substr(0, 63999);
  EXPECT_EQ(scanned.results, cut + "\n" + spelled_cut + "\ned2k://|file|after|/");
  EXPECT_EQ(scanned.counts.found, 4);
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

// --- Any piece size, range size and thread count equals the plain walk

TEST(LinkScan, EqualsThePlainWalkOnRandomInputs) {
  std::mt19937 rng(20261207);
  std::uniform_int_distribution<size_t> piece_size(1, 20);
  std::uniform_int_distribution<size_t> range_size(1, 40);
  std::uniform_int_distribution<unsigned> threads(1, 3);
  for (int round = 0; round < 3000; ++round) {
    const std::string input = RandomInput(rng) + RandomInput(rng);
    const Walk expected = ReferenceWalk(input);
    WalkOptions options;
    options.piece_size = piece_size(rng);
    options.range_size = range_size(rng);
    options.threads = threads(rng);
    // Without the per-link lines, the rest must not change.
    options.log_each_link = round % 4 != 0;
    const Scanned actual = ScanBytes(input, options);
    const auto where = ::testing::Message()
                       << "round " << round << ", pieces of " << options.piece_size
                       << ", ranges of " << options.range_size << ", " << options.threads
                       << " threads";
    ASSERT_EQ(actual.status, WalkStatus::kDone) << where;
    ASSERT_EQ(actual.log, options.log_each_link ? expected.log : Lines()) << where;
    ASSERT_EQ(actual.results, Joined(expected.shown)) << where;
    ASSERT_EQ(actual.counts.found, expected.found) << where;
    ASSERT_EQ(actual.counts.shown, static_cast<int64_t>(expected.shown.size())) << where;
  }
}

TEST(LinkScan, StopsWhenAskedTo) {
  const std::string input(1 << 20, 'x');
  for (const unsigned threads : {1u, 2u}) {
    WalkOptions options;
    options.range_size = 4096;
    options.threads = threads;
    options.keep_going = [] { return false; };
    const Scanned scanned = ScanBytes(input, options);
    EXPECT_EQ(scanned.status, WalkStatus::kStopped) << threads;
    EXPECT_TRUE(scanned.progress.empty() || scanned.progress.back() < 100) << threads;
  }
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

// --- The set of shown links

TEST(LinkSet, KeepsEveryTextThroughGrowthAndFailedGrowth) {
  LinkSet set;
  const auto text = [](int i) { return "ed2k://" + std::to_string(i * 7919) + "|/"; };
  const auto insert = [&](int i) {
    const std::string t = text(i);
    return set.Insert(t, LinkSet::HashOf(t));
  };
  for (int i = 0; i < 20000; ++i) ASSERT_TRUE(insert(i).added) << i;
  // The index has 65,536 slots of 8 bytes now; its next growth fails.
  FailAllocationsOfAtLeast(1 << 20);
  int failed_at = -1;
  for (int i = 20000; i < 40000 && failed_at < 0; ++i) {
    try {
      insert(i);
    } catch (const std::bad_alloc&) {
      failed_at = i;
    }
  }
  AllowAllocations();
  ASSERT_GT(failed_at, 0);
  for (int i = 0; i < 40000; ++i) {
    const LinkSet::Insertion again = insert(i);
    ASSERT_EQ(again.held, text(i));
    ASSERT_EQ(again.added, i >= failed_at) << i;
  }
}

// Texts are told apart by their bytes, not by their hash: texts that share
// one hash (and so its tag and slot) are each kept, before and after the
// index grows around them.
TEST(LinkSet, KeepsDifferentTextsOfEqualHash) {
  LinkSet set;
  const uint64_t shared = 0x9E3779B97F4A7C15u;
  const std::vector<std::string> texts = {"ed2k://a|/", "ed2k://b|/", "ed2k://a|/x", "ed2k://"};
  for (const std::string& t : texts) EXPECT_TRUE(set.Insert(t, shared).added) << t;
  for (int i = 0; i < 20000; ++i) {
    const std::string t = "ed2k://" + std::to_string(i) + "|/";
    set.Insert(t, LinkSet::HashOf(t));
  }
  for (const std::string& t : texts) {
    const LinkSet::Insertion again = set.Insert(t, shared);
    EXPECT_FALSE(again.added) << t;
    EXPECT_EQ(again.held, t);
  }
}

// Blocks readied elsewhere hold texts like the set's own: eight megabytes of
// texts take four blocks, some of them ready and some the set's own.
TEST(LinkSet, KeepsTextsInBlocksReadiedElsewhere) {
  int asked = 0;
  LinkSet set([&asked]() -> LargeBlock {
    if (++asked % 2 == 1) return nullptr;  // none ready: the set takes its own
    LargeBlock block = AllocateLargeBlock(LinkSet::kBlockBytes);
    std::memset(block.get(), 0x5A, LinkSet::kBlockBytes);  // no clean slate to rely on
    return block;
  });
  const auto text = [](int i) {
    return "ed2k://|file|" + std::to_string(i) + std::string(48, 'x') + "|/";
  };
  std::vector<std::string_view> held;
  for (int i = 0; i < 100000; ++i) {
    const std::string t = text(i);
    const LinkSet::Insertion insertion = set.Insert(t, LinkSet::HashOf(t));
    ASSERT_TRUE(insertion.added) << i;
    held.push_back(insertion.held);
  }
  for (int i = 0; i < 100000; ++i) ASSERT_EQ(held[static_cast<size_t>(i)], text(i)) << i;
  EXPECT_EQ(asked, 4);
}

}  // namespace
}  // namespace varnolt
