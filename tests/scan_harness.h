// Runs the link scan over bytes held by the test, read the way a file is
// read (copied into the walk's buffers), with any piece size, range size and
// thread count, as bytes or as a UTF-16 file's text: shared by the scan
// tests and the fuzz target.
#pragma once

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "extract/input_file.h"
#include "extract/link_scan.h"
#include "extract/utf16_text.h"
#include "tests/fake_controls.h"

namespace varnolt {

class CopiedSource final : public ByteSource {
 public:
  explicit CopiedSource(const std::string& bytes) : bytes_(bytes) {}
  int64_t Size() const override { return static_cast<int64_t>(bytes_.size()); }
  bool Read(int64_t offset, size_t n, char* buffer, std::string_view& bytes) override {
    const size_t at = static_cast<size_t>(std::min<int64_t>(offset, Size()));
    const size_t got = std::min(n, bytes_.size() - at);
    std::memcpy(buffer, bytes_.data() + at, got);
    bytes = std::string_view(buffer, got);
    return true;
  }

 private:
  const std::string& bytes_;
};

// A file held in memory.
class MemoryFile final : public InputFile {
 public:
  explicit MemoryFile(const std::string& bytes) : bytes_(bytes) {}
  int64_t Size() const override { return static_cast<int64_t>(bytes_.size()); }
  int64_t ReadAt(int64_t offset, char* buffer, size_t n) override {
    const size_t at = static_cast<size_t>(std::min<int64_t>(offset, Size()));
    const size_t got = std::min(n, bytes_.size() - at);
    std::memcpy(buffer, bytes_.data() + at, got);
    return static_cast<int64_t>(got);
  }

 private:
  const std::string& bytes_;
};

struct Scanned {
  WalkStatus status = WalkStatus::kDone;
  std::vector<std::string> log;
  std::string results;  // the result list's text, lines joined by '\n'
  LinkCounts counts;
  std::vector<int> progress;
};

// Walks `input` with `options`; a range size and thread count in `options`
// take effect for any input size, small ones included.
inline Scanned ScanSource(ByteSource& source, WalkOptions options) {
  options.parallel_from = 0;
  FakeControls ui;
  Scanned scanned;
  const std::unique_ptr<SourceScan> scan = SourceScan::Create(source, options);
  if (!scan) {
    scanned.status = WalkStatus::kNoMemory;
    return scanned;
  }
  const WalkResult result = scan->Run(ui);
  scanned.status = result.status;
  scanned.counts = result.counts;
  scanned.log = ui.log;
  scanned.results = ui.results;
  scanned.progress = ui.progress;
  return scanned;
}

inline Scanned ScanBytes(const std::string& input, const WalkOptions& options) {
  CopiedSource source(input);
  return ScanSource(source, options);
}

// Walks the text of `file`, which begins with a UTF-16 byte-order mark,
// cut as `layout` says.
inline Scanned ScanUtf16(const std::string& file, const WalkOptions& options, Utf16Layout layout) {
  MemoryFile memory(file);
  const std::optional<ByteOrder> order = Utf16MarkOf(file);
  std::unique_ptr<Utf16Text> text =
      Utf16Text::Create(memory, order.value_or(ByteOrder::kLittleEndian), layout);
  if (!text || text->Count({}, options.threads) != Utf16Text::CountStatus::kCounted) {
    Scanned failed;
    failed.status = WalkStatus::kReadFailed;
    return failed;
  }
  return ScanSource(*text, options);
}

// Random bytes, mostly pieces of links, whole and cut, that meet in every
// way: the inputs of the differential tests.
inline std::string RandomInput(std::mt19937& rng) {
  using namespace std::string_literals;
  static const std::vector<std::string> kPieces = {
      "ed2k://", "ED2K://", "eD2k:/", "Ed2K://", "|/", "|", "/", "ed2k://|file|", "\0"s, "\r", "\n",
      "e", "2k:", "x", "abc def ", "|/|/",
      // Runs of one whole link, short and long, take a path of their own.
      "ed2k://a|/ed2k://a|/", "ed2k://b|/", "ed2k://|file|long|/ed2k://|file|long|/",
      // Spelled pipes, whole and cut, and the ends of spelled links.
      "%7C", "%7c", "&#124;", "&#x7C;", "&vert;", "&verbar;", "&amp;", "%7C/", "&#124;/", "%7",
      "&#", "ed2k://%7C", "ed2k://&#124;"};
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

inline std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
  return text;
}

}  // namespace varnolt
