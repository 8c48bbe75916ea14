#include "extract/fetch/http_reply.h"

#include <algorithm>

#include "extract/fetch/ascii_case.h"

namespace varnolt {
namespace {

// A chunk-size line holds a few hex digits and perhaps an extension.
constexpr size_t kMaxChunkLine = 4096;

std::string Lowered(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) c = AsciiLower(c);
  return lowered;
}

std::string_view Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A decimal or hex number of at most 15 digits, so that it fits in 64 bits
// with room to spare; -1 when `text` is anything else.
int64_t ParseNumber(std::string_view text, int base) {
  if (text.empty() || text.size() > 15) return -1;
  int64_t value = 0;
  for (const char c : text) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && AsciiLower(c) >= 'a' && AsciiLower(c) <= 'f') {
      digit = AsciiLower(c) - 'a' + 10;
    } else {
      return -1;
    }
    value = value * base + digit;
  }
  return value;
}

}  // namespace

HttpReplyReader::State HttpReplyReader::Take(std::string_view bytes) {
  if (!bytes.empty()) any_byte_ = true;
  while (!bytes.empty() && (state_ == State::kHeader || state_ == State::kBody)) {
    if (part_ == Part::kEnd) break;
    if (part_ == Part::kLength || part_ == Part::kUntilClose || part_ == Part::kChunkData) {
      bytes.remove_prefix(TakeBody(bytes));
      continue;
    }
    const size_t newline = bytes.find('\n');
    const size_t take = newline == std::string_view::npos ? bytes.size() : newline + 1;
    const bool in_header =
        part_ == Part::kStatusLine || part_ == Part::kField || part_ == Part::kTrailer;
    if (in_header && header_size_ + static_cast<int64_t>(take) > kMaxReplyHeaderBytes) {
      Fail("header too large");
      break;
    }
    if (!in_header && line_.size() + take > kMaxChunkLine) {
      Fail("bad chunk size");
      break;
    }
    if (in_header) header_size_ += static_cast<int64_t>(take);
    framing_bytes_ += static_cast<int64_t>(take);
    line_.append(bytes.substr(0, take));
    bytes.remove_prefix(take);
    // A server that speaks no HTTP/1.x is told at once, without waiting for
    // a line end that may never come.
    if (part_ == Part::kStatusLine) {
      const size_t checked = std::min<size_t>(line_.size(), 5);
      if (!EqualsFolded(std::string_view(line_).substr(0, checked),
                        std::string_view("http/").substr(0, checked))) {
        Fail("reply without a status line");
        break;
      }
    }
    if (newline == std::string_view::npos) break;
    std::string line = std::move(line_);
    line_.clear();
    line.pop_back();  // '\n'
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!TakeHeaderLine(line)) break;
  }
  return state_;
}

HttpReplyReader::State HttpReplyReader::TakeClose() {
  if (state_ == State::kHeader) {
    Fail(any_byte_ ? "reply cut off in its header" : "empty reply from server");
  } else if (state_ == State::kBody) {
    if (part_ == Part::kUntilClose) {
      state_ = State::kDone;
      part_ = Part::kEnd;
    } else if (part_ == Part::kLength) {
      Fail("page cut short after " + std::to_string(length_ - remaining_) + " of " +
           std::to_string(length_) + " bytes");
    } else {
      Fail("reply cut off in its body");
    }
  }
  return state_;
}

