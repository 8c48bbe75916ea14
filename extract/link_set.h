// The set of distinct links of one scan. Holds the link texts in large shared
// blocks with an open-addressing index, so a quarter of a million links cost
// little more than their bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "extract/large_memory.h"

namespace varnolt {

class LinkSet {
 public:
  // Throws std::bad_alloc when its first slots cannot be had.
  LinkSet();

  // The hash under which `text` is looked up.
  static uint64_t HashOf(std::string_view text);

  // Starts loading the part of the index where `hash` will be looked up, so
  // that an Insert() a little later finds it in the cache. Only a hint.
  void Prefetch(uint64_t hash) const {
#if defined(__GNUC__)
    __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
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
  // 16 bytes, so that four share a cache line. The text's length is stored
  // in front of its bytes, where the comparison reads anyway.
  struct Slot {
    uint64_t hash;
    const char* entry;  // nullptr marks an empty slot
  };

  static std::string_view TextOf(const char* entry);
  size_t FreeSlot(uint64_t hash) const;
  const char* Store(std::string_view text);
  void Grow();

  std::vector<Slot, LargeAllocator<Slot>> slots_;
  size_t size_ = 0;
  std::vector<LargeBlock> blocks_;
  size_t block_free_ = 0;
  char* block_next_ = nullptr;
};

}  // namespace varnolt
