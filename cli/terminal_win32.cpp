// The terminal seam on Windows.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "cli/terminal.h"
#include "extract/boundary/text_encoding.h"
#include "extract/boundary/wide_text.h"

namespace varnolt {
namespace {

// Whether stdout and stderr are consoles, learnt once: the links ask by the
// million.
bool stdout_is_console = false;
bool stderr_is_console = false;

volatile sig_atomic_t caught_signal = 0;

// Runs on a thread of its own that the system starts for Ctrl-C; the C
// runtime has already put the default action back.
void NoteSignal(int signal) { caught_signal = signal; }

// A console, not merely a character device: _isatty() also says yes for NUL.
bool IsConsole(HANDLE handle) {
  DWORD mode;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
         GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode) != 0;
}

HANDLE StreamHandle(std::FILE* stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

bool IsConsoleStream(std::FILE* stream) {
  return stream == stdout ? stdout_is_console : stream == stderr && stderr_is_console;
}

}  // namespace

std::vector<std::string> CommandLineArguments(int /*argc*/, char** /*argv*/) {
  // The narrow arguments went through the ANSI code page, which holds few
  // of the world's scripts.
  return varnolt::CommandLineArguments();
}

void PrepareStandardStreams() {
  // Link bytes go out exactly as found: no line feed becomes CR LF.
  _setmode(_fileno(stdout), _O_BINARY);
  stdout_is_console = IsConsole(StreamHandle(stdout));
  stderr_is_console = IsConsole(StreamHandle(stderr));
}

bool IsTerminal(std::FILE* stream) { return IsConsole(StreamHandle(stream)); }

std::string LogLineText(std::string_view line) {
  // Stray bytes are read in the system's code page, not in Windows-1252.
  std::wstring shown = ToWide(EscapeTerminalControls(line));
  // A control character can only have come from a stray byte now (its UTF-8
  // forms are escaped already): escaped the same way, \u and four digits.
  static constexpr wchar_t kHex[] = L"0123456789abcdef";
  for (size_t i = 0; i < shown.size(); ++i) {
    if (shown[i] >= 0x80 && shown[i] <= 0x9F) {
      const wchar_t escape[] = {L'\\', L'u', L'0', L'0', kHex[shown[i] >> 4], kHex[shown[i] & 0xF]};
      shown.replace(i, 1, escape, 6);
      i += 5;
    }
  }
  return FromWide(shown);
}

bool WriteTextLine(std::FILE* stream, std::string_view text) {
  if (!IsConsoleStream(stream)) {
    return std::fwrite(text.data(), 1, text.size(), stream) == text.size() &&
           std::fputc('\n', stream) != EOF;
  }
  // What the stream holds (the progress bar, earlier lines) goes first.
  if (std::fflush(stream) != 0) return false;
  const std::wstring shown = ToWide(text) + L"\n";
  // In pieces: older consoles refuse a single write of many kilobytes.
  constexpr size_t kPiece = 8192;
  for (size_t at = 0; at < shown.size();) {
    DWORD written = 0;
    DWORD piece = static_cast<DWORD>(std::min(kPiece, shown.size() - at));
    // Never half a surrogate pair in one piece.
    if (piece > 1 && shown[at + piece - 1] >= 0xD800 && shown[at + piece - 1] <= 0xDBFF) --piece;
    if (!WriteConsoleW(StreamHandle(stream), shown.data() + at, piece, &written, nullptr) ||
        written == 0) {
      errno = EIO;
      return false;
    }
    at += written;
  }
  return true;
}

// Windows raises no SIGTERM; Ctrl-C and Ctrl-Break arrive as SIGINT and
// SIGBREAK.
constexpr int kStopSignals[] = {SIGINT, SIGBREAK};

void CatchStopSignals() {
  for (const int signal : kStopSignals) {
    if (std::signal(signal, NoteSignal) == SIG_IGN) std::signal(signal, SIG_IGN);
  }
}

void ReleaseStopSignals() {
  for (const int signal : kStopSignals) {
    if (std::signal(signal, SIG_DFL) == SIG_IGN) std::signal(signal, SIG_IGN);
  }
}

int CaughtStopSignal() { return caught_signal; }

void EndBySignal(int signal) { std::exit(128 + signal); }

}  // namespace varnolt
