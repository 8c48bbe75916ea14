// FetchToFile on libcurl, which is loaded on the first fetch.
#include <curl/curl.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <system_error>

#include "extract/fetch/ascii_case.h"
#include "extract/fetch/body_decoder.h"
#include "extract/fetch/page_fetch.h"
#include "extract/fetch/transfer_limits.h"

#ifndef VARNOLT_VERSION
#define VARNOLT_VERSION "0"
#endif

namespace varnolt {
namespace {

constexpr char kUserAgent[] = "Varnolt/" VARNOLT_VERSION;
// A page may move between http and https; a redirect to any other scheme
// (file://, ftp://, ...) would let a remote server read local files or reach
// services the user never asked for.
constexpr char kProtocols[] = "http,https";

// The libcurl calls this file makes, as members of Curl named without the
// "curl_" prefix. libcurl and what it pulls in (TLS, compression, name
// services: some thirty libraries) take several milliseconds to load, longer
// than the whole scan of a small file; a program that only scans files never
// loads them.
// clang-format off
#define VARNOLT_CURL_CALLS(X) \
  X(global_init) \
  X(easy_init) X(easy_cleanup) X(easy_setopt) X(easy_getinfo) \
  X(easy_strerror) \
  X(multi_init) X(multi_cleanup) X(multi_add_handle) X(multi_remove_handle) \
  X(multi_perform) X(multi_poll) X(multi_info_read)
// clang-format on

struct Curl {
#define VARNOLT_CURL_MEMBER(name) decltype(&curl_##name) name;
  VARNOLT_CURL_CALLS(VARNOLT_CURL_MEMBER)
#undef VARNOLT_CURL_MEMBER
  bool initialized;  // curl_global_init succeeded
};

template <class Function>
bool Resolve(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(::dlsym(library, name));
  return function != nullptr;
}

// Loads libcurl and runs curl_global_init, once per process (a function-local
// static: curl_global_init is not safe to race with itself on every libcurl
// version). Null when the library cannot be loaded; `error` then says why.
const Curl* LoadCurl(std::string& error) {
  static std::string load_error;
  static const Curl* const curl = []() -> const Curl* {
    void* library = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      const char* why = ::dlerror();
      load_error = why != nullptr ? why : "libcurl.so.4";
      return nullptr;
    }
    static Curl api;
#define VARNOLT_CURL_RESOLVE(name) &&Resolve(library, "curl_" #name, api.name)
    const bool resolved = true VARNOLT_CURL_CALLS(VARNOLT_CURL_RESOLVE);
#undef VARNOLT_CURL_RESOLVE
    if (!resolved) {
      load_error = "libcurl.so.4 is older than 7.85";
      return nullptr;
    }
    api.initialized = api.global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return &api;
  }();
  error = load_error;
  return curl;
}

struct CurlDeleter {
  const Curl* curl;
  void operator()(CURL* handle) const { curl->easy_cleanup(handle); }
};

struct MultiDeleter {
  const Curl* curl;
  void operator()(CURLM* multi) const { curl->multi_cleanup(multi); }
};

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// What the transfer shows besides its body: the header of each reply as it
// arrives, and the limits of FetchOptions judged in the turns of Perform.
// libcurl's own low-speed check is not used: it measures a few seconds at a
// time, so that bursts spaced a little apart pass it however slow the
// average, and it counts no header bytes.
struct Watch {
  explicit Watch(const FetchOptions& options) : limits(options, TransferLimits::Clock::now()) {}
  TransferLimits limits;
  int64_t header_bytes = 0;
  // A status line came and the empty line that ends its header has not.
  bool header_open = false;
  // The last reply's header arrived whole: without it, a reply cut off in
  // its header could pass for an empty page.
  bool header_complete = false;
  // The last reply's Content-Encoding, lower-cased; held without allocating,
  // since it is read inside libcurl's callback. A longer value is cut short:
  // no coding the program knows is that long.
  char coding[24] = {};
  std::string stop_reason;  // the limit that ended the transfer
};

// Where the body goes: undone from its content coding here rather than by
// libcurl, which takes a compressed body cut short for a whole one. Remembers
// the first failure so that the user is told "No space left on device"
// rather than libcurl's generic write failure, and counts the decoded body
// against the size limit.
struct Sink {
  std::FILE* file = nullptr;
  const Watch* watch = nullptr;
  BodyDecoder decoder;
  bool decoding = false;
  int write_errno = 0;
  int64_t written = 0;
  int64_t limit = 0;
  bool too_large = false;
  bool out_of_memory = false;
  std::string refused;  // the decoder's reason to stop
};

// Writes decoded body bytes. Returns the empty text, or a reason to stop
// (the details are kept in `sink`).
std::string WriteDecoded(Sink& sink, std::string_view bytes) {
  if (static_cast<int64_t>(bytes.size()) > sink.limit - sink.written) {
    sink.too_large = true;
    return "too large";
  }
  sink.written += static_cast<int64_t>(bytes.size());
  errno = 0;
  if (std::fwrite(bytes.data(), 1, bytes.size(), sink.file) != bytes.size()) {
    sink.write_errno = errno != 0 ? errno : EIO;
    return "not written";
  }
  return {};
}

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const size_t bytes = size * count;  // size is always 1 for body data
  if (bytes == 0) return 0;
  // Nothing may be thrown through libcurl: running out of memory is noted
  // and thrown again once the transfer has returned.
  try {
    std::string reason;
    if (!sink->decoding) {
      sink->decoding = true;
      reason = sink->decoder.Start(sink->watch->coding);
    }
    if (reason.empty()) {
      reason = sink->decoder.Decode(std::string_view(data, bytes), [sink](std::string_view out) {
        return WriteDecoded(*sink, out);
      });
    }
    if (reason.empty()) return bytes;
    if (!sink->too_large && sink->write_errno == 0) sink->refused = std::move(reason);
  } catch (const std::bad_alloc&) {
    sink->out_of_memory = true;
  }
  return 0;  // anything short of `bytes` makes libcurl abort the transfer
}

