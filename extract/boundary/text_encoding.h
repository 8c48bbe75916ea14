// How the program's byte strings are shown. Its own messages are UTF-8 in
// this build; links and file names are whatever bytes their source held. A
// line shows as UTF-8 when it is well-formed UTF-8, else as Windows-1252,
// which can show any byte string.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace varnolt {

// True when `bytes` is well-formed UTF-8: no stray continuation bytes, no
// truncated sequence, no overlong form, no surrogate, nothing above U+10FFFF.
// The empty text is well-formed.
bool IsValidUtf8(std::string_view bytes);

// The character Windows-1252 gives `byte`. The five bytes the code page
// leaves undefined become the C1 control of the same value, as Windows maps
// them, so every byte string decodes and encodes back unchanged.
char16_t Windows1252Character(uint8_t byte);

// `bytes` as UTF-8 text for a terminal: unchanged when well-formed UTF-8,
// else decoded as Windows-1252.
std::string DisplayText(std::string_view bytes);

}  // namespace varnolt
