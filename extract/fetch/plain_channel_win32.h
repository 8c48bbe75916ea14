// A channel that passes bytes through unchanged: http.
#pragma once

#include "extract/fetch/channel_win32.h"

namespace varnolt {

class PlainChannel final : public Channel {
 public:
  explicit PlainChannel(SOCKET socket) : socket_(socket) {}

  ChannelIo Open(int wait_ms) override;
  ChannelIo Send(std::string_view data, int wait_ms) override;
  ChannelIo Receive(char* buffer, size_t capacity, int wait_ms) override;

 private:
  SOCKET socket_;
};

}  // namespace varnolt
