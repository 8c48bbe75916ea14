// The plain channel, and the socket waits both channels share.
#include "extract/fetch/channel_win32.h"

#include <cstdio>
#include <string>

#include "extract/fetch/plain_channel_win32.h"

namespace varnolt {

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
