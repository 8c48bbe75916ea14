// The limits of FetchOptions judged from samples of a transfer's progress,
// between the turns of the Windows client and of libcurl's transfer loop
// alike, so that both platforms end a transfer by one rule; and the texts
// that name them.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>

#include "extract/fetch/page_fetch.h"

namespace varnolt {

// `bytes` in the largest binary unit that divides it ("1 GiB", "64 KiB"),
// else in bytes ("1000 bytes").
std::string SizeText(int64_t bytes);

// The failure reason for a body longer than `limit` bytes:
// "page larger than 1 GiB".
std::string PageTooLargeReason(int64_t limit);

// What a transfer has done so far, as its watcher sees it.
struct TransferProgress {
  bool connected = false;  // the request went out on a connection
  int redirects = 0;       // redirects followed so far
  int64_t body_bytes = 0;  // body received so far, after decoding
  // Header bytes received so far, where the platform sees them: they show a
  // slow server at work as much as body bytes do.
  int64_t header_bytes = 0;
};

// Judges one transfer against its limits, from samples taken several times
// a second. Not thread-safe: the caller samples and asks on one thread.
class TransferLimits {
 public:
  using Clock = std::chrono::steady_clock;

  // The transfer started at `start`.
  TransferLimits(const FetchOptions& options, Clock::time_point start);

  // The reason the transfer must end at `now` given `progress`, or the empty
  // text while it may go on. In order: more than max_redirects redirects; no
  // connection after connect_timeout_seconds; a body longer than
  // max_page_bytes; fewer than stall_bytes_per_second * stall_seconds bytes,
  // header and body, over the last stall_seconds (judged once the transfer
  // is that old, so a server that never answers fails after stall_seconds,
  // and a burst counts only for the window it falls in). Calls must come
  // with `now` not decreasing; the stall judgement is as fine as their rate.
  std::string Check(Clock::time_point now, const TransferProgress& progress);

 private:
  struct Sample {
    Clock::time_point at;
    int64_t received_bytes;  // header and body
  };

  const FetchOptions& options_;
  const Clock::time_point start_;
  // Oldest first; the front is the latest sample at least stall_seconds old
  // once there is one.
  std::deque<Sample> samples_;
};

}  // namespace varnolt
