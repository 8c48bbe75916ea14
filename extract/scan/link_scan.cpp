#include "extract/scan/link_scan.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "extract/scan/large_memory.h"
#include "extract/scan/link_set.h"
#include "extract/scan/out_of_memory.h"
#include "extract/scan/thread_priority.h"

namespace varnolt {
namespace {

// The most tokenizing threads a scan starts, however many processors there
// are: beyond a few, the reporter on the calling thread sets the pace.
constexpr unsigned kMaxThreads = 8;

// Ranges in flight per tokenizing thread. Enough that the threads seldom
// wait for each other: each wait ends with a wake-up, which on a virtual
// machine takes a tenth of a millisecond. A waiting range holds only its
// links, not its bytes.
constexpr size_t kSlotsPerThread = 8;

// How often keep_going is asked at most, and how long the calling thread
// waits for a range before it asks again.
constexpr std::chrono::milliseconds kKeepGoingInterval(5);
constexpr std::chrono::milliseconds kRangeWait(10);

int64_t NowNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

WalkStatus StatusOf(TokenizeStatus status) {
  return status == TokenizeStatus::kReadFailed ? WalkStatus::kReadFailed : WalkStatus::kStopped;
}

// A source that is a buffer in memory: reads point into it.
class MemorySource final : public ByteSource {
 public:
  MemorySource(const char* data, int64_t size) : data_(data), size_(size) {}
  int64_t Size() const override { return size_; }
  ReadResult Read(int64_t offset, size_t n, char* /*buffer*/) override {
    if (offset >= size_) return {ReadStatus::kEnded, {}};
    const auto available = static_cast<size_t>(std::min<int64_t>(size_ - offset, n));
    return {ReadStatus::kBytes, std::string_view(data_ + offset, available)};
  }

 private:
  const char* const data_;
  const int64_t size_;
};

}  // namespace

// Blocks for the set of shown links, made ready on the tokenizing threads.
// The first write to a fresh block costs a page fault and the clearing of its
// pages by the system, which on the thread that reports the links is time
// taken from the whole scan; the tokenizing threads have time to spare.
class SourceScan::BlockSupply {
 public:
  // Readies a block once the set has asked for one and unless enough are
  // ready; never throws (a block that cannot be had is left to the set).
  // From any thread.
  void Replenish() {
    if (!asked_.load(std::memory_order_relaxed)) return;
    if (ready_count_.load(std::memory_order_relaxed) >= kSpare) return;
    LargeBlock block;
    if (RanOutOfMemory([&] { block = AllocateLargeBlock(LinkSet::kBlockBytes); })) return;
    // One write per small page brings in every page (a huge page at once).
    for (size_t at = 0; at < LinkSet::kBlockBytes; at += 4096) block[at] = 0;
    const std::lock_guard<std::mutex> lock(mutex_);
    if (RanOutOfMemory([&] { ready_.push_back(std::move(block)); })) return;
    ready_count_.store(ready_.size(), std::memory_order_relaxed);
  }

  // Where the set takes its blocks: a ready one, or null when none is.
  LinkSet::ReadyBlocks Taker() {
    return [this] { return Take(); };
  }

 private:
  LargeBlock Take() {
    asked_.store(true, std::memory_order_relaxed);
    if (ready_count_.load(std::memory_order_relaxed) == 0) return nullptr;
    const std::lock_guard<std::mutex> lock(mutex_);
    if (ready_.empty()) return nullptr;
    LargeBlock block = std::move(ready_.back());
    ready_.pop_back();
    ready_count_.store(ready_.size(), std::memory_order_relaxed);
    return block;
  }

