#include "ui/qt_text.h"

#include <QByteArray>
#include <cstdint>

namespace varnolt {

namespace {

// Windows-1252 at 0x80..0x9F; the other non-ASCII bytes equal their code
// point. The undefined bytes 0x81, 0x8D, 0x8F, 0x90 and 0x9D map to the C1
// control of the same value.
// The Windows-1252 byte of `c`, or -1 when the code page has none.
int Windows1252Byte(char16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return c;
  for (int b = 0x80; b <= 0x9F; ++b) {
    if (Windows1252Character(static_cast<uint8_t>(b)) == c) return b;
  }
  return -1;
}

}  // namespace

TextEncoding DisplayEncoding(std::string_view bytes) {
  return IsValidUtf8(bytes) ? TextEncoding::kUtf8 : TextEncoding::kWindows1252;
}

QString DecodeText(std::string_view bytes, TextEncoding encoding) {
  if (encoding == TextEncoding::kUtf8) {
    // QString::fromUtf8() drops a leading byte order mark; a line keeps it,
    // or it would not read back as the bytes it came from.
    QString text;
    if (bytes.starts_with("\xEF\xBB\xBF")) {
      text.append(QChar(0xFEFF));
      bytes.remove_prefix(3);
    }
    return text.append(QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size())));
  }
  QString text(static_cast<qsizetype>(bytes.size()), Qt::Uninitialized);
  QChar* out = text.data();
  for (const char byte : bytes) {
    const uint8_t b = static_cast<uint8_t>(byte);
    *out++ = QChar(Windows1252Character(b));
  }
  return text;
}

std::string EncodeText(const QString& text, TextEncoding encoding) {
  if (encoding == TextEncoding::kWindows1252) {
    std::string bytes;
    bytes.reserve(static_cast<size_t>(text.size()));
    bool representable = true;
    for (const QChar c : text) {
      const int b = Windows1252Byte(c.unicode());
      if (b < 0) {
        representable = false;
        break;
      }
      bytes.push_back(static_cast<char>(b));
    }
    if (representable) return bytes;
  }
  const QByteArray utf8 = text.toUtf8();
  return std::string(utf8.constData(), static_cast<size_t>(utf8.size()));
}

}  // namespace varnolt
