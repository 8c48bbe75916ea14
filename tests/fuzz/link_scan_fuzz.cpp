// libFuzzer target: the link scan, with fuzzer-chosen piece and range sizes
// and thread counts, must log, show and count exactly what the plain walk
// does on any bytes. An input that begins with a UTF-16 byte-order mark is
// scanned as the scan job reads such a file, as its text in UTF-8 (with
// fuzzer-chosen blocks and reads), and must equal the plain walk over the
// plain transcoding.
//
//   make fuzz    (builds with clang into build-fuzz/ and runs for a while)
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/input/reference_utf16.h"
#include "tests/input/utf16_harness.h"
#include "tests/scan/reference_walk.h"
#include "tests/scan/scan_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace varnolt;
  if (size < 2) return 0;
  // The first two bytes choose how the walk reads and whether each link is
  // logged; the rest is the input.
  WalkOptions options;
  options.piece_size = 1 + (data[0] & 0x0F);
  options.threads = 1 + (data[0] >> 4) % 3;
  options.range_size = 1 + data[1] % 64;
  options.log_each_link = (data[1] & 0x80) == 0;
  const std::string input(reinterpret_cast<const char*>(data) + 2, size - 2);

  Scanned actual;
  Walk expected;
  if (const std::optional<ByteOrder> order = Utf16MarkOf(input)) {
    const Utf16Layout layout{static_cast<size_t>(1 + (data[0] >> 4)),
                             static_cast<size_t>(1 + (data[1] & 0x07))};
    actual = ScanUtf16(input, options, layout);
    expected = ReferenceWalk(ReferenceUtf8(UnitsOf(input, *order == ByteOrder::kBigEndian)));
  } else {
    actual = ScanBytes(input, options);
    expected = ReferenceWalk(input);
  }
  const std::vector<std::string> log =
      options.log_each_link ? expected.log : std::vector<std::string>();
  if (actual.status != WalkStatus::kDone || actual.log != log ||
      actual.results != Joined(expected.shown) || actual.counts.found != expected.found ||
      actual.counts.shown != static_cast<int64_t>(expected.shown.size())) {
    std::abort();
  }
  return 0;
}
