// The job behind "START" and behind each argument of varnolt-scan: a web
// address is first fetched to "download.htm", then the file is scanned.
#pragma once

#include <string>

#include "extract/boundary/controls.h"
#include "extract/page_fetch.h"
#include "extract/scan_file.h"

namespace varnolt {

struct InputOptions {
  ScanOptions scan;    // how the file (or the downloaded page) is read
  FetchOptions fetch;  // limits of the transfer for a web address
};

// Scans `input`. A web address (IsWebAddress) is logged as
// "INTERNET Adresse gefunden", fetched with DownloadPage and, when that
// succeeded, "download.htm" in the current directory is scanned. When the
// download failed, nothing is scanned (an older page must not pass for the
// new one) and the status is kDownloadFailed; when fetch.keep_going stopped
// it, the status is kStopped. Anything else is scanned as a file name,
// unchanged. Returns the scan job's result; the caller empties the result
// list first. Never throws.
ScanResult ScanInput(const std::string& input, Controls& ui, const InputOptions& options = {});

}  // namespace varnolt
