// libFuzzer target: the streaming scanner, fed in pieces of fuzzer-chosen
// sizes with a tiny limit for unfinished links, must log, show and count
// exactly what the plain walk does on any bytes.
//
//   make fuzz    (builds with clang into build-fuzz/ and runs for a while)
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "extract/link_scan.h"
#include "tests/fake_controls.h"
#include "tests/reference_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace varnolt;
  if (size == 0) return 0;
  // The first byte chooses the piece size, the pending limit and whether each
  // link is logged; the rest is the input.
  const size_t piece = 1 + data[0] % 16;
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);

  FakeControls ui;
  auto refetch = [&input](int64_t offset, size_t length, std::string& out) {
    out = input.substr(static_cast<size_t>(offset), length);
    return true;
  };
  LinkScanner scanner(ui, static_cast<int64_t>(input.size()), refetch, data[0] % 2 ? 5 : 1 << 20);
  const bool log_each_link = (data[0] & 0x40) == 0;
  scanner.set_log_each_link(log_each_link);
  for (size_t at = 0; at < input.size(); at += piece) {
    scanner.Feed(input.data() + at, std::min(piece, input.size() - at));
  }
  const LinkCounts counts = scanner.Finish();

  const Walk expected = ReferenceWalk(input);
  std::string shown;
  for (const std::string& link : expected.shown) shown += (shown.empty() ? "" : "\n") + link;
  const std::vector<std::string> log = log_each_link ? expected.log : std::vector<std::string>();
  if (ui.log != log || ui.results != shown || counts.found != expected.found ||
      counts.shown != static_cast<int64_t>(expected.shown.size())) {
    std::abort();
  }
  return 0;
}
