// Byte strings on Qt widgets. The program's texts are bytes: its own messages
// in UTF-8, links and file names in whatever encoding their source used. A
// line shows as UTF-8 when it is well-formed UTF-8 and as Windows-1252
// otherwise; the control remembers which, so that reading the line back gives
// exactly the bytes that were written.
#pragma once

#include <QString>
#include <string>
#include <string_view>

#include "extract/boundary/text_encoding.h"

namespace varnolt {

enum class TextEncoding { kUtf8, kWindows1252 };

// The encoding a text is shown in: UTF-8 when it is well-formed UTF-8, else
// Windows-1252 (which can decode any byte string).
TextEncoding DisplayEncoding(std::string_view bytes);

// Decodes `bytes` in `encoding`. `bytes` must be well-formed for kUtf8.
// Windows-1252 maps each byte to one character; the five bytes that code page
// leaves undefined become the C1 control of the same value, as Windows does,
// so every byte string decodes and encodes back unchanged.
QString DecodeText(std::string_view bytes, TextEncoding encoding);

// Encodes `text` in `encoding`. A text that Windows-1252 cannot represent (a
// line the user typed into) is given as UTF-8 instead, the system's own
// encoding for typed text.
std::string EncodeText(const QString& text, TextEncoding encoding);

}  // namespace varnolt
