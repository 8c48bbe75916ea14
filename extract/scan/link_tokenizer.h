// The first half of the link scan: walking bytes for links. The tokenizer
// turns a stretch of a byte source into link tokens (where each link stands,
// its text as shown, how often it repeats back to back) and knows nothing of
// controls, counts or repeats across the scan; LinkReporter does that.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "extract/scan/byte_source.h"

namespace varnolt {

// The longest link text shown, in bytes; a longer link is cut to this many.
constexpr size_t kMaxLinkText = 63999;

// Where each link stands and what it shows.
struct LinkToken {
  int64_t start;    // offset of the first byte of its "ed2k://"
  int64_t end;      // offset just behind its last byte (behind the last copy)
  uint64_t hash;    // LinkSet::HashOf() of its text
  uint32_t text;    // where its text begins in LinkBatch::texts
  uint32_t size;    // the text's length, at most kMaxLinkText
  uint32_t copies;  // how often the same bytes stand here back to back (>= 1)
};

// The links of one stretch of the source, in file order.
struct LinkBatch {
  std::vector<LinkToken> tokens;
  std::string texts;  // the tokens' texts, back to back
  // Where the walk goes on behind the stretch: at its end, or behind a link
  // that runs past it.
  int64_t resume = 0;
  // The source ended before the stretch did (it may have shrunk since its
  // size was taken): nothing lies behind.
  bool source_ended = false;

  std::string_view TextOf(const LinkToken& token) const {
    return std::string_view(texts).substr(token.text, token.size);
  }
  void Clear() {
    tokens.clear();
    texts.clear();
    resume = 0;
    source_ended = false;
  }
};

// What the tokenizer has learnt about the whole source, shared by every
// tokenizer of one scan: from which offset on no end of a kind of link exists
// any more. A link whose end is known not to exist is skipped at once, so an
// "ed2k://" repeated without end costs one search to the end, not one each.
// Tokenizers follow links of one kind beyond their piece one at a time, so
// that a second one waits for what the first learns instead of searching to
// the end as well.
struct KnownEnds {
  std::atomic<int64_t> no_raw_end_from{INT64_MAX};
  std::atomic<int64_t> no_spelled_end_from{INT64_MAX};
  std::mutex following_raw;
  std::mutex following_spelled;
};

enum class TokenizeStatus {
  kDone,        // the stretch was walked
  kReadFailed,  // the source could not be read
  kAbandoned,   // `abandon` asked to stop while a link was followed
};

// The walk over the bytes. A link runs from the "e" of "ed2k://" (letters in
// any case) to its end: for a raw link, through the "/" of the first "|/"
// after it; for a spelled link, one whose "ed2k://" is followed directly by a
// spelled pipe ("%7C", "&#124;", "&#x7C;", "&vert;", "&verbar;"), through the
// "/" behind the first spelled pipe that has one. Its text is its bytes up to
// the first NUL, with every spelled pipe of a spelled link shown as "|" (and
// "&amp;" as "&" when its first pipe is spelled the HTML way), cut to
// kMaxLinkText bytes. A link with no end yields nothing, and the walk goes on
// behind its "ed2k://"; behind a link it goes on behind the link's end.
class LinkTokenizer {
 public:
  // Called now and then while a link is followed far (its end, or the lack
  // of one, may lie gigabytes away) with the offset where that link begins;
  // true abandons the walk.
  using Abandon = std::function<bool(int64_t link_start)>;

  // `piece_size` is how much is read at once (at least 1). Returns nullptr
  // when the read buffer cannot be had.
  static std::unique_ptr<LinkTokenizer> Create(ByteSource& source, KnownEnds& known,
                                               size_t piece_size);

  // Walks from `from`, where the walk looks for a link, over every link that
  // begins before `until`, following the last one to its end wherever that
  // is, and appends their tokens to `batch`; sets batch.resume. Token texts
  // are appended to batch.texts. May throw std::bad_alloc from the batch.
  TokenizeStatus Tokenize(int64_t from, int64_t until, LinkBatch& batch, const Abandon& abandon);

  // Reads the piece at `offset` and drops it. Returns false on a read error.
  bool CanRead(int64_t offset);

 private:
  LinkTokenizer(ByteSource& source, KnownEnds& known, size_t piece_size,
                std::unique_ptr<char[]> buffer);

  class Walk;

  ByteSource& source_;
  KnownEnds& known_;
  const size_t piece_size_;
  const std::unique_ptr<char[]> buffer_;  // piece_size_ + kLookahead bytes
};

}  // namespace varnolt
