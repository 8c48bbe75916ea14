#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "cli/terminal.h"

namespace varnolt {
namespace {

volatile sig_atomic_t caught_signal = 0;

void NoteSignal(int signal) { caught_signal = signal; }

constexpr int kStopSignals[] = {SIGINT, SIGTERM};

}  // namespace

void PrepareStandardStreams() {}

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

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
