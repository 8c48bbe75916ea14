// A small HTTP server for tests, on 127.0.0.1 at a port the kernel picks,
// started and stopped by the test that owns it.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace varnolt {

// A one-connection-at-a-time HTTP server on 127.0.0.1, port chosen by the
// kernel. Each route maps a path to the raw bytes sent back before the
// connection is closed; kSilent accepts and never answers. Unknown paths get
// a 404.
constexpr char kSilent[] = "";

class TestServer {
 public:
  explicit TestServer(std::map<std::string, std::string> routes) : routes_(std::move(routes)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener_, 16) != 0 || pipe(wake_) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "test server: " << std::strerror(errno);
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~TestServer() {
    (void)!write(wake_[1], "x", 1);
    thread_.join();
    for (int fd : held_) close(fd);
    close(listener_);
    close(wake_[0]);
    close(wake_[1]);
  }
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + Port() + path; }
  std::string Port() const { return std::to_string(port_); }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void Serve() {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    while (poll(fds, 2, -1) > 0 && !(fds[1].revents & POLLIN)) {
      const int client = accept(listener_, nullptr, nullptr);
      if (client < 0) continue;
      std::string head;
      char buffer[4096];
      pollfd in = {client, POLLIN, 0};
      while (head.find("\r\n\r\n") == std::string::npos && poll(&in, 1, 5000) > 0) {
        const ssize_t n = recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        head.append(buffer, n);
      }
      const size_t start = head.find(' ') + 1;
      const std::string path = head.substr(start, head.find(' ', start) - start);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(head);
      }
      auto route = routes_.find(path);
      if (route != routes_.end() && route->second == kSilent) {
        held_.push_back(client);  // closed only when the server stops
        continue;
      }
      const std::string reply = route != routes_.end()
                                    ? route->second
                                    : "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
      (void)!send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
      close(client);
    }
  }

  std::map<std::string, std::string> routes_;
  int listener_ = -1;
  int wake_[2] = {-1, -1};
  int port_ = 0;
  std::thread thread_;
  std::vector<int> held_;
  std::mutex mutex_;
  std::vector<std::string> requests_;
};

// A port on 127.0.0.1 that nobody listens on: bound, then released.
inline int UnusedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

inline std::string Ok(const std::string& body, const std::string& headers = "") {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + headers +
         "Connection: close\r\n\r\n" + body;
}

}  // namespace varnolt
