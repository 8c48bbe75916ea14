// Which proxy, if any, a request goes through, by the rules of the proxy
// settings Windows keeps for the user (and that its proxy auto-configuration
// hands back in the same form).
#pragma once

#include <string>
#include <string_view>

#include "extract/fetch/web_address.h"

namespace varnolt {

// The proxy for `address` as a web address of its own ("http://host:port"),
// or the empty text for a direct connection.
// `proxies`: one proxy for every scheme ("host:port"), or one per scheme
// ("http=host:port;https=host:port"), entries apart by ';' or spaces, each
// perhaps with "http://" in front. `bypass`: host patterns reached directly,
// apart by ';' or spaces, '*' matching any run of characters, letters in
// any case, and "<local>" for every name without a dot.
std::string ChooseProxy(std::string_view proxies, std::string_view bypass,
                        const WebAddress& address);

}  // namespace varnolt
