#include "extract/scan_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>

#include "tests/allocation_failure.h"
#include "tests/fake_controls.h"
#include "tests/faulty_source.h"
#include "tests/temp_dir.h"

// The out-of-memory test asks for an impossible buffer; the sanitizer must
// let that allocation fail instead of aborting the test.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace varnolt {
namespace {

using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

class ScanFileTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& content) {
    return temp_.Write(name, content);
  }

  TempDir temp_;
  const fs::path& dir_ = temp_.path();
  FakeControls ui_;
};

std::string Summary(int found, int shown) {
  return "Suche beendet. " + std::to_string(found) + " Links gefunden, " + std::to_string(shown) +
         " Links angezeigt";
}

// --- The whole job on real files

TEST_F(ScanFileTest, LogsTheTenLinesOfASuccessfulRun) {
  std::string content = "<a href=\"ed2k://A|/\">a</a> ed2k://A|/ ed2k://B|/";
  content.resize(120, '.');
  const std::string name = Write("page.htm", content);
  const ScanResult result = ScanFile(name, ui_);
  EXPECT_EQ(result.status, ScanStatus::kCompleted);
  EXPECT_EQ(ui_.log, (Lines{"Öffne Datei: " + name + "...OK", "Dateigrösse: 120 bytes",
                            "Reserviere Arbeitsspeicher...OK", "Lese Datei ein...OK",
                            "Starte Suche", "Link gefunden", "Link gefunden",
                            "doppelter Link gefunden", "Link gefunden", Summary(3, 2)}));
  EXPECT_EQ(ui_.results, "ed2k://A|/\ned2k://B|/");
  EXPECT_EQ(ui_.selected, 9);
}

TEST_F(ScanFileTest, TinyPiecesAndRangesGiveTheSameAnswer) {
  std::string page;
  for (int i = 0; i < 300; ++i)
    page += "ed2k://|file|" + std::to_string(i % 200) + "|/ ED2K://y|/ ";
  const std::string name = Write("page.htm", page);
  FakeControls whole;
  ScanFile(name, whole);
  for (const unsigned threads : {1, 2, 3}) {
    FakeControls ui;
    ScanOptions tiny;
    tiny.piece_size = 3;
    tiny.range_size = 50;
    tiny.threads = threads;
    tiny.parallel_from = 0;
    ScanFile(name, ui, tiny);
    EXPECT_EQ(ui.log, whole.log) << threads;
    EXPECT_EQ(ui.results, whole.results) << threads;
  }
}

TEST_F(ScanFileTest, ShortFilesAreConfirmedAndFindNothing) {
  for (const std::string content : {"", "ed2k://"}) {
    FakeControls ui;
    const std::string name = Write("short", content);
    EXPECT_EQ(ScanFile(name, ui).status, ScanStatus::kCompleted);
    EXPECT_EQ(ui.log[1], "Dateigrösse: " + std::to_string(content.size()) + " bytes");
    EXPECT_EQ(ui.log[3], "Lese Datei ein...OK");
    EXPECT_EQ(ui.log.back(), Summary(0, 0));
    EXPECT_TRUE(ui.progress.empty());
  }
}

// A file cut short after it was opened is walked as far as it now goes, on
// one thread and on several.
TEST_F(ScanFileTest, FileCutShortWhileOpenIsScannedToItsNewEnd) {
  std::string page;
  for (int i = 0; page.size() < (3u << 20); ++i)
    page += "<p>ed2k://|file|" + std::to_string(i) + "|/</p>\n";
  const size_t cut = (1u << 20) + 3;
  const std::string name = Write("page.htm", page);
  FakeControls expected;
  ScanFile(Write("cut.htm", page.substr(0, cut)), expected);
  for (const int64_t parallel_from : {int64_t{8} << 20, int64_t{0}}) {
    FakeControls ui;
    ScanOptions options;
    options.parallel_from = parallel_from;
    options.range_size = 16 << 10;
    options.open = [&](const std::string& path) {
      std::unique_ptr<ByteSource> file = OpenInputFile(path);
      fs::resize_file(path, cut);
      return file;
    };
    EXPECT_EQ(ScanFile(name, ui, options).status, ScanStatus::kCompleted);
    EXPECT_EQ(ui.results, expected.results);
    EXPECT_EQ(ui.log.back(), expected.log.back());
    // The walk ends at the new end instead of reading on through what is gone.
    for (const int progress : ui.progress)
      EXPECT_TRUE(progress <= 40 || progress == 100) << progress;
    Write("page.htm", page);
  }
}

