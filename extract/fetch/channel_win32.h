// A connection to a web server as the Windows page fetch drives it: bytes out
// and bytes in over a connected non-blocking socket, plain or through TLS.
// Every call returns within about `wait_ms` however silent the server is, so
// that the caller can judge its limits and the user's stop between calls.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace varnolt {

// What one call on a channel did.
struct ChannelIo {
  enum Status {
    kDone,     // Open: ready. Send: `bytes` of the data taken. Receive: `bytes` placed.
    kWaiting,  // nothing could be done within the wait: call again
    kClosed,   // Receive: the server ended the connection (or the TLS session)
    kFailed,   // `error` says why, in a few words for the user
  };
  Status status = kWaiting;
  size_t bytes = 0;
  std::string error;
};

// One connection. The socket belongs to the caller, who closes it after the
// channel is gone.
class Channel {
 public:
  virtual ~Channel() = default;

  // Readies the channel: at once for a plain socket, the handshake and the
  // check of the server's certificate for TLS.
  virtual ChannelIo Open(int wait_ms) = 0;
  // Takes some of `data` (at least one byte when kDone) and hands it to the
  // network; the caller sends the rest with further calls.
  virtual ChannelIo Send(std::string_view data, int wait_ms) = 0;
  // Places up to `capacity` bytes that arrived (decrypted for TLS) in
  // `buffer`; kDone with at least one byte, kWaiting when none came within
  // the wait, kClosed once the server has ended the connection.
  virtual ChannelIo Receive(char* buffer, size_t capacity, int wait_ms) = 0;
};

// Connects a non-blocking socket to one of `addresses`, tried in their order:
// when one has not answered within a quarter of a second the next is
// started beside it, and the first to connect wins, as browsers do. An
// address family that is broken on the user's network (IPv6, most often)
// then costs that quarter second, not the whole connect time. `turn` is
// asked between waits of at most 50 ms; when it says false, the attempts
// are given up. Returns the connected socket, or INVALID_SOCKET with
// `failure` saying why the last address failed (empty when `turn` ended it).
SOCKET ConnectToFirstThatAnswers(const ADDRINFOW* addresses, const std::function<bool()>& turn,
                                 std::string& failure);

// Waits up to `wait_ms` until `socket` can be read (or written, when
// `for_write`), or has failed. Returns false when the wait ran out.
bool WaitForSocket(SOCKET socket, bool for_write, int wait_ms);

// The reason a Winsock call failed with `code` (WSAGetLastError()), in a few
// words: "connection refused", "connection reset", "error 10060".
std::string SocketErrorText(int code);

}  // namespace varnolt