// One line of a header, a chunk size or a trailer, its line end removed.
// Returns false when the reply failed on it.
bool HttpReplyReader::TakeHeaderLine(std::string_view line) {
  switch (part_) {
    case Part::kStatusLine: {
      // "HTTP/1.1 200 OK": the code is the three digits after the first space.
      const size_t space = line.find(' ');
      const std::string_view code =
          space == std::string_view::npos ? std::string_view() : line.substr(space + 1, 3);
      const int64_t number = ParseNumber(code, 10);
      if (code.size() != 3 || number < 100 || (line.size() > space + 4 && line[space + 4] != ' ')) {
        Fail("malformed status line");
        return false;
      }
      status_ = static_cast<int>(number);
      location_.clear();
      content_encoding_.clear();
      length_ = -1;
      chunked_ = false;
      part_ = Part::kField;
      return true;
    }
    case Part::kField: {
      if (line.empty()) {
        // Interim replies (100 Continue, 103 Early Hints) come before the
        // real one; 101 would switch protocols, which was never asked for.
        if (status_ < 200 && status_ != 101) {
          part_ = Part::kStatusLine;
          return true;
        }
        return StartBody();
      }
      const size_t colon = line.find(':');
      // A line without a colon, or a folded one (its name would begin with
      // a space and match no field), is passed over, as browsers do.
      if (colon == std::string_view::npos) return true;
      return TakeField(line.substr(0, colon), Trimmed(line.substr(colon + 1)));
    }
    case Part::kChunkSize:
      return TakeChunkSize(line);
    case Part::kChunkEnd:
      if (!line.empty()) {
        Fail("bad chunk size");
        return false;
      }
      part_ = Part::kChunkSize;
      return true;
    case Part::kTrailer:
      if (line.empty()) {
        state_ = State::kDone;
        part_ = Part::kEnd;
      }
      return true;
    default:
      return true;
  }
}

bool HttpReplyReader::TakeField(std::string_view name, std::string_view value) {
  if (EqualsFolded(name, "content-length")) {
    const int64_t length = ParseNumber(value, 10);
    if (length < 0 || (length_ >= 0 && length != length_)) {
      Fail("bad Content-Length");
      return false;
    }
    length_ = length;
  } else if (EqualsFolded(name, "transfer-encoding")) {
    // Codings listed in the order applied: only "chunked", last, is read
    // here; anything else would leave the body encoded in ways unknown.
    size_t start = 0;
    while (start <= value.size()) {
      const size_t comma = std::min(value.find(',', start), value.size());
      const std::string coding = Lowered(Trimmed(value.substr(start, comma - start)));
      chunked_ = coding == "chunked";
      if (!chunked_ && coding != "identity" && !coding.empty()) {
        Fail("unsupported transfer coding \"" + coding + "\"");
        return false;
      }
      start = comma + 1;
    }
  } else if (EqualsFolded(name, "location")) {
    location_ = std::string(value);
  } else if (EqualsFolded(name, "content-encoding")) {
    content_encoding_ = Lowered(value);
  }
  return true;
}

bool HttpReplyReader::StartBody() {
  state_ = State::kBody;
  if (status_ == 204 || status_ == 304 || status_ < 200 ||
      (tunnel_ && status_ >= 200 && status_ < 300)) {
    part_ = Part::kEnd;
    state_ = State::kDone;
  } else if (chunked_) {
    part_ = Part::kChunkSize;
  } else if (length_ >= 0) {
    remaining_ = length_;
    part_ = Part::kLength;
    if (remaining_ == 0) {
      part_ = Part::kEnd;
      state_ = State::kDone;
    }
  } else {
    part_ = Part::kUntilClose;
  }
  return true;
}

bool HttpReplyReader::TakeChunkSize(std::string_view line) {
  const int64_t size = ParseNumber(Trimmed(line.substr(0, line.find(';'))), 16);
  if (size < 0) {
    Fail("bad chunk size");
    return false;
  }
  remaining_ = size;
  part_ = size == 0 ? Part::kTrailer : Part::kChunkData;
  return true;
}

// Takes body bytes up to the end of the body or the current chunk; returns
// how many it took.
size_t HttpReplyReader::TakeBody(std::string_view bytes) {
  size_t size = bytes.size();
  if (part_ != Part::kUntilClose) size = static_cast<size_t>(std::min<int64_t>(size, remaining_));
  if (status_ >= 200 && status_ < 300) {
    std::string refused = body_(bytes.substr(0, size));
    if (!refused.empty()) {
      Fail(std::move(refused));
      return size;
    }
    body_bytes_ += static_cast<int64_t>(size);
  } else {
    framing_bytes_ += static_cast<int64_t>(size);
  }
  if (part_ == Part::kUntilClose) return size;
  remaining_ -= static_cast<int64_t>(size);
  if (remaining_ == 0) {
    if (part_ == Part::kChunkData) {
      part_ = Part::kChunkEnd;
    } else {
      part_ = Part::kEnd;
      state_ = State::kDone;
    }
  }
  return size;
}

void HttpReplyReader::Fail(std::string reason) {
  state_ = State::kFailed;
  error_ = std::move(reason);
}

}  // namespace varnolt
