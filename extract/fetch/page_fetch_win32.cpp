// The page fetch on Windows: an HTTP/1.1 client of our own on Winsock, with
// Schannel for https. The system's download services were tried first; they
// pass a reply cut off inside a chunked body for a whole page, and show
// nothing of a header until it is whole, so neither a broken reply nor a
// slow one could be told from a good one.
//
// Everything runs on the calling thread, in turns of at most 50 ms: each
// step waits that long for the network at most, and between steps the
// caller's keep_going and the limits are asked. Only the choice of proxy and
// the name lookup, which the system offers as blocking calls alone, run on
// a thread of their own.
// Winsock's headers must come before the rest of the system's.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winhttp.h>
// clang-format on

#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "extract/boundary/wide_text.h"
#include "extract/fetch/body_decoder.h"
#include "extract/fetch/channel_win32.h"
#include "extract/fetch/download.h"
#include "extract/fetch/http_reply.h"
#include "extract/fetch/page_fetch.h"
#include "extract/fetch/plain_channel_win32.h"
#include "extract/fetch/proxy_choice.h"
#include "extract/fetch/tls_channel_win32.h"
#include "extract/fetch/transfer_limits.h"
#include "extract/fetch/web_address.h"

#ifndef VARNOLT_VERSION
#define VARNOLT_VERSION "0"
#endif

namespace varnolt {
namespace {

constexpr int kTurnMilliseconds = 50;
constexpr char kUserAgent[] = "Varnolt/" VARNOLT_VERSION;
constexpr size_t kReceiveBytes = 64 << 10;

// Winsock is started for each transfer and stopped after it; the calls count.
class WinsockSession {
 public:
  WinsockSession() {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~WinsockSession() {
    if (started_) WSACleanup();
  }
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;
  bool started() const { return started_; }

 private:
  bool started_ = false;
};

class UniqueSocket {
 public:
  UniqueSocket() = default;
  ~UniqueSocket() { Reset(); }
  UniqueSocket(const UniqueSocket&) = delete;
  UniqueSocket& operator=(const UniqueSocket&) = delete;
  SOCKET get() const { return socket_; }
  void Reset(SOCKET socket = INVALID_SOCKET) {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    socket_ = socket;
  }

 private:
  SOCKET socket_ = INVALID_SOCKET;
};

// The ASCII form of an international host name, which is what is looked
// up, named in the Host field and checked against a certificate. Empty when
// it has none.
std::string AsciiHost(const std::string& host) {
  bool ascii = true;
  for (const char c : host) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) return host;
  const std::wstring wide = ToWide(host);
  wchar_t converted[256];
  const int length = IdnToAscii(0, wide.c_str(), static_cast<int>(wide.size()), converted, 256);
  if (length <= 0) return {};
  return std::string(converted, converted + length);  // all ASCII
}

// The way to a server: through which proxy, if any, and at which network
// addresses the first hop answers. Found on a thread of its own, shared with
// it, since both questions are blocking calls that may take seconds: a
// search the caller gave up on finishes there and frees what it found.
struct Route {
  // Asked for.
  WebAddress address;
  std::string url;
  std::string forced_proxy;  // FetchOptions::proxy
  // Found.
  HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::string proxy;     // "http://host:port", empty for none
  WebAddress first_hop;  // the proxy's address, or `address`
  std::string error;     // why no way was found
  bool out_of_memory = false;
  ADDRINFOW* found = nullptr;

