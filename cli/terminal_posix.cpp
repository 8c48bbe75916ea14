#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "cli/terminal.h"
#include "extract/boundary/text_encoding.h"

namespace varnolt {
namespace {

volatile sig_atomic_t caught_signal = 0;

void NoteSignal(int signal) { caught_signal = signal; }

constexpr int kStopSignals[] = {SIGINT, SIGTERM};

}  // namespace

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void PrepareStandardStreams() {}

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

std::string LogLineText(std::string_view line) { return TerminalText(line); }

// Only the scan's calling thread writes, and a quarter of a million lines
// make the stream's lock worth skipping where the library allows.
bool WriteTextLine(std::FILE* stream, std::string_view text) {
#if defined(__GLIBC__)
  return fwrite_unlocked(text.data(), 1, text.size(), stream) == text.size() &&
         fputc_unlocked('\n', stream) != EOF;
#else
  return std::fwrite(text.data(), 1, text.size(), stream) == text.size() &&
         std::fputc('\n', stream) != EOF;
#endif
}

void CatchStopSignals() {
  for (const int signal : kStopSignals) {
    struct sigaction action = {};
    struct sigaction previous = {};
    // A background job of a shell runs with Ctrl-C ignored, and must stay so.
    if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    action.sa_handler = NoteSignal;
    sigemptyset(&action.sa_mask);
    // Noted once: the second Ctrl-C of an impatient user ends the program.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    ::sigaction(signal, &action, nullptr);
  }
}

void ReleaseStopSignals() {
  for (const int signal : kStopSignals) {
    struct sigaction previous = {};
    if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == NoteSignal) {
      ::signal(signal, SIG_DFL);
    }
  }
}

int CaughtStopSignal() { return caught_signal; }

void EndBySignal(int signal) {
  ::signal(signal, SIG_DFL);
  ::raise(signal);
  std::_Exit(128 + signal);  // not reached unless the signal is blocked
}

}  // namespace varnolt
