// A small HTTP server for tests, on 127.0.0.1 at a port the kernel picks,
// started and stopped by the test that owns it. Builds on POSIX sockets and
// on Winsock, so the Windows tests under Wine start it the same way.
#pragma once

#include <gtest/gtest.h>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace varnolt {

namespace test_socket {
#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNone = INVALID_SOCKET;
constexpr int kNoSignal = 0;
inline void Close(Socket s) { closesocket(s); }
inline int Poll(pollfd* fds, unsigned count, int timeout_ms) {
  return WSAPoll(fds, count, timeout_ms);
}
inline void SetNonBlocking(Socket s) {
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
}
inline bool WouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }
#else
using Socket = int;
constexpr Socket kNone = -1;
constexpr int kNoSignal = MSG_NOSIGNAL;
inline void Close(Socket s) { close(s); }
inline int Poll(pollfd* fds, unsigned count, int timeout_ms) {
  return poll(fds, count, timeout_ms);
}
inline void SetNonBlocking(Socket s) { fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK); }
inline bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }
#endif

// Winsock must be started before the first socket and stopped after the
// last; each call counts.
struct Session {
#ifdef _WIN32
  Session() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~Session() { WSACleanup(); }
#endif
};

inline sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

// A socket listening on 127.0.0.1 at a port the kernel chose, written to
// `port`; kNone, with a test failure naming `who`, when there is none.
inline Socket ListenOnLoopback(int backlog, int& port, const char* who) {
  Socket listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  if (listener == kNone || bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener, backlog) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ADD_FAILURE() << who << ": cannot listen on 127.0.0.1";
  }
  port = ntohs(address.sin_port);
  return listener;
}
}  // namespace test_socket

// What the server does with a request for one path: sends `reply` and closes
// the connection, or, when `hold` is set, keeps the connection open after the
// reply and sends `trickle` every `pause_ms` milliseconds for as long as the
// client stays (nothing more when `trickle` is empty), or `trickles` times
// and then `tail` before it closes.
struct Route {
  Route(std::string whole_reply) : reply(std::move(whole_reply)) {}  // NOLINT: implicit
  Route(const char* whole_reply) : reply(whole_reply) {}             // NOLINT: implicit
  std::string reply;
  bool hold = false;
  std::string trickle;
  int pause_ms = 0;
  int trickles = 0;  // 0: no end
  std::string tail;
};

// A response that never ends: `head` (status line and headers), then
// `piece` every `pause_ms` milliseconds until the client goes away.
inline Route Trickle(std::string head, std::string piece, int pause_ms) {
  Route route(std::move(head));
  route.hold = true;
  route.trickle = std::move(piece);
  route.pause_ms = pause_ms;
  return route;
}

// A response that takes its time: `head`, then `piece` every `pause_ms`
// milliseconds, `count` times, then `tail`, and the connection closes.
inline Route SlowReply(std::string head, std::string piece, int pause_ms, int count,
                       std::string tail) {
  Route route = Trickle(std::move(head), std::move(piece), pause_ms);
  route.trickles = count;
  route.tail = std::move(tail);
  return route;
}

// Accepts the connection, reads the request and never answers.
inline const Route kSilent = Trickle("", "", 50);