  ~Route() {
    if (found != nullptr) FreeAddrInfoW(found);
    if (done != nullptr) CloseHandle(done);
  }
};

// Frees what WinHTTP hands over, whichever members it set.
void FreeGlobal(LPWSTR text) {
  if (text != nullptr) GlobalFree(text);
}

// The proxy the user's Internet settings give for `route`: the answer of
// the auto-configuration script where one is set or looked for, else the
// proxy set by hand. Empty for none.
std::string SystemProxy(const Route& route) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&config)) return {};
  std::string proxies = config.lpszProxy != nullptr ? FromWide(config.lpszProxy) : "";
  std::string bypass = config.lpszProxyBypass != nullptr ? FromWide(config.lpszProxyBypass) : "";
  if (config.fAutoDetect || config.lpszAutoConfigUrl != nullptr) {
    HINTERNET session = WinHttpOpen(L"Varnolt", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    WINHTTP_AUTOPROXY_OPTIONS automatic{};
    if (config.lpszAutoConfigUrl != nullptr) {
      automatic.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
      automatic.lpszAutoConfigUrl = config.lpszAutoConfigUrl;
    } else {
      automatic.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
      automatic.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    WINHTTP_PROXY_INFO answer{};
    if (session != nullptr &&
        WinHttpGetProxyForUrl(session, ToWide(route.url).c_str(), &automatic, &answer)) {
      proxies =
          answer.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && answer.lpszProxy != nullptr
              ? FromWide(answer.lpszProxy)
              : "";
      bypass = answer.lpszProxyBypass != nullptr ? FromWide(answer.lpszProxyBypass) : "";
      FreeGlobal(answer.lpszProxy);
      FreeGlobal(answer.lpszProxyBypass);
    }
    if (session != nullptr) WinHttpCloseHandle(session);
  }
  FreeGlobal(config.lpszAutoConfigUrl);
  FreeGlobal(config.lpszProxy);
  FreeGlobal(config.lpszProxyBypass);
  return ChooseProxy(proxies, bypass, route.address);
}

void FindRoute(Route& route) {
  route.proxy = route.forced_proxy.empty() ? SystemProxy(route) : route.forced_proxy;
  route.first_hop = route.address;
  if (!route.proxy.empty() && !ParseWebAddress(route.proxy, route.first_hop)) {
    route.error = "malformed proxy address";
    return;
  }
  const std::string host = AsciiHost(route.first_hop.host);
  if (host.empty()) {
    route.error = "malformed address";
    return;
  }
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  const int error = GetAddrInfoW(ToWide(host).c_str(), ToWide(route.first_hop.port).c_str(), &hints,
                                 &route.found);
  if (error == WSAHOST_NOT_FOUND || error == WSANO_DATA) {
    route.error = route.proxy.empty() ? "server not found" : "proxy not found";
  } else if (error != 0) {
    route.error = "name lookup failed (" + SocketErrorText(error) + ")";
  }
}

DWORD WINAPI RunFindRoute(void* parameter) {
  std::unique_ptr<std::shared_ptr<Route>> owner(static_cast<std::shared_ptr<Route>*>(parameter));
  Route& route = **owner;
  // Its own start of Winsock: a caller that gave up may have stopped its own.
  WinsockSession winsock;
  // Nothing may be thrown out of the thread: the caller throws it again.
  try {
    FindRoute(route);
  } catch (const std::bad_alloc&) {
    route.out_of_memory = true;
  }
  SetEvent(route.done);
  return 0;
}

std::string WriteErrorText(DWORD code) {
  if (code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL) return "disk full";
  return "could not write the page (error " + std::to_string(code) + ")";
}

// One call of FetchToFile: the requests, from the address asked for through
// its redirects, and the file the page goes to.
class PageTransfer {
 public:
  PageTransfer(const FetchOptions& options, const std::string& path)
      : options_(options), path_(ToWide(path)), limits_(options, TransferLimits::Clock::now()) {}
  ~PageTransfer() {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }
  PageTransfer(const PageTransfer&) = delete;
  PageTransfer& operator=(const PageTransfer&) = delete;

  FetchResult Run(const std::string& url);

 private:
  // What Exchange made of one request.
  enum class Outcome { kEnded, kPage, kRedirect };

  bool Turn();
  bool Fail(std::string reason);
  Outcome Ended(std::string reason) {
    Fail(std::move(reason));
    return Outcome::kEnded;
  }
  std::shared_ptr<Route> FindRouteTo(const WebAddress& address, const std::string& url);
  bool Connect(const Route& route, UniqueSocket& socket);
  bool Open(Channel& channel);
  bool Send(Channel& channel, std::string_view request);
  bool Tunnel(Channel& channel, const std::string& authority);
  std::unique_ptr<Channel> Request(const WebAddress& address, const std::string& url,
                                   UniqueSocket& socket);
  bool ReadReply(Channel& channel, HttpReplyReader& reader);
  Outcome Exchange(const WebAddress& address, const std::string& current, std::string& next);
  std::string StartPage(const std::string& coding);
  std::string WriteBody(const HttpReplyReader& reader, std::string_view coded);
  std::string WriteDecoded(std::string_view decoded);
  bool FinishPage();

  const FetchOptions& options_;
  const std::wstring path_;
  TransferLimits limits_;
  TransferProgress progress_;
  int64_t earlier_framing_bytes_ = 0;  // of the replies before this one
  FetchResult result_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  std::unique_ptr<BodyDecoder> decoder_;
};

// Asked between steps: false when the user stopped the transfer or a limit
// ended it; result_ then says which.
bool PageTransfer::Turn() {
  if (options_.keep_going && !options_.keep_going()) {
    result_.stopped = true;
    return false;
  }
  std::string limit = limits_.Check(TransferLimits::Clock::now(), progress_);
  return limit.empty() || Fail(std::move(limit));
}

bool PageTransfer::Fail(std::string reason) {
  result_.error = std::move(reason);
  return false;
}

// The proxy and the network addresses for `address`, found in turns; null
// when the transfer ended meanwhile.
std::shared_ptr<Route> PageTransfer::FindRouteTo(const WebAddress& address,
                                                 const std::string& url) {
  auto route = std::make_shared<Route>();
  route->address = address;
  route->url = url;
  route->forced_proxy = options_.proxy;
  if (route->done == nullptr) {
    Fail("could not look up the server (no event)");
    return nullptr;
  }
  auto* thread_owner = new std::shared_ptr<Route>(route);
  HANDLE thread = CreateThread(nullptr, 0, RunFindRoute, thread_owner, 0, nullptr);
  if (thread == nullptr) {
    delete thread_owner;
    Fail("could not look up the server (no thread)");
    return nullptr;
  }
  CloseHandle(thread);  // the event says when it is done
  while (WaitForSingleObject(route->done, kTurnMilliseconds) == WAIT_TIMEOUT) {
    if (!Turn()) return nullptr;
  }
  if (route->out_of_memory) throw std::bad_alloc();
  if (!route->error.empty()) {
    Fail(route->error);
    return nullptr;
  }
  return route;
}

// Connects to the first hop of `route`.
bool PageTransfer::Connect(const Route& route, UniqueSocket& socket) {
  std::string failure;
  const SOCKET connected = ConnectToFirstThatAnswers(
      route.found, [this] { return Turn(); }, failure);
  if (connected != INVALID_SOCKET) {
    socket.Reset(connected);
    return true;
  }
  if (!result_.error.empty() || result_.stopped) return false;
  return Fail(route.proxy.empty() ? failure : "proxy: " + failure);
}

bool PageTransfer::Open(Channel& channel) {
  for (;;) {
    ChannelIo io = channel.Open(kTurnMilliseconds);
    if (io.status == ChannelIo::kDone) return true;
    if (io.status == ChannelIo::kFailed) return Fail(std::move(io.error));
    if (io.status == ChannelIo::kClosed) return Fail("connection closed");
    if (!Turn()) return false;
  }
}

bool PageTransfer::Send(Channel& channel, std::string_view request) {
  while (!request.empty()) {
    ChannelIo io = channel.Send(request, kTurnMilliseconds);
    if (io.status == ChannelIo::kDone) {
      request.remove_prefix(io.bytes);
      continue;
    }
    if (io.status == ChannelIo::kFailed) return Fail(std::move(io.error));
    if (io.status == ChannelIo::kClosed) return Fail("connection closed");
    if (!Turn()) return false;
  }
  return true;
}

// Asks the proxy on `channel` for a tunnel to `authority` (host:port), and
// reads its answer up to the end of its header, where the tunnel begins.
bool PageTransfer::Tunnel(Channel& channel, const std::string& authority) {
  const std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority +
                              "\r\nUser-Agent: " + kUserAgent + "\r\n\r\n";
  if (!Send(channel, request)) return false;
  HttpReplyReader reader = HttpReplyReader::ForTunnel();
  // One byte at a time: what comes after the header is the server's.
  char byte;
  while (reader.state() == HttpReplyReader::State::kHeader) {
    if (!Turn()) return false;
    const ChannelIo io = channel.Receive(&byte, 1, kTurnMilliseconds);
    if (io.status == ChannelIo::kFailed) return Fail("proxy: " + io.error);
    if (io.status == ChannelIo::kDone) reader.Take(std::string_view(&byte, 1));
    if (io.status == ChannelIo::kClosed) reader.TakeClose();
    progress_.header_bytes = earlier_framing_bytes_ + reader.framing_bytes();
  }
  earlier_framing_bytes_ += reader.framing_bytes();
  if (reader.state() == HttpReplyReader::State::kFailed) return Fail("proxy: " + reader.error());
  if (reader.status() < 200 || reader.status() >= 300) {
    return Fail("proxy refused the tunnel (HTTP " + std::to_string(reader.status()) + ")");
  }
  return true;
}

// Connects to the server of `address`, through its proxy if it has one,
// and sends the request for `address` on the channel it returns; null when
// the transfer ended meanwhile. `url` is the address as text.
std::unique_ptr<Channel> PageTransfer::Request(const WebAddress& address, const std::string& url,
                                               UniqueSocket& socket) {
  const std::shared_ptr<Route> route = FindRouteTo(address, url);
  if (route == nullptr || !Connect(*route, socket)) return nullptr;
  // The Host field and the certificate name the server as the address does,
  // in ASCII.
  const std::string host = AsciiHost(address.host);
  const std::string named = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  const bool own_port = address.port == (address.tls ? "443" : "80");
  const std::string authority = own_port ? named : named + ":" + address.port;
  std::string target = address.target;
  std::unique_ptr<Channel> channel = std::make_unique<PlainChannel>(socket.get());
  if (address.tls) {
    if (!route->proxy.empty() && !Tunnel(*channel, named + ":" + address.port)) return nullptr;
    channel = std::make_unique<TlsChannel>(socket.get(), host);
  } else if (!route->proxy.empty()) {
    target = "http://" + authority + target;  // a proxy is told the whole address
  }
  const std::string request = "GET " + target + " HTTP/1.1\r\nHost: " + authority +
                              "\r\nUser-Agent: " + kUserAgent +
                              "\r\nAccept: */*\r\nAccept-Encoding: gzip, deflate"
                              "\r\nConnection: close\r\n\r\n";
  if (!Open(*channel) || !Send(*channel, request)) return nullptr;
  progress_.connected = true;
  return channel;
}

// Reads the reply on `channel` into `reader`: whole for a page, up to the
// end of its header for anything else, whose body is not wanted. False when
// the transfer ended meanwhile.
bool PageTransfer::ReadReply(Channel& channel, HttpReplyReader& reader) {
  auto buffer = std::make_unique<char[]>(kReceiveBytes);
  while (reader.state() == HttpReplyReader::State::kHeader ||
         reader.state() == HttpReplyReader::State::kBody) {
    if (!Turn()) return false;
    const ChannelIo io = channel.Receive(buffer.get(), kReceiveBytes, kTurnMilliseconds);
    if (io.status == ChannelIo::kFailed) return Fail(io.error);
    if (io.status == ChannelIo::kDone) {
      reader.Take(std::string_view(buffer.get(), io.bytes));
    } else if (io.status == ChannelIo::kClosed) {
      reader.TakeClose();
    }
    progress_.header_bytes = earlier_framing_bytes_ + reader.framing_bytes();
    if (reader.state() != HttpReplyReader::State::kHeader &&
        (reader.status() < 200 || reader.status() >= 300)) {
      break;
    }
  }
  earlier_framing_bytes_ += reader.framing_bytes();
  return true;
}

// One request and its reply. kPage: the page is in the file, whole. kRedirect:
// `next` is where to go. kEnded: result_ says why the transfer ended.
PageTransfer::Outcome PageTransfer::Exchange(const WebAddress& address, const std::string& current,
                                             std::string& next) {
  UniqueSocket socket;
  const std::unique_ptr<Channel> channel = Request(address, current, socket);
  if (channel == nullptr) return Outcome::kEnded;
  const HttpReplyReader* reading = nullptr;
  HttpReplyReader reader(
      [this, &reading](std::string_view coded) { return WriteBody(*reading, coded); });
  reading = &reader;
  if (!ReadReply(*channel, reader)) return Outcome::kEnded;
  if (reader.state() == HttpReplyReader::State::kFailed) return Ended(reader.error());

  const int status = reader.status();
  const bool redirect =
      status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
  if (redirect && !reader.location().empty()) {
    next = ResolveLocation(current, reader.location());
    if (!IsWebAddress(next)) return Ended("redirect to another scheme than http or https");
    return Outcome::kRedirect;
  }
  if (status >= 300 && status < 400) {
    return Ended("redirect not followed (HTTP " + std::to_string(status) + ")");
  }
  if (status < 200 || status >= 300) return Ended("HTTP " + std::to_string(status));
  return FinishPage() ? Outcome::kPage : Outcome::kEnded;
}

// The page's first body byte arrived, or its empty body ended: its file and
// its decoder start here.
std::string PageTransfer::StartPage(const std::string& coding) {
  decoder_ = std::make_unique<BodyDecoder>();
  std::string refused = decoder_->Start(coding);
  if (!refused.empty()) return refused;
  // Shared for reading only: RemoveUnlessBeingFetched must fail while the
  // page is being written.
  file_ = CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file_ == INVALID_HANDLE_VALUE) {
    return "could not create the page's file (error " + std::to_string(GetLastError()) + ")";
  }
  return {};
}

