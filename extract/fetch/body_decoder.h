// Undoes a page's content coding as its body arrives: gzip and deflate, the
// codings the fetch asks for. Done by the program on both platforms, so that
// a compressed body cut off before its end is told from a whole one, which
// libcurl's own decoding takes for the page.
#pragma once

#include <zlib.h>

#include <functional>
#include <string>
#include <string_view>

namespace varnolt {

class BodyDecoder {
 public:
  // Takes decoded bytes; returns the reason to stop, or the empty text.
  using Out = std::function<std::string(std::string_view)>;

  BodyDecoder() = default;
  ~BodyDecoder();
  BodyDecoder(const BodyDecoder&) = delete;
  BodyDecoder& operator=(const BodyDecoder&) = delete;

  // `coding`: the reply's Content-Encoding, lower-cased ("" when none).
  // Returns the reason it cannot be undone, or the empty text. Throws
  // std::bad_alloc when memory runs out.
  std::string Start(std::string_view coding);
  // Passes `coded` on to `out`, decoded. Returns the reason decoding or
  // `out` failed, or the empty text. Bytes after the end of a compressed
  // stream are passed over. Throws std::bad_alloc when memory runs out.
  std::string Decode(std::string_view coded, const Out& out);
  // The body ended: the reason it is not whole, or the empty text.
  std::string Finish() const;

 private:
  z_stream stream_{};
  bool inflating_ = false;
  bool ended_ = false;
};

}  // namespace varnolt
