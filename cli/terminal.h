// The terminal seam of varnolt-scan: the few calls that differ by platform.
#pragma once

#include <cstdio>

namespace varnolt {

// Puts the standard streams into the modes the program needs: stdout carries
// link bytes unchanged, stderr shows UTF-8 text.
void PrepareStandardStreams();

// True when `stream` is an interactive terminal.
bool IsTerminal(std::FILE* stream);

// From now on, Ctrl-C and SIGTERM are noted instead of ending the program at
// once, so that a running download can remove its partial file first; a
// second one ends the program as usual. A signal that the program was
// started with ignored stays ignored.
void CatchStopSignals();

// Gives Ctrl-C and SIGTERM their usual effect again. A signal noted before
// stays noted.
void ReleaseStopSignals();

// The signal noted since CatchStopSignals(), 0 when none.
int CaughtStopSignal();

// Ends the program as `signal` would have ended it, so that a shell sees
// 128 + signal (130 for Ctrl-C, 143 for SIGTERM). Flush what must be
// written first.
[[noreturn]] void EndBySignal(int signal);

}  // namespace varnolt
