// The scan job behind "START": opens the named file, reports its size, streams
// it through a working buffer into the link scan and reports the counts, each
// stage as a line in the status log.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "extract/input_file.h"
#include "extract/link_scan.h"
#include "extract/boundary/controls.h"

namespace varnolt {

struct ScanOptions {
  // The pieces the file is read in, and how many of them may be read ahead:
  // the job's memory beyond the set of distinct links. Small pieces stay in
  // the processor's cache between the copy from the system and the walk.
  size_t buffer_size = 64 << 10;
  size_t buffer_count = 8;
  // Whether each link found is logged ("Link gefunden", "doppelter Link
  // gefunden"); see LinkScanner::set_log_each_link().
  bool log_each_link = true;
  // Asked between pieces of the walk, a few hundred times a second at most;
  // false ends the job where it stands, with status kStopped and no further
  // line. Lets a window end a long scan when the user closes it. Unset: the
  // job runs to its end.
  std::function<bool()> keep_going;
  // How the name is opened; replaceable for standard input and for tests.
  std::function<std::unique_ptr<InputFile>(const std::string& name)> open = OpenInputFile;
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
// job on a "FEHLER:" line with the file closed and no summary. Never throws.
ScanResult ScanFile(const std::string& name, Controls& ui, const ScanOptions& options = {});

}  // namespace varnolt
