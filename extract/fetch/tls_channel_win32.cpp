// TLS through Schannel: the handshake, records in and out, and the check of
// the server's certificate, which is done here rather than by the provider
// (Wine's provider checks nothing, Windows' would check without our say).
#define SCHANNEL_USE_BLACKLISTS  // SCH_CREDENTIALS
#include "extract/fetch/tls_channel_win32.h"

#include <schannel.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace varnolt {

namespace {

constexpr int kReadChunk = 32 * 1024;
// A record's header: type, version, length. Fewer bytes than this cannot
// be told apart from the start of any record.
constexpr size_t kRecordHeader = 5;

std::string StatusText(const char* what, SECURITY_STATUS status) {
  char text[64];
  std::snprintf(text, sizeof text, "%s (0x%08lX)", what, static_cast<unsigned long>(status));
  return text;
}

int Remaining(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Frees a buffer that the provider allocated for an output token.
struct ContextBuffer {
  void* data = nullptr;
  ~ContextBuffer() {
    if (data != nullptr) FreeContextBuffer(data);
  }
};

// TLS 1.2 and 1.3, no older protocol. SCH_CREDENTIALS is what Windows 10
// (1809) and later take and the only way to TLS 1.3; older Windows and Wine
// refuse it and get SCHANNEL_CRED with TLS 1.2.
SECURITY_STATUS AcquireCredentials(CredHandle* credentials) {
  const DWORD flags =
      SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
  wchar_t package[] = UNISP_NAME_W;
  TimeStamp expiry;

  TLS_PARAMETERS parameters{};
  parameters.grbitDisabledProtocols =
      ~static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT);
  SCH_CREDENTIALS current{};
  current.dwVersion = SCH_CREDENTIALS_VERSION;
  current.dwFlags = flags;
  current.cTlsParameters = 1;
  current.pTlsParameters = &parameters;
  if (AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &current, nullptr,
                                nullptr, credentials, &expiry) == SEC_E_OK) {
    return SEC_E_OK;
  }
  SCHANNEL_CRED legacy{};
  legacy.dwVersion = SCHANNEL_CRED_VERSION;
  legacy.dwFlags = flags;
  legacy.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  return AcquireCredentialsHandleW(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &legacy,
                                   nullptr, nullptr, credentials, &expiry);
}

}  // namespace

TlsChannel::TlsChannel(SOCKET socket, std::string host)
    : socket_(socket),
      host_wide_(host.begin(), host.end()),
      request_flags_(ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                     ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM) {}

TlsChannel::~TlsChannel() {
  if (have_context_) DeleteSecurityContext(&context_);
  if (have_credentials_) FreeCredentialsHandle(&credentials_);
}

ChannelIo TlsChannel::Fail(std::string reason) {
  error_ = std::move(reason);
  return {ChannelIo::kFailed, 0, error_};
}

ChannelIo TlsChannel::Open(int wait_ms) {
  if (!error_.empty()) return {ChannelIo::kFailed, 0, error_};
  if (established_) return {ChannelIo::kDone, 0, {}};
  const Deadline deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  if (!have_credentials_) {
    const SECURITY_STATUS status = AcquireCredentials(&credentials_);
    if (status != SEC_E_OK) return Fail(StatusText("TLS handshake failed", status));
    have_credentials_ = true;
  }
  if (!have_context_) {
    std::string failure = HandshakeStep();
    if (!failure.empty()) return Fail(std::move(failure));
  }
  for (;;) {
    // The client's part of each turn goes out before more is awaited.
    const ChannelIo flushed = Flush(deadline);
    if (flushed.status != ChannelIo::kDone) return flushed;
    if (handshake_complete_) {
      std::string failure = CheckCertificate();
      if (!failure.empty()) return Fail(std::move(failure));
      const SECURITY_STATUS status =
          QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_);
      if (status != SEC_E_OK) return Fail(StatusText("TLS handshake failed", status));
      established_ = true;
      // What came after the server's last handshake record is application data.
      need_input_ = incoming_.empty();
      return {ChannelIo::kDone, 0, {}};
    }
    if (need_input_) {
      const ChannelIo read = ReadMore(deadline);
      if (read.status == ChannelIo::kClosed) {
        return Fail("connection closed during the TLS handshake");
      }
      if (read.status != ChannelIo::kDone) return read;
    }
    std::string failure = HandshakeStep();
    if (!failure.empty()) return Fail(std::move(failure));
  }
}

