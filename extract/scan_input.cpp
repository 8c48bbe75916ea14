#include "extract/scan_input.h"

#include "extract/boundary/log_texts.h"
#include "extract/boundary/status_log.h"
#include "extract/download.h"

namespace varnolt {

ScanResult ScanInput(const std::string& input, Controls& ui, const InputOptions& options) {
  if (!IsWebAddress(input)) return ScanFile(input, ui, options.scan);

  LogStatus(ui, kLogWebAddress, LogNewLine);
  switch (DownloadPage(input, ui, options.fetch)) {
    case DownloadStatus::kDownloaded:
      return ScanFile(kDownloadFileName, ui, options.scan);
    case DownloadStatus::kStopped:
      return {ScanStatus::kStopped, {}};
    case DownloadStatus::kFailed:
      break;
  }
  return {ScanStatus::kDownloadFailed, {}};
}

}  // namespace varnolt
