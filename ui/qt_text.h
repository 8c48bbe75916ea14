// Byte strings on Qt widgets. The program's texts are bytes: its own messages
// in UTF-8, links and file names in whatever encoding their source used.
// They are shown by the program's display rule (extract/boundary/
// text_encoding.h): each well-formed UTF-8 sequence as UTF-8, each other byte
// as its Windows-1252 character, so that one line may hold both.
#pragma once

#include <QString>
#include <cstddef>
#include <string>
#include <string_view>

#include "extract/boundary/text_encoding.h"

namespace varnolt {

// `bytes` as the display rule shows them. Every byte string decodes; a
// leading byte order mark stays, as U+FEFF.
QString DecodeText(std::string_view bytes);

// How many bytes at the start of `bytes` DecodeText turns into at most
// `characters` UTF-16 units, without splitting a character.
size_t BytesOfFirstCharacters(std::string_view bytes, qsizetype characters);

// `text` as UTF-8, the system's own encoding for text the user typed.
std::string EncodeText(const QString& text);

}  // namespace varnolt