std::string TlsChannel::HandshakeStep() {
  SecBuffer in[2] = {
      {static_cast<unsigned long>(incoming_.size()), SECBUFFER_TOKEN, incoming_.data()},
      {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc in_desc{SECBUFFER_VERSION, 2, in};
  const size_t input_size = incoming_.size();
  SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
  SecBufferDesc out_desc{SECBUFFER_VERSION, 1, out};
  unsigned long attributes = 0;
  SECURITY_STATUS status;
  if (!have_context_) {
    status =
        InitializeSecurityContextW(&credentials_, nullptr, host_wide_.data(), request_flags_, 0, 0,
                                   nullptr, 0, &context_, &out_desc, &attributes, nullptr);
    if (!FAILED(status)) have_context_ = true;
  } else {
    status =
        InitializeSecurityContextW(&credentials_, &context_, host_wide_.data(), request_flags_, 0,
                                   0, &in_desc, 0, nullptr, &out_desc, &attributes, nullptr);
  }
  ContextBuffer token{out[0].pvBuffer};
  if (status == SEC_E_INCOMPLETE_MESSAGE) {
    need_input_ = true;
    return {};
  }
  if (status == SEC_I_INCOMPLETE_CREDENTIALS && !(request_flags_ & ISC_REQ_USE_SUPPLIED_CREDS)) {
    // The server asked for a client certificate: go on without one, which
    // servers that merely ask accept.
    request_flags_ |= ISC_REQ_USE_SUPPLIED_CREDS;
    need_input_ = false;
    return {};
  }
  if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
    return StatusText("TLS handshake failed", status);
  }
  if (token.data != nullptr && out[0].cbBuffer > 0) {
    outgoing_.append(static_cast<const char*>(token.data), out[0].cbBuffer);
  }
  // The provider takes whole records; what it left is the tail of the input.
  if (have_context_ && in[1].BufferType == SECBUFFER_EXTRA && in[1].cbBuffer > 0 &&
      in[1].cbBuffer <= incoming_.size()) {
    incoming_.erase(0, incoming_.size() - in[1].cbBuffer);
  } else {
    incoming_.clear();
  }
  handshake_complete_ = status == SEC_E_OK;
  // A turn that took nothing of the input waits for more rather than
  // repeating itself.
  need_input_ = !handshake_complete_ && (incoming_.empty() || incoming_.size() == input_size);
  return {};
}

ChannelIo TlsChannel::Flush(Deadline deadline) {
  while (outgoing_sent_ < outgoing_.size()) {
    if (!WaitForSocket(socket_, true, Remaining(deadline))) return {};
    const size_t left = outgoing_.size() - outgoing_sent_;
    const int size = static_cast<int>(std::min<size_t>(left, 1 << 30));
    const int sent = send(socket_, outgoing_.data() + outgoing_sent_, size, 0);
    if (sent > 0) {
      outgoing_sent_ += static_cast<size_t>(sent);
      continue;
    }
    const int code = WSAGetLastError();
    if (sent < 0 && code == WSAEWOULDBLOCK) return {};
    return Fail(SocketErrorText(code));
  }
  outgoing_.clear();
  outgoing_sent_ = 0;
  return {ChannelIo::kDone, 0, {}};
}

ChannelIo TlsChannel::ReadMore(Deadline deadline) {
  if (!WaitForSocket(socket_, false, Remaining(deadline))) return {};
  const size_t old_size = incoming_.size();
  incoming_.resize(old_size + kReadChunk);
  const int received = recv(socket_, incoming_.data() + old_size, kReadChunk, 0);
  incoming_.resize(old_size + (received > 0 ? static_cast<size_t>(received) : 0));
  if (received > 0) {
    need_input_ = false;
    return {ChannelIo::kDone, 0, {}};
  }
  if (received == 0) return {ChannelIo::kClosed, 0, {}};
  const int code = WSAGetLastError();
  if (code == WSAEWOULDBLOCK) return {};
  return Fail(SocketErrorText(code));
}

ChannelIo TlsChannel::Send(std::string_view data, int wait_ms) {
  if (!error_.empty()) return {ChannelIo::kFailed, 0, error_};
  if (!established_) return {ChannelIo::kFailed, 0, "TLS session not open"};
  const Deadline deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  if (pending_taken_ == 0 && !outgoing_.empty()) {
    // A reply of ours to a new handshake goes first.
    const ChannelIo flushed = Flush(deadline);
    if (flushed.status != ChannelIo::kDone) return flushed;
  }
  // With a record of the data still (or, through Receive, already) on its
  // way, that record is what this call is about: the data is the same.
  if (pending_taken_ == 0 && !data.empty()) {
    const size_t size = std::min<size_t>(data.size(), sizes_.cbMaximumMessage);
    outgoing_.resize(sizes_.cbHeader + size + sizes_.cbTrailer);
    char* record = outgoing_.data();
    std::memcpy(record + sizes_.cbHeader, data.data(), size);
    SecBuffer buffers[4] = {
        {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record},
        {static_cast<unsigned long>(size), SECBUFFER_DATA, record + sizes_.cbHeader},
        {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes_.cbHeader + size},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = EncryptMessage(&context_, 0, &desc, 0);
    if (status != SEC_E_OK) {
      outgoing_.clear();
      return Fail(StatusText("TLS error", status));
    }
    // The three parts lie back to back; the trailer may be shorter than its room.
    outgoing_.resize(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    pending_taken_ = size;
  }
  const ChannelIo flushed = Flush(deadline);
  if (flushed.status != ChannelIo::kDone) return flushed;
  return {ChannelIo::kDone, std::exchange(pending_taken_, 0), {}};
}

ChannelIo TlsChannel::Receive(char* buffer, size_t capacity, int wait_ms) {
  if (!error_.empty()) return {ChannelIo::kFailed, 0, error_};
  if (!established_) return {ChannelIo::kFailed, 0, "TLS session not open"};
  if (plain_taken_ < plain_.size()) return TakePlain(buffer, capacity);
  if (closed_) return {ChannelIo::kClosed, 0, {}};
  const Deadline deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    // A reply of ours to a new handshake; reading goes on while it waits.
    if (!outgoing_.empty() && Flush(deadline).status == ChannelIo::kFailed) {
      return {ChannelIo::kFailed, 0, error_};
    }
    if (need_input_) {
      const ChannelIo read = ReadMore(deadline);
      if (read.status == ChannelIo::kClosed) {
        if (renegotiating_) return Fail("connection closed during the TLS handshake");
        closed_ = true;
        return read;
      }
      if (read.status != ChannelIo::kDone) return read;
    }
    if (renegotiating_) {
      std::string failure = HandshakeStep();
      if (!failure.empty()) return Fail(std::move(failure));
      if (handshake_complete_) {
        // A new handshake may bring a new certificate.
        failure = CheckCertificate();
        if (!failure.empty()) return Fail(std::move(failure));
        renegotiating_ = false;
        need_input_ = incoming_.empty();
      }
      continue;
    }
    if (incoming_.size() < kRecordHeader) {
      need_input_ = true;
      continue;
    }
    const ChannelIo decrypted = DecryptRecord();
    if (decrypted.status == ChannelIo::kFailed) return decrypted;
    if (plain_taken_ < plain_.size()) return TakePlain(buffer, capacity);
    if (closed_) return {ChannelIo::kClosed, 0, {}};
  }
}

ChannelIo TlsChannel::DecryptRecord() {
  SecBuffer buffers[4] = {
      {static_cast<unsigned long>(incoming_.size()), SECBUFFER_DATA, incoming_.data()},
      {0, SECBUFFER_EMPTY, nullptr},
      {0, SECBUFFER_EMPTY, nullptr},
      {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
  const SECURITY_STATUS status = DecryptMessage(&context_, &desc, 0, nullptr);
  if (status == SEC_E_INCOMPLETE_MESSAGE) {
    need_input_ = true;
    return {};
  }
  if (status == SEC_I_CONTEXT_EXPIRED) {
    // close_notify: the server ended the session. (Wine reports it as an
    // empty record instead; the connection's close follows.)
    closed_ = true;
    return {};
  }
  if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
    return Fail(StatusText("TLS error", status));
  }
  size_t extra = 0;
  for (const SecBuffer& part : buffers) {
    // The plaintext was decrypted in place, inside `incoming_`.
    if (part.BufferType == SECBUFFER_DATA && part.cbBuffer > 0) {
      plain_.assign(static_cast<const char*>(part.pvBuffer), part.cbBuffer);
      plain_taken_ = 0;
    }
    if (part.BufferType == SECBUFFER_EXTRA) extra = part.cbBuffer;
  }
  incoming_.erase(0, incoming_.size() - std::min(extra, incoming_.size()));
  need_input_ = incoming_.empty();
  if (status == SEC_I_RENEGOTIATE) {
    // What is left is the server's handshake message; the handshake takes it.
    renegotiating_ = true;
    handshake_complete_ = false;
    need_input_ = false;
  }
  return {ChannelIo::kDone, 0, {}};
}

ChannelIo TlsChannel::TakePlain(char* buffer, size_t capacity) {
  const size_t size = std::min(capacity, plain_.size() - plain_taken_);
  std::memcpy(buffer, plain_.data() + plain_taken_, size);
  plain_taken_ += size;
  if (plain_taken_ == plain_.size()) {
    plain_.clear();
    plain_taken_ = 0;
  }
  return {ChannelIo::kDone, size, {}};
}

std::string TlsChannel::CheckCertificate() {
  const char* const kNotTrusted = "certificate not trusted";
  PCCERT_CONTEXT certificate = nullptr;
  if (QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) !=
          SEC_E_OK ||
      certificate == nullptr) {
    return kNotTrusted;
  }
  char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
  char* usages[] = {server_auth};
  CERT_CHAIN_PARA chain_para{};
  chain_para.cbSize = sizeof chain_para;
  chain_para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  chain_para.RequestedUsage.Usage.cUsageIdentifier = 1;
  chain_para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  // The certificates the server sent besides its own fill the gaps up to a
  // trusted root. Revocation is not asked about: that would mean waiting on
  // further servers during the handshake.
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  const BOOL built = CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore,
                                             &chain_para, 0, nullptr, &chain);
  CertFreeCertificateContext(certificate);
  if (!built) return kNotTrusted;

  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl_para{};
  ssl_para.cbSize = sizeof ssl_para;
  ssl_para.dwAuthType = AUTHTYPE_SERVER;
  ssl_para.pwszServerName = host_wide_.data();
  CERT_CHAIN_POLICY_PARA policy_para{};
  policy_para.cbSize = sizeof policy_para;
  policy_para.pvExtraPolicyPara = &ssl_para;
  CERT_CHAIN_POLICY_STATUS policy_status{};
  policy_status.cbSize = sizeof policy_status;
  const BOOL checked =
      CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy_para, &policy_status);
  // Wine's policy passes a chain that ends short of any trusted root; the
  // chain's own status says so. (Windows' policy fails all of these itself.)
  const DWORD chain_errors = chain->TrustStatus.dwErrorStatus;
  CertFreeCertificateChain(chain);
  if (!checked) return kNotTrusted;
  if (policy_status.dwError == ERROR_SUCCESS) {
    if (chain_errors & CERT_TRUST_IS_NOT_TIME_VALID) return "certificate expired";
    if (chain_errors & (CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_UNTRUSTED_ROOT |
                        CERT_TRUST_IS_NOT_SIGNATURE_VALID | CERT_TRUST_IS_CYCLIC |
                        CERT_TRUST_IS_NOT_VALID_FOR_USAGE | CERT_TRUST_IS_REVOKED)) {
      return kNotTrusted;
    }
  }
  switch (policy_status.dwError) {
    case ERROR_SUCCESS:
      return {};
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
      return "certificate does not match the server's name";
    case static_cast<DWORD>(CERT_E_EXPIRED):
      return "certificate expired";
    default:
      return kNotTrusted;
  }
}

}  // namespace varnolt
