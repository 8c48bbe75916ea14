// The link scan: finds every "ed2k://" link (letters in any case) that ends at
// the next "|/", lists each distinct link once in file order, logs a line per
// link found and moves the progress bar.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "extract/link_set.h"
#include "extract/boundary/controls.h"

namespace varnolt {

struct LinkCounts {
  int64_t found = 0;  // every link, repeats included
  int64_t shown = 0;  // every link added to the result list
};

// Scans a stream fed to it in consecutive pieces of any size; the results do
// not depend on where the pieces are cut.
//
// A link is the bytes from the "e" of "ed2k://" through the "/" of the first
// following "|/", cut before its first NUL byte. Everything in between belongs
// to the link, line breaks and further "ed2k://" included; after a link the
// walk resumes behind its terminator. A link whose text equals (byte for byte,
// case-sensitively) one already shown in this scan is a repeat: it is logged
// as "doppelter Link gefunden" and not shown again.
class LinkScanner {
 public:
  // Fetches `length` bytes of the stream from `offset`, for a link too long to
  // keep in memory while its end is still unknown. Returns false on failure.
  using Refetch = std::function<bool(int64_t offset, size_t length, std::string& out)>;

  // `total_size` is the expected length of the stream, for the progress bar.
  // `pending_limit` caps the bytes held for a link whose end has not been
  // seen yet; beyond it the text is fetched again through `refetch` when the
  // terminator arrives, so memory stays bounded for any input.
  LinkScanner(Controls& ui, int64_t total_size, Refetch refetch,
              size_t pending_limit = kDefaultPendingLimit);

  // Scans the next `size` bytes of the stream.
  void Feed(const char* data, size_t size);

  // Ends the stream: sets the progress bar to 100 when 8 or more bytes were
  // walked and returns the counts. A link still open at the end yields
  // nothing.
  LinkCounts Finish();

  // True when a refetch failed; the counts are then incomplete.
  bool refetch_failed() const { return refetch_failed_; }

  // With false, the lines "Link gefunden" and "doppelter Link gefunden" are
  // left out; everything else stays the same. For a front end that would only
  // drop them: a file of millions of links then costs no more than their walk.
  void set_log_each_link(bool log_each_link) { log_each_link_ = log_each_link; }

  static constexpr size_t kDefaultPendingLimit = 4 << 20;

 private:
  void FeedSearching(const char* data, size_t size, size_t& pos);
  void FeedInLink(const char* data, size_t size, size_t& pos);
  void ResumeAcrossBoundary(const char* data, size_t size, size_t& pos);
  void BeginLink(int64_t offset, const char* head, size_t head_size);
  void AppendToLink(const char* data, size_t size);
  void EndLink();
  void ReportLink(std::string_view text);
  size_t LastLinkRepeatedAt(const char* p, size_t available) const;
  void ReportRepeats(int64_t copies);
  void SettleFoundLink();
  void UpdateProgress();

  Controls& ui_;
  const int64_t total_size_;
  Refetch refetch_;
  const size_t pending_limit_;

  bool log_each_link_ = true;
  int64_t consumed_ = 0;  // stream offset of the next byte fed
  int last_progress_ = -1;
  LinkCounts counts_;
  LinkSet shown_links_;

  // Searching: the last bytes of the stream that may begin a window still
  // waiting for its remaining bytes (at most 6).
  char tail_[6];
  size_t tail_size_ = 0;

  // Inside a link: its start, the length of its text so far (up to the first
  // NUL), whether a NUL cut it, and whether the text is held in full.
  bool in_link_ = false;
  int64_t link_start_ = 0;
  int64_t link_length_ = 0;
  bool link_cut_ = false;
  bool link_spilled_ = false;
  bool bar_pending_ = false;  // the last byte fed was a '|' inside the link
  std::string link_;
  bool refetch_failed_ = false;

  // A link found in the current piece whose repeat test is still to come:
  // the index lookup is started when the link is found and finished when the
  // next one is, so the walk in between hides the memory latency.
  std::string_view found_text_;
  uint64_t found_hash_ = 0;
  bool has_found_ = false;
  bool found_repeats_last_ = false;
  std::string_view last_link_;  // the previous link, as the set holds it
};

// Scans `size` bytes held in memory; the counts of LinkScanner::Finish().
LinkCounts LinkScan(Controls& ui, const char* data, int64_t size);

}  // namespace varnolt
