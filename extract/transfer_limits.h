// The limits of FetchOptions applied from outside a transfer, for a platform
// whose transfer service does not apply them itself (the Win32 URL moniker),
// and the texts that name them.
#pragma once

#include <cstdint>
#include <string>

#include "extract/page_fetch.h"

namespace varnolt {

// `bytes` in the largest binary unit that divides it ("1 GiB", "64 KiB"),
// else in bytes ("1000 bytes").
std::string SizeText(int64_t bytes);

// The failure reason for a body longer than `limit` bytes:
// "page larger than 1 GiB".
std::string PageTooLargeReason(int64_t limit);

}  // namespace varnolt
