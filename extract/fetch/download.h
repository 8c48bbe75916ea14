// The page download: telling a web address from a file name, and fetching a
// page to "download.htm" in the current directory so that the scan job can
// read it like any other file.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "extract/boundary/controls.h"
#include "extract/fetch/page_fetch.h"
#include "extract/input/input_file.h"

namespace varnolt {

// The fixed name every downloaded page is stored under, relative to the
// current directory. Each download replaces the previous page.
inline constexpr char kDownloadFileName[] = "download.htm";

// A download writes to "download.htm.<16 hex digits>.part" beside it. Such a
// file older than this, that no running download writes, was left behind by
// a program that was killed, and the next download removes it.
inline constexpr std::chrono::hours kStalePartialAge{1};

// True when `input` begins with "http://" or "https://", letters in any case
// (bytes 0x41-0x5A and 0xC0-0xDF count as their lower-case forms 0x20 above).
// Everything else is a file name: other schemes, a leading space, "http:/",
// and any input shorter than the scheme.
bool IsWebAddress(std::string_view input);

enum class DownloadStatus {
  kDownloaded,  // the new page is in place: "Downloade File...OK!"
  kFailed,      // "FEHLER:Download fehlgeschlagen (<reason>)"
  kStopped,     // keep_going said no: "FEHLER:Download abgebrochen"
};

struct DownloadResult {
  DownloadStatus status = DownloadStatus::kFailed;
  // With kDownloaded: the page this download wrote, open for reading from
  // its start. It stays this page even when another program puts its own
  // page under kDownloadFileName a moment later. Null otherwise.
  std::unique_ptr<ByteSource> page;
};

// Fetches `address`, exactly as given, into kDownloadFileName. Logs
// "Downloade File..." as a new line and appends "OK!" once the page is in
// place. On failure (no connection, TLS error, time-out, an HTTP status of 400
// or more, a file that cannot be written) no "OK!" is appended; the line
// "FEHLER:Download fehlgeschlagen (<reason>)" follows instead. When
// `options.keep_going` says no during the transfer, the line
// "FEHLER:Download abgebrochen" follows. In both cases the previous
// kDownloadFileName, if any, is left exactly as it was: the body goes to a
// temporary file beside it that replaces it only after a complete transfer,
// and is removed otherwise. Partial files of killed programs are removed
// first (kStalePartialAge).
//
// Blocks until the transfer ends, is cut off by a limit or is stopped.
// Throws only when memory runs out (std::bad_alloc or std::length_error),
// in the transfer or in `ui`; a partial file left behind then is removed by
// a later download once it is stale.
DownloadResult DownloadPage(const std::string& address, Controls& ui,
                            const FetchOptions& options = {});

}  // namespace varnolt
