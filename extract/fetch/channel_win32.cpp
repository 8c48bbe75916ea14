// The plain channel, and the socket waits both channels share.
#include "extract/fetch/channel_win32.h"

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "extract/fetch/plain_channel_win32.h"

namespace varnolt {

namespace {

constexpr int kTurnMilliseconds = 50;
constexpr auto kStagger = std::chrono::milliseconds(250);

// Starts a connection to `address` on a new non-blocking socket. Returns
// the socket, or INVALID_SOCKET with `failure` set.
SOCKET StartConnecting(const ADDRINFOW& address, std::string& failure) {
  const SOCKET started = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
  if (started == INVALID_SOCKET) {
    failure = SocketErrorText(WSAGetLastError());
    return INVALID_SOCKET;
  }
  u_long non_blocking = 1;
  ioctlsocket(started, FIONBIO, &non_blocking);
  if (connect(started, address.ai_addr, static_cast<int>(address.ai_addrlen)) != 0 &&
      WSAGetLastError() != WSAEWOULDBLOCK) {
    failure = SocketErrorText(WSAGetLastError());
    closesocket(started);
    return INVALID_SOCKET;
  }
  return started;
}

// The attempts still waiting for an answer; closed with it.
struct Attempts {
  std::vector<SOCKET> sockets;
  ~Attempts() {
    for (const SOCKET each : sockets) closesocket(each);
  }
};

}  // namespace

SOCKET ConnectToFirstThatAnswers(const ADDRINFOW* addresses, const std::function<bool()>& turn,
                                 std::string& failure) {
  failure = "could not connect";
  Attempts attempts;
  const ADDRINFOW* next = addresses;
  auto last_start = std::chrono::steady_clock::now() - kStagger;
  for (;;) {
    if (next != nullptr &&
        (attempts.sockets.empty() || std::chrono::steady_clock::now() - last_start >= kStagger)) {
      last_start = std::chrono::steady_clock::now();
      const SOCKET started = StartConnecting(*next, failure);
      next = next->ai_next;
      if (started != INVALID_SOCKET) attempts.sockets.push_back(started);
      continue;
    }
    if (attempts.sockets.empty()) return INVALID_SOCKET;
    // A connection that failed is listed as an exception, one that stands
    // as writable.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    for (const SOCKET each : attempts.sockets) {
      FD_SET(each, &writable);
      FD_SET(each, &failed);
    }
    timeval wait{0, kTurnMilliseconds * 1000};
    select(0, nullptr, &writable, &failed, &wait);
    std::vector<SOCKET>& sockets = attempts.sockets;
    for (size_t i = 0; i < sockets.size();) {
      const SOCKET each = sockets[i];
      if (!FD_ISSET(each, &writable) && !FD_ISSET(each, &failed)) {
        ++i;
        continue;
      }
      int error = 0;
      int size = sizeof error;
      getsockopt(each, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size);
      sockets.erase(sockets.begin() + static_cast<std::ptrdiff_t>(i));
      if (error == 0 && FD_ISSET(each, &writable)) return each;
      failure = SocketErrorText(error != 0 ? error : WSAECONNREFUSED);
      closesocket(each);
    }
    if (!turn()) {
      failure.clear();
      return INVALID_SOCKET;
    }
  }
}

bool WaitForSocket(SOCKET socket, bool for_write, int wait_ms) {
  // select rather than WSAPoll: older Windows' WSAPoll never reports a
  // connection attempt that failed, where select lists it as an exception.
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(socket, &ready);
  FD_SET(socket, &failed);
  timeval wait{wait_ms / 1000, (wait_ms % 1000) * 1000};
  // A failed or closed socket counts as ready: the call that follows says how.
  return select(0, for_write ? nullptr : &ready, for_write ? &ready : nullptr, &failed, &wait) != 0;
}

std::string SocketErrorText(int code) {
  switch (code) {
    case WSAECONNREFUSED:
      return "connection refused";
    case WSAECONNRESET:
    case WSAECONNABORTED:
      return "connection reset";
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
      return "network unreachable";
    case WSAETIMEDOUT:
      return "timed out";
    case WSAENOBUFS:
      return "out of network buffers";
    default: {
      char text[32];
      std::snprintf(text, sizeof text, "socket error %d", code);
      return text;
    }
  }
}

ChannelIo PlainChannel::Open(int /*wait_ms*/) { return {ChannelIo::kDone, 0, {}}; }

ChannelIo PlainChannel::Send(std::string_view data, int wait_ms) {
  if (!WaitForSocket(socket_, true, wait_ms)) return {};
  // A request is a few hundred bytes; one call moves at most 64 KiB.
  const int size = static_cast<int>(data.size() < 65536 ? data.size() : 65536);
  const int sent = send(socket_, data.data(), size, 0);
  if (sent > 0) return {ChannelIo::kDone, static_cast<size_t>(sent), {}};
  const int code = WSAGetLastError();
  if (sent < 0 && code == WSAEWOULDBLOCK) return {};
  return {ChannelIo::kFailed, 0, SocketErrorText(code)};
}

ChannelIo PlainChannel::Receive(char* buffer, size_t capacity, int wait_ms) {
  if (!WaitForSocket(socket_, false, wait_ms)) return {};
  const int size = static_cast<int>(capacity < (size_t{1} << 30) ? capacity : size_t{1} << 30);
  const int received = recv(socket_, buffer, size, 0);
  if (received > 0) return {ChannelIo::kDone, static_cast<size_t>(received), {}};
  if (received == 0) return {ChannelIo::kClosed, 0, {}};
  const int code = WSAGetLastError();
  if (code == WSAEWOULDBLOCK) return {};
  return {ChannelIo::kFailed, 0, SocketErrorText(code)};
}

}  // namespace varnolt
