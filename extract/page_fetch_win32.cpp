// The page fetch on Windows: the system's URL moniker service, so proxies,
// certificates and redirects follow the user's Internet settings.
#include <urlmon.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "extract/page_fetch.h"

namespace varnolt {
namespace {

bool StartsWithFolded(const std::string& text, const char* prefix) {
  return _strnicmp(text.c_str(), prefix, std::strlen(prefix)) == 0;
}

// Lives on the caller's stack for the one synchronous transfer; COM's
// reference counting is kept honest but never frees it.
class TransferWatch final : public IBindStatusCallback, public IHttpNegotiate {
 public:
  // The HTTP status of the last response, 0 when none arrived.
  DWORD status() const { return status_; }

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
  HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnProgress(ULONG, ULONG, ULONG, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT, LPCWSTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD* flags, BINDINFO*) override {
    // The page as the server has it now, not a copy from the Internet cache.
    if (flags != nullptr) *flags |= BINDF_GETNEWESTVERSION;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

  // IHttpNegotiate: how the status line of an HTTP response reaches us.
  HRESULT STDMETHODCALLTYPE BeginningTransaction(LPCWSTR, LPCWSTR, DWORD,
                                                 LPWSTR* additional) override {
    if (additional != nullptr) *additional = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnResponse(DWORD code, LPCWSTR, LPCWSTR, LPWSTR* additional) override {
    status_ = code;
    if (additional != nullptr) *additional = nullptr;
    return S_OK;
  }

 private:
  ULONG references_ = 1;
  DWORD status_ = 0;
};

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

}  // namespace

FetchResult FetchToFile(const std::string& url, const std::string& path,
                        const FetchOptions& /*options*/) {
  // The moniker service would also fetch file:, ftp: and others.
  if (!StartsWithFolded(url, "http://") && !StartsWithFolded(url, "https://")) {
    return {false, "unsupported scheme"};
  }
  if (url.find('\0') != std::string::npos || path.find('\0') != std::string::npos) {
    return {false, "malformed address"};
  }
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  TransferWatch watch;
  // Some versions deliver an HTTP error page and report success, others
  // report failure: the status decides in both cases.
  const HRESULT result = URLDownloadToFileA(nullptr, url.c_str(), path.c_str(), 0, &watch);
  FetchResult fetched;
  if (watch.status() >= 400) {
    fetched.error = "HTTP " + std::to_string(watch.status());
  } else if (FAILED(result)) {
    fetched.error = DescribeFailure(result);
  } else {
    fetched.ok = true;
  }

  if (SUCCEEDED(com)) CoUninitialize();
  return fetched;
}

}  // namespace varnolt