// An HTTP server on 127.0.0.1, port chosen by the kernel, that serves each
// connection on a thread of its own. Unknown paths get a 404.
class TestServer {
 public:
  explicit TestServer(std::map<std::string, Route> routes) : routes_(std::move(routes)) {
    listener_ = test_socket::ListenOnLoopback(16, port_, "test server");
    thread_ = std::thread([this] { Serve(); });
  }
  ~TestServer() {
    stop_ = true;
    thread_.join();
    for (std::thread& connection : connections_) connection.join();
    test_socket::Close(listener_);
  }
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + Port() + path; }
  std::string Port() const { return std::to_string(port_); }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  // Connections that a route holds open at this moment.
  int HeldConnections() const { return held_; }

 private:
  void Serve() {
    using namespace test_socket;
    while (!stop_) {
      pollfd in = {listener_, POLLIN, 0};
      if (Poll(&in, 1, 20) <= 0) continue;
      const Socket client = accept(listener_, nullptr, nullptr);
      if (client == kNone) continue;
      connections_.emplace_back([this, client] { Answer(client); });
    }
  }

  void Answer(test_socket::Socket client) {
    using namespace test_socket;
    std::string head;
    char buffer[4096];
    pollfd in = {client, POLLIN, 0};
    while (head.find("\r\n\r\n") == std::string::npos && !stop_ && Poll(&in, 1, 5000) > 0) {
      const int n = recv(client, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      head.append(buffer, static_cast<size_t>(n));
    }
    const size_t start = head.find(' ') + 1;
    const std::string path = head.substr(start, head.find(' ', start) - start);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(head);
    }
    auto found = routes_.find(path);
    const Route route = found != routes_.end()
                            ? found->second
                            : Route("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
    SetNonBlocking(client);
    if (SendAll(client, route.reply) && route.hold) {
      ++held_;
      for (int sent = 0; route.trickles == 0 || sent < route.trickles; ++sent) {
        if (!Pause(route.pause_ms) || !SendAll(client, route.trickle)) break;
      }
      if (route.trickles != 0) SendAll(client, route.tail);
      --held_;
    }
    Close(client);
  }

  // Waits `ms` milliseconds, or less when the server stops: false then.
  bool Pause(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stop_ && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::min(std::chrono::milliseconds(ms), kPauseStep));
    }
    return !stop_;
  }
  static constexpr std::chrono::milliseconds kPauseStep{20};

  // Sends `bytes` unless the server stops first; false once the client has
  // gone (a failed send) or the server stops.
  bool SendAll(test_socket::Socket client, const std::string& bytes) {
    using namespace test_socket;
    size_t sent = 0;
    while (sent < bytes.size()) {
      if (stop_) return false;
      const int n =
          send(client, bytes.data() + sent, static_cast<int>(bytes.size() - sent), kNoSignal);
      if (n > 0) {
        sent += static_cast<size_t>(n);
      } else if (n < 0 && WouldBlock()) {
        pollfd out = {client, POLLOUT, 0};
        Poll(&out, 1, 20);
      } else {
        return false;
      }
    }
    if (bytes.empty()) {
      // Nothing to send: a closed client shows as a readable end of stream.
      pollfd in = {client, POLLIN, 0};
      char byte;
      if (Poll(&in, 1, 0) > 0 && recv(client, &byte, 1, 0) == 0) return false;
    }
    return !stop_;
  }

  test_socket::Session session_;
  std::map<std::string, Route> routes_;
  test_socket::Socket listener_ = test_socket::kNone;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> held_{0};
  std::thread thread_;
  std::vector<std::thread> connections_;  // touched by the serving thread only, until it ends
  std::mutex mutex_;
  std::vector<std::string> requests_;
};

// A port on 127.0.0.1 that listens but never accepts. The system completes
// a client's connection by itself, so whether anyone connected can be asked
// afterwards, however briefly the client stayed.
class ConnectionTrap {
 public:
  ConnectionTrap() {
    listener_ = test_socket::ListenOnLoopback(4, port_, "connection trap");
  }
  ~ConnectionTrap() { test_socket::Close(listener_); }
  ConnectionTrap(const ConnectionTrap&) = delete;
  ConnectionTrap& operator=(const ConnectionTrap&) = delete;

  std::string Port() const { return std::to_string(port_); }
  // True when a connection waits to be accepted.
  bool Connected() {
    pollfd in = {listener_, POLLIN, 0};
    return test_socket::Poll(&in, 1, 0) > 0;
  }

 private:
  test_socket::Session session_;
  test_socket::Socket listener_ = test_socket::kNone;
  int port_ = 0;
};

// A port on 127.0.0.1 that nobody listens on: bound, then released.
inline int UnusedPort() {
  using namespace test_socket;
  [[maybe_unused]] Session session;
  const Socket fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  Close(fd);
  return ntohs(address.sin_port);
}

inline std::string Ok(const std::string& body, const std::string& headers = "") {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + headers +
         "Connection: close\r\n\r\n" + body;
}

}  // namespace varnolt