// --- Names that cannot be scanned

TEST_F(ScanFileTest, RefusesWhatIsNotARegularFile) {
  const std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::vector<std::string> names = {"", (dir_ / "missing").string(), dir_.string(), fifo,
                                          Write("real", "ed2k://a|/") + std::string(1, '\0')};
  for (const std::string& name : names) {
    FakeControls ui;
    EXPECT_EQ(ScanFile(name, ui).status, ScanStatus::kOpenFailed) << name;
    EXPECT_EQ(ui.log,
              (Lines{"Öffne Datei: " + name + "...", "FEHLER:Datei konnte nicht geöffnet werden"}))
        << name;
    EXPECT_TRUE(ui.results.empty());
  }
}

// --- Faults injected through the file seam

// Options that open a file of `size` bytes holding `content`, whose reads
// from `fail_from` on fail, and read it in pieces of 16 bytes.
ScanOptions OpenFake(int64_t size, std::string content, int64_t fail_from = INT64_MAX) {
  ScanOptions options;
  options.piece_size = 16;
  options.open = [=](const std::string&) -> std::unique_ptr<ByteSource> {
    auto file = std::make_unique<FaultySource>(size, content);
    file->FailFrom(fail_from);
    return file;
  };
  return options;
}

const Lines kStarted = {"Öffne Datei: f...OK", "Dateigrösse: 100 bytes",
                        "Reserviere Arbeitsspeicher...OK", "Lese Datei ein...OK", "Starte Suche"};

Lines Started(Lines more) {
  Lines lines = kStarted;
  lines.insert(lines.end(), more.begin(), more.end());
  return lines;
}

// A failed read ends the job with no summary: the first read leaves "Lese
// Datei ein..." unconfirmed, a later one (also the one that follows a long
// link to its end) comes after the lines of what was found.
TEST_F(ScanFileTest, ReadFailuresAreReportedWithoutSummary) {
  const Lines unconfirmed = {"Öffne Datei: f...OK", "Dateigrösse: 100 bytes",
                             "Reserviere Arbeitsspeicher...OK", "Lese Datei ein...",
                             "FEHLER:Datei konnte nicht gelesen werden"};
  const struct {
    std::string content;
    int64_t fail_from;
    Lines log;
  } cases[] = {
      {"", 0, unconfirmed},
      {"x ed2k://a|/ ", 40, Started({"Link gefunden", "FEHLER:Datei konnte nicht gelesen werden"})},
      {"x ed2k://" + std::string(80, 'a') + "|/", 40,
       Started({"FEHLER:Datei konnte nicht gelesen werden"})},
  };
  for (auto c : cases) {
    FakeControls ui;
    c.content.resize(100, '.');
    EXPECT_EQ(ScanFile("f", ui, OpenFake(100, c.content, c.fail_from)).status,
              ScanStatus::kReadFailed);
    EXPECT_EQ(ui.log, c.log) << c.content;
  }
}

