#include "extract/transfer_limits.h"

namespace varnolt {

std::string SizeText(int64_t bytes) {
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  const char* unit = nullptr;
  for (const char* next : kUnits) {
    if (bytes == 0 || bytes % 1024 != 0) break;
    bytes /= 1024;
    unit = next;
  }
  return std::to_string(bytes) + " " + (unit != nullptr ? unit : "bytes");
}

std::string PageTooLargeReason(int64_t limit) { return "page larger than " + SizeText(limit); }

}  // namespace varnolt
