// Runs the link scan over bytes held by the test, read the way a file is
// read (copied into the walk's buffers), with any piece size, range size and
// thread count: shared by the scan tests and the fuzz target.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "extract/link_scan.h"
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

struct Scanned {
  WalkStatus status = WalkStatus::kDone;
  std::vector<std::string> log;
  std::string results;  // the result list's text, lines joined by '\n'
  LinkCounts counts;
  std::vector<int> progress;
};

// Walks `input` with `options`; a range size and thread count in `options`
// take effect for any input size, small ones included.
inline Scanned ScanBytes(const std::string& input, WalkOptions options) {
  options.parallel_from = 0;
  FakeControls ui;
  CopiedSource source(input);
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

inline std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
  return text;
}

}  // namespace varnolt
