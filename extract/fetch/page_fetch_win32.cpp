// The page fetch on Windows: the system's URL moniker service, so proxies,
// certificates and redirects follow the user's Internet settings.
//
// URLDownloadToFileW blocks its thread in a message loop of its own, which
// wakes only for the moniker's notifications: while the server is silent,
// nothing of ours runs on that thread. So the transfer runs on a thread of
// its own, and the calling thread waits for it in short turns, asking
// keep_going and the limits between them and aborting the binding when
// either says stop.
#include <urlmon.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "extract/boundary/wide_text.h"
#include "extract/fetch/download.h"
#include "extract/fetch/page_fetch.h"
#include "extract/fetch/transfer_limits.h"

namespace varnolt {
namespace {

// How long one wait for the transfer thread lasts before the caller's turn.
constexpr DWORD kTurnMilliseconds = 50;
// How long an aborted transfer is given to wind down before the caller goes
// on without it.
constexpr DWORD kAbortGraceMilliseconds = 5000;

// What the transfer thread and the caller share. Reference-counted, so that a
// transfer thread that outlives an abandoned call still has it.
struct Transfer {
  std::wstring url;
  std::wstring path;
  HANDLE done = nullptr;  // set by the thread when URLDownloadToFileW returned
  HRESULT result = E_PENDING;
  int64_t max_page_bytes = kMaxPageBytes;
  std::atomic<bool> abort{false};
  std::atomic<DWORD> status{0};  // HTTP status of the last response, 0 when none
  // The last response's header as the service passed it on, if it did: how
  // many fields it held, and whether one announced the body's length.
  std::atomic<bool> header_known{false};
  std::atomic<int> header_fields{0};
  std::atomic<bool> length_announced{false};
  std::atomic<bool> too_large{false};
  std::atomic<bool> bad_redirect{false};  // a redirect to another scheme than http(s)

  // What the watcher judges the limits by.
  std::atomic<int> requests{0};   // requests sent, the first and every redirect's
  std::atomic<int> redirects{0};  // redirects announced as such
  std::atomic<int64_t> body_bytes{0};
  // The body's announced length, 0 when unknown (a compressed body counts
  // decoded bytes against no announced length).
  std::atomic<ULONG> announced_bytes{0};

  TransferProgress Progress() const {
    TransferProgress progress;
    progress.connected = requests > 0;
    // Some versions announce each redirect, others only send the next
    // request: whichever counts more.
    progress.redirects = std::max<int>(redirects, requests - 1);
    progress.body_bytes = body_bytes;
    return progress;
  }

  // The binding, while it runs: the caller aborts it when the server is
  // silent, since the callback below is only called when something happens.
  std::mutex binding_mutex;
  IBinding* binding = nullptr;

  ~Transfer() {
    if (done != nullptr) CloseHandle(done);
  }

  void SetBinding(IBinding* new_binding) {
    std::lock_guard<std::mutex> lock(binding_mutex);
    if (binding != nullptr) binding->Release();
    binding = new_binding;
    if (binding != nullptr) binding->AddRef();
  }

