#include "extract/boundary/status_log.h"

#include <string>

namespace varnolt {

void LogStatus(Controls& ui, std::string_view text, int mode) {
  if (mode == LogNewLine) {
    ui.AddItem(kStatusLog, text);
  } else if (mode == LogAppend) {
    // A list item cannot be edited in place: replace the last line with its
    // extended text. On an empty log the index is -1, which reads as the empty
    // text and deletes nothing.
    const int last = ui.CountItems(kStatusLog) - 1;
    std::string line = ui.ItemText(kStatusLog, last);
    ui.RemoveItem(kStatusLog, last);
    line.append(text);
    ui.AddItem(kStatusLog, line);
  } else {
    return;
  }
  // Keep the newest line visible in the two-line-high log.
  ui.SelectItem(kStatusLog, ui.CountItems(kStatusLog) - 1);
}

}  // namespace varnolt
