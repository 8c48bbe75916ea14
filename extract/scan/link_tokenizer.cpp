#include "extract/scan/link_tokenizer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "extract/boundary/bytes.h"
#include "extract/scan/link_search.h"
#include "extract/scan/link_set.h"

namespace varnolt {
namespace {

// Bytes read beyond each piece, so that whatever begins in the piece can be
// judged without the next one: an "ed2k://" and the spelled pipe behind it
// (7 + 8 bytes), or a spelled link's end (a pipe and its "/", 9 bytes).
constexpr size_t kLookahead = 16;

// The longest end of each kind of link: "|/", and "&verbar;/".
constexpr size_t kRawEndSize = 2;
constexpr size_t kSpelledEndSize = kMaxSpelledPipeSize + 1;

// memcmp for equality, without the call for the short texts (8 to 16 bytes)
// that a run of one short link compares by the million.
bool SameBytes(const char* a, const char* b, size_t n) {
  if (n >= 8 && n <= 16) {
    return Load64(a) == Load64(b) && Load64(a + n - 8) == Load64(b + n - 8);
  }
  return std::memcmp(a, b, n) == 0;
}

void LowerTo(std::atomic<int64_t>& value, int64_t candidate) {
  int64_t current = value.load(std::memory_order_relaxed);
  while (candidate < current &&
         !value.compare_exchange_weak(current, candidate, std::memory_order_relaxed)) {
  }
}

}  // namespace

// One call of Tokenize(): the bytes in view, and the text of the link being
// followed.
class LinkTokenizer::Walk {
 public:
  Walk(LinkTokenizer& tokenizer, LinkBatch& batch, const Abandon& abandon)
      : tokenizer_(tokenizer), batch_(batch), abandon_(abandon) {}

  TokenizeStatus Run(int64_t from, int64_t until);

 private:
  // What became of a link begun at an "ed2k://".
  struct Outcome {
    TokenizeStatus status;
    int64_t resume;  // where the walk goes on
  };

  bool Load(int64_t offset);
  Outcome OnMarker(size_t m);
  bool LinkWithoutEnd(size_t m) const;
  int64_t NoEndFrom(bool spelled) const;
  size_t FindEnd(bool spelled, size_t from) const;
  bool LastLinkStandsAt(size_t m) const;

  // A link followed beyond its view, and what the follow has learnt. It is
  // looked at for the other kind's ends too, from the second view on: a
  // follow that reaches the source's end then learns for both kinds whether
  // any end is left.
  struct Follow {
    int64_t start;
    bool spelled;
    bool html;
    int64_t decoded;   // the first byte not yet taken into the text
    int64_t searched;  // no end of the link's kind begins before
    int64_t other_searched_from = -1;
    bool other_found = false;
    bool reached_end = false;
  };
  Outcome FollowLink(int64_t start, bool spelled, bool html);
  int64_t Settled() const;
  size_t TakeInView(Follow& follow);
  Outcome NoEndBehind(const Follow& follow);

  // The text of the link being taken, appended to batch_.texts from
  // text_start_; complete once a NUL or kMaxLinkText bytes ended it.
  void BeginText() {
    text_start_ = batch_.texts.size();
    text_complete_ = false;
  }
  void AppendRaw(const char* p, size_t n);
  size_t AppendDecoded(size_t from, size_t to, bool html);
  void Emit(int64_t start, int64_t end, bool raw);

  LinkTokenizer& tokenizer_;
  LinkBatch& batch_;
  const Abandon& abandon_;
  int64_t until_ = 0;  // links that begin from here on are not this walk's

  // The bytes [base_, base_ + size_) of the source; at_end_ when nothing
  // follows them.
  const char* data_ = nullptr;
  size_t size_ = 0;
  int64_t base_ = 0;
  bool at_end_ = true;
  bool view_moved_ = false;  // FollowLink() loaded other bytes

  size_t text_start_ = 0;
  bool text_complete_ = false;

  // The last token, when it was a raw link whose text is all of its bytes:
  // the same bytes at the next "ed2k://" are the same link again.
  bool last_is_whole_ = false;
};

std::unique_ptr<LinkTokenizer> LinkTokenizer::Create(ByteSource& source, KnownEnds& known,
                                                     size_t piece_size) {
  piece_size = std::max<size_t>(piece_size, 1);
  if (piece_size > SIZE_MAX / 2) return nullptr;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[piece_size + kLookahead]);
  if (!buffer) return nullptr;
  return std::unique_ptr<LinkTokenizer>(
      new (std::nothrow) LinkTokenizer(source, known, piece_size, std::move(buffer)));
}