  // Called on the caller's thread, not the binding's. The moniker service
  // hands the abort on to its own thread through that thread's message
  // queue, which its download loop does serve; the lock keeps the binding
  // alive meanwhile.
  void Abort() {
    abort = true;
    std::lock_guard<std::mutex> lock(binding_mutex);
    if (binding != nullptr) binding->Abort();
  }
};

// IsWebAddress for the address a redirect names, as the moniker service
// hands it over. It allocates nothing: it runs inside the service's callback,
// where running out of memory could not be reported but would end the
// program.
bool IsWebAddress(LPCWSTR text) {
  if (text == nullptr) return false;
  const auto starts_with = [text](const char* scheme) {
    size_t i = 0;
    for (; scheme[i] != '\0'; ++i) {
      const wchar_t c = text[i];
      const wchar_t folded = c >= L'A' && c <= L'Z' ? c + (L'a' - L'A') : c;
      if (folded != static_cast<wchar_t>(scheme[i])) return false;
    }
    return true;
  };
  return starts_with("http://") || starts_with("https://");
}

// Counts the fields of `headers`, a response header as the moniker service
// hands it over (the status line, then a field a line, each line ended by
// CR LF), and notes whether one is Content-Length. It allocates nothing, for
// the reason IsWebAddress above does not.
void ReadResponseHeader(LPCWSTR headers, Transfer& transfer) {
  int fields = 0;
  bool length = false;
  bool status_line = true;
  for (LPCWSTR line = headers; line != nullptr && *line != L'\0';) {
    LPCWSTR end = line;
    while (*end != L'\0' && *end != L'\r' && *end != L'\n') ++end;
    if (end != line && !status_line) {
      ++fields;
      constexpr char kLength[] = "content-length:";
      size_t i = 0;
      for (; kLength[i] != '\0' && line + i != end; ++i) {
        const wchar_t c = line[i];
        if ((c >= L'A' && c <= L'Z' ? c + (L'a' - L'A') : c) != static_cast<wchar_t>(kLength[i])) {
          break;
        }
      }
      if (kLength[i] == '\0') length = true;
    }
    status_line = false;
    line = end;
    if (*line == L'\r') ++line;
    if (*line == L'\n') ++line;
  }
  transfer.header_known = headers != nullptr;
  transfer.header_fields = fields;
  transfer.length_announced = length;
}

// Lives on the transfer thread's stack for the one synchronous transfer;
// COM's reference counting is kept honest but never frees it.
class TransferWatch final : public IBindStatusCallback, public IHttpNegotiate {
 public:
  explicit TransferWatch(Transfer& transfer) : transfer_(transfer) {}

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IBindStatusCallback)) {
      *out = static_cast<IBindStatusCallback*>(this);
    } else if (IsEqualIID(iid, IID_IHttpNegotiate)) {
      *out = static_cast<IHttpNegotiate*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override { return --references_; }

  // IBindStatusCallback
  HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding* binding) override {
    transfer_.SetBinding(binding);
    return transfer_.abort ? E_ABORT : S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnProgress(ULONG progress, ULONG announced, ULONG status,
                                       LPCWSTR text) override {
    if (status == BINDSTATUS_SENDINGREQUEST) {
      ++transfer_.requests;
    } else if (status == BINDSTATUS_REDIRECTING) {
      ++transfer_.redirects;
      // The moniker service would follow a server to file: and others.
      if (!IsWebAddress(text)) {
        transfer_.bad_redirect = true;
        transfer_.abort = true;
      }
    } else if (status == BINDSTATUS_BEGINDOWNLOADDATA || status == BINDSTATUS_DOWNLOADINGDATA ||
               status == BINDSTATUS_ENDDOWNLOADDATA) {
      transfer_.announced_bytes = announced;
      // The count is the decoded body so far, in 32 bits: a smaller count
      // than last time has gone round.
      if (progress < last_progress_) wrapped_ += int64_t{1} << 32;
      last_progress_ = progress;
      transfer_.body_bytes = wrapped_ + progress;
      // Judged here as well as by the watcher: at the speed of a local
      // network, a turn's worth of data is many megabytes.
      if (wrapped_ + progress > transfer_.max_page_bytes) {
        transfer_.too_large = true;
        transfer_.abort = true;
      }
    }
    return transfer_.abort ? E_ABORT : S_OK;
  }
  // The binding is let go once URLDownloadToFileW has returned, not here:
  // this may run inside the caller's Abort(), which holds the binding.
  HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD* flags, BINDINFO*) override {
    // The page as the server has it now, not a copy from the Internet cache.
    if (flags != nullptr) *flags |= BINDF_GETNEWESTVERSION;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override {
    return transfer_.abort ? E_ABORT : S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

  // IHttpNegotiate: how the status line of an HTTP response reaches us.
  HRESULT STDMETHODCALLTYPE BeginningTransaction(LPCWSTR, LPCWSTR, DWORD,
                                                 LPWSTR* additional) override {
    if (additional != nullptr) *additional = nullptr;
    return transfer_.abort ? E_ABORT : S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnResponse(DWORD code, LPCWSTR headers, LPCWSTR,
                                       LPWSTR* additional) override {
    transfer_.status = code;
    ReadResponseHeader(headers, transfer_);
    if (additional != nullptr) *additional = nullptr;
    return S_OK;
  }

 private:
  Transfer& transfer_;
  ULONG references_ = 1;
  ULONG last_progress_ = 0;
  int64_t wrapped_ = 0;
};

DWORD WINAPI RunTransfer(void* parameter) {
  // The thread's own reference, handed over by the caller.
  std::unique_ptr<std::shared_ptr<Transfer>> owner(
      static_cast<std::shared_ptr<Transfer>*>(parameter));
  Transfer& transfer = **owner;
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  {
    TransferWatch watch(transfer);
    transfer.result =
        URLDownloadToFileW(nullptr, transfer.url.c_str(), transfer.path.c_str(), 0, &watch);
    transfer.SetBinding(nullptr);
  }
  if (SUCCEEDED(com)) CoUninitialize();
  SetEvent(transfer.done);
  return 0;
}

std::string DescribeFailure(HRESULT result) {
  switch (result) {
    case INET_E_INVALID_URL:
      return "malformed address";
    case INET_E_NO_SESSION:
    case INET_E_CANNOT_CONNECT:
      return "could not connect";
    case INET_E_RESOURCE_NOT_FOUND:
      return "server not found";
    case INET_E_OBJECT_NOT_FOUND:
      return "page not found";
    case INET_E_DATA_NOT_AVAILABLE:
    case INET_E_DOWNLOAD_FAILURE:
      return "transfer failed";
    case INET_E_CONNECTION_TIMEOUT:
      return "timed out";
    case INET_E_INVALID_CERTIFICATE:
    case INET_E_SECURITY_PROBLEM:
      return "certificate not trusted";
    case INET_E_REDIRECT_FAILED:
      return "redirect failed";
    default: {
      char code[32];
      std::snprintf(code, sizeof code, "error 0x%08lX", static_cast<unsigned long>(result));
      return code;
    }
  }
}

// Starts the thread that runs `transfer`, with a reference of its own.
// Returns the reason it could not be started, or the empty text.
std::string StartTransfer(const std::shared_ptr<Transfer>& transfer) {
  transfer->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (transfer->done == nullptr) return DescribeFailure(HRESULT_FROM_WIN32(GetLastError()));
  auto* thread_owner = new std::shared_ptr<Transfer>(transfer);
  HANDLE thread = CreateThread(nullptr, 0, RunTransfer, thread_owner, 0, nullptr);
  if (thread == nullptr) {
    delete thread_owner;
    return DescribeFailure(HRESULT_FROM_WIN32(GetLastError()));
  }
  CloseHandle(thread);  // the event says when it is done
  return {};
}

// Waits for the transfer thread to end. Returns the result of a transfer it
// ended itself (stopped, or failed with a limit's reason); nothing when the
// transfer ended on its own.
std::optional<FetchResult> WatchTransfer(Transfer& transfer, const FetchOptions& options) {
  // The moniker applies no limits of ours: the calling thread watches the
  // transfer in turns and ends it when keep_going says no or a limit is hit.
  FetchResult fetched;
  TransferLimits limits(options, TransferLimits::Clock::now());
  while (WaitForSingleObject(transfer.done, kTurnMilliseconds) == WAIT_TIMEOUT) {
    if (options.keep_going && !options.keep_going()) {
      fetched.stopped = true;
    } else {
      fetched.error = limits.Check(TransferLimits::Clock::now(), transfer.Progress());
      if (fetched.error.empty()) continue;
    }
    transfer.Abort();
    // Give the thread its moment to let go of the file, so that the caller
    // can remove it; a moniker that does not react is left behind rather
    // than waited for.
    WaitForSingleObject(transfer.done, kAbortGraceMilliseconds);
    return fetched;
  }
  return std::nullopt;
}

// The outcome of a transfer that ended by itself, judged by what the thread
// and the callbacks saw rather than by the service's result alone.
FetchResult JudgeTransfer(const Transfer& transfer, const FetchOptions& options) {
  const HRESULT result = transfer.result;
  const DWORD status = transfer.status;
  const TransferProgress progress = transfer.Progress();
  FetchResult fetched;
  if (transfer.too_large) {
    fetched.error = PageTooLargeReason(options.max_page_bytes);
  } else if (transfer.bad_redirect) {
    fetched.error = "redirect to another scheme than http or https";
  } else if (progress.redirects > options.max_redirects) {
    fetched.error = "more than " + std::to_string(options.max_redirects) + " redirects";
  } else if (status >= 400) {
    // Some versions deliver an HTTP error page and report success, others
    // report failure: the status decides in both cases.
    fetched.error = "HTTP " + std::to_string(status);
  } else if (FAILED(result)) {
    fetched.error = DescribeFailure(result);
  } else if (transfer.announced_bytes > progress.body_bytes) {
    // The service takes a connection closed early for the end of the page.
    fetched.error = "page cut short after " + std::to_string(progress.body_bytes) + " of " +
                    std::to_string(transfer.announced_bytes) + " bytes";
  } else if (status == 0) {
    // The connection closed before a status line: the service reports
    // success with an empty file, which is no page.
    fetched.error = "empty reply from server";
  } else if (status >= 300 && status < 400) {
    // A redirect the service would not follow (to another scheme, say) is
    // delivered as if it were the page.
    fetched.error = "redirect not followed (HTTP " + std::to_string(status) + ")";
  } else if (status < 200 || status >= 300) {
    fetched.error = "HTTP " + std::to_string(status);
  } else if (transfer.header_known && transfer.header_fields == 0) {
    // The service passes on a reply cut off inside its header, and a reply
    // with no status line at all (HTTP/0.9), as a status line alone, and
    // reports success; no server that means its page sends no header field.
    fetched.error = "reply without a complete header";
  } else if (transfer.header_known && progress.body_bytes == 0 && !transfer.length_announced) {
    // Nor does it tell a header followed by a close, or a chunked body that
    // it could not read, from an empty page: an empty body is a page only
    // when its length was announced.
    fetched.error = "reply ended without a page";
  } else {
    fetched.ok = true;
  }
  return fetched;
}

}  // namespace

FetchResult FetchToFile(const std::string& url, const std::string& path,
                        const FetchOptions& options) {
  // The moniker service would also fetch file:, ftp: and others.
  if (!IsWebAddress(url)) return {false, "unsupported scheme"};
  if (url.find('\0') != std::string::npos || path.find('\0') != std::string::npos) {
    return {false, "malformed address"};
  }

  auto transfer = std::make_shared<Transfer>();
  transfer->url = ToWide(url);
  transfer->path = ToWide(path);
  transfer->max_page_bytes = options.max_page_bytes;
  std::string not_started = StartTransfer(transfer);
  if (!not_started.empty()) return {false, std::move(not_started)};
  if (std::optional<FetchResult> ended = WatchTransfer(*transfer, options)) return *ended;
  return JudgeTransfer(*transfer, options);
}

bool RemoveUnlessBeingFetched(const std::string& path) {
  // A file that a transfer holds open cannot be deleted.
  return path.find('\0') == std::string::npos && DeleteFileW(ToWide(path).c_str()) != 0;
}

}  // namespace varnolt
