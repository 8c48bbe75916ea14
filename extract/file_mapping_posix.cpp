#include "extract/file_mapping_posix.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <new>

namespace varnolt {

// What the SIGBUS handler knows of a mapping. A handler can reach only
// what is global, so the regions are a fixed table of atomics that it reads
// without locks.
struct FileMapping::Region {
  std::atomic<bool> in_use{false};
  std::atomic<uintptr_t> begin{0};  // 0 while the region is not (yet) usable
  std::atomic<size_t> length{0};
  std::atomic<int> fd{-1};
  std::atomic<bool> faulted{false};
  std::atomic<bool> read_failed{false};
};

namespace {

// More files mapped at once than this are read instead.
constexpr size_t kMaxRegions = 64;
FileMapping::Region regions[kMaxRegions];

struct sigaction previous_action;
size_t page_size = 4096;

void PassOn(int signal, siginfo_t* info, void* context) {
  if ((previous_action.sa_flags & SA_SIGINFO) != 0) {
    previous_action.sa_sigaction(signal, info, context);
  } else if (previous_action.sa_handler != SIG_DFL && previous_action.sa_handler != SIG_IGN) {
    previous_action.sa_handler(signal);
  } else {
    // The faulting access repeats on return, now with the default action.
    ::signal(SIGBUS, SIG_DFL);
  }
}

// Async-signal-safe throughout: atomics, fstat and mmap. The interrupted code
// finds errno as it left it.
void OnBusError(int signal, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (FileMapping::Region& region : regions) {
    const uintptr_t begin = region.begin.load(std::memory_order_acquire);
    const size_t length = region.length.load(std::memory_order_relaxed);
    if (begin == 0 || address < begin || address - begin >= length) continue;
    const size_t offset = address - begin;
    struct stat now;
    const bool shrunk = ::fstat(region.fd.load(std::memory_order_relaxed), &now) == 0 &&
                        now.st_size >= 0 && static_cast<uint64_t>(now.st_size) <= offset;
    // Zero pages over the rest of the mapping: the access is repeated on
    // return and reads a zero, as does every later one from here on.
    const size_t from = offset / page_size * page_size;
    void* zeros = ::mmap(reinterpret_cast<void*>(begin + from), length - from, PROT_READ,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (zeros == MAP_FAILED) break;
    if (!shrunk) region.read_failed.store(true, std::memory_order_relaxed);
    region.faulted.store(true, std::memory_order_release);
    errno = saved_errno;
    return;
  }
  errno = saved_errno;
  PassOn(signal, info, context);
}

bool InstallHandler() {
  static const bool installed = [] {
    const long size = ::sysconf(_SC_PAGESIZE);
    if (size > 0) page_size = static_cast<size_t>(size);
    struct sigaction action = {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    return ::sigaction(SIGBUS, &action, &previous_action) == 0;
  }();
  return installed;
}

FileMapping::Region* ClaimRegion() {
  for (FileMapping::Region& region : regions) {
    bool free = false;
    if (region.in_use.compare_exchange_strong(free, true)) return &region;
  }
  return nullptr;
}

}  // namespace

std::unique_ptr<FileMapping> FileMapping::Map(int fd, int64_t length) {
  if (length <= 0 || static_cast<uint64_t>(length) > SIZE_MAX / 2 || !InstallHandler()) {
    return nullptr;
  }
  Region* region = ClaimRegion();
  if (region == nullptr) return nullptr;
  const auto size = static_cast<size_t>(length);
  void* data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) {
    region->in_use.store(false);
    return nullptr;
  }
  region->length.store(size, std::memory_order_relaxed);
  region->fd.store(fd, std::memory_order_relaxed);
  region->faulted.store(false, std::memory_order_relaxed);
  region->read_failed.store(false, std::memory_order_relaxed);
  std::unique_ptr<FileMapping> mapping(new (std::nothrow)
                                           FileMapping(static_cast<char*>(data), size, *region));
  if (!mapping) {
    ::munmap(data, size);
    region->in_use.store(false);
    return nullptr;
  }
  region->begin.store(reinterpret_cast<uintptr_t>(data), std::memory_order_release);
  return mapping;
}

FileMapping::FileMapping(char* data, size_t length, Region& region)
    : data_(data), length_(length), region_(region) {}

FileMapping::~FileMapping() {
  region_.begin.store(0, std::memory_order_release);
  ::munmap(data_, length_);
  region_.in_use.store(false, std::memory_order_release);
}

bool FileMapping::Faulted() const { return region_.faulted.load(std::memory_order_acquire); }

bool FileMapping::ReadFailed() const { return region_.read_failed.load(std::memory_order_acquire); }

void FileMapping::Release(int64_t from, int64_t to) {
  const size_t begin =
      (static_cast<size_t>(std::max<int64_t>(from, 0)) + page_size - 1) / page_size * page_size;
  const size_t end =
      std::min(static_cast<size_t>(std::max<int64_t>(to, 0)), length_) / page_size * page_size;
  if (begin < end) ::madvise(data_ + begin, end - begin, MADV_DONTNEED);
}

}  // namespace varnolt
