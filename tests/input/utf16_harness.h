// Runs the link scan over a UTF-16 file held by the test, as the scan job
// reads one: shared by the UTF-16 tests and the fuzz target.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "extract/input/utf16_text.h"
#include "tests/scan/scan_harness.h"

namespace varnolt {

// Walks the text of `file`, which begins with a UTF-16 byte-order mark,
// cut as `layout` says, counted on `options.threads` threads.
inline Scanned ScanUtf16(const std::string& file, const WalkOptions& options, Utf16Layout layout) {
  CopiedSource bytes(file);
  const std::optional<ByteOrder> order = Utf16MarkOf(file);
  std::unique_ptr<Utf16Text> text =
      Utf16Text::Create(bytes, order.value_or(ByteOrder::kLittleEndian), layout);
  if (!text || text->Count({}, options.threads) != Utf16Text::CountStatus::kCounted) {
    Scanned failed;
    failed.status = WalkStatus::kReadFailed;
    return failed;
  }
  return ScanSource(*text, options);
}

}  // namespace varnolt