std::string PageTransfer::WriteBody(const HttpReplyReader& reader, std::string_view coded) {
  if (decoder_ == nullptr) {
    std::string refused = StartPage(reader.content_encoding());
    if (!refused.empty()) return refused;
  }
  return decoder_->Decode(coded,
                          [this](std::string_view decoded) { return WriteDecoded(decoded); });
}

std::string PageTransfer::WriteDecoded(std::string_view decoded) {
  progress_.body_bytes += static_cast<int64_t>(decoded.size());
  // Judged here as well as between turns: at the speed of a local network,
  // a turn's worth of data is many megabytes.
  if (progress_.body_bytes > options_.max_page_bytes) {
    return PageTooLargeReason(options_.max_page_bytes);
  }
  while (!decoded.empty()) {
    DWORD written = 0;
    const DWORD size = static_cast<DWORD>(decoded.size() < (1u << 30) ? decoded.size() : 1u << 30);
    if (!WriteFile(file_, decoded.data(), size, &written, nullptr)) {
      return WriteErrorText(GetLastError());
    }
    decoded.remove_prefix(written);
  }
  return {};
}

bool PageTransfer::FinishPage() {
  // An empty body is an empty page, whatever coding it names.
  if (decoder_ == nullptr) {
    std::string refused = StartPage("");
    if (!refused.empty()) return Fail(std::move(refused));
  }
  std::string unfinished = decoder_->Finish();
  if (!unfinished.empty()) return Fail(std::move(unfinished));
  const HANDLE file = file_;
  file_ = INVALID_HANDLE_VALUE;
  if (!CloseHandle(file)) return Fail(WriteErrorText(GetLastError()));
  result_.ok = true;
  return true;
}