LinkTokenizer::LinkTokenizer(ByteSource& source, KnownEnds& known, size_t piece_size,
                             std::unique_ptr<char[]> buffer)
    : source_(source), known_(known), piece_size_(piece_size), buffer_(std::move(buffer)) {}

TokenizeStatus LinkTokenizer::Tokenize(int64_t from, int64_t until, LinkBatch& batch,
                                       const Abandon& abandon) {
  return Walk(*this, batch, abandon).Run(from, until);
}

bool LinkTokenizer::CanRead(int64_t offset) {
  return source_.Read(offset, piece_size_, buffer_.get()).status != ReadStatus::kFailed;
}

bool LinkTokenizer::Walk::Load(int64_t offset) {
  base_ = offset;
  data_ = nullptr;
  size_ = 0;
  at_end_ = true;
  const ReadResult read = tokenizer_.source_.Read(offset, tokenizer_.piece_size_ + kLookahead,
                                                  tokenizer_.buffer_.get());
  if (read.status == ReadStatus::kFailed) return false;
  data_ = read.bytes.data();
  size_ = read.bytes.size();
  at_end_ = read.status != ReadStatus::kBytes ||
            offset + static_cast<int64_t>(size_) >= tokenizer_.source_.Size();
  return true;
}

TokenizeStatus LinkTokenizer::Walk::Run(int64_t from, int64_t until) {
  until_ = until;
  int64_t pos = from;
  while (pos < until && !batch_.source_ended) {
    // Once no end of either kind lies behind `pos`, no link can begin there.
    if (pos >= std::max(NoEndFrom(false), NoEndFrom(true))) {
      pos = until;
      break;
    }
    if (!Load(pos)) return TokenizeStatus::kReadFailed;
    if (size_ == 0) {
      batch_.source_ended = true;
      break;
    }
    view_moved_ = false;
    // Links may begin before `core_end`; the bytes behind it are there to
    // judge them (and, at the source's end, there is nothing to judge).
    const int64_t core_end = std::min(pos + static_cast<int64_t>(tokenizer_.piece_size_), until);
    const size_t limit = std::min(size_, static_cast<size_t>(core_end - base_) + kMarkerSize - 1);
    size_t i = static_cast<size_t>(pos - base_);
    for (;;) {
      // Back to back, as in a file of nothing but "ed2k://", without a call.
      const size_t m =
          i + kMarkerSize <= limit && IsMarker(data_ + i) ? i : FindMarker(data_, i, limit);
      if (m == kNotFound) {
        pos = core_end;
        batch_.source_ended = at_end_ && pos >= base_ + static_cast<int64_t>(size_);
        break;
      }
      if (LinkWithoutEnd(m)) {
        // The fast way past a file full of "ed2k://" that never ends.
        i = m + kMarkerSize;
        continue;
      }
      const Outcome outcome = OnMarker(m);
      if (outcome.status != TokenizeStatus::kDone) return outcome.status;
      pos = outcome.resume;
      if (view_moved_ || pos >= core_end) break;
      i = static_cast<size_t>(pos - base_);
    }
  }
  batch_.resume = pos;
  return TokenizeStatus::kDone;
}

LinkTokenizer::Walk::Outcome LinkTokenizer::Walk::OnMarker(size_t m) {
  const int64_t start = base_ + static_cast<int64_t>(m);
  if (LastLinkStandsAt(m)) {
    // Copies of the last link one after another: one comparison each, no
    // search for the end.
    const LinkToken last = batch_.tokens.back();
    const char* text = batch_.texts.data() + last.text;
    const size_t n = last.size;
    const size_t own_end = static_cast<size_t>(std::min<int64_t>(until_ - base_, size_));
    uint32_t copies = 1;
    size_t at = m + n;
    for (; at < own_end && at + n <= size_ && SameBytes(data_ + at, text, n); at += n) ++copies;
    batch_.tokens.push_back(
        {start, base_ + static_cast<int64_t>(at), last.hash, last.text, last.size, copies});
    return {TokenizeStatus::kDone, base_ + static_cast<int64_t>(at)};
  }

  // A link whose end is known not to exist never comes here (Run() skips
  // it), nor does a run of the last link.
  const size_t after = m + kMarkerSize;
  const bool spelled = SpelledPipeAt(data_ + after, size_ - after) != 0;
  const bool html = spelled && data_[after] == '&';
  const size_t end = FindEnd(spelled, after);
  if (end == kNotFound) return FollowLink(start, spelled, html);

  // The common case: the whole link is in view.
  BeginText();
  if (spelled) {
    AppendDecoded(m, end, html);
  } else {
    AppendRaw(data_ + m, end - m);
  }
  Emit(start, base_ + static_cast<int64_t>(end), !spelled);
  return {TokenizeStatus::kDone, base_ + static_cast<int64_t>(end)};
}

