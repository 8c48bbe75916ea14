#include "extract/scan_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>

#include "tests/fake_controls.h"
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

TEST_F(ScanFileTest, TinyBuffersReadAheadGiveTheSameAnswer) {
  std::string page;
  for (int i = 0; i < 300; ++i)
    page += "ed2k://|file|" + std::to_string(i % 200) + "|/ ED2K://y|/ ";
  const std::string name = Write("page.htm", page);
  FakeControls whole;
  ScanFile(name, whole);
  for (const size_t count : {1, 2, 8}) {
    FakeControls ui;
    ScanOptions tiny;
    tiny.buffer_size = 3;
    tiny.buffer_count = count;
    ScanFile(name, ui, tiny);
    EXPECT_EQ(ui.log, whole.log) << count;
    EXPECT_EQ(ui.results, whole.results) << count;
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

class FakeFile : public InputFile {
 public:
  FakeFile(int64_t size, std::vector<std::string> reads) : size_(size), reads_(std::move(reads)) {}
  int64_t Size() const override { return size_; }
  int64_t Read(char* buffer, size_t n) override {
    if (next_ == reads_.size()) return 0;
    const std::string& piece = reads_[next_++];
    if (piece == "<error>") return -1;
    const size_t got = std::min(n, piece.size());
    std::copy_n(piece.data(), got, buffer);
    return static_cast<int64_t>(got);
  }
  bool ReadAt(int64_t, char*, size_t) override { return false; }

 private:
  int64_t size_;
  std::vector<std::string> reads_;
  size_t next_ = 0;
};

// An opener that hands out a FakeFile of `size` bytes delivering `reads`.
auto OpenFake(int64_t size, std::vector<std::string> reads) {
  return [size, reads](const std::string&) -> std::unique_ptr<InputFile> {
    return std::make_unique<FakeFile>(size, reads);
  };
}

TEST_F(ScanFileTest, ReadFailureIsReportedWithoutSummary) {
  ScanOptions options;
  options.open = OpenFake(100, {"x ed2k://a|/ ", "<error>"});
  EXPECT_EQ(ScanFile("f", ui_, options).status, ScanStatus::kReadFailed);
  EXPECT_EQ(ui_.log,
            (Lines{"Öffne Datei: f...OK", "Dateigrösse: 100 bytes",
                   "Reserviere Arbeitsspeicher...OK", "Lese Datei ein...OK", "Starte Suche",
                   "Link gefunden", "FEHLER:Datei konnte nicht gelesen werden"}));
}

TEST_F(ScanFileTest, FirstReadFailureLeavesTheReadUnconfirmed) {
  ScanOptions options;
  options.open = OpenFake(100, {"<error>"});
  EXPECT_EQ(ScanFile("f", ui_, options).status, ScanStatus::kReadFailed);
  EXPECT_EQ(ui_.log.back(), "FEHLER:Datei konnte nicht gelesen werden");
  EXPECT_EQ(ui_.log[ui_.log.size() - 2], "Lese Datei ein...");
}

TEST_F(ScanFileTest, MissingMemoryIsReported) {
  ScanOptions huge_pieces, huge_count;  // the count's array size could wrap
  huge_pieces.buffer_size = size_t{1} << (sizeof(size_t) * 8 - 2);
  huge_count.buffer_count = SIZE_MAX;
  for (ScanOptions options : {huge_pieces, huge_count}) {
    FakeControls ui;
    options.open = OpenFake(int64_t{1} << 62, {});
    EXPECT_EQ(ScanFile("f", ui, options).status, ScanStatus::kNoMemory);
    EXPECT_EQ(ui.log.back(), "FEHLER:Nicht genug Arbeitsspeicher");
    EXPECT_EQ(ui.log[ui.log.size() - 2], "Reserviere Arbeitsspeicher...");
  }
}

// Regression: the size was the low 32 bits read as signed, so a 5 GiB file
// showed as 1 GiB and was scanned short.
TEST_F(ScanFileTest, SizesBeyondFourGigabytesAreShownWhole) {
  ScanOptions options;
  options.open = OpenFake(int64_t{5} << 30, {"ed2k://a|/"});
  EXPECT_EQ(ScanFile("f", ui_, options).status, ScanStatus::kCompleted);
  EXPECT_EQ(ui_.log[1], "Dateigrösse: 5368709120 bytes");
  EXPECT_EQ(ui_.results, "ed2k://a|/");
}

}  // namespace
}  // namespace varnolt
