// The set of distinct links of one scan. Holds the link texts in large shared
// blocks with an open-addressing index, so a quarter of a million links cost
// little more than their bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace varnolt {

class LinkSet {
 public:
  LinkSet();

  // Adds `text` unless an equal text (byte for byte) is already held.
  // Returns true when it was added.
  bool Insert(std::string_view text);

  size_t size() const { return size_; }

 private:
  // 16 bytes, so that four share a cache line. The text's length is stored
  // in front of its bytes, where the comparison reads anyway.
  struct Slot {
    uint64_t hash;
    const char* entry;  // nullptr marks an empty slot
  };

  static std::string_view TextOf(const char* entry);
  const char* Store(std::string_view text);
  void Grow();

  std::vector<Slot> slots_;
  size_t size_ = 0;
  std::vector<std::unique_ptr<char[]>> blocks_;
  size_t block_free_ = 0;
  char* block_next_ = nullptr;
};

}  // namespace varnolt