// The offset in view just behind the first end of a link of its kind (raw or
// spelled) that begins at `from` or later and lies wholly in view, or
// kNotFound.
size_t LinkTokenizer::Walk::FindEnd(bool spelled, size_t from) const {
  if (!spelled) {
    const size_t j = FindTerminator(data_, from, size_);
    return j == kNotFound ? kNotFound : j + kRawEndSize;
  }
  size_t pipe = 0;
  const size_t j = FindSpelledEnd(data_, from, size_, pipe);
  return j == kNotFound ? kNotFound : j + pipe + 1;
}

// True when the "ed2k://" at `m` begins a link whose kind (raw or spelled)
// has no end anywhere behind it: it yields nothing. Nor could a run of the
// last link stand there: that would be a raw link with its end.
bool LinkTokenizer::Walk::LinkWithoutEnd(size_t m) const {
  const size_t after = m + kMarkerSize;
  const bool spelled = SpelledPipeAt(data_ + after, size_ - after) != 0;
  return base_ + static_cast<int64_t>(after) >= NoEndFrom(spelled);
}

int64_t LinkTokenizer::Walk::NoEndFrom(bool spelled) const {
  const KnownEnds& known = tokenizer_.known_;
  return (spelled ? known.no_spelled_end_from : known.no_raw_end_from)
      .load(std::memory_order_relaxed);
}

// True when the last token is a whole raw link and its bytes stand again at
// `m`. The same bytes make the same link: its first "|/" is where the last
// one's was, and no NUL or spelled pipe comes before it.
bool LinkTokenizer::Walk::LastLinkStandsAt(size_t m) const {
  if (!last_is_whole_) return false;
  const LinkToken& last = batch_.tokens.back();
  return m + last.size <= size_ && SameBytes(data_ + m, batch_.texts.data() + last.text, last.size);
}

// A link whose end is not in view: read on until it comes, or until the
// source ends without it.
LinkTokenizer::Walk::Outcome LinkTokenizer::Walk::FollowLink(int64_t start, bool spelled,
                                                             bool html) {
  KnownEnds& known = tokenizer_.known_;
  const std::lock_guard<std::mutex> one_at_a_time(spelled ? known.following_spelled
                                                          : known.following_raw);
  Follow follow{start, spelled, html, start, start + static_cast<int64_t>(kMarkerSize)};
  if (follow.searched >= NoEndFrom(spelled)) return {TokenizeStatus::kDone, follow.searched};
  BeginText();
  for (;;) {
    const size_t end = TakeInView(follow);
    if (end != kNotFound) {
      Emit(start, base_ + static_cast<int64_t>(end), !spelled);
      return {TokenizeStatus::kDone, base_ + static_cast<int64_t>(end)};
    }
    if (follow.other_searched_from >= 0 && !follow.other_found) {
      follow.other_found =
          FindEnd(!spelled, static_cast<size_t>(follow.searched - base_)) != kNotFound;
    }
    if (at_end_) {
      follow.reached_end = true;
      break;
    }
    if (abandon_ && abandon_(start)) return {TokenizeStatus::kAbandoned, start};
    follow.searched = Settled();
    // Another tokenizer may have searched the rest already, and found none.
    if (follow.searched >= NoEndFrom(spelled)) break;
    if (follow.other_searched_from < 0) follow.other_searched_from = follow.searched;
    view_moved_ = true;
    if (!Load(std::min(follow.searched, follow.decoded))) {
      return {TokenizeStatus::kReadFailed, start};
    }
    if (size_ == 0) {
      follow.reached_end = true;
      break;
    }
  }
  return NoEndBehind(follow);
}