// Buffers too large to have, one whose size would wrap around, and the
// index of a UTF-16 text when memory is short.
TEST_F(ScanFileTest, MissingMemoryIsReported) {
  const struct {
    size_t piece_size;
    std::string content;
    size_t fail_allocations_from;
  } cases[] = {
      {SIZE_MAX / 4, "", SIZE_MAX},
      {SIZE_MAX, "", SIZE_MAX},
      {16, "\xFF\xFE", 256 << 10},
  };
  for (const auto& c : cases) {
    FakeControls ui;
    ScanOptions options = OpenFake(int64_t{1} << 62, c.content);
    options.piece_size = c.piece_size;
    FailAllocationsOfAtLeast(c.fail_allocations_from);
    const ScanStatus status = ScanFile("f", ui, options).status;
    AllowAllocations();
    EXPECT_EQ(status, ScanStatus::kNoMemory) << c.piece_size;
    EXPECT_EQ(ui.log.back(), "FEHLER:Nicht genug Arbeitsspeicher");
    EXPECT_EQ(ui.log[ui.log.size() - 2], "Reserviere Arbeitsspeicher...");
  }
}

// Running out of memory while links are shown ends the job; what was shown
// stays, and nothing escapes as an exception.
TEST_F(ScanFileTest, MemoryRunningOutDuringTheWalkEndsTheJob) {
  ui_.result_lines_until_no_memory = 2;
  const ScanResult result =
      ScanFile("f", ui_, OpenFake(100, "ed2k://a|/ed2k://b|/ed2k://c|/ed2k://d|/"));
  EXPECT_EQ(result.status, ScanStatus::kNoMemory);
  EXPECT_EQ(ui_.results, "ed2k://a|/\ned2k://b|/");
  EXPECT_EQ(ui_.log.back(), "FEHLER:Nicht genug Arbeitsspeicher");
  EXPECT_EQ(ui_.log[ui_.log.size() - 2], "Link gefunden");
}

// A tokenizing thread that runs out of memory while it follows a long link
// ends the job like any other shortage: its range's links never go missing
// behind a normal summary.
TEST_F(ScanFileTest, MemoryRunningOutOnATokenizingThreadEndsTheJob) {
  const std::string name =
      Write("page.htm", std::string(20000, ' ') + "ed2k://" + std::string(40000, 'a') + "|/");
  ScanOptions options;
  options.threads = 2;
  options.range_size = 4096;
  options.parallel_from = 0;
  FailOtherThreadsAllocationsOfAtLeast(16 << 10);
  const ScanResult result = ScanFile(name, ui_, options);
  AllowAllocations();
  EXPECT_EQ(result.status, ScanStatus::kNoMemory);
  EXPECT_EQ(ui_.log.back(), "FEHLER:Nicht genug Arbeitsspeicher");
  EXPECT_EQ(ui_.results, "");
}

TEST_F(ScanFileTest, StopsWhenAskedToWithoutSummary) {
  ScanOptions options = OpenFake(100, "ed2k://a|/");
  options.keep_going = [] { return false; };
  EXPECT_EQ(ScanFile("f", ui_, options).status, ScanStatus::kStopped);
  EXPECT_EQ(ui_.log, kStarted);
}

// A file that shrank after its size was taken is walked as far as it goes,
// and the bar still ends full.
TEST_F(ScanFileTest, ShrunkFileIsScannedAsFarAsItGoes) {
  EXPECT_EQ(ScanFile("f", ui_, OpenFake(100, "x ed2k://a|/")).status, ScanStatus::kCompleted);
  EXPECT_EQ(ui_.results, "ed2k://a|/");
  ASSERT_FALSE(ui_.progress.empty());
  EXPECT_EQ(ui_.progress.back(), 100);
}

// Regression: the size was the low 32 bits read as signed, so a 5 GiB file
// showed as 1 GiB and was scanned short.
TEST_F(ScanFileTest, SizesBeyondFourGigabytesAreShownWhole) {
  EXPECT_EQ(ScanFile("f", ui_, OpenFake(int64_t{5} << 30, "ed2k://a|/")).status,
            ScanStatus::kCompleted);
  EXPECT_EQ(ui_.log[1], "Dateigrösse: 5368709120 bytes");
  EXPECT_EQ(ui_.results, "ed2k://a|/");
}

}  // namespace
}  // namespace varnolt
