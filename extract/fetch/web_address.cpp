#include "extract/fetch/web_address.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "extract/fetch/ascii_case.h"

namespace varnolt {
namespace {

bool IsControlOrSpace(unsigned char c) { return c <= 0x20 || c == 0x7F; }

bool IsHostByte(unsigned char c) {
  // Letters, digits and the few marks a registered name or an IPv4 literal
  // holds; bytes from 0x80 up are an international name, turned into its
  // ASCII form before it is looked up.
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_' || c == '~' || c >= 0x80;
}

std::string PercentEncodeHighBytes(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  encoded.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 15];
    } else {
      encoded += c;
    }
  }
  return encoded;
}

// The scheme's length with its colon when `text` begins with one
// ("http:" gives 5), else 0.
size_t SchemeLength(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ':') return i > 0 ? i + 1 : 0;
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letter && (i == 0 || !((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'))) {
      return 0;
    }
  }
  return 0;
}

// Removes "." and ".." segments from an absolute path.
std::string RemoveDotSegments(std::string_view path) {
  std::string out;
  size_t i = 0;
  while (i < path.size()) {
    size_t end = path.find('/', i + 1);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view segment = path.substr(i, end - i);  // with its leading '/'
    if (segment == "/." || segment == "/..") {
      if (segment == "/.." && !out.empty()) out.resize(out.rfind('/'));
      if (end == path.size()) out += '/';
    } else {
      out += segment;
    }
    i = end;
  }
  return out.empty() ? "/" : out;
}

}  // namespace

bool ParseWebAddress(std::string_view text, WebAddress& address) {
  address = WebAddress();
  if (StartsWithFolded(text, "https://")) {
    address.tls = true;
    text.remove_prefix(8);
  } else if (StartsWithFolded(text, "http://")) {
    text.remove_prefix(7);
  } else {
    return false;
  }
  for (const char c : text) {
    if (IsControlOrSpace(static_cast<unsigned char>(c))) return false;
  }
  const size_t fragment = text.find('#');
  if (fragment != std::string_view::npos) text = text.substr(0, fragment);

  const size_t authority_end = text.find_first_of("/?");
  std::string_view authority = text.substr(0, authority_end);
  std::string_view target =
      authority_end == std::string_view::npos ? std::string_view() : text.substr(authority_end);
  // Credentials in the address are not sent: they would go out in clear
  // text with every request, and pages with links need none.
  const size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);

  std::string_view host = authority;
  std::string_view port;
  if (!host.empty() && host.front() == '[') {
    const size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    port = host.substr(close + 1);
    host = host.substr(1, close - 1);
    if (host.empty() ||
        host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string_view::npos) {
      return false;
    }
    if (!port.empty() && port.front() != ':') return false;
  } else {
    const size_t colon = host.find(':');
    if (colon != std::string_view::npos) {
      port = host.substr(colon);
      host = host.substr(0, colon);
    }
    if (host.empty()) return false;
    for (const char c : host) {
      if (!IsHostByte(static_cast<unsigned char>(c))) return false;
    }
  }
  if (!port.empty()) port.remove_prefix(1);  // the colon
  if (port.empty()) {
    address.port = address.tls ? "443" : "80";
  } else {
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos) {
      return false;
    }
    const long number = std::strtol(std::string(port).c_str(), nullptr, 10);
    if (number < 1 || number > 65535) return false;
    address.port = std::to_string(number);
  }
  address.host = std::string(host);
  address.target = PercentEncodeHighBytes(target);
  if (address.target.empty() || address.target.front() == '?') {
    address.target = "/" + address.target;
  }
  return true;
}

std::string ResolveLocation(std::string_view base, std::string_view location) {
  std::string reference;
  for (const char c : location) {
    if (c == ' ') {
      reference += "%20";
    } else {
      reference += c;
    }
  }
  const size_t fragment = reference.find('#');
  if (fragment != std::string::npos) reference.resize(fragment);
  if (SchemeLength(reference) > 0) return reference;

  const size_t scheme = SchemeLength(base);  // "http:" or "https:"
  const std::string_view scheme_part = base.substr(0, scheme);
  if (reference.rfind("//", 0) == 0) return std::string(scheme_part) + reference;

  const std::string_view rest = base.substr(scheme + 2);  // after "//"
  const size_t path_start = std::min(rest.find_first_of("/?#"), rest.size());
  const std::string origin = std::string(base.substr(0, scheme + 2 + path_start));
  std::string_view base_path = rest.substr(path_start);
  base_path = base_path.substr(0, std::min(base_path.find_first_of("?#"), base_path.size()));
  if (base_path.empty()) base_path = "/";

  if (reference.empty()) return origin + std::string(base_path);
  if (reference.front() == '?') return origin + std::string(base_path) + reference;

  const size_t query = reference.find('?');
  std::string path = reference.substr(0, query);
  const std::string tail = query == std::string::npos ? "" : reference.substr(query);
  if (path.empty() || path.front() != '/') {
    path = std::string(base_path.substr(0, base_path.rfind('/') + 1)) + path;
  }
  return origin + RemoveDotSegments(path) + tail;
}

}  // namespace varnolt
