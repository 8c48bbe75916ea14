#include "extract/fetch/body_decoder.h"

#include <new>

namespace varnolt {

BodyDecoder::~BodyDecoder() {
  if (inflating_) inflateEnd(&stream_);
}

std::string BodyDecoder::Start(std::string_view coding) {
  if (coding.empty() || coding == "identity") return {};
  if (coding != "gzip" && coding != "x-gzip" && coding != "deflate") {
    return "unsupported content coding \"" + std::string(coding) + "\"";
  }
  // 15 + 32: a gzip or a zlib stream, told apart by their first bytes.
  if (inflateInit2(&stream_, 15 + 32) != Z_OK) throw std::bad_alloc();
  inflating_ = true;
  return {};
}

std::string BodyDecoder::Decode(std::string_view coded, const Out& out) {
  if (!inflating_) return out(coded);
  stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(coded.data()));
  stream_.avail_in = static_cast<uInt>(coded.size());
  while (stream_.avail_in > 0 && !ended_) {
    char decoded[16 << 10];
    stream_.next_out = reinterpret_cast<Bytef*>(decoded);
    stream_.avail_out = sizeof decoded;
    const int status = inflate(&stream_, Z_NO_FLUSH);
    if (status == Z_MEM_ERROR) throw std::bad_alloc();
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
      return "compressed page is damaged";
    }
    ended_ = status == Z_STREAM_END;
    const size_t produced = sizeof decoded - stream_.avail_out;
    if (produced > 0) {
      std::string refused = out(std::string_view(decoded, produced));
      if (!refused.empty()) return refused;
    } else if (status == Z_BUF_ERROR) {
      break;  // nothing more can be had from these bytes
    }
  }
  return {};
}

std::string BodyDecoder::Finish() const {
  return inflating_ && !ended_ ? "compressed page cut short" : std::string();
}

}  // namespace varnolt
