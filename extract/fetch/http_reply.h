// Reads one HTTP/1.x reply as its bytes arrive, in pieces of any size: the
// status line, the few header fields a page fetch needs, and the body by its
// framing (an announced length, chunks, or the end of the connection), so
// that a reply cut off anywhere is told apart from a whole one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace varnolt {

// The largest header taken, status line and every field together: far above
// what servers send, and short of what would let one fill memory.
inline constexpr int64_t kMaxReplyHeaderBytes = 100 << 10;

class HttpReplyReader {
 public:
  // Takes the body of a final reply with a success status, as it arrives
  // (before any content coding is undone). Returns the reason the transfer
  // must end, or the empty text.
  using BodySink = std::function<std::string(std::string_view)>;

  enum class State {
    kHeader,  // the header of the final reply is still to come
    kBody,    // header read; the body is still to come
    kDone,    // the reply is whole
    kFailed,  // error() says why
  };

  explicit HttpReplyReader(BodySink body) : body_(std::move(body)) {}
  // A reader of the reply to a CONNECT request, whose success ends with its
  // header: what follows is the tunnel's.
  static HttpReplyReader ForTunnel() {
    HttpReplyReader reader([](std::string_view) { return std::string(); });
    reader.tunnel_ = true;
    return reader;
  }

  // Takes the next bytes from the connection. Interim replies (1xx) are read
  // and passed over. Bytes after the end of the reply are ignored.
  State Take(std::string_view bytes);
  // The server closed the connection.
  State TakeClose();

  State state() const { return state_; }
  const std::string& error() const { return error_; }
  // The final reply's status code, once its header is whole.
  int status() const { return status_; }
  // The Location field, and the Content-Encoding field lower-cased.
  const std::string& location() const { return location_; }
  const std::string& content_encoding() const { return content_encoding_; }
  // Bytes of every header read, and of the body's framing: they show a
  // slow server at work.
  int64_t framing_bytes() const { return framing_bytes_; }
  // Body bytes passed to the sink.
  int64_t body_bytes() const { return body_bytes_; }

 private:
  enum class Part {
    kStatusLine,
    kField,
    kLength,
    kUntilClose,
    kChunkSize,
    kChunkData,
    kChunkEnd,
    kTrailer,
    kEnd
  };

  bool TakeHeaderLine(std::string_view line);
  bool TakeField(std::string_view name, std::string_view value);
  bool StartBody();
  bool TakeChunkSize(std::string_view line);
  size_t TakeBody(std::string_view bytes);
  void Fail(std::string reason);

  BodySink body_;
  bool tunnel_ = false;
  State state_ = State::kHeader;
  Part part_ = Part::kStatusLine;
  std::string error_;
  std::string line_;         // the line read so far
  int64_t header_size_ = 0;  // of the reply being read
  bool any_byte_ = false;

  int status_ = 0;
  std::string location_;
  std::string content_encoding_;
  int64_t length_ = -1;  // announced, -1 when none
  bool chunked_ = false;
  int64_t remaining_ = 0;  // of the announced length or the current chunk

  int64_t framing_bytes_ = 0;
  int64_t body_bytes_ = 0;
};

}  // namespace varnolt
