// A file that fails on demand, for the tests of what the job does when
// reading goes wrong: it has `size` bytes but holds only `content` (a file
// cut short after it was opened, when that is shorter), and its reads fail
// from an offset on, or after a number of good reads.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "extract/scan/byte_source.h"

namespace varnolt {

class FaultySource final : public ByteSource {
 public:
  FaultySource(int64_t size, std::string content) : size_(size), content_(std::move(content)) {}

  // Reads that reach `offset` or beyond fail.
  FaultySource& FailFrom(int64_t offset) {
    fail_from_ = offset;
    return *this;
  }
  // Reads after the first `reads` fail.
  FaultySource& FailAfter(int reads) {
    good_reads_ = reads;
    return *this;
  }

  int64_t Size() const override { return size_; }
  ReadResult Read(int64_t offset, size_t n, char* buffer) override {
    if (good_reads_-- <= 0) return {ReadStatus::kFailed, {}};
    if (offset >= size_) return {ReadStatus::kEnded, {}};
    const int64_t want = std::min<int64_t>(size_ - offset, static_cast<int64_t>(n));
    if (offset + want > fail_from_) return {ReadStatus::kFailed, {}};
    const int64_t held =
        std::clamp<int64_t>(static_cast<int64_t>(content_.size()) - offset, 0, want);
    std::memcpy(buffer, content_.data() + std::min<int64_t>(offset, content_.size()), held);
    return {held == want ? ReadStatus::kBytes : ReadStatus::kShrunk,
            std::string_view(buffer, static_cast<size_t>(held))};
  }

 private:
  const int64_t size_;
  const std::string content_;
  int64_t fail_from_ = INT64_MAX;
  int good_reads_ = INT32_MAX;
};

}  // namespace varnolt