// Copies the field value `value`, trimmed and lower-cased, into `coding`.
template <size_t N>
void ReadCoding(std::string_view value, char (&coding)[N]) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r' || value.back() == ' ' ||
                            value.back() == '\t')) {
    value.remove_suffix(1);
  }
  size_t length = 0;
  for (; length < value.size() && length + 1 < N; ++length) {
    coding[length] = AsciiLower(value[length]);
  }
  coding[length] = '\0';
}

constexpr std::string_view kCodingField = "content-encoding:";

// libcurl hands over each header line whole, the status lines of redirects
// and interim replies and the empty line that ends each header included.
size_t ReadHeaderLine(char* data, size_t size, size_t count, void* user) {
  auto* watch = static_cast<Watch*>(user);
  const size_t bytes = size * count;
  const std::string_view line(data, bytes);
  watch->header_bytes += static_cast<int64_t>(bytes);
  if (!watch->header_open && line.starts_with("HTTP/")) {
    watch->header_open = true;
    watch->header_complete = false;
    watch->coding[0] = '\0';
  } else if (watch->header_open && StartsWithFolded(line, kCodingField)) {
    ReadCoding(line.substr(kCodingField.size()), watch->coding);
  } else if (watch->header_open && (line == "\r\n" || line == "\n")) {
    watch->header_open = false;
    watch->header_complete = true;
  }
  return bytes;
}

std::string ErrnoText(int error) { return std::generic_category().message(error); }

FetchResult Failure(std::string reason) { return FetchResult{false, std::move(reason)}; }

// How long one wait for the transfer may last before the caller gets its turn.
constexpr int kTurnMilliseconds = 50;

