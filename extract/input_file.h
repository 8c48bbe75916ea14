// The platform seam for reading the input: opening a file by name, learning
// its length and reading it at any offset. Everything else in the scan is
// portable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace varnolt {

class InputFile {
 public:
  virtual ~InputFile() = default;

  // The file's length in bytes when it was opened.
  virtual int64_t Size() const = 0;

  // Reads up to `n` bytes from `offset` into `buffer`: fewer only where the
  // file ends. Returns the number of bytes read, 0 at or past the end, -1 on
  // a read error. Safe to call from several threads at once.
  virtual int64_t ReadAt(int64_t offset, char* buffer, size_t n) = 0;
};

// Opens the regular file `name` (a byte string, relative names against the
// current directory) for reading. Returns nullptr when it cannot be opened or
// is not a regular file (a directory, FIFO, socket or device); never blocks
// on a FIFO.
std::unique_ptr<InputFile> OpenInputFile(const std::string& name);

// As OpenInputFile, for a file that is to be renamed or replaced while it is
// open (a downloaded page): the open file stays readable as it was, whatever
// its name then refers to.
std::unique_ptr<InputFile> OpenInputFileToRename(const std::string& name);

// Standard input as a file: read to its end first (into a temporary file when
// it is a pipe), so that it has a size and can be re-read. Returns nullptr when
// that fails. `name` is ignored.
std::unique_ptr<InputFile> OpenStandardInput(const std::string& name);

}  // namespace varnolt
