// A read-only mapping of a whole regular file, for walking it without copying
// it from the system's cache first (a third of the time a large scan takes).
//
// A mapped file that shrinks while it is read, or whose disk fails, would end
// the program with SIGBUS at the first byte that can no longer be had. Here
// that byte and everything behind it read as zeros instead, and the mapping
// remembers what happened, so that the reader can go on with ordinary reads:
// they find the file's new end, or report the failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace varnolt {

class FileMapping {
 public:
  // Maps the first `length` bytes of the open file `fd`, which must stay open
  // as long as the mapping. Null when it cannot be mapped (no room in the
  // address space, a file system without mappings): the caller reads instead.
  static std::unique_ptr<FileMapping> Map(int fd, int64_t length);
  ~FileMapping();
  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;

  const char* data() const { return data_; }

  // Whether a byte could not be had from the file; from the first such byte
  // on, the mapping reads as zeros.
  bool Faulted() const;
  // Whether that was a read error rather than the file having shrunk.
  bool ReadFailed() const;

  // Lets the pages wholly inside [from, to) go from the program's memory;
  // they stay in the system's cache, and come back if read again. From any
  // thread.
  void Release(int64_t from, int64_t to);

  // What the fault handler knows of a mapping (file_mapping_posix.cpp).
  struct Region;

 private:
  FileMapping(char* data, size_t length, Region& region);

  char* const data_;
  const size_t length_;
  Region& region_;
};

}  // namespace varnolt