  static constexpr size_t kSpare = 2;
  std::mutex mutex_;
  std::vector<LargeBlock> ready_;
  std::atomic<size_t> ready_count_{0};
  // Most scans fill less than the set's first block; blocks are readied
  // only for one that has asked for a block.
  std::atomic<bool> asked_{false};
};

// The ranges of a scan on several threads. Each range is tokenized from its
// start as if no link ran into it; the calling thread takes the ranges in
// order and keeps what agrees with where the walk really stands (see
// RunOnThreads). A slot holds one range's batch from its tokenizing to its
// reporting; a range waits for the slot of the range `slots` before it.
class SourceScan::Threads {
 public:
  struct Slot {
    int64_t range = 0;  // the range the slot is for next
    bool ready = false;
    TokenizeStatus status = TokenizeStatus::kDone;
    bool no_memory = false;
    LinkBatch batch;
  };

  Threads(SourceScan& scan, BlockSupply& supply, size_t slots)
      : scan_(scan), supply_(supply), slots_(slots) {
    for (size_t s = 0; s < slots_.size(); ++s) slots_[s].range = static_cast<int64_t>(s);
  }

  // Stops the threads and waits for them, also when the reporting throws.
  ~Threads() {
    stop_requested_.store(true, std::memory_order_relaxed);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    freed_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }

  // Starts one thread per tokenizer; returns how many started.
  size_t Start() {
    for (const std::unique_ptr<LinkTokenizer>& tokenizer : scan_.thread_tokenizers_) {
      try {
        threads_.emplace_back([this, &tokenizer] { Tokenize(*tokenizer); });
      } catch (const std::system_error&) {
        break;  // fewer threads, or none: the caller decides
      }
    }
    return threads_.size();
  }

  // Waits up to kRangeWait for range `k`; nullptr when it is not ready yet.
  Slot* WaitFor(int64_t k) {
    Slot& slot = SlotOf(k);
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ready_.wait_for(lock, kRangeWait, [&] { return slot.ready; })) return nullptr;
    return &slot;
  }

  // Gives range `k`'s slot to the range `slots` further on.
  void Release(int64_t k) {
    Slot& slot = SlotOf(k);
    slot.batch.Clear();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      slot.ready = false;
      slot.range = k + static_cast<int64_t>(slots_.size());
    }
    freed_.notify_all();
  }

  // Where the walk really stands, for the threads to skip what lies behind.
  void Publish(int64_t resume) { resume_.store(resume, std::memory_order_relaxed); }

 private:
  Slot& SlotOf(int64_t k) { return slots_[static_cast<size_t>(k) % slots_.size()]; }

  void Tokenize(LinkTokenizer& tokenizer) {
    // The calling thread is the one the others wait for (it reports the
    // links in order), and in the window it is also the user's: it comes
    // first when they compete for the processors.
    LowerThisThreadsPriority();
    // A link that starts behind where the walk already is lies inside an
    // earlier link: following it further is wasted.
    const LinkTokenizer::Abandon abandon = [this](int64_t link_start) {
      return stop_requested_.load(std::memory_order_relaxed) ||
             resume_.load(std::memory_order_relaxed) > link_start;
    };
    const int64_t ranges = scan_.RangeCount();
    for (;;) {
      const int64_t k = next_range_.fetch_add(1, std::memory_order_relaxed);
      if (k >= ranges) return;
      Slot& slot = SlotOf(k);
      {
        std::unique_lock<std::mutex> lock(mutex_);
        freed_.wait(lock, [&] { return stop_ || slot.range == k; });
        if (stop_) return;
      }
      const int64_t start = scan_.RangeStart(k);
      const int64_t end = scan_.RangeStart(k + 1);
      slot.status = TokenizeStatus::kDone;
      slot.no_memory = false;
      if (end > resume_.load(std::memory_order_relaxed)) {
        slot.no_memory = RanOutOfMemory(
            [&] { slot.status = tokenizer.Tokenize(start, end, slot.batch, abandon); });
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        slot.ready = true;
      }
      ready_.notify_one();
      supply_.Replenish();
    }
  }

  SourceScan& scan_;
  BlockSupply& supply_;
  std::vector<Slot> slots_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable ready_;
  std::condition_variable freed_;
  bool stop_ = false;
  // stop_, for a thread deep in a link, to see without the lock.
  std::atomic<bool> stop_requested_{false};
  std::atomic<int64_t> next_range_{0};
  std::atomic<int64_t> resume_{0};
};

