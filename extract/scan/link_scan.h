// The link scan: finds every "ed2k://" link of a byte source, lists each
// distinct link once in file order, logs a line per link found and moves the
// progress bar. The tokenizer (link_tokenizer.h) walks the bytes, on several
// threads for a large source; the reporter (link_reporter.h) takes the links
// in file order on the calling thread, which alone touches the controls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "extract/boundary/controls.h"
#include "extract/scan/link_reporter.h"
#include "extract/scan/link_tokenizer.h"

namespace varnolt {

struct WalkOptions {
  // How much each tokenizer reads at once. Small pieces stay in the
  // processor's cache between the copy from the system and the walk.
  size_t piece_size = 64 << 10;
  // A large source is cut into ranges of this size, tokenized on `threads`
  // threads at once (0: one per processor) and reported in file order.
  // Sources smaller than `parallel_from` are walked on the calling thread:
  // below about 8 MiB, starting the threads costs more than they save.
  size_t range_size = 1 << 20;
  unsigned threads = 0;
  int64_t parallel_from = 8 << 20;
  // Whether each link found is logged ("Link gefunden", "doppelter Link
  // gefunden"); see LinkReporter.
  bool log_each_link = true;
  // Asked on the calling thread between pieces of the walk, at most a few
  // hundred times a second; false ends the scan where it stands, with status
  // kStopped. Unset: the scan runs to its end.
  std::function<bool()> keep_going;
};

enum class WalkStatus {
  kDone,        // every link was reported
  kReadFailed,  // the source could not be read
  kNoMemory,    // the set of shown links (or the controls) ran out of memory
  kStopped,     // keep_going said no
};

struct WalkResult {
  WalkStatus status = WalkStatus::kDone;
  LinkCounts counts;  // of what was reported, also when the scan ended early
};

// One scan of one source: the memory it needs is taken by Create(), before
// anything is walked, so that a caller can report missing memory first. The
// source's size is taken when the walk begins, so a source may learn it in
// between (a UTF-16 file counts its text's length first).
class SourceScan {
 public:
  // Returns nullptr when the working memory cannot be had.
  static std::unique_ptr<SourceScan> Create(ByteSource& source, const WalkOptions& options);
  ~SourceScan();

  // Reads the first piece of the source and drops it: false when it cannot
  // be read, so that a caller can report that before the walk begins.
  bool CanRead() { return tokenizer_->CanRead(0); }

  // Walks the whole source and reports its links to `ui`: lines in the
  // result list and the status log, positions of the progress bar (0..100,
  // set when the percentage changes, 100 at the end; a source shorter than 8
  // bytes leaves the bar alone). Runs once. Never throws.
  WalkResult Run(Controls& ui);

 private:
  class BlockSupply;
  class Threads;

  SourceScan(ByteSource& source, const WalkOptions& options);
  int64_t RangeCount() const;
  int64_t RangeStart(int64_t k) const;  // the size for k == RangeCount()
  WalkResult RunOnCallingThread(LinkReporter& reporter);
  WalkResult RunOnThreads(LinkReporter& reporter, BlockSupply& supply);
  bool KeepGoing();
  void ShowProgress(int64_t offset);

  ByteSource& source_;
  const WalkOptions options_;
  int64_t size_ = 0;  // the source's, when Run() began
  KnownEnds known_ends_;
  std::unique_ptr<LinkTokenizer> tokenizer_;  // the calling thread's
  std::vector<std::unique_ptr<LinkTokenizer>> thread_tokenizers_;
  Controls* ui_ = nullptr;
  int last_progress_ = -1;
  bool stopped_ = false;
  int64_t last_asked_ = 0;  // when keep_going was last asked, in ns
};

// Scans `size` bytes held in memory and returns the counts. A buffer shorter
// than 8 bytes holds no link and leaves the bar alone.
LinkCounts LinkScan(Controls& ui, const char* data, int64_t size);

}  // namespace varnolt
