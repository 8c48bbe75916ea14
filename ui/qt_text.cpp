#include "ui/qt_text.h"

#include <QByteArray>
#include <array>
#include <cstdint>

namespace varnolt {

namespace {

// Windows-1252 at 0x80..0x9F; the other non-ASCII bytes equal their code
// point. The undefined bytes 0x81, 0x8D, 0x8F, 0x90 and 0x9D map to the C1
// control of the same value.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
};

// The Windows-1252 byte of `c`, or -1 when the code page has none.
int Windows1252Byte(char16_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return c;
  for (size_t i = 0; i < kHighControls.size(); ++i) {
    if (kHighControls[i] == c) return static_cast<int>(0x80 + i);
  }
  return -1;
}

}  // namespace

bool IsValidUtf8(std::string_view bytes) {
  size_t i = 0;
  const size_t n = bytes.size();
  while (i < n) {
    const uint8_t lead = static_cast<uint8_t>(bytes[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // The length of the sequence and the range its second byte must fall in;
    // the narrowed ranges after E0, ED, F0 and F4 exclude overlong forms,
    // surrogates and code points above U+10FFFF.
    size_t length;
    uint8_t low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (n - i < length) return false;
    const uint8_t second = static_cast<uint8_t>(bytes[i + 1]);
    if (second < low || second > high) return false;
    for (size_t k = 2; k < length; ++k) {
      const uint8_t next = static_cast<uint8_t>(bytes[i + k]);
      if (next < 0x80 || next > 0xBF) return false;
    }
    i += length;
  }
  return true;
}

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
    *out++ = QChar(b >= 0x80 && b <= 0x9F ? kHighControls[b - 0x80] : char16_t{b});
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