std::unique_ptr<SourceScan> SourceScan::Create(ByteSource& source, const WalkOptions& options) {
  std::unique_ptr<SourceScan> scan(new (std::nothrow) SourceScan(source, options));
  if (!scan) return nullptr;
  scan->tokenizer_ = LinkTokenizer::Create(source, scan->known_ends_, options.piece_size);
  if (!scan->tokenizer_) return nullptr;
  // Threads are started only for a large source (see Run), but their
  // memory is taken here, with the rest.
  unsigned threads = options.threads != 0 ? options.threads : std::thread::hardware_concurrency();
  threads = std::min(threads, kMaxThreads);
  if (threads < 2) return scan;
  for (unsigned t = 0; t < threads; ++t) {
    std::unique_ptr<LinkTokenizer> tokenizer =
        LinkTokenizer::Create(source, scan->known_ends_, options.piece_size);
    if (!tokenizer ||
        RanOutOfMemory([&] { scan->thread_tokenizers_.push_back(std::move(tokenizer)); })) {
      return nullptr;
    }
  }
  return scan;
}

SourceScan::SourceScan(ByteSource& source, const WalkOptions& options)
    : source_(source), options_(options) {}

SourceScan::~SourceScan() = default;

int64_t SourceScan::RangeCount() const {
  const auto range = static_cast<int64_t>(std::max<size_t>(options_.range_size, 1));
  return (size_ + range - 1) / range;
}

int64_t SourceScan::RangeStart(int64_t k) const {
  const auto range = static_cast<int64_t>(std::max<size_t>(options_.range_size, 1));
  return std::min(k * range, size_);
}

WalkResult SourceScan::Run(Controls& ui) {
  ui_ = &ui;
  size_ = std::max<int64_t>(source_.Size(), 0);
  const bool parallel = !thread_tokenizers_.empty() && size_ >= options_.parallel_from;
  BlockSupply supply;
  std::optional<LinkSet> shown_links;
  std::optional<LinkReporter> reporter;
  WalkResult result;
  if (RanOutOfMemory([&] {
        shown_links.emplace(parallel ? supply.Taker() : LinkSet::ReadyBlocks());
        reporter.emplace(ui, *shown_links, options_.log_each_link);
        result = parallel ? RunOnThreads(*reporter, supply) : RunOnCallingThread(*reporter);
      })) {
    result.status = WalkStatus::kNoMemory;
  }
  if (reporter) result.counts = reporter->counts();
  if (result.status == WalkStatus::kDone && size_ >= 8 && last_progress_ != 100) {
    ui.SetProgress(kProgressBar, 100);
  }
  return result;
}

WalkResult SourceScan::RunOnCallingThread(LinkReporter& reporter) {
  const LinkTokenizer::Abandon abandon = [this](int64_t) { return !KeepGoing(); };
  LinkBatch batch;
  for (int64_t resume = 0; resume < size_;) {
    if (!KeepGoing()) return {WalkStatus::kStopped, {}};
    batch.Clear();
    const int64_t until = resume + static_cast<int64_t>(std::max<size_t>(options_.piece_size, 1));
    const TokenizeStatus status = tokenizer_->Tokenize(resume, until, batch, abandon);
    if (status != TokenizeStatus::kDone) return {StatusOf(status), {}};
    reporter.Report(batch);
    resume = batch.resume;
    ShowProgress(resume);
    if (batch.source_ended) break;
  }
  return {};
}

