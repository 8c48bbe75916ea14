// The terminal seam of varnolt-scan: the few calls that differ by platform.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace varnolt {

// The program's arguments, its name excluded. On Windows they are taken as
// the system holds them, in UTF-16, and converted to UTF-8 once, so that a
// name in any script arrives whole.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// Puts the standard streams into the modes the program needs: stdout carries
// link bytes unchanged, stderr shows UTF-8 text.
void PrepareStandardStreams();

// True when `stream` is an interactive terminal.
bool IsTerminal(std::FILE* stream);

// A status-log line as it reads on the log stream, in UTF-8: shown by the
// display rule, control characters escaped (see TerminalText).
std::string LogLineText(std::string_view line);

// Writes `text` and a line break to `stream` (stdout, stderr or a file).
// Its bytes go out unchanged, except to a Windows console, which cannot
// take bytes faithfully and shows the text by the display rule instead.
// Returns false when the write failed, with errno set.
bool WriteTextLine(std::FILE* stream, std::string_view text);

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
