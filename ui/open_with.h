// What the window is handed from outside rather than typed: the command line
// of `varnolt [FILE-OR-ADDRESS]` (a file manager's "Open with") and the text
// of a file or an address dropped on it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varnolt {

// The one line the window program prints on stderr, before exiting with
// status 2, when its command line is not what it takes.
constexpr char kWindowUsage[] = "Usage: varnolt [FILE-OR-ADDRESS]";

struct WindowArguments {
  bool usage_error = false;
  // The input to start with; absent when the command line named none.
  std::optional<std::string> input;
};

// Reads the window program's arguments, the program name excluded. None:
// the window starts empty. One: the input to start with, after InputFromUri()
// (file managers may hand a file as a file: URL). A usage error for more than
// one argument, or for any argument that begins with '-' ("-" included),
// unless it follows "--", which ends the options.
WindowArguments ParseWindowArguments(const std::vector<std::string>& args);

// The input field's text for `uri`: the local path of a file: URL (host empty
// or "localhost"; query and fragment dropped), its %XX escapes decoded to the
// exact bytes, so that a name that is not UTF-8 survives (%00 is kept as it
// is); anything else (a web address, a plain path, a file: URL of another
// host) unchanged. Never fails.
std::string InputFromUri(std::string_view uri);

}  // namespace varnolt