FetchResult PageTransfer::Run(const std::string& url) {
  WinsockSession winsock;
  if (!winsock.started()) return {false, "network not available"};
  std::string current = url;
  for (;;) {
    WebAddress address;
    if (!ParseWebAddress(current, address)) return {false, "malformed address"};
    std::string next;
    const Outcome outcome = Exchange(address, current, next);
    if (outcome != Outcome::kRedirect) return result_;
    ++progress_.redirects;
    if (progress_.redirects > options_.max_redirects) {
      return {false, "more than " + std::to_string(options_.max_redirects) + " redirects"};
    }
    current = std::move(next);
  }
}

}  // namespace

FetchResult FetchToFile(const std::string& url, const std::string& path,
                        const FetchOptions& options) {
  if (!IsWebAddress(url)) return {false, "unsupported scheme"};
  if (url.find('\0') != std::string::npos || path.find('\0') != std::string::npos) {
    return {false, "malformed address"};
  }
  PageTransfer transfer(options, path);
  return transfer.Run(url);
}

bool RemoveUnlessBeingFetched(const std::string& path) {
  // A file that a transfer holds open cannot be deleted.
  return path.find('\0') == std::string::npos && DeleteFileW(ToWide(path).c_str()) != 0;
}

}  // namespace varnolt
