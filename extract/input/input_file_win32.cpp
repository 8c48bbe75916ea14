// Win32 file access for the scan job, through the wide (W) services: a name
// is the program's UTF-8, as the system handed it over or the user typed it
// (extract/boundary/wide_text.h), so that a name in any script opens.
#include <windows.h>

#include <algorithm>
#include <string>

#include "extract/boundary/wide_text.h"
#include "extract/input/input_file.h"

namespace varnolt {
namespace {

// One ReadFile call moves at most this much; a DWORD count could hold more,
// but a bounded request keeps each call's memory pinning small.
constexpr DWORD kMaxRequest = 1 << 24;

class Win32File final : public ByteSource {
 public:
  // `base` is where the file's data begins: standard input redirected from a
  // file may already stand past its start.
  Win32File(HANDLE handle, int64_t size, int64_t base)
      : handle_(handle), size_(size), base_(base) {}
  ~Win32File() override { CloseHandle(handle_); }
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  int64_t Size() const override { return size_; }

  ReadResult Read(int64_t offset, size_t n, char* buffer) override {
    return ReadWithin(size_, offset, n, buffer, [this](int64_t at, char* into, size_t count) {
      DWORD got = 0;
      return ReadAtOffset(base_ + at, into, count, &got) ? int64_t{got} : int64_t{-1};
    });
  }

 private:
  // Every read names its offset, so reads from several threads do not
  // depend on the system's file pointer. Reading at or past the end
  // delivers 0.
  bool ReadAtOffset(int64_t offset, char* buffer, size_t n, DWORD* got) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset));
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    const DWORD request = static_cast<DWORD>(std::min<size_t>(n, kMaxRequest));
    if (ReadFile(handle_, buffer, request, got, &at)) return true;
    *got = 0;
    return GetLastError() == ERROR_HANDLE_EOF;
  }

  const HANDLE handle_;
  const int64_t size_;
  const int64_t base_;
};

// Wraps an open handle of a disk file, or closes it and returns null. `base`
// is the offset at which the data begins.
std::unique_ptr<ByteSource> WrapDiskFile(HANDLE handle, int64_t base) {
  LARGE_INTEGER size;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !GetFileSizeEx(handle, &size) ||
      base < 0 || base > size.QuadPart) {
    CloseHandle(handle);
    return nullptr;
  }
  return std::make_unique<Win32File>(handle, size.QuadPart - base, base);
}

bool WriteAll(HANDLE handle, const char* data, DWORD n) {
  while (n > 0) {
    DWORD put = 0;
    if (!WriteFile(handle, data, n, &put, nullptr) || put == 0) return false;
    data += put;
    n -= put;
  }
  return true;
}

// Copies a pipe or console to a temporary file that goes away when it is
// closed, so that it gets a size and can be re-read like any file.
HANDLE SpoolToTemporaryFile(HANDLE from) {
  // The user's temporary folder may be named in any script.
  wchar_t folder[MAX_PATH + 1];
  wchar_t path[MAX_PATH + 1];
  const DWORD folder_length = GetTempPathW(MAX_PATH + 1, folder);
  if (folder_length == 0 || folder_length > MAX_PATH) return INVALID_HANDLE_VALUE;
  if (GetTempFileNameW(folder, L"vns", 0, path) == 0) return INVALID_HANDLE_VALUE;
  HANDLE spool =
      CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (spool == INVALID_HANDLE_VALUE) {
    DeleteFileW(path);
    return INVALID_HANDLE_VALUE;
  }
  std::string chunk(1 << 20, '\0');
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(from, chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) {
      // The writer closing its end of a pipe is the normal end of the input.
      if (GetLastError() == ERROR_BROKEN_PIPE) break;
      CloseHandle(spool);
      return INVALID_HANDLE_VALUE;
    }
    if (got == 0) break;
    if (!WriteAll(spool, chunk.data(), got)) {
      CloseHandle(spool);
      return INVALID_HANDLE_VALUE;
    }
  }
  return spool;
}

}  // namespace

std::unique_ptr<ByteSource> OpenInputFile(const std::string& name) {
  // A name with a NUL byte in it would open a different, shorter name.
  if (name.find('\0') != std::string::npos) return nullptr;
  // Read access, shared for reading only: a file that another process holds
  // open for writing is refused rather than read half-written. Directories
  // cannot be opened this way at all, devices are refused below.
  HANDLE handle =
      CreateFileW(ToWide(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return WrapDiskFile(handle, 0);
}

std::unique_ptr<ByteSource> OpenInputFileToRename(const std::string& name) {
  if (name.find('\0') != std::string::npos) return nullptr;
  // Renaming a file needs every handle open on it to share deletion.
  HANDLE handle =
      CreateFileW(ToWide(name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return WrapDiskFile(handle, 0);
}

std::unique_ptr<ByteSource> OpenStandardInput(const std::string& /*name*/) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return nullptr;
  HANDLE own;
  if (!DuplicateHandle(GetCurrentProcess(), input, GetCurrentProcess(), &own, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return nullptr;
  }
  if (GetFileType(own) == FILE_TYPE_DISK) {
    LARGE_INTEGER zero = {};
    LARGE_INTEGER base;
    if (!SetFilePointerEx(own, zero, &base, FILE_CURRENT)) base.QuadPart = 0;
    return WrapDiskFile(own, base.QuadPart);
  }
  HANDLE spool = SpoolToTemporaryFile(own);
  CloseHandle(own);
  if (spool == INVALID_HANDLE_VALUE) return nullptr;
  return WrapDiskFile(spool, 0);
}

}  // namespace varnolt
