#include "extract/link_scan.h"

#include <algorithm>
#include <cstring>

#include "extract/link_search.h"
#include "extract/boundary/log_texts.h"
#include "extract/boundary/status_log.h"

namespace varnolt {
namespace {

// LinkScan() feeds a buffer in pieces of this size, so that the progress bar
// follows the walk.
constexpr size_t kMemoryPiece = 1 << 20;

// Room kept for the next link's text after a long one; more is given back.
constexpr size_t kKeptLinkCapacity = 1 << 20;

// A link's text ends before its first NUL byte.
std::string_view CutAtNul(const char* data, size_t size) {
  if (size <= 16) {  // short links: cheaper than the call
    for (size_t i = 0; i < size; ++i) {
      if (data[i] == '\0') return {data, i};
    }
    return {data, size};
  }
  const void* nul = std::memchr(data, 0, size);
  return {data, nul ? static_cast<size_t>(static_cast<const char*>(nul) - data) : size};
}

uint64_t Load64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// memcmp for equality, without the call for the short texts (8 to 16 bytes)
// that a run of one short link compares by the million.
bool SameBytes(const char* a, const char* b, size_t n) {
  if (n >= 8 && n <= 16) {
    return Load64(a) == Load64(b) && Load64(a + n - 8) == Load64(b + n - 8);
  }
  return std::memcmp(a, b, n) == 0;
}

}  // namespace

LinkScanner::LinkScanner(Controls& ui, int64_t total_size, Refetch refetch, size_t pending_limit)
    : ui_(ui),
      total_size_(total_size),
      refetch_(std::move(refetch)),
      pending_limit_(pending_limit) {}

void LinkScanner::Feed(const char* data, size_t size) {
  if (size == 0) return;
  size_t pos = 0;
  if (in_link_ && bar_pending_) {
    // The previous piece ended on a '|' inside the link.
    bar_pending_ = false;
    if (data[0] == '/') {
      AppendToLink(data, 1);
      EndLink();
      pos = 1;
    }
  } else if (!in_link_ && tail_size_ > 0) {
    ResumeAcrossBoundary(data, size, pos);
  }
  while (pos < size) {
    if (in_link_) {
      FeedInLink(data, size, pos);
    } else {
      FeedSearching(data, size, pos);
    }
  }
  SettleFoundLink();  // its text lives in `data`, which the caller reuses
  consumed_ += static_cast<int64_t>(size);
  UpdateProgress();
}

// Windows that begin in the kept tail of the previous piece and end in this
// one. The tail holds at most 6 bytes, so 12 bytes cover every such window.
void LinkScanner::ResumeAcrossBoundary(const char* data, size_t size, size_t& pos) {
  char joined[12];
  const size_t head = std::min<size_t>(size, 6);
  std::memcpy(joined, tail_, tail_size_);
  std::memcpy(joined + tail_size_, data, head);
  const size_t joined_size = tail_size_ + head;
  const int64_t joined_start = consumed_ - static_cast<int64_t>(tail_size_);

  for (size_t k = 0; k < tail_size_ && k + kMarkerSize <= joined_size; ++k) {
    if (IsMarker(joined + k)) {
      const size_t marker_end = k + kMarkerSize - tail_size_;  // offset in `data`
      tail_size_ = 0;
      BeginLink(joined_start + static_cast<int64_t>(k), joined + k, kMarkerSize);
      pos = marker_end;
      return;
    }
  }
  if (head == 6) {
    tail_size_ = 0;  // every window from the tail was complete and failed
    return;
  }
  // A very short piece: the last bytes may still start a window.
  const size_t keep = std::min<size_t>(joined_size, 6);
  std::memmove(tail_, joined + joined_size - keep, keep);
  tail_size_ = keep;
  pos = size;
}

void LinkScanner::FeedSearching(const char* data, size_t size, size_t& pos) {
  const size_t i = FindMarker(data, pos, size);
  if (i == kNotFound) {
    // Keep the bytes that may start a window the next piece completes.
    const size_t keep_from = std::max(pos, size >= 6 ? size - 6 : 0);
    tail_size_ = size - keep_from;
    std::memcpy(tail_, data + keep_from, tail_size_);
    pos = size;
    return;
  }
  if (const size_t n = LastLinkRepeatedAt(data + i, size - i)) {
    // Often a run of one link: each copy right behind is the same link again,
    // so the whole run is one comparison per copy.
    const std::string_view held = last_link_;
    int64_t copies = 0;
    pos = i;
    do {
      ++copies;
      pos += n;
    } while (n <= size - pos && SameBytes(data + pos, held.data(), n));
    ReportRepeats(copies);
    return;
  }
  const size_t j = FindTerminator(data, i + kMarkerSize, size);
  if (j != kNotFound) {
    // The common case: the whole link lies in this piece; no copy needed.
    ReportLink(CutAtNul(data + i, j + 2 - i));
    pos = j + 2;  // a window at the terminator's '/' cannot match
    return;
  }
  BeginLink(consumed_ + static_cast<int64_t>(i), data + i, size - i);
  bar_pending_ = data[size - 1] == '|';
  pos = size;
}

void LinkScanner::FeedInLink(const char* data, size_t size, size_t& pos) {
  const size_t j = FindTerminator(data, pos, size);
  if (j == kNotFound) {
    AppendToLink(data + pos, size - pos);
    bar_pending_ = data[size - 1] == '|';
    pos = size;
    return;
  }
  AppendToLink(data + pos, j + 2 - pos);
  EndLink();
  pos = j + 2;
}

void LinkScanner::BeginLink(int64_t offset, const char* head, size_t head_size) {
  in_link_ = true;
  link_start_ = offset;
  link_length_ = 0;
  link_cut_ = false;
  link_spilled_ = false;
  bar_pending_ = false;
  link_.clear();
  AppendToLink(head, head_size);
}

void LinkScanner::AppendToLink(const char* data, size_t size) {
  if (link_cut_) return;
  const std::string_view text = CutAtNul(data, size);
  link_cut_ = text.size() < size;
  link_length_ += static_cast<int64_t>(text.size());
  if (link_spilled_) return;
  if (link_.size() + text.size() <= pending_limit_) {
    link_.append(text);
  } else {
    // The end may never come (an "ed2k://" with no "|/" behind it): stop
    // holding the text and fetch it again if the terminator does arrive.
    link_spilled_ = true;
    std::string().swap(link_);
  }
}

void LinkScanner::EndLink() {
  in_link_ = false;
  if (link_spilled_) {
    std::string text;
    if (!refetch_ || !refetch_(link_start_, static_cast<size_t>(link_length_), text)) {
      refetch_failed_ = true;
      return;
    }
    ReportLink(text);
    SettleFoundLink();
    return;
  }
  ReportLink(link_);
  SettleFoundLink();  // link_ is reused by the next link
  if (link_.capacity() > kKeptLinkCapacity) std::string().swap(link_);
}

void LinkScanner::ReportLink(std::string_view text) {
  SettleFoundLink();
  found_text_ = text;
  has_found_ = true;
  // A link often follows itself ("<a href=LINK>LINK</a>"): no lookup needed.
  found_repeats_last_ = text == last_link_;
  if (found_repeats_last_) return;
  found_hash_ = LinkSet::HashOf(text);
  shown_links_.Prefetch(found_hash_);
}

// The last link settled is one the set holds. When it ended at its own first
// "|/" (nothing cut it), the same bytes at a marker form the same link again:
// the terminator is where its was and no NUL can come before it. That skips
// the search for the terminator and the lookup, which matters for runs of one
// link.
size_t LinkScanner::LastLinkRepeatedAt(const char* p, size_t available) const {
  const size_t n = last_link_.size();
  const bool repeated = n >= kMarkerSize + 2 && n <= available && last_link_[n - 2] == '|' &&
                        last_link_[n - 1] == '/' && SameBytes(p, last_link_.data(), n);
  return repeated ? n : 0;
}

void LinkScanner::ReportRepeats(int64_t copies) {
  SettleFoundLink();
  counts_.found += copies;
  if (!log_each_link_) return;
  for (int64_t k = 0; k < copies; ++k) {
    LogStatus(ui_, kLogLinkFound, LogNewLine);
    LogStatus(ui_, kLogRepeatFound, LogNewLine);
  }
}

void LinkScanner::SettleFoundLink() {
  if (!has_found_) return;
  has_found_ = false;
  if (log_each_link_) LogStatus(ui_, kLogLinkFound, LogNewLine);
  ++counts_.found;
  bool added = false;
  if (!found_repeats_last_) {
    const LinkSet::Insertion insertion = shown_links_.Insert(found_text_, found_hash_);
    last_link_ = insertion.held;
    added = insertion.added;
  }
  if (added) {
    ui_.AddItem(kResultList, found_text_);
    ++counts_.shown;
  } else if (log_each_link_) {
    LogStatus(ui_, kLogRepeatFound, LogNewLine);
  }
}

void LinkScanner::UpdateProgress() {
  // Streams shorter than 8 bytes hold no link and leave the bar alone.
  if (total_size_ < 8) return;
  const int progress =
      consumed_ >= total_size_ ? 100 : static_cast<int>(consumed_ * 100 / total_size_);
  if (progress == last_progress_) return;
  last_progress_ = progress;
  ui_.SetProgress(kProgressBar, progress);
}

LinkCounts LinkScanner::Finish() {
  if (consumed_ >= 8 && last_progress_ != 100) {
    last_progress_ = 100;
    ui_.SetProgress(kProgressBar, 100);
  }
  return counts_;
}

LinkCounts LinkScan(Controls& ui, const char* data, int64_t size) {
  if (size <= 0) return {};
  auto refetch = [data, size](int64_t offset, size_t length, std::string& out) {
    if (offset < 0 || offset + static_cast<int64_t>(length) > size) return false;
    out.assign(data + offset, length);
    return true;
  };
  LinkScanner scanner(ui, size, refetch);
  // Fed in pieces so that the progress bar follows the walk.
  for (int64_t offset = 0; offset < size; offset += kMemoryPiece) {
    scanner.Feed(data + offset,
                 static_cast<size_t>(std::min<int64_t>(kMemoryPiece, size - offset)));
  }
  return scanner.Finish();
}

}  // namespace varnolt
