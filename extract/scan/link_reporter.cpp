#include "extract/scan/link_reporter.h"

#include "extract/boundary/log_texts.h"
#include "extract/boundary/status_log.h"

namespace varnolt {
namespace {

// How many tokens ahead the set's slot for a link is fetched into the cache,
// so that the lookup finds it there.
constexpr size_t kPrefetchDistance = 8;

}  // namespace

LinkReporter::LinkReporter(Controls& ui, LinkSet& shown_links, bool log_each_link)
    : ui_(ui), log_each_link_(log_each_link), shown_links_(shown_links) {}

void LinkReporter::Report(const LinkBatch& batch, size_t first) {
  const std::vector<LinkToken>& tokens = batch.tokens;
  for (size_t k = first; k < tokens.size() && k < first + kPrefetchDistance; ++k) {
    shown_links_.Prefetch(tokens[k].hash);
  }
  for (size_t k = first; k < tokens.size(); ++k) {
    if (k + kPrefetchDistance < tokens.size()) {
      shown_links_.Prefetch(tokens[k + kPrefetchDistance].hash);
    }
    const LinkToken& token = tokens[k];
    const std::string_view text = batch.TextOf(token);
    if (log_each_link_) LogStatus(ui_, kLogLinkFound, LogNewLine);
    ++counts_.found;
    bool added = false;
    if (text != last_link_) {
      const LinkSet::Insertion insertion = shown_links_.Insert(text, token.hash);
      last_link_ = insertion.held;
      added = insertion.added;
    }
    if (added) {
      ui_.AddItem(kResultList, text);
      ++counts_.shown;
    } else {
      ReportRepeat();
    }
    // The other copies of a run repeat the first.
    counts_.found += token.copies - 1;
    if (log_each_link_) {
      for (uint32_t copy = 1; copy < token.copies; ++copy) {
        LogStatus(ui_, kLogLinkFound, LogNewLine);
        ReportRepeat();
      }
    }
  }
}

void LinkReporter::ReportRepeat() {
  if (log_each_link_) LogStatus(ui_, kLogRepeatFound, LogNewLine);
}

}  // namespace varnolt