// An end of either kind that begins before the offset returned lies wholly
// in view, and so does a spelled pipe that a text takes in there.
int64_t LinkTokenizer::Walk::Settled() const {
  const int64_t view_end = base_ + static_cast<int64_t>(size_);
  return at_end_ ? view_end : view_end - static_cast<int64_t>(kSpelledEndSize - 1);
}

// Takes the followed link's text in view, up to its end where that is in
// view (returned, as an offset in view), else up to what is settled
// (kNotFound).
size_t LinkTokenizer::Walk::TakeInView(Follow& follow) {
  const size_t end = FindEnd(follow.spelled, static_cast<size_t>(follow.searched - base_));
  const size_t take_to = end != kNotFound ? end : static_cast<size_t>(Settled() - base_);
  const size_t take_from = static_cast<size_t>(follow.decoded - base_);
  if (follow.spelled) {
    follow.decoded = base_ + static_cast<int64_t>(AppendDecoded(take_from, take_to, follow.html));
  } else {
    AppendRaw(data_ + take_from, take_to - take_from);
    follow.decoded = base_ + static_cast<int64_t>(take_to);
  }
  return end;
}

// No end anywhere behind the followed link: none behind any later one of
// its kind either, and, where the follow searched to the source's end for
// the other kind's ends too and found none, none of those either. The walk
// goes on behind the link's "ed2k://".
LinkTokenizer::Walk::Outcome LinkTokenizer::Walk::NoEndBehind(const Follow& follow) {
  KnownEnds& known = tokenizer_.known_;
  const int64_t behind_marker = follow.start + static_cast<int64_t>(kMarkerSize);
  batch_.texts.resize(text_start_);
  LowerTo(follow.spelled ? known.no_spelled_end_from : known.no_raw_end_from, behind_marker);
  if (follow.reached_end && follow.other_searched_from >= 0 && !follow.other_found) {
    LowerTo(follow.spelled ? known.no_raw_end_from : known.no_spelled_end_from,
            follow.other_searched_from);
  }
  last_is_whole_ = false;
  return {TokenizeStatus::kDone, behind_marker};
}

void LinkTokenizer::Walk::AppendRaw(const char* p, size_t n) {
  if (text_complete_) return;
  const size_t room = kMaxLinkText - (batch_.texts.size() - text_start_);
  size_t take = std::min(n, room);
  if (const void* nul = std::memchr(p, 0, take)) {
    take = static_cast<size_t>(static_cast<const char*>(nul) - p);
    text_complete_ = true;
  }
  if (take == room) text_complete_ = true;
  batch_.texts.append(p, take);
}

// Takes the bytes in view from `from` up to `to` into a spelled link's text,
// each spelled pipe as "|" (and "&amp;" as "&" for `html`). Returns where the
// next byte to take lies: a pipe begun before `to` is taken whole.
size_t LinkTokenizer::Walk::AppendDecoded(size_t from, size_t to, bool html) {
  size_t i = from;
  while (i < to && !text_complete_) {
    // The bytes up to the next that may begin a spelled pipe are taken as
    // they are, in one piece.
    const size_t special = FindPercentAmpersandOrNul(data_, i, to);
    AppendRaw(data_ + i, special - i);
    i = special;
    if (i == to || text_complete_) break;
    if (data_[i] == '\0') {
      text_complete_ = true;
      break;
    }
    size_t taken = 1;
    char shown = data_[i];
    if (const size_t pipe = SpelledPipeAt(data_ + i, size_ - i)) {
      taken = pipe;
      shown = '|';
    } else if (html && size_ - i >= 5 && std::memcmp(data_ + i, "&amp;", 5) == 0) {
      taken = 5;
    }
    AppendRaw(&shown, 1);
    i += taken;
  }
  return text_complete_ ? to : i;
}

void LinkTokenizer::Walk::Emit(int64_t start, int64_t end, bool raw) {
  const size_t size = batch_.texts.size() - text_start_;
  const std::string_view text(batch_.texts.data() + text_start_, size);
  batch_.tokens.push_back({start, end, LinkSet::HashOf(text), static_cast<uint32_t>(text_start_),
                           static_cast<uint32_t>(size), 1});
  last_is_whole_ = raw && static_cast<int64_t>(size) == end - start;
}

}  // namespace varnolt
