#include "extract/scan/link_set.h"

#include <cstring>
#include <new>
#include <utility>

#include "extract/boundary/bytes.h"

namespace varnolt {
namespace {

constexpr int kInitialSlotBits = 10;

// Texts are stored in blocks of kBlockUnits units of 8 bytes, each text behind
// its length and starting on a unit. An entry numbers the unit where its
// length is stored, counted over all blocks, plus one (0 marks an empty slot).
constexpr size_t kUnit = 8;
constexpr int kBlockUnitBits = 18;
constexpr size_t kBlockUnits = size_t{1} << kBlockUnitBits;
static_assert(kBlockUnits * kUnit == LinkSet::kBlockBytes);
// Entries are 32 bits: room for 32 GiB of distinct link text.
constexpr size_t kMaxBlocks = (size_t{1} << (32 - kBlockUnitBits)) - 1;

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

}  // namespace

LinkSet::LinkSet(ReadyBlocks ready_blocks)
    : slots_(size_t{1} << kInitialSlotBits, Slot{0, 0}),
      slot_bits_(kInitialSlotBits),
      ready_blocks_(std::move(ready_blocks)) {}

uint64_t LinkSet::HashOf(std::string_view text) { return HashText(text); }

std::string_view LinkSet::TextOf(uint32_t entry) const {
  const size_t unit = entry - 1;
  const char* at = blocks_[unit >> kBlockUnitBits].get() + (unit & (kBlockUnits - 1)) * kUnit;
  uint64_t length;
  std::memcpy(&length, at, kUnit);
  return {at + kUnit, static_cast<size_t>(length)};
}

LinkSet::Insertion LinkSet::Insert(std::string_view text, uint64_t hash) {
  const uint32_t tag = Tag(hash);
  const size_t mask = slots_.size() - 1;
  size_t i = SlotOf(tag);
  for (; slots_[i].entry != 0; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.tag != tag) continue;
    const std::string_view held = TextOf(slot.entry);
    if (held == text) return {held, false};
  }
  // The index stays at most half full, so that probes stay short. It grows
  // before the text is stored: a failure leaves the set as it was.
  if ((size_ + 1) * 2 > slots_.size()) {
    Grow();
    i = FreeSlot(tag);
  }
  const uint32_t entry = Store(text);
  slots_[i] = Slot{tag, entry};
  ++size_;
  return {TextOf(entry), true};
}

size_t LinkSet::FreeSlot(uint32_t tag) const {
  const size_t mask = slots_.size() - 1;
  size_t i = SlotOf(tag);
  while (slots_[i].entry != 0) i = (i + 1) & mask;
  return i;
}

uint32_t LinkSet::Store(std::string_view text) {
  const size_t units = 1 + (text.size() + kUnit - 1) / kUnit;
  // A text longer than a block cannot be stored; link texts are far shorter.
  if (units > kBlockUnits) throw std::bad_alloc();
  if (blocks_.empty() || units > kBlockUnits - block_used_) {
    if (blocks_.size() >= kMaxBlocks) throw std::bad_alloc();
    LargeBlock block = ready_blocks_ ? ready_blocks_() : nullptr;
    if (!block) block = AllocateLargeBlock(kBlockBytes);
    blocks_.push_back(std::move(block));
    block_used_ = 0;
  }
  const size_t unit = ((blocks_.size() - 1) << kBlockUnitBits) + block_used_;
  char* at = blocks_.back().get() + block_used_ * kUnit;
  const uint64_t length = text.size();
  std::memcpy(at, &length, kUnit);
  if (!text.empty()) std::memcpy(at + kUnit, text.data(), text.size());
  block_used_ += units;
  return static_cast<uint32_t>(unit + 1);
}

void LinkSet::Grow() {
  if (slot_bits_ >= 32) throw std::bad_alloc();
  auto old = std::exchange(slots_, decltype(slots_)(slots_.size() * 2, Slot{0, 0}));
  ++slot_bits_;
  for (const Slot& slot : old) {
    if (slot.entry != 0) slots_[FreeSlot(slot.tag)] = slot;
  }
}

}  // namespace varnolt
