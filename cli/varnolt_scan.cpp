// varnolt-scan: the job behind "START" for scripts and terminals.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/terminal.h"
#include "cli/terminal_controls.h"
#include "extract/fetch/download.h"
#include "extract/scan_input.h"

namespace varnolt {
namespace {

constexpr char kUsage[] =
    "Usage: varnolt-scan [options] INPUT...\n"
    "Lists the distinct ed2k:// links of each INPUT, a file name or - for standard\n"
    "input, in file order: one link per line on stdout, the status log on stderr.\n"
    "An INPUT that begins with http:// or https:// is first fetched to download.htm\n"
    "in the current directory.\n"
    "\n"
    "Options:\n"
    "  -v, --verbose  also log a line for every link found\n"
    "  -h, --help     show this help and exit\n"
    "  -V, --version  show the version and exit\n"
    "\n"
    "Exit status: 0 when every input was scanned, 1 when any failed, 2 on a usage error.\n";

struct Arguments {
  bool verbose = false;
  std::vector<std::string> inputs;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "varnolt-scan: %s (try 'varnolt-scan --help')\n", message.c_str());
  return 2;
}

// Reads the command line into `args`. Returns the exit status when the
// command line is answered without a scan: 0 after the help or the version,
// 2 after a usage error (its message on stderr); nothing when there is input
// to scan.
std::optional<int> ParseArguments(const std::vector<std::string>& arguments, Arguments& args) {
  bool options_done = false;
  for (const std::string& argument : arguments) {
    const std::string_view arg = argument;
    if (options_done || arg == "-" || arg.empty() || arg[0] != '-') {
      args.inputs.emplace_back(arg);
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "-v" || arg == "--verbose") {
      args.verbose = true;
    } else if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "-V" || arg == "--version") {
      std::printf("varnolt-scan %s\n", VARNOLT_VERSION);
      return 0;
    } else {
      return UsageError("unknown option '" + std::string(arg) + "'");
    }
  }
  if (args.inputs.empty()) return UsageError("no input given");
  return std::nullopt;
}

// Both streams buffered: the log flushes its stage lines itself, and
// unbuffered, -v would cost two system calls per link.
void BufferStandardStreams() {
  static char results_buffer[1 << 16];
  static char log_buffer[1 << 16];
  std::setvbuf(stdout, results_buffer, _IOFBF, sizeof results_buffer);
  std::setvbuf(stderr, log_buffer, _IOFBF, sizeof log_buffer);
}

// Scans `input` (a file name, - for standard input, or a web address) into
// `controls` and returns whether it was scanned to the end. Does not return
// when a stop signal ended a download: the program then ends as the signal
// would have.
bool ScanOneInput(const std::string& input, bool verbose, TerminalControls& controls) {
  InputOptions options;
  // Without -v the per-link lines would only be dropped: not made at all,
  // a file of millions of links scans at the speed of an ordinary one.
  options.scan.log_each_link = verbose;
  if (input == "-") options.scan.open = OpenStandardInput;
  // Ctrl-C during a download stops it the ordinary way, which removes the
  // partial file, and then ends the program as the signal would have. A
  // file scan has nothing to clean up and is ended by the signal itself.
  const bool download = IsWebAddress(input);
  if (download) {
    CatchStopSignals();
    options.fetch.keep_going = options.scan.keep_going = [] { return CaughtStopSignal() == 0; };
  }
  const ScanResult result = ScanInput(input, controls, options);
  if (download) ReleaseStopSignals();
  controls.EndJob();
  if (const int signal = CaughtStopSignal()) {
    std::fflush(stdout);
    EndBySignal(signal);
  }
  return result.status == ScanStatus::kCompleted;
}

// The exit status once every input has had its turn: 1 when the links could
// not all be written (with a message, unless the reader has gone) or an input
// failed, 0 otherwise.
int ExitStatus(const TerminalControls& controls, bool all_scanned) {
  if (const int error = controls.results_error()) {
    // A reader that has gone (`| head`) needs no message; with SIGPIPE at its
    // default the program would not even have got here.
    if (error != EPIPE) {
      std::fprintf(stderr, "varnolt-scan: cannot write the links: %s\n", std::strerror(error));
    }
    return 1;
  }
  return all_scanned ? 0 : 1;
}

}  // namespace
}  // namespace varnolt

int main(int argc, char** argv) {
  using namespace varnolt;
  Arguments args;
  if (const std::optional<int> answered = ParseArguments(CommandLineArguments(argc, argv), args)) {
    return *answered;
  }
  PrepareStandardStreams();
  BufferStandardStreams();
  // With both on one screen, as in an interactive shell, the links go out a
  // line at a time so that the bar on stderr never splits one; redirected,
  // they go out in large blocks.
  TerminalControls controls(stdout, stderr, IsTerminal(stderr), IsTerminal(stdout));
  bool all_scanned = true;
  // Every input has its turn, also after one failed.
  for (const std::string& input : args.inputs) {
    if (!ScanOneInput(input, args.verbose, controls)) all_scanned = false;
  }
  return ExitStatus(controls, all_scanned);
}
