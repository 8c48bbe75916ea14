#include "extract/read_ahead.h"

#include <algorithm>
#include <new>
#include <system_error>

namespace varnolt {

std::unique_ptr<ReadAhead> ReadAhead::Create(InputFile& file, int64_t limit, size_t piece_size,
                                             size_t slots) {
  // A count too large to allocate is plainly not enough memory.
  if (slots > kMaxSlots) return nullptr;
  slots = std::max<size_t>(slots, 1);
  std::unique_ptr<Slot[]> buffers(new (std::nothrow) Slot[slots]);
  if (!buffers) return nullptr;
  for (size_t i = 0; i < slots; ++i) {
    buffers[i].data.reset(new (std::nothrow) char[piece_size]);
    if (!buffers[i].data) return nullptr;
  }
  return std::unique_ptr<ReadAhead>(
      new ReadAhead(file, limit, piece_size, std::move(buffers), slots));
}

ReadAhead::ReadAhead(InputFile& file, int64_t limit, size_t piece_size,
                     std::unique_ptr<Slot[]> slots, size_t slot_count)
    : file_(file),
      remaining_(std::max<int64_t>(limit, 0)),
      piece_size_(piece_size),
      slots_(std::move(slots)),
      slot_count_(slot_count) {
  try {
    reader_ = std::thread(&ReadAhead::ReadLoop, this);
  } catch (const std::system_error&) {
    // No second thread to be had: Next() then reads each piece itself.
  }
}

ReadAhead::~ReadAhead() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  emptied_.notify_all();
  if (reader_.joinable()) reader_.join();
}

int64_t ReadAhead::ReadPiece(Slot& slot) {
  if (remaining_ == 0) return slot.size = 0;
  const size_t want = static_cast<size_t>(std::min<int64_t>(remaining_, piece_size_));
  slot.size = file_.Read(slot.data.get(), want);
  if (slot.size > 0) remaining_ -= slot.size;
  return slot.size;
}

void ReadAhead::ReadLoop() {
  for (size_t producer = 0;; producer = (producer + 1) % slot_count_) {
    {
      // The slots from consumer_ on, ready_ of them, are not to be touched.
      // Once the ring is full, wait until half of it is free again, so that
      // the two threads wake each other once per half ring, not per piece.
      std::unique_lock<std::mutex> lock(mutex_);
      if (ready_ == slot_count_) {
        reader_waiting_ = true;
        emptied_.wait(lock, [this] { return stop_ || ready_ <= slot_count_ / 2; });
        reader_waiting_ = false;
      }
      if (stop_) return;
    }
    const int64_t got = ReadPiece(slots_[producer]);
    bool wake;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++ready_;
      wake = consumer_waiting_;
    }
    if (wake) filled_.notify_one();
    if (got <= 0) return;
  }
}

int64_t ReadAhead::Next(const char*& data) {
  if (!reader_.joinable()) {
    data = slots_[0].data.get();
    return ReadPiece(slots_[0]);
  }
  std::unique_lock<std::mutex> lock(mutex_);
  if (holding_) {
    // Hand the previous piece back to the reader.
    holding_ = false;
    --ready_;
    consumer_ = (consumer_ + 1) % slot_count_;
    if (reader_waiting_ && ready_ <= slot_count_ / 2) emptied_.notify_one();
  }
  if (ready_ == 0) {
    consumer_waiting_ = true;
    filled_.wait(lock, [this] { return ready_ > 0; });
    consumer_waiting_ = false;
  }
  const Slot& slot = slots_[consumer_];
  data = slot.data.get();
  if (slot.size <= 0) return slot.size;  // the end stays the end on later calls
  holding_ = true;
  return slot.size;
}

}  // namespace varnolt
