// varnolt-scan: the job behind "START" for scripts and terminals.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cli/terminal.h"
#include "cli/terminal_controls.h"
#include "extract/fetch/download.h"
#include "extract/scan_input.h"

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

}  // namespace

int main(int argc, char** argv) {
  using namespace varnolt;
  Arguments args;
  bool options_done = false;
  for (const std::string& argument : CommandLineArguments(argc, argv)) {
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

  PrepareStandardStreams();
  // Both streams buffered: the log flushes its stage lines itself, and
  // unbuffered, -v would cost two system calls per link.
  static char results_buffer[1 << 16];
  static char log_buffer[1 << 16];
  std::setvbuf(stdout, results_buffer, _IOFBF, sizeof results_buffer);
  std::setvbuf(stderr, log_buffer, _IOFBF, sizeof log_buffer);

  TerminalControls controls(stdout, stderr, IsTerminal(stderr));
  int status = 0;
  for (const std::string& input : args.inputs) {
    InputOptions options;
    // Without -v the per-link lines would only be dropped: not made at all,
    // a file of millions of links scans at the speed of an ordinary one.
    options.scan.log_each_link = args.verbose;
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
    if (result.status != ScanStatus::kCompleted) status = 1;
  }
  if (const int error = controls.results_error()) {
    // A reader that has gone (`| head`) needs no message; with SIGPIPE at its
    // default the program would not even have got here.
    if (error != EPIPE) {
      std::fprintf(stderr, "varnolt-scan: cannot write the links: %s\n", std::strerror(error));
    }
    return 1;
  }
  return status;
}
