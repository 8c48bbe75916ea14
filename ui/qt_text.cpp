#include "ui/qt_text.h"

#include <QByteArray>
#include <cstdint>

namespace varnolt {

namespace {

// The code point of the well-formed UTF-8 sequence of `length` bytes at `at`.
char32_t DecodeSequence(std::string_view bytes, size_t at, size_t length) {
  static constexpr uint8_t kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
  char32_t c = static_cast<uint8_t>(bytes[at]) & kLeadBits[length];
  for (size_t k = 1; k < length; ++k) c = (c << 6) | (static_cast<uint8_t>(bytes[at + k]) & 0x3F);
  return c;
}

}  // namespace

QString DecodeText(std::string_view bytes) {
  QString text;
  // QString::fromUtf8() drops a leading byte order mark; a line keeps it,
  // or it would not read back as the bytes it came from.
  if (bytes.starts_with("\xEF\xBB\xBF")) {
    text.append(QChar(0xFEFF));
    bytes.remove_prefix(3);
  }
  if (IsValidUtf8(bytes)) {
    return text.append(QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size())));
  }
  // Piece by piece; every piece is one character, two UTF-16 units above
  // U+FFFF.
  text.reserve(text.size() + static_cast<qsizetype>(bytes.size()));
  for (size_t i = 0; i < bytes.size();) {
    const size_t length = Utf8SequenceLength(bytes, i);
    if (length == 0) {
      text.append(QChar(Windows1252Character(static_cast<uint8_t>(bytes[i++]))));
      continue;
    }
    const char32_t c = DecodeSequence(bytes, i, length);
    i += length;
    if (c > 0xFFFF) {
      const char32_t pair[] = {c};
      text.append(QString::fromUcs4(pair, 1));
    } else {
      text.append(QChar(static_cast<char16_t>(c)));
    }
  }
  return text;
}

size_t BytesOfFirstCharacters(std::string_view bytes, qsizetype characters) {
  size_t i = 0;
  qsizetype units = 0;
  while (i < bytes.size()) {
    const size_t length = Utf8SequenceLength(bytes, i);
    const qsizetype width = length == 4 ? 2 : 1;
    if (units + width > characters) break;
    units += width;
    i += length == 0 ? 1 : length;
  }
  return i;
}

std::string EncodeText(const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  return std::string(utf8.constData(), static_cast<size_t>(utf8.size()));
}

}  // namespace varnolt