// Range k was tokenized as if the walk stood at its start looking for a link.
// The walk really stands at `resume`, never before the range's start: behind
// the end of the last link reported. When that is the range's start, the
// whole batch holds. When the last link ran into the range, the tokens from
// `resume` on hold if the range's own walk was looking for a link there too,
// i.e. no link of the batch spans `resume`; from there on both walks are the
// same. Otherwise the range is walked again from `resume` on this thread,
// which happens only where links cross the cut in ways that nest.
WalkResult SourceScan::RunOnThreads(LinkReporter& reporter, BlockSupply& supply) {
  Threads threads(*this, supply, kSlotsPerThread * thread_tokenizers_.size());
  if (threads.Start() == 0) return RunOnCallingThread(reporter);
  const LinkTokenizer::Abandon abandon = [this](int64_t) { return !KeepGoing(); };
  LinkBatch redo;
  int64_t resume = 0;
  bool ended = false;
  const int64_t ranges = RangeCount();
  for (int64_t k = 0; k < ranges; ++k) {
    Threads::Slot* slot;
    while ((slot = threads.WaitFor(k)) == nullptr) {
      if (!KeepGoing()) return {WalkStatus::kStopped, {}};
    }
    const int64_t start = RangeStart(k);
    const int64_t end = RangeStart(k + 1);
    const LinkBatch& batch = slot->batch;
    if (resume >= end) {
      // The whole range lies inside a link reported before.
    } else if (slot->no_memory) {
      return {WalkStatus::kNoMemory, {}};
    } else if (slot->status == TokenizeStatus::kReadFailed) {
      return {WalkStatus::kReadFailed, {}};
    } else if (resume == start && slot->status == TokenizeStatus::kDone) {
      reporter.Report(batch);
      resume = batch.resume;
      ended = batch.source_ended;
    } else {
      const std::vector<LinkToken>& tokens = batch.tokens;
      const auto first = std::lower_bound(
          tokens.begin(), tokens.end(), resume,
          [](const LinkToken& token, int64_t offset) { return token.start < offset; });
      const bool agrees = slot->status == TokenizeStatus::kDone &&
                          (first == tokens.begin() || std::prev(first)->end <= resume);
      if (agrees) {
        reporter.Report(batch, static_cast<size_t>(first - tokens.begin()));
        resume = std::max(resume, batch.resume);
        ended = batch.source_ended;
      } else {
        redo.Clear();
        const TokenizeStatus status = tokenizer_->Tokenize(resume, end, redo, abandon);
        if (status != TokenizeStatus::kDone) return {StatusOf(status), {}};
        reporter.Report(redo);
        resume = redo.resume;
        ended = redo.source_ended;
      }
    }
    threads.Publish(resume);
    threads.Release(k);
    ShowProgress(std::max(resume, end));
    if (ended) break;
    if (!KeepGoing()) return {WalkStatus::kStopped, {}};
  }
  return {};
}

bool SourceScan::KeepGoing() {
  if (stopped_) return false;
  if (!options_.keep_going) return true;
  const int64_t now = NowNanoseconds();
  if (now - last_asked_ < std::chrono::nanoseconds(kKeepGoingInterval).count()) return true;
  last_asked_ = now;
  stopped_ = !options_.keep_going();
  return !stopped_;
}

void SourceScan::ShowProgress(int64_t offset) {
  // A source shorter than 8 bytes holds no link and leaves the bar alone.
  if (size_ < 8) return;
  const int progress = offset >= size_ ? 100 : static_cast<int>(offset * 100 / size_);
  if (progress == last_progress_) return;
  last_progress_ = progress;
  ui_->SetProgress(kProgressBar, progress);
}

LinkCounts LinkScan(Controls& ui, const char* data, int64_t size) {
  if (size <= 0) return {};
  MemorySource source(data, size);
  const std::unique_ptr<SourceScan> scan = SourceScan::Create(source, WalkOptions());
  if (!scan) return {};
  return scan->Run(ui).counts;
}

}  // namespace varnolt
