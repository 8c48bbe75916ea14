#include "extract/link_set.h"

#include <cstring>

namespace varnolt {
namespace {

constexpr size_t kInitialSlots = 1024;
constexpr size_t kBlockSize = 1 << 20;

uint64_t Load64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

uint64_t Mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

// Eight bytes a step; links are mostly 60 to 300 bytes long.
uint64_t Hash(std::string_view text) {
  const char* p = text.data();
  size_t n = text.size();
  uint64_t h = 0x9e3779b97f4a7c15ULL ^ (n * 0x100000001b3ULL);
  for (; n >= 8; p += 8, n -= 8) h = (h ^ Mix(Load64(p))) * 0x9e3779b97f4a7c15ULL;
  uint64_t last = 0;
  std::memcpy(&last, p, n);
  return Mix(h ^ Mix(last ^ n));
}

}  // namespace

LinkSet::LinkSet() : slots_(kInitialSlots, Slot{0, nullptr, 0}) {}

bool LinkSet::Insert(std::string_view text) {
  const uint64_t hash = Hash(text);
  const size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.text == nullptr) {
      slot = Slot{hash, Store(text), text.size()};
      // Keep the table at most half full so probes stay short.
      if (++size_ * 2 > slots_.size()) Grow();
      return true;
    }
    if (slot.hash == hash && slot.length == text.size() &&
        std::memcmp(slot.text, text.data(), text.size()) == 0) {
      return false;
    }
  }
}

const char* LinkSet::Store(std::string_view text) {
  if (text.empty()) return "";
  if (text.size() > kBlockSize / 4) {
    // A long link gets a block of its own instead of wasting a shared one.
    blocks_.push_back(std::make_unique<char[]>(text.size()));
    std::memcpy(blocks_.back().get(), text.data(), text.size());
    return blocks_.back().get();
  }
  if (text.size() > block_free_) {
    blocks_.push_back(std::make_unique<char[]>(kBlockSize));
    block_next_ = blocks_.back().get();
    block_free_ = kBlockSize;
  }
  char* stored = block_next_;
  std::memcpy(stored, text.data(), text.size());
  block_next_ += text.size();
  block_free_ -= text.size();
  return stored;
}

void LinkSet::Grow() {
  std::vector<Slot> old(slots_.size() * 2, Slot{0, nullptr, 0});
  old.swap(slots_);
  const size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.text == nullptr) continue;
    size_t i = slot.hash & mask;
    while (slots_[i].text != nullptr) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

}  // namespace varnolt
