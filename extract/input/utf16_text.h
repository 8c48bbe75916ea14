// Files saved as UTF-16 with a byte-order mark, as Windows programs save text
// (Notepad's "Unicode", PowerShell's redirections, the lists that ed2k clients
// export), read as their text in UTF-8. In such a file every character takes
// two bytes ("e\0d\02\0k\0"), so a walk over its bytes would find no link.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "extract/scan/byte_source.h"

namespace varnolt {

enum class ByteOrder { kLittleEndian, kBigEndian };

// The byte order that a file beginning with `start` announces: little-endian
// after FF FE, big-endian after FE FF. Nothing for any other start: such a
// file is read as bytes, whatever its content looks like.
std::optional<ByteOrder> Utf16MarkOf(std::string_view start);

// The text of a UTF-16 file behind its byte-order mark, as the same text
// saved as UTF-8 would hold it: a surrogate pair becomes its character, an
// unpaired surrogate U+FFFD, and a last odd byte is dropped.
//
// An offset into the text does not tell where in the file its character
// lies, so the file is counted once first (Count): the UTF-8 length of each
// block of it. A read then decodes from the start of the block that its
// offset falls in. The index of blocks holds at most 65,537 entries, however
// large the file; a read keeps what it decodes on its own stack.
// The most code units a Utf16Text reads from the file at once.
inline constexpr size_t kMaxUtf16ReadUnits = 32768;

// How a Utf16Text cuts its file. The defaults suit files; tests make both
// tiny, so that characters and links straddle every boundary.
struct Utf16Layout {
  size_t block_units = 0;  // code units per block of the index; 0: by the file's size
  size_t read_units = kMaxUtf16ReadUnits;
};

class Utf16Text final : public ByteSource {
 public:
  // The text of `file`, which begins with the mark of `order` and must stay
  // open while the text is read. Reads nothing yet. Returns nullptr when the
  // index cannot be had.
  static std::unique_ptr<Utf16Text> Create(ByteSource& file, ByteOrder order,
                                           Utf16Layout layout = {});

  enum class CountStatus { kCounted, kReadFailed, kStopped };

  // Reads the whole file once, on up to `threads` threads, and learns how
  // long its text is and where each block of it begins. Asks `keep_going`,
  // when set, on the calling thread after each mebibyte it counted; false
  // stops with kStopped. Until it has counted, the text is empty. A file
  // that shrinks meanwhile is counted to its new end.
  CountStatus Count(const std::function<bool()>& keep_going = {}, unsigned threads = 1);

  // The text's length in bytes of UTF-8.
  int64_t Size() const override { return size_; }

  // Decodes up to `n` bytes of the text from `offset` into `buffer`: fewer
  // only where the text ends, or the file if it shrank. Safe to call from
  // several threads at once.
  ReadResult Read(int64_t offset, size_t n, char* buffer) override;

 private:
  // Units [unit, unit + count) as read, with the unit before them and the
  // one behind (0x10000 for none); `count` is less than asked for where the
  // file ends.
  struct Chunk {
    const unsigned char* units = nullptr;
    size_t count = 0;
    uint32_t before = 0x10000;
    uint32_t after = 0x10000;
  };

  Utf16Text(ByteSource& file, ByteOrder order, size_t block_units, size_t read_units,
            std::vector<int64_t> starts);

  // Adds the UTF-8 length of each of the blocks [first, last) to the entry
  // behind its own in starts_. False on a read error.
  bool CountBlocks(size_t first, size_t last, unsigned char* raw);
  // The unit at `p`, in the file's byte order.
  uint32_t UnitOf(const unsigned char* p) const;

  // A unit boundary and where in the text it lies: a place to begin
  // decoding. Reads note the place near their end, where the next read of
  // the same walk begins, so that it need not decode from its block's start.
  struct Anchor {
    int64_t text = 0;
    int64_t unit = 0;
  };
  Anchor AnchorFor(int64_t offset) const;
  void NoteAnchor(Anchor anchor);
  // Reads up to `count` units from `unit` on, with their neighbours, into
  // `raw` (or where the file's bytes already lie). False on a read error.
  bool ReadChunk(int64_t unit, size_t count, unsigned char* raw, Chunk& chunk) const;

  ByteSource& file_;
  const ByteOrder order_;
  const int64_t units_;  // code units in the file, behind the mark
  const size_t block_units_;
  const size_t read_units_;
  // starts_[b]: where in the text block b begins; the last entry is the
  // text's length. Filled by Count().
  std::vector<int64_t> starts_;
  int64_t size_ = 0;
  // A few walks at once (one per thread), each noting the place of its next read.
  mutable std::mutex anchors_mutex_;
  std::array<Anchor, 16> anchors_ = {};
  size_t next_anchor_ = 0;
};

}  // namespace varnolt
