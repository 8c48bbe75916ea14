// The platform seam for reading the input: opening a file by name as a
// ByteSource, whose reads name their offsets (from several threads at once)
// and stop at the size the file had when it was opened. Everything else in
// the scan is portable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "extract/scan/byte_source.h"

namespace varnolt {

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
