// The second half of the link scan: what the user sees of the links that the
// tokenizer finds. Takes their tokens in file order, lists each distinct link
// once in the result list, logs a line per link, and counts.
#pragma once

#include <cstdint>
#include <string_view>

#include "extract/boundary/controls.h"
#include "extract/scan/link_set.h"
#include "extract/scan/link_tokenizer.h"

namespace varnolt {

struct LinkCounts {
  int64_t found = 0;  // every link, repeats included
  int64_t shown = 0;  // every link added to the result list
};

class LinkReporter {
 public:
  // Lists the links in `ui`, holding those shown in `shown_links`, which
  // must be empty and outlive the reporter. With `log_each_link` false, the
  // lines "Link gefunden" and "doppelter Link gefunden" are left out and
  // everything else stays the same: for a front end that would only drop
  // them.
  LinkReporter(Controls& ui, LinkSet& shown_links, bool log_each_link);

  // Reports the links of `batch` from token `first` on, in order: each link
  // is logged as "Link gefunden"; a link whose text equals (byte for byte,
  // letter case counting) one already shown in this scan is a repeat and
  // logged as "doppelter Link gefunden", any other is added to the result
  // list. The batch's texts are read only during the call; nothing of the
  // batch is kept. Throws std::bad_alloc when the set of shown links cannot
  // grow (or the controls run out of memory); what was reported stays.
  void Report(const LinkBatch& batch, size_t first = 0);

  const LinkCounts& counts() const { return counts_; }

 private:
  void ReportRepeat();

  Controls& ui_;
  const bool log_each_link_;
  LinkSet& shown_links_;
  LinkCounts counts_;
  // The last link reported, as the set holds it: a link often follows
  // itself ("<a href=LINK>LINK</a>"), and then needs no lookup.
  std::string_view last_link_;
};

}  // namespace varnolt
