// How the program's byte strings are shown. Its own messages are UTF-8, and
// so are the names the system hands over; links and names read from a file
// are whatever bytes their source held. A line is decoded piece by piece:
// each well-formed UTF-8 sequence as UTF-8, each other byte as Windows-1252,
// which can show any byte. So the program's own "Öffne" stays readable
// beside a name in another encoding. (The Windows build reads the other
// bytes in the system's code page instead: extract/boundary/wide_text.h.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace varnolt {

// True when `bytes` is well-formed UTF-8: no stray continuation bytes, no
// truncated sequence, no overlong form, no surrogate, nothing above U+10FFFF.
// The empty text is well-formed.
bool IsValidUtf8(std::string_view bytes);

// The length (1 to 4) of the well-formed UTF-8 sequence that begins at byte
// `at` of `bytes`, 0 when none does there (see IsValidUtf8) or `at` is past
// the end.
size_t Utf8SequenceLength(std::string_view bytes, size_t at);

// The character Windows-1252 gives `byte`. The five bytes the code page
// leaves undefined become the C1 control of the same value, as Windows maps
// them, so every byte string decodes and encodes back unchanged.
char16_t Windows1252Character(uint8_t byte);

// Appends the UTF-8 bytes of code point `c` (at most U+10FFFF) to `out`. A
// surrogate takes the three-byte form of any code point below U+10000, which
// is how a name with an unpaired surrogate survives as bytes on Windows.
void AppendUtf8(std::string& out, char32_t c);

// `bytes` as UTF-8 text, decoded piece by piece as above: unchanged when
// well-formed UTF-8.
std::string DisplayText(std::string_view bytes);

// DisplayText for a terminal, where control characters in a name would act
// instead of showing (an ESC starts an escape sequence, a line feed splits
// the line): tab, line feed and carriage return show as \t, \n, \r, the
// other bytes 0x00-0x1F and 0x7F as \x and two hex digits ("\x1b"), and the
// C1 controls U+0080-U+009F as \x and the byte where a byte decoded to one,
// as \u and four hex digits where UTF-8 encoded one. The bidirectional
// embeddings, overrides and isolates (U+202A-U+202E, U+2066-U+2069), which
// would show a name reordered, are escaped as \u and four hex digits too. A
// backslash stays as it is, so Windows paths read naturally.
std::string TerminalText(std::string_view bytes);

// TerminalText's escapes without its decoding: the same control characters
// escaped, every other byte left as it is (a stray one too), for a front end
// that shows the rest by its own code page (the Windows console).
std::string EscapeTerminalControls(std::string_view bytes);

}  // namespace varnolt
