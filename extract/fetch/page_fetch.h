// The platform seam for the page download: one blocking transfer of a web
// address into a local file. Everything around it (the log lines, the
// temporary file, replacing the old page) is portable and lives in download.h.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace varnolt {

// The largest page body accepted, counted after decoding: far beyond any
// real page, and well short of filling a disk (a small compressed body can
// expand without end).
inline constexpr int64_t kMaxPageBytes = int64_t{1} << 30;  // 1 GiB

// Limits of one transfer. The defaults suit an interactive tool: a dead or
// unreachable server is given up within seconds rather than minutes, while a
// slow but live connection may take as long as it needs.
struct FetchOptions {
  // Longest wait for the connection, name lookup and TLS handshake included.
  long connect_timeout_seconds = 15;
  // The transfer is abandoned when fewer than `stall_bytes_per_second` bytes
  // per second arrive on average over `stall_seconds` seconds, header bytes
  // counted where the platform shows them (not on Windows); a burst counts
  // only for the windows it falls in. This also covers a server that accepts
  // the connection and then never answers.
  long stall_bytes_per_second = 100;
  long stall_seconds = 30;
  // Redirects followed before the transfer counts as failed.
  long max_redirects = 10;
  // A body longer than this, after decoding, ends the transfer as failed
  // with the reason "page larger than 1 GiB" (the limit as SizeText gives it).
  int64_t max_page_bytes = kMaxPageBytes;
  // The proxy every request goes through ("http://host:port"). Empty: the
  // system's settings decide (the usual environment variables on Linux, the
  // user's Internet settings on Windows).
  std::string proxy;
  // Asked on the calling thread about 20 times a second while the transfer
  // runs, whatever the server does (also while no byte arrives, and while
  // the name is looked up); false abandons the transfer within one turn and
  // FetchToFile returns with `stopped` set. Unset: the transfer runs until
  // it ends or a limit above cuts it off.
  std::function<bool()> keep_going;
};

// Outcome of FetchToFile.
struct FetchResult {
  bool ok = false;
  // On failure, a short reason for the user: "HTTP " and the status code for
  // a server that answered with 400 or more, "page larger than ..." for a
  // body beyond max_page_bytes, "less than ... bytes per second ..." for a
  // stall, "header too large", a reply cut off in its header or its body,
  // otherwise the transfer's own error text (connection refused, time-out,
  // TLS failure, malformed address, a file that could not be written).
  // Empty when `stopped`.
  std::string error;
  // keep_going said no: the transfer was abandoned on request, not by a
  // fault. `ok` is false.
  bool stopped = false;
};

// Fetches `url` exactly as given (no trimming, no re-encoding) and writes the
// response body to `path`, creating or truncating it. Redirects to http and
// https are followed; no other scheme is fetched. TLS is verified against the
// system's certificate store, proxies are taken as FetchOptions::proxy says,
// gzip and deflate are asked for and undone. Blocks until the
// transfer ends or one of the limits in `options` cuts it off.
//
// Returns ok only when a reply arrived whole (its status line and header,
// and its body to the announced length, the last chunk or a clean close),
// its status was a success and its body was written and closed. On failure or
// a stop `path` may hold a partial body; the caller removes it. While the
// transfer runs, RemoveUnlessBeingFetched() leaves `path` alone. Safe to call
// from any thread. Throws only when memory runs out (std::bad_alloc or
// std::length_error); `path` may then hold a partial body too.
FetchResult FetchToFile(const std::string& url, const std::string& path,
                        const FetchOptions& options = {});

// Removes the file `path` unless a FetchToFile that is still running, in
// this program or another, writes to it. Returns true when it was removed;
// false when it is in use, is gone already or cannot be removed. Throws
// only when memory runs out.
bool RemoveUnlessBeingFetched(const std::string& path);

}  // namespace varnolt
