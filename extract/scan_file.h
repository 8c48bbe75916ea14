// The scan job behind "START": opens the named file, reports its size, walks
// it for links and reports the counts, each stage as a line in the status
// log.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "extract/boundary/controls.h"
#include "extract/input/input_file.h"
#include "extract/scan/byte_source.h"
#include "extract/scan/link_scan.h"

namespace varnolt {

// How the walk reads and reports (WalkOptions: pieces, ranges, threads, the
// per-link lines, keep_going), and how the name is opened.
struct ScanOptions : WalkOptions {
  // Replaceable for standard input, for a page just downloaded, and for tests.
  std::function<std::unique_ptr<ByteSource>(const std::string& name)> open = OpenInputFile;
};

enum class ScanStatus {
  kCompleted,       // the summary line was logged
  kOpenFailed,      // "FEHLER:Datei konnte nicht geöffnet werden"
  kNoMemory,        // "FEHLER:Nicht genug Arbeitsspeicher"
  kReadFailed,      // "FEHLER:Datei konnte nicht gelesen werden"
  kDownloadFailed,  // "FEHLER:Download fehlgeschlagen (...)"; nothing was scanned
  kStopped,         // keep_going said no: no summary ("FEHLER:Download abgebrochen"
                    // when it was the download that stopped)
};

struct ScanResult {
  ScanStatus status = ScanStatus::kCompleted;
  LinkCounts counts;
};

// Runs the whole job on `name`. Appends the distinct links to the result list
// (which the caller empties first) and logs every stage; a failure ends the
// job on a "FEHLER:" line with the file closed and no summary, and what was
// shown before stays. Running out of memory at any stage, in the core or in
// the controls, is such a failure. Never throws.
ScanResult ScanFile(const std::string& name, Controls& ui, const ScanOptions& options = {});

// For a job that ran out of memory, the one place that says so: logs
// "FEHLER:Nicht genug Arbeitsspeicher" if even that line can still be had,
// and returns status kNoMemory with `counts`. Never throws.
ScanResult ReportNoMemory(Controls& ui, LinkCounts counts = {});

}  // namespace varnolt
