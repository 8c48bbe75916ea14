// The one way bytes reach the scan, whatever holds them: a file, standard
// input, a downloaded page, a UTF-16 file's text, or a buffer in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace varnolt {

// How a read went.
enum class ReadStatus {
  kBytes,   // the bytes asked for, or those up to the source's end
  kEnded,   // the offset lies at or behind the source's end: no bytes
  kShrunk,  // the source ended before its size (a file cut short after it was
            // opened): the bytes that were still there, perhaps none
  kFailed,  // a read error: no bytes
};

struct ReadResult {
  ReadStatus status = ReadStatus::kFailed;
  std::string_view bytes;
};

class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // The number of bytes when the source was opened; a read never gives
  // bytes behind it, even where the source has grown since.
  virtual int64_t Size() const = 0;

  // Reads up to `n` bytes from `offset`: copies them into `buffer`, which
  // has room for `n`, or points at them where they already lie in memory.
  // Safe to call from several threads at once.
  virtual ReadResult Read(int64_t offset, size_t n, char* buffer) = 0;
};

}  // namespace varnolt
