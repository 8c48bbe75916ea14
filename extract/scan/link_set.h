// The set of distinct links of one scan. Holds the link texts in large shared
// blocks with an open-addressing index, so a quarter of a million links cost
// little more than their bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "extract/scan/large_memory.h"

namespace varnolt {

class LinkSet {
 public:
  // Texts are stored in blocks of this many bytes.
  static constexpr size_t kBlockBytes = size_t{2} << 20;

  // Where a set may take a block made ready elsewhere (its pages already
  // faulted in); null when none is ready, and the set allocates its own.
  using ReadyBlocks = std::function<LargeBlock()>;

  // Throws std::bad_alloc when its first slots cannot be had.
  explicit LinkSet(ReadyBlocks ready_blocks = {});

  // The hash under which `text` is looked up.
  static uint64_t HashOf(std::string_view text);

  // Starts loading the part of the index where `hash` will be looked up, so
  // that an Insert() a little later finds it in the cache. Only a hint.
  void Prefetch(uint64_t hash) const {
#if defined(__GNUC__)
    __builtin_prefetch(&slots_[SlotOf(Tag(hash))]);
#else
    (void)hash;
#endif
  }

  struct Insertion {
    std::string_view held;  // the set's copy of the text, valid as long as the set
    bool added;             // false when an equal text (byte for byte) was held
  };

  // Adds `text` unless an equal text is already held. `hash` must be
  // HashOf(text). Throws std::bad_alloc when the set cannot grow; the set
  // then holds what it held, and stays usable.
  Insertion Insert(std::string_view text, uint64_t hash);

 private:
  // 8 bytes, so that eight share a cache line and the index of a quarter of
  // a million links is 4 MiB of memory to fault in, not 8.
  struct Slot {
    uint32_t tag;    // the top half of the text's hash
    uint32_t entry;  // where the text is stored (see EntryAt); 0: the slot is empty
  };

  // A slot's place comes from the top bits of the tag, so that the index can
  // grow without the texts being hashed again.
  static uint32_t Tag(uint64_t hash) { return static_cast<uint32_t>(hash >> 32); }
  size_t SlotOf(uint32_t tag) const { return tag >> (32 - slot_bits_); }

  std::string_view TextOf(uint32_t entry) const;
  size_t FreeSlot(uint32_t tag) const;
  uint32_t Store(std::string_view text);
  void Grow();

  std::vector<Slot, LargeAllocator<Slot>> slots_;
  int slot_bits_;  // slots_.size() == 1 << slot_bits_
  size_t size_ = 0;
  std::vector<LargeBlock> blocks_;
  size_t block_used_ = 0;  // in the last block, in 8-byte units
  const ReadyBlocks ready_blocks_;
};

}  // namespace varnolt
