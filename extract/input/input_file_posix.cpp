// POSIX file access for the scan job.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "extract/input/input_file.h"

namespace varnolt {
namespace {

class PosixFile final : public ByteSource {
 public:
  // `base` is where the file's data begins: standard input redirected from a
  // file may already stand past its start.
  PosixFile(int fd, int64_t size, int64_t base) : fd_(fd), size_(size), base_(base) {}
  ~PosixFile() override { ::close(fd_); }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  int64_t Size() const override { return size_; }

  ReadResult Read(int64_t offset, size_t n, char* buffer) override {
    return ReadWithin(size_, offset, n, buffer, [this](int64_t at, char* into, size_t count) {
      ssize_t got;
      do {
        got = ::pread(fd_, into, count, static_cast<off_t>(base_ + at));
      } while (got < 0 && errno == EINTR);
      return static_cast<int64_t>(got);
    });
  }

 private:
  const int fd_;
  const int64_t size_;
  const int64_t base_;
};

// Wraps an open descriptor of a regular file, or closes it and returns null.
std::unique_ptr<ByteSource> WrapRegularFile(int fd) {
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  const off_t base = ::lseek(fd, 0, SEEK_CUR);
  if (base < 0 || base > info.st_size) {
    ::close(fd);
    return nullptr;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::make_unique<PosixFile>(fd, info.st_size - base, base);
}

bool WriteAll(int fd, const char* data, size_t n) {
  while (n > 0) {
    const ssize_t put = ::write(fd, data, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    n -= static_cast<size_t>(put);
  }
  return true;
}

// Copies a pipe or terminal to an unlinked temporary file, so that it gets a
// size and can be re-read like any file.
int SpoolToTemporaryFile(int from) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/varnolt-stdin-XXXXXX";
  const int fd = ::mkstemp(path.data());
  if (fd < 0) return -1;
  ::unlink(path.c_str());
  std::string chunk(1 << 20, '\0');
  for (;;) {
    const ssize_t got = ::read(from, chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 || (got > 0 && !WriteAll(fd, chunk.data(), static_cast<size_t>(got)))) {
      ::close(fd);
      return -1;
    }
    if (got == 0) break;
  }
  if (::lseek(fd, 0, SEEK_SET) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::unique_ptr<ByteSource> OpenInputFile(const std::string& name) {
  // A name with a NUL byte in it would open a different, shorter name.
  if (name.find('\0') != std::string::npos) return nullptr;
  // O_NONBLOCK keeps a FIFO without a writer from blocking the open; it is
  // refused below anyway, and has no effect on regular files.
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return nullptr;
  return WrapRegularFile(fd);
}

// A name stays with its open file here; renaming it changes nothing.
std::unique_ptr<ByteSource> OpenInputFileToRename(const std::string& name) {
  return OpenInputFile(name);
}

std::unique_ptr<ByteSource> OpenStandardInput(const std::string& /*name*/) {
  const int fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  struct stat info;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) return WrapRegularFile(fd);
  const int spool = SpoolToTemporaryFile(fd);
  ::close(fd);
  if (spool < 0) return nullptr;
  return WrapRegularFile(spool);
}

}  // namespace varnolt
