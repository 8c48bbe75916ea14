#include "extract/fetch/proxy_choice.h"

#include <algorithm>
#include <vector>

#include "extract/fetch/ascii_case.h"

namespace varnolt {
namespace {

std::vector<std::string_view> Entries(std::string_view list) {
  std::vector<std::string_view> entries;
  size_t start = 0;
  while (start < list.size()) {
    const size_t end = std::min(list.find_first_of("; \t\r\n", start), list.size());
    if (end > start) entries.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return entries;
}

// `text` matched by `pattern` as a whole, '*' standing for any run.
bool Matches(std::string_view pattern, std::string_view text) {
  size_t p = 0;
  size_t t = 0;
  size_t star = std::string_view::npos;
  size_t resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && AsciiLower(pattern[p]) == AsciiLower(text[t])) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool Bypassed(std::string_view bypass, const std::string& host) {
  for (const std::string_view entry : Entries(bypass)) {
    if (entry == "<local>") {
      if (host.find_first_of(".:") == std::string::npos) return true;
    } else if (Matches(entry, host)) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string ChooseProxy(std::string_view proxies, std::string_view bypass,
                        const WebAddress& address) {
  if (Bypassed(bypass, address.host)) return {};
  const std::string_view scheme = address.tls ? "https" : "http";
  std::string_view chosen;
  for (const std::string_view entry : Entries(proxies)) {
    const size_t equals = entry.find('=');
    if (equals == std::string_view::npos) {
      if (chosen.empty()) chosen = entry;  // for every scheme, unless one is named
    } else if (entry.substr(0, equals) == scheme) {
      chosen = entry.substr(equals + 1);
      break;
    }
  }
  if (chosen.empty()) return {};
  const size_t separator = chosen.find("://");
  if (separator != std::string_view::npos) chosen.remove_prefix(separator + 3);
  return "http://" + std::string(chosen);
}

}  // namespace varnolt
