// The TLS channel against real TLS servers on 127.0.0.1, which
// scripts/test-windows.sh starts (tests/fetch/tls_test_server.py) and names
// in the environment; without them each test is skipped.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "extract/fetch/tls_channel_win32.h"

namespace varnolt {
namespace {

class TlsChannelTest : public testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    const char* authority = std::getenv("VARNOLT_TLS_CA");
    if (authority == nullptr) GTEST_SKIP() << "no TLS test server: VARNOLT_TLS_CA is not set";
    if (!AmongTrustedRoots(authority)) GTEST_SKIP() << "the test authority is not a trusted root";
  }

  void TearDown() override {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
    WSACleanup();
  }

  // Whether the user's trusted roots hold the certificate (base64 DER).
  // Wine 8 takes them from the host's CA bundle, where the test script puts
  // it, and drops what a program adds to its "Root" store.
  static bool AmongTrustedRoots(const char* base64) {
    DWORD size = 0;
    if (!CryptStringToBinaryA(base64, 0, CRYPT_STRING_BASE64, nullptr, &size, nullptr, nullptr)) {
      return false;
    }
    std::vector<BYTE> der(size);
    CryptStringToBinaryA(base64, 0, CRYPT_STRING_BASE64, der.data(), &size, nullptr, nullptr);
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), size);
    HCERTSTORE roots = CertOpenSystemStoreW(0, L"Root");
    PCCERT_CONTEXT found = wanted == nullptr || roots == nullptr
                               ? nullptr
                               : CertFindCertificateInStore(roots, X509_ASN_ENCODING, 0,
                                                            CERT_FIND_EXISTING, wanted, nullptr);
    if (found != nullptr) CertFreeCertificateContext(found);
    if (roots != nullptr) CertCloseStore(roots, 0);
    if (wanted != nullptr) CertFreeCertificateContext(wanted);
    return found != nullptr;
  }

  // A non-blocking socket connected to the server the variable names.
  SOCKET Connect(const char* port_variable) {
    socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(std::atoi(std::getenv(port_variable))));
    EXPECT_EQ(connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    u_long non_blocking = 1;
    ioctlsocket(socket_, FIONBIO, &non_blocking);
    return socket_;
  }

  // Open called until it settles (at most 30 s of waits).
  static ChannelIo OpenFully(TlsChannel& channel) {
    for (int turn = 0; turn < 300; ++turn) {
      ChannelIo io = channel.Open(100);
      if (io.status != ChannelIo::kWaiting) return io;
    }
    return {ChannelIo::kFailed, 0, "still waiting"};
  }

  SOCKET socket_ = INVALID_SOCKET;
};

// --- Certificates and handshakes refused
TEST_F(TlsChannelTest, RefusesWhatCannotBeTrusted) {
  const struct {
    const char* port_variable;
    const char* host;
    const char* reason;
  } kCases[] = {
      {"VARNOLT_TLS_ROGUE_PORT", "localhost", "certificate not trusted"},
      {"VARNOLT_TLS_PORT", "varnolt.invalid", "certificate does not match the server's name"},
      {"VARNOLT_TLS_HANGUP_PORT", "localhost", "connection closed during the TLS handshake"},
  };
  for (const auto& test : kCases) {
    SCOPED_TRACE(test.port_variable + std::string(" as ") + test.host);
    TlsChannel channel(Connect(test.port_variable), test.host);
    const ChannelIo opened = OpenFully(channel);
    EXPECT_EQ(opened.status, ChannelIo::kFailed);
    EXPECT_EQ(opened.error, test.reason);
    // Nothing goes out over a channel that failed.
    const ChannelIo sent = channel.Send("GET / HTTP/1.0\r\n\r\n", 100);
    EXPECT_EQ(sent.status, ChannelIo::kFailed);
    EXPECT_EQ(sent.error, test.reason);
    closesocket(socket_);
    socket_ = INVALID_SOCKET;
  }
}

// --- A request and its reply
// The request spans several records and the reply many more, read through
// a buffer smaller than one record, so records are split on both sides.
TEST_F(TlsChannelTest, CarriesRequestAndReplyWhole) {
  TlsChannel channel(Connect("VARNOLT_TLS_PORT"), "localhost");
  const ChannelIo opened = OpenFully(channel);
  ASSERT_EQ(opened.status, ChannelIo::kDone) << opened.error;

  const std::string request =
      "POST / HTTP/1.0\r\nContent-Length: 40000\r\n\r\n" + std::string(40000, 'x');
  size_t taken = 0;
  for (int turn = 0; taken < request.size() && turn < 1000; ++turn) {
    const ChannelIo sent = channel.Send(std::string_view(request).substr(taken), 100);
    ASSERT_NE(sent.status, ChannelIo::kFailed) << sent.error;
    taken += sent.bytes;
  }
  ASSERT_EQ(taken, request.size());

  std::string reply;
  // A fence behind the buffer: nothing may be written past its capacity.
  char buffer[1000 + 16];
  std::memset(buffer + 1000, '#', 16);
  ChannelIo received;
  for (int turn = 0; turn < 3000; ++turn) {
    received = channel.Receive(buffer, 1000, 100);
    if (received.status == ChannelIo::kDone) reply.append(buffer, received.bytes);
    if (received.status == ChannelIo::kClosed || received.status == ChannelIo::kFailed) break;
  }
  EXPECT_EQ(std::string(buffer + 1000, 16), std::string(16, '#'));
  ASSERT_EQ(received.status, ChannelIo::kClosed) << received.error;
  std::string expected = "HTTP/1.0 200 OK\r\n\r\n" + request;
  for (int i = 0; i < 200000; ++i) expected += static_cast<char>('a' + i * 7 % 26);
  ASSERT_EQ(reply.size(), expected.size());
  EXPECT_TRUE(reply == expected);
  // The end stays the end.
  EXPECT_EQ(channel.Receive(buffer, 1000, 0).status, ChannelIo::kClosed);
}

}  // namespace
}  // namespace varnolt
