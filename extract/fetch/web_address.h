// Web addresses as an HTTP client of our own needs them: split into what
// the connection and the request line take, and a redirect's Location
// resolved against the address it came from.
#pragma once

#include <string>
#include <string_view>

namespace varnolt {

struct WebAddress {
  bool tls = false;    // https
  std::string host;    // as written, brackets of an IPv6 literal removed
  std::string port;    // "80" or "443" when none is written
  std::string target;  // the request target: path and query, "/" at least
};

// Splits an http or https address (scheme in any letter case). Returns false
// for any other scheme, an empty or malformed host or port, and a space or
// control byte anywhere: such an address was never meant to be sent as is.
// Bytes from 0x80 up are percent-encoded in the target, as browsers send
// them; the fragment is dropped, since it never leaves the client.
bool ParseWebAddress(std::string_view text, WebAddress& address);

// The address a redirect from `base` to `location` leads to: `location` as
// a reference resolved against `base`, dot segments removed. Spaces in it
// are percent-encoded, since servers send them unencoded now and then.
std::string ResolveLocation(std::string_view base, std::string_view location);

}  // namespace varnolt
