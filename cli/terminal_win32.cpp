// The terminal seam on Windows.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <csignal>
#include <cstdlib>

#include "cli/terminal.h"

namespace varnolt {
namespace {

UINT original_output_code_page = 0;

volatile sig_atomic_t caught_signal = 0;

// Runs on a thread of its own that the system starts for Ctrl-C; the C
// runtime has already put the default action back.
void NoteSignal(int signal) { caught_signal = signal; }

void RestoreConsoleCodePage() { SetConsoleOutputCP(original_output_code_page); }

// A console, not merely a character device: _isatty() also says yes for NUL.
bool IsConsole(HANDLE handle) {
  DWORD mode;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
         GetFileType(handle) == FILE_TYPE_CHAR && GetConsoleMode(handle, &mode) != 0;
}

}  // namespace

void PrepareStandardStreams() {
  // Link bytes go out exactly as found: no line feed becomes CR LF.
  _setmode(_fileno(stdout), _O_BINARY);
  // The log arrives as UTF-8; the console shows it as such only while its
  // output code page is UTF-8. The console is shared with the shell, so its
  // own code page comes back when the program ends.
  if (IsConsole(GetStdHandle(STD_ERROR_HANDLE))) {
    original_output_code_page = GetConsoleOutputCP();
    if (original_output_code_page != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
      std::atexit(RestoreConsoleCodePage);
    }
  }
}

bool IsTerminal(std::FILE* stream) {
  return IsConsole(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream))));
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

// The console's code page is put back on the way out.
void EndBySignal(int signal) { std::exit(128 + signal); }

}  // namespace varnolt
