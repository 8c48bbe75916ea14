// Runs the link scan over bytes held by the test, read the way a file is
// read (copied into the walk's buffers), with any piece size, range size and
// thread count: shared by the tests of the scan and of what feeds it, and
// the fuzz target.
#pragma once

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "extract/scan/link_scan.h"
#include "tests/fake_controls.h"

namespace varnolt {

// Bytes held by the test, read the way a file is read: copied into the
// reader's buffer.
class CopiedSource final : public ByteSource {
 public:
  explicit CopiedSource(const std::string& bytes) : bytes_(bytes) {}
  int64_t Size() const override { return static_cast<int64_t>(bytes_.size()); }
  ReadResult Read(int64_t offset, size_t n, char* buffer) override {
    if (offset >= Size()) return {ReadStatus::kEnded, {}};
    const size_t got = std::min(n, bytes_.size() - static_cast<size_t>(offset));
    std::memcpy(buffer, bytes_.data() + offset, got);
    return {ReadStatus::kBytes, std::string_view(buffer, got)};
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
