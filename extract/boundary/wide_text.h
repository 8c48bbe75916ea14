// The program's byte strings at the Windows edge, the one place where they
// meet the system's UTF-16. Inside, texts are bytes: the program's own
// messages and everything the system hands over (names, typed text, the
// command line) in UTF-8, links and names read from a file in whatever
// encoding their source used. Windows only.
//
// Bytes become UTF-16 by the display rule of extract/boundary/
// text_encoding.h, with the system's ANSI code page (GetACP()) in place of
// Windows-1252 for the bytes that are not UTF-8, so that a page written in
// the system's own code page reads as it did in ANSI programs.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace varnolt {

// The code page the display rule reads stray bytes in, for a system whose
// ANSI code page is `ansi_code_page`: that code page, or Windows-1252 where
// it is UTF-8 (65001), in which a stray byte would only become U+FFFD.
UINT StrayByteCodePage(UINT ansi_code_page);

// `bytes` as UTF-16, for the screen and for names handed to the wide (W)
// services. Each well-formed UTF-8 sequence decodes as UTF-8, and a
// three-byte encoded surrogate (ED A0..BF 80..BF, the form FromWide() gives
// an unpaired one) as that surrogate, so that every name the system handed
// over comes back to it unchanged. The other bytes are read in `code_page`
// (StrayByteCodePage of the system's by default):
// - a single-byte code page: each byte on its own, as the display rule does
//   with Windows-1252 (whose rule this is exactly for 1252);
// - a double-byte code page (936, 932, 949, 950), where a character's two
//   bytes are often also a UTF-8 sequence ("影" in GBK, D3 B0, is UTF-8
//   "Ӱ"): per run of non-ASCII bytes, together with an ASCII-range second
//   byte of a character, the run shows as UTF-8 when it is well-formed
//   UTF-8 as a whole and in the code page otherwise.
// A byte the code page leaves undefined shows as its Windows-1252
// character: every byte shows, none is dropped. A NUL stays in the result.
std::wstring ToWide(std::string_view bytes);
std::wstring ToWide(std::string_view bytes, UINT code_page);

// `text` as UTF-8, an unpaired surrogate as its three-byte form (so that a
// name holding one opens again through ToWide), never dropped or replaced.
// At most `max_bytes` bytes, cut before the first character that would not
// fit whole.
std::string FromWide(std::wstring_view text, size_t max_bytes = std::string::npos);

// The program's arguments as the system holds them (GetCommandLineW), each
// as FromWide() gives it, the program's name excluded. Empty when the
// command line cannot be split.
std::vector<std::string> CommandLineArguments();

}  // namespace varnolt
