// Reads a file ahead of the scan on a second thread, so that the copy from
// the operating system and the walk over the bytes overlap.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "extract/input_file.h"

namespace varnolt {

class ReadAhead {
 public:
  static constexpr size_t kMaxSlots = 1 << 16;

  // Allocates `slots` buffers (at least one, at most kMaxSlots) of
  // `piece_size` bytes and starts reading `file` from its current position,
  // at most `limit` bytes. Returns nullptr when the memory cannot be had.
  // Without a second thread to be had, Next() reads each piece itself.
  static std::unique_ptr<ReadAhead> Create(InputFile& file, int64_t limit, size_t piece_size,
                                           size_t slots);

  // Stops the reader and waits for it.
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Waits for the next piece of the file and points `data` at it; the piece
  // stays valid until the next call. Returns its size, 0 once `limit` bytes
  // were delivered or the file ended, -1 after a read error.
  int64_t Next(const char*& data);

 private:
  struct Slot {
    std::unique_ptr<char[]> data;
    int64_t size = 0;  // bytes in the slot, 0 at the end, -1 after an error
  };

  ReadAhead(InputFile& file, int64_t limit, size_t piece_size, std::unique_ptr<Slot[]> slots,
            size_t slot_count);
  void ReadLoop();
  int64_t ReadPiece(Slot& slot);

  InputFile& file_;
  int64_t remaining_;
  const size_t piece_size_;
  const std::unique_ptr<Slot[]> slots_;
  const size_t slot_count_;

  std::mutex mutex_;
  std::condition_variable filled_;
  std::condition_variable emptied_;
  size_t ready_ = 0;     // slots filled and not yet taken back
  size_t consumer_ = 0;  // slot the consumer reads next
  bool stop_ = false;
  bool holding_ = false;           // the consumer still holds its current slot
  bool reader_waiting_ = false;    // for free slots
  bool consumer_waiting_ = false;  // for a filled slot
  std::thread reader_;
};

}  // namespace varnolt
