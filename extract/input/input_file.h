// The platform seam for reading the input: opening a file by name as a
// ByteSource, whose reads name their offsets (from several threads at once)
// and stop at the size the file had when it was opened. Everything else in
// the scan is portable.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "extract/scan/byte_source.h"

namespace varnolt {

// For the platform readers: reads what of the `n` bytes from `offset` lies
// within the file's `size` (as it was opened) into `buffer`, calling
// `read_some(offset, into, count)` until they are had. `read_some` returns
// how many bytes it read, 0 at the file's end, or -1 on an error. The
// result is kShrunk where the file now ends earlier than `size`.
template <class ReadSome>
ReadResult ReadWithin(int64_t size, int64_t offset, size_t n, char* buffer, ReadSome&& read_some) {
  if (offset >= size) return {ReadStatus::kEnded, {}};
  const auto want = static_cast<size_t>(std::min<int64_t>(size - offset, static_cast<int64_t>(n)));
  size_t done = 0;
  while (done < want) {
    const int64_t got = read_some(offset + static_cast<int64_t>(done), buffer + done, want - done);
    if (got < 0) return {ReadStatus::kFailed, {}};
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return {done == want ? ReadStatus::kBytes : ReadStatus::kShrunk, std::string_view(buffer, done)};
}

// Opens the regular file `name` (a byte string, relative names against the
// current directory) for reading. Returns nullptr when it cannot be opened or
// is not a regular file (a directory, FIFO, socket or device); never blocks
// on a FIFO.
std::unique_ptr<ByteSource> OpenInputFile(const std::string& name);

// As OpenInputFile, for a file that is to be renamed or replaced while it is
// open (a downloaded page): the open file stays readable as it was, whatever
// its name then refers to.
std::unique_ptr<ByteSource> OpenInputFileToRename(const std::string& name);

// Standard input as a file: read to its end first (into a temporary file when
// it is a pipe), so that it has a size and can be re-read. Returns nullptr when
// that fails. `name` is ignored.
std::unique_ptr<ByteSource> OpenStandardInput(const std::string& name);

}  // namespace varnolt
