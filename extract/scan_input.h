// The job behind "START" and behind each argument of varnolt-scan: a web
// address is first fetched to "download.htm", then the file is scanned.
#pragma once

#include <functional>
#include <string>

#include "extract/boundary/controls.h"
#include "extract/fetch/page_fetch.h"
#include "extract/scan_file.h"

namespace varnolt {

struct InputOptions {
  ScanOptions scan;    // how the file is read (for a downloaded page, all but `open`)
  FetchOptions fetch;  // limits of the transfer for a web address
  // Called once a downloaded page has replaced "download.htm", just before
  // it is scanned. A seam for tests, which run a second download there.
  std::function<void()> page_in_place;
};

// Scans `input`. A web address (IsWebAddress) is logged as
// "INTERNET Adresse gefunden", fetched with DownloadPage and, when that
// succeeded, the page it wrote is scanned under the name "download.htm"
// (through the file it wrote, not by the name, which another program may
// have given to its own page meanwhile). When the
// download failed, nothing is scanned (an older page must not pass for the
// new one) and the status is kDownloadFailed; when fetch.keep_going stopped
// it, the status is kStopped. Anything else is scanned as a file name,
// unchanged. Returns the scan job's result; the caller empties the result
// list first. Never throws.
ScanResult ScanInput(const std::string& input, Controls& ui, const InputOptions& options = {});

}  // namespace varnolt
