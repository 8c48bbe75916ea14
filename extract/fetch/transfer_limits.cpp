#include "extract/fetch/transfer_limits.h"

namespace varnolt {

std::string SizeText(int64_t bytes) {
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  const char* unit = nullptr;
  for (const char* next : kUnits) {
    if (bytes == 0 || bytes % 1024 != 0) break;
    bytes /= 1024;
    unit = next;
  }
  return std::to_string(bytes) + " " + (unit != nullptr ? unit : "bytes");
}

std::string PageTooLargeReason(int64_t limit) { return "page larger than " + SizeText(limit); }

TransferLimits::TransferLimits(const FetchOptions& options, Clock::time_point start)
    : options_(options), start_(start) {
  samples_.push_back({start, 0});
}

std::string TransferLimits::Check(Clock::time_point now, const TransferProgress& progress) {
  if (progress.redirects > options_.max_redirects) {
    return "more than " + std::to_string(options_.max_redirects) + " redirects";
  }
  if (!progress.connected &&
      now - start_ >= std::chrono::seconds(options_.connect_timeout_seconds)) {
    return "no connection within " + std::to_string(options_.connect_timeout_seconds) + " seconds";
  }
  if (progress.body_bytes > options_.max_page_bytes)
    return PageTooLargeReason(options_.max_page_bytes);

  const int64_t received = progress.header_bytes + progress.body_bytes;
  samples_.push_back({now, received});
  const auto window = std::chrono::seconds(options_.stall_seconds);
  // Keep exactly one sample at least a window old: the base to judge from.
  while (samples_.size() > 1 && now - samples_[1].at >= window) samples_.pop_front();
  const Sample& base = samples_.front();
  if (now - base.at >= window &&
      received - base.received_bytes <
          int64_t{options_.stall_bytes_per_second} * options_.stall_seconds) {
    return "less than " + std::to_string(options_.stall_bytes_per_second) +
           " bytes per second over " + std::to_string(options_.stall_seconds) + " seconds";
  }
  return {};
}

}  // namespace varnolt
