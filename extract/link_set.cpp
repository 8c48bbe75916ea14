#include "extract/link_set.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "extract/bytes.h"

namespace varnolt {
namespace {

constexpr size_t kInitialSlots = 1024;
constexpr size_t kBlockSize = 2 << 20;

uint64_t Mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

uint64_t RotateLeft(uint64_t v, int bits) { return (v << bits) | (v >> (64 - bits)); }

// Eight bytes a step with one multiply each, and a full mix at the end;
// links are mostly 60 to 300 bytes long.
uint64_t HashText(std::string_view text) {
  const char* p = text.data();
  size_t n = text.size();
  uint64_t h = 0x9e3779b97f4a7c15ULL ^ n;
  for (; n >= 8; p += 8, n -= 8) h = RotateLeft((h ^ Load64(p)) * 0xbf58476d1ce4e5b9ULL, 31);
  uint64_t last = 0;
  std::memcpy(&last, p, n);
  return Mix(h ^ last);
}

constexpr size_t kLengthSize = sizeof(uint64_t);

}  // namespace

LinkSet::LinkSet() : slots_(kInitialSlots, Slot{0, nullptr}) {}

std::string_view LinkSet::TextOf(const char* entry) {
  uint64_t length;
  std::memcpy(&length, entry, kLengthSize);
  return {entry + kLengthSize, static_cast<size_t>(length)};
}

uint64_t LinkSet::HashOf(std::string_view text) { return HashText(text); }

LinkSet::Insertion LinkSet::Insert(std::string_view text, uint64_t hash) {
  size_t i = hash & (slots_.size() - 1);
  for (; slots_[i].entry != nullptr; i = (i + 1) & (slots_.size() - 1)) {
    const Slot& slot = slots_[i];
    if (slot.hash == hash && TextOf(slot.entry) == text) return {TextOf(slot.entry), false};
  }
  // The table stays at most half full, so that probes stay short. It grows
  // before the text is stored: a failure leaves the set as it was.
  if ((size_ + 1) * 2 > slots_.size()) {
    Grow();
    i = FreeSlot(hash);
  }
  const char* entry = Store(text);
  slots_[i] = Slot{hash, entry};
  ++size_;
  return {TextOf(entry), true};
}

size_t LinkSet::FreeSlot(uint64_t hash) const {
  const size_t mask = slots_.size() - 1;
  size_t i = hash & mask;
  while (slots_[i].entry != nullptr) i = (i + 1) & mask;
  return i;
}

const char* LinkSet::Store(std::string_view text) {
  const size_t size = kLengthSize + text.size();
  char* entry;
  if (size > kBlockSize / 4) {
    // A long link gets a block of its own instead of wasting a shared one.
    blocks_.push_back(AllocateLargeBlock(size));
    entry = blocks_.back().get();
  } else {
    if (size > block_free_) {
      blocks_.push_back(AllocateLargeBlock(kBlockSize));
      block_next_ = blocks_.back().get();
      block_free_ = kBlockSize;
    }
    entry = block_next_;
    // Keep the next length field aligned.
    const size_t used = (size + kLengthSize - 1) / kLengthSize * kLengthSize;
    block_next_ += std::min(used, block_free_);
    block_free_ -= std::min(used, block_free_);
  }
  const uint64_t length = text.size();
  std::memcpy(entry, &length, kLengthSize);
  std::memcpy(entry + kLengthSize, text.data(), text.size());
  return entry;
}

void LinkSet::Grow() {
  const auto old = std::exchange(slots_, decltype(slots_)(slots_.size() * 2, Slot{0, nullptr}));
  for (const Slot& slot : old) {
    if (slot.entry != nullptr) slots_[FreeSlot(slot.hash)] = slot;
  }
}

}  // namespace varnolt