// Runs the transfer of `handle`, which writes through `sink`, to its end,
// giving `keep_going` (when set) a turn and judging the limits in `watch`
// at least every kTurnMilliseconds, also while the server sends nothing.
// (libcurl's progress function would not do for the limits: while no byte
// comes, this way of driving a transfer calls it not at all.) Sets `stopped`
// when keep_going said no, and `watch.stop_reason` when a limit ended the
// transfer; the result code is then meaningless.
CURLcode Perform(const Curl& curl, CURL* handle, const std::function<bool()>& keep_going,
                 const Sink& sink, Watch& watch, bool& stopped) {
  std::unique_ptr<CURLM, MultiDeleter> multi(curl.multi_init(), MultiDeleter{&curl});
  if (!multi) return CURLE_OUT_OF_MEMORY;
  if (curl.multi_add_handle(multi.get(), handle) != CURLM_OK) return CURLE_FAILED_INIT;
  CURLcode code = CURLE_OK;
  auto next_turn = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTurnMilliseconds);
  for (;;) {
    int running = 0;
    if (curl.multi_perform(multi.get(), &running) != CURLM_OK) {
      code = CURLE_FAILED_INIT;
      break;
    }
    if (running == 0) {
      int pending = 0;
      CURLMsg* message = curl.multi_info_read(multi.get(), &pending);
      code = message != nullptr && message->msg == CURLMSG_DONE ? message->data.result
                                                                : CURLE_FAILED_INIT;
      break;
    }
    if (curl.multi_poll(multi.get(), nullptr, 0, kTurnMilliseconds, nullptr) != CURLM_OK) {
      code = CURLE_FAILED_INIT;
      break;
    }
    // A fast transfer wakes the poll for every few kilobytes; the caller's
    // turn (which may repaint a window) comes at the steady rate regardless.
    const auto now = std::chrono::steady_clock::now();
    if (now < next_turn) continue;
    next_turn = now + std::chrono::milliseconds(kTurnMilliseconds);
    if (keep_going && !keep_going()) {
      stopped = true;
      break;
    }
    TransferProgress progress;
    // libcurl applies the connect time-out, the redirect limit and (in
    // WriteBody) the page-size limit itself.
    progress.connected = true;
    progress.body_bytes = sink.written;
    progress.header_bytes = watch.header_bytes;
    watch.stop_reason = watch.limits.Check(now, progress);
    if (!watch.stop_reason.empty()) break;
  }
  // Removing the handle closes its connection: a stopped transfer ends here.
  curl.multi_remove_handle(multi.get(), handle);
  return code;
}

// Sets up the transfer of `url` on `handle` with the limits of `options`:
// the body goes to `sink`, the header lines to `watch`,
// libcurl's own account of a failure to `error_buffer`. Returns the first
// option libcurl refused, else CURLE_OK.
CURLcode SetUpTransfer(const Curl& curl, CURL* handle, const std::string& url,
                       const FetchOptions& options, Sink& sink, Watch& watch,
                       char (&error_buffer)[CURL_ERROR_SIZE]) {
  // The options that can fail here fail only for an unusable value (an
  // address longer than libcurl accepts) or missing support; report the
  // first such refusal as the reason.
  CURLcode code = CURLE_OK;
  auto set = [&](CURLoption option, auto value) {
    if (code == CURLE_OK) code = curl.easy_setopt(handle, option, value);
  };
  set(CURLOPT_ERRORBUFFER, error_buffer);
  set(CURLOPT_URL, url.c_str());
  set(CURLOPT_PROTOCOLS_STR, kProtocols);
  set(CURLOPT_REDIR_PROTOCOLS_STR, kProtocols);
  set(CURLOPT_FOLLOWLOCATION, 1L);
  set(CURLOPT_MAXREDIRS, options.max_redirects);
  set(CURLOPT_USERAGENT, kUserAgent);
  // Asked for, and undone, by the program itself: see Sink.
  set(CURLOPT_ACCEPT_ENCODING, "gzip, deflate");
  set(CURLOPT_HTTP_CONTENT_DECODING, 0L);
  set(CURLOPT_CONNECTTIMEOUT, options.connect_timeout_seconds);
  if (!options.proxy.empty()) set(CURLOPT_PROXY, options.proxy.c_str());
  set(CURLOPT_FAILONERROR, 1L);  // an error page is not the page asked for
  // The caller may be a GUI with threads of its own; libcurl must not use
  // signals (alarm() for name-lookup time-outs) behind its back.
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_WRITEFUNCTION, WriteBody);
  set(CURLOPT_WRITEDATA, &sink);
  set(CURLOPT_HEADERFUNCTION, ReadHeaderLine);
  set(CURLOPT_HEADERDATA, &watch);
  return code;
}

// Closes the body's file. Returns 0, or the error that made the close fail.
int CloseBody(std::FILE* file) {
  errno = 0;
  if (std::fclose(file) == 0) return 0;
  return errno != 0 ? errno : EIO;
}

// libcurl's own account of why the transfer failed with `code`: the error
// buffer without its line end, else the code's generic text.
std::string TransferErrorText(const Curl& curl, CURLcode code, const char* error_buffer) {
  std::string reason = error_buffer;
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  if (reason.empty()) reason = curl.easy_strerror(code);
  return reason;
}

