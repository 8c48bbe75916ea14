#include "extract/scan_input.h"

#include <memory>
#include <utility>

#include "extract/boundary/log_texts.h"
#include "extract/boundary/status_log.h"
#include "extract/fetch/download.h"
#include "extract/scan/out_of_memory.h"

namespace varnolt {
namespace {

ScanResult DownloadAndScan(const std::string& input, Controls& ui, const InputOptions& options) {
  LogStatus(ui, kLogWebAddress, LogNewLine);
  DownloadResult download = DownloadPage(input, ui, options.fetch);
  switch (download.status) {
    case DownloadStatus::kDownloaded: {
      if (options.page_in_place) options.page_in_place();
      ScanOptions scan = options.scan;
      auto page = std::make_shared<std::unique_ptr<ByteSource>>(std::move(download.page));
      scan.open = [page](const std::string&) { return std::move(*page); };
      return ScanFile(kDownloadFileName, ui, scan);
    }
    case DownloadStatus::kStopped:
      return {ScanStatus::kStopped, {}};
    case DownloadStatus::kFailed:
      break;
  }
  return {ScanStatus::kDownloadFailed, {}};
}

}  // namespace

ScanResult ScanInput(const std::string& input, Controls& ui, const InputOptions& options) {
  if (!IsWebAddress(input)) return ScanFile(input, ui, options.scan);
  ScanResult result;
  if (RanOutOfMemory([&] { result = DownloadAndScan(input, ui, options); })) {
    return ReportNoMemory(ui);
  }
  return result;
}

}  // namespace varnolt
