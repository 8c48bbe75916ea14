#include "ui/open_with.h"

#include <cctype>

namespace varnolt {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

bool EqualsNoCase(std::string_view text, std::string_view lower) {
  return text.size() == lower.size() && StartsWithNoCase(text, lower);
}

}  // namespace

WindowArguments ParseWindowArguments(const std::vector<std::string>& args) {
  WindowArguments result;
  bool options_done = false;
  int inputs = 0;
  for (const std::string& arg : args) {
    if (!options_done && arg == "--") {
      options_done = true;
    } else if (!options_done && !arg.empty() && arg[0] == '-') {
      return {true, std::nullopt};
    } else if (++inputs > 1) {
      return {true, std::nullopt};
    } else {
      result.input = InputFromUri(arg);
    }
  }
  return result;
}

std::string InputFromUri(std::string_view uri) {
  constexpr std::string_view kScheme = "file://";
  if (!StartsWithNoCase(uri, kScheme)) return std::string(uri);
  const std::string_view rest = uri.substr(kScheme.size());
  const size_t path_start = rest.find('/');
  if (path_start == std::string_view::npos) return std::string(uri);
  const std::string_view host = rest.substr(0, path_start);
  if (!host.empty() && !EqualsNoCase(host, "localhost")) {
    return std::string(uri);
  }
  // A query or a fragment is no part of a file's name.
  std::string_view path = rest.substr(path_start);
  path = path.substr(0, path.find_first_of("?#"));
  std::string decoded;
  decoded.reserve(path.size());
  for (size_t i = 0; i < path.size(); ++i) {
    const int high = path[i] == '%' && i + 2 < path.size() ? HexDigit(path[i + 1]) : -1;
    const int low = high >= 0 ? HexDigit(path[i + 2]) : -1;
    // %00 stays as it is: no file name holds a NUL, and one would cut the
    // name short on its way to the file system.
    if (low >= 0 && high * 16 + low != 0) {
      decoded += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      decoded += path[i];
    }
  }
  return decoded;
}

}  // namespace varnolt