// The outcome of a transfer on `handle` that ended with `code`, not stopped,
// having written through `sink` into a file whose close failed with
// `close_errno` (0: it did not), watched by `watch`. The first failure in
// this order is the reason: a limit that ended it, an HTTP error status, a
// body beyond the limit, a failed write, a header beyond what libcurl takes,
// any other transfer error, a reply cut off in its header, the failed close.
FetchResult JudgeTransfer(const Curl& curl, CURL* handle, CURLcode code, const Sink& sink,
                          const Watch& watch, const char* error_buffer, int close_errno) {
  if (!watch.stop_reason.empty()) return Failure(watch.stop_reason);
  if (code == CURLE_HTTP_RETURNED_ERROR) {
    long status = 0;
    curl.easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 400) return Failure("HTTP " + std::to_string(status));
  }
  if (code == CURLE_WRITE_ERROR && sink.too_large) return Failure(PageTooLargeReason(sink.limit));
  if (code == CURLE_WRITE_ERROR && !sink.refused.empty()) return Failure(sink.refused);
  if (code == CURLE_WRITE_ERROR && sink.write_errno != 0) {
    return Failure(ErrnoText(sink.write_errno));
  }
  // libcurl reports a header line longer than it takes as running out of
  // memory, without a word of its own: no memory problem the user could fix.
  if (code == CURLE_OUT_OF_MEMORY && !watch.header_complete && error_buffer[0] == '\0') {
    return Failure("header too large");
  }
  if (code != CURLE_OK) return Failure(TransferErrorText(curl, code, error_buffer));
  // libcurl takes a connection closed inside the header for the end of an
  // empty page.
  if (!watch.header_complete) return Failure("reply cut off in its header");
  std::string unfinished = sink.decoder.Finish();
  if (!unfinished.empty()) return Failure(std::move(unfinished));
  if (close_errno != 0) return Failure(ErrnoText(close_errno));
  return FetchResult{true, {}};
}

}  // namespace

FetchResult FetchToFile(const std::string& url, const std::string& path,
                        const FetchOptions& options) {
  std::string load_error;
  const Curl* const api = LoadCurl(load_error);
  if (api == nullptr) return Failure(load_error);
  const Curl& curl = *api;
  if (!curl.initialized) return Failure(curl.easy_strerror(CURLE_FAILED_INIT));

  // libcurl takes the address as a C string: a NUL inside it would silently
  // fetch a shorter address than the one typed.
  if (url.find('\0') != std::string::npos) return Failure(curl.easy_strerror(CURLE_URL_MALFORMAT));

  std::unique_ptr<CURL, CurlDeleter> easy(curl.easy_init(), CurlDeleter{&curl});
  if (!easy) return Failure(curl.easy_strerror(CURLE_FAILED_INIT));
  char error_buffer[CURL_ERROR_SIZE] = {};
  Watch watch(options);
  Sink sink;
  sink.watch = &watch;
  sink.limit = options.max_page_bytes;
  CURLcode code = SetUpTransfer(curl, easy.get(), url, options, sink, watch, error_buffer);
  if (code != CURLE_OK) return Failure(curl.easy_strerror(code));

  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file) return Failure(ErrnoText(errno));
  sink.file = file.get();
  // Marks the file as in use for RemoveUnlessBeingFetched(), in any process,
  // until it is closed. Where locks are not supported the file merely goes
  // unmarked.
  ::flock(::fileno(file.get()), LOCK_EX | LOCK_NB);

  bool stopped = false;
  code = Perform(curl, easy.get(), options.keep_going, sink, watch, stopped);
  // Close before judging: a failed flush is a lost tail of the page.
  const int close_errno = CloseBody(file.release());
  if (sink.out_of_memory) throw std::bad_alloc();
  if (stopped) {
    FetchResult result;
    result.stopped = true;
    return result;
  }
  return JudgeTransfer(curl, easy.get(), code, sink, watch, error_buffer, close_errno);
}

bool RemoveUnlessBeingFetched(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  // Holding the lock, no transfer can be writing the file; one that starts
  // later writes a file of its own name.
  bool removed = false;
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) removed = ::unlink(path.c_str()) == 0;
  ::close(fd);
  return removed;
}

}  // namespace varnolt
