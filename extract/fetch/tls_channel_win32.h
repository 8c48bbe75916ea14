// A channel through TLS on the system's own TLS provider (Schannel): https.
#pragma once

#include <winsock2.h>
#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <security.h>

#include <chrono>
#include <string>

#include "extract/fetch/channel_win32.h"

namespace varnolt {

// A TLS 1.2 or 1.3 client session over a connected non-blocking socket.
// The server's certificate is checked by this class, against the user's
// trusted roots and `host`, once the handshake is through; none of the
// caller's data is sent before that check has passed. A channel that failed
// stays failed: every later call returns kFailed with the same reason.
class TlsChannel final : public Channel {
 public:
  // `host` is the address's host name in ASCII, or an IP literal; the
  // certificate must be issued for it.
  TlsChannel(SOCKET socket, std::string host);
  // Frees the session; nothing more is sent to the server.
  ~TlsChannel() override;
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  // Drives the handshake as far as the server's replies allow within
  // `wait_ms`: kWaiting while it needs further turns, kDone once the session
  // stands and the certificate passed. kFailed says why: "certificate not
  // trusted", "certificate expired", "certificate does not match the
  // server's name", "connection closed during the TLS handshake", "TLS
  // handshake failed (0x...)" with the provider's status, or the socket's
  // error.
  ChannelIo Open(int wait_ms) override;
  // Encrypts up to one record of `data` and hands it to the network. The
  // bytes are reported taken (kDone) only once all of their record went to
  // the socket; until then kWaiting, and the caller calls again with the
  // same data. kFailed before Open has succeeded.
  ChannelIo Send(std::string_view data, int wait_ms) override;
  // Hands out decrypted bytes, those left over from an earlier call first.
  // kClosed once the server ended the session (close_notify) or the
  // connection; whether the reply was whole is the caller's to judge.
  // kFailed before Open has succeeded.
  ChannelIo Receive(char* buffer, size_t capacity, int wait_ms) override;

 private:
  using Deadline = std::chrono::steady_clock::time_point;

  ChannelIo Fail(std::string reason);
  // One InitializeSecurityContext turn over `incoming_` (the first turn
  // without input); sets handshake_complete_ and need_input_. Returns an
  // empty text, or why the handshake failed.
  std::string HandshakeStep();
  // Sends what `outgoing_` holds: kDone once all of it went out.
  ChannelIo Flush(Deadline deadline);
  // Appends what the socket has to `incoming_`: kDone, kWaiting, kClosed
  // (the server closed the connection) or kFailed.
  ChannelIo ReadMore(Deadline deadline);
  // Decrypts the first record of `incoming_` into `plain_`.
  ChannelIo DecryptRecord();
  // Empty when the server's certificate is good for `host_wide_`, else why not.
  std::string CheckCertificate();
  ChannelIo TakePlain(char* buffer, size_t capacity);

  SOCKET socket_;
  std::wstring host_wide_;
  CredHandle credentials_{};
  CtxtHandle context_{};
  bool have_credentials_ = false;
  bool have_context_ = false;
  unsigned long request_flags_;
  bool handshake_complete_ = false;
  bool established_ = false;
  // The server asked for a new handshake after the first (a TLS 1.3 session
  // ticket arrives this way): `incoming_` goes to the handshake, not to
  // decryption, until it is through.
  bool renegotiating_ = false;
  // What `incoming_` holds cannot go further without more from the network.
  bool need_input_ = false;
  bool closed_ = false;
  std::string error_;
  SecPkgContext_StreamSizes sizes_{};
  std::string incoming_;  // ciphertext received, not yet used
  std::string outgoing_;  // ciphertext not yet handed to the socket
  size_t outgoing_sent_ = 0;
  size_t pending_taken_ = 0;  // bytes of the caller's data in `outgoing_`
  std::string plain_;         // decrypted, not yet handed out
  size_t plain_taken_ = 0;
};

}  // namespace varnolt
