// The connection race of the Windows client, against sockets on 127.0.0.1.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "extract/fetch/channel_win32.h"
#include "tests/fetch/local_http_server.h"

namespace varnolt {
namespace {

// A list of addresses as the name lookup gives it, all 127.0.0.1.
class Addresses {
 public:
  explicit Addresses(const std::vector<int>& ports)
      : addresses_(ports.size()), items_(ports.size()) {
    for (size_t i = 0; i < ports.size(); ++i) {
      addresses_[i] = test_socket::Loopback(ports[i]);
      ADDRINFOW& item = items_[i];
      item.ai_family = AF_INET;
      item.ai_socktype = SOCK_STREAM;
      item.ai_protocol = IPPROTO_TCP;
      item.ai_addrlen = sizeof(sockaddr_in);
      item.ai_addr = reinterpret_cast<sockaddr*>(&addresses_[i]);
      item.ai_next = i + 1 < ports.size() ? &items_[i + 1] : nullptr;
    }
  }
  const ADDRINFOW* first() const { return items_.data(); }

 private:
  std::vector<sockaddr_in> addresses_;
  std::vector<ADDRINFOW> items_;
};

int PeerPort(SOCKET socket) {
  sockaddr_in peer{};
  int size = sizeof peer;
  getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &size);
  return ntohs(peer.sin_port);
}

TEST(ConnectToFirstThatAnswers, AnAddressThatNeverAnswersIsPassedByTheNext) {
  test_socket::Session session;
  // A listener whose queue is full: the system no longer answers for it, and
  // a connection to it waits as one to a lost network would.
  int silent_port = 0;
  const SOCKET silent = test_socket::ListenOnLoopback(0, silent_port, "silent listener");
  std::vector<SOCKET> fillers;
  for (int k = 0; k < 8; ++k) {
    fillers.push_back(socket(AF_INET, SOCK_STREAM, 0));
    test_socket::SetNonBlocking(fillers.back());
    const sockaddr_in address = test_socket::Loopback(silent_port);
    connect(fillers.back(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }
  int answering_port = 0;
  const SOCKET answering = test_socket::ListenOnLoopback(4, answering_port, "answering listener");

  const Addresses addresses({silent_port, answering_port});
  int turns = 0;
  std::string failure;
  // Without the race, the first address holds the connection until the
  // turns run out.
  const SOCKET connected = ConnectToFirstThatAnswers(
      addresses.first(), [&] { return ++turns < 100; }, failure);
  ASSERT_NE(connected, INVALID_SOCKET) << failure;
  EXPECT_EQ(PeerPort(connected), answering_port);
  closesocket(connected);
  for (const SOCKET each : fillers) closesocket(each);
  closesocket(silent);
  closesocket(answering);
}

TEST(ConnectToFirstThatAnswers, SaysWhyWhenNoAddressAnswers) {
  test_socket::Session session;
  const Addresses refusing({UnusedPort(), UnusedPort()});
  std::string failure;
  EXPECT_EQ(ConnectToFirstThatAnswers(
                refusing.first(), [] { return true; }, failure),
            INVALID_SOCKET);
  EXPECT_EQ(failure, "connection refused");

  // A stop ends the wait, with no reason of the connection's own.
  int silent_port = 0;
  const SOCKET silent = test_socket::ListenOnLoopback(0, silent_port, "silent listener");
  SOCKET filler = socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in address = test_socket::Loopback(silent_port);
  connect(filler, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const Addresses waiting({silent_port});
  EXPECT_EQ(ConnectToFirstThatAnswers(
                waiting.first(), [] { return false; }, failure),
            INVALID_SOCKET);
  EXPECT_EQ(failure, "");
  closesocket(filler);
  closesocket(silent);
}

}  // namespace
}  // namespace varnolt
