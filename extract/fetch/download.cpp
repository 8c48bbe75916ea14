#include "extract/fetch/download.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <random>
#include <system_error>

#include "extract/boundary/log_texts.h"
#include "extract/boundary/status_log.h"
#ifdef _WIN32
#include "extract/boundary/wide_text.h"
#endif

namespace varnolt {
namespace {

char LowerCase(char c) {
  const auto byte = static_cast<unsigned char>(c);
  // Code page 1252: A-Z and the accented capitals 0xC0-0xDF fold together.
  // (0xD7 and 0xDF, which have no lower-case form, fold too: neither byte
  // can occur in a scheme name, so nothing depends on it.)
  if ((byte >= 0x41 && byte <= 0x5A) || (byte >= 0xC0 && byte <= 0xDF)) {
    return static_cast<char>(byte + 0x20);
  }
  return c;
}

bool StartsWithFolded(std::string_view input, std::string_view prefix) {
  if (input.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (LowerCase(input[i]) != prefix[i]) return false;
  }
  return true;
}

// A name of its own for every download, so that two programs fetching into
// the same folder do not write into one temporary file.
std::string TemporaryName() {
  static constexpr char kHex[] = "0123456789abcdef";
  uint64_t bits = 0;
  try {
    std::random_device random;
    bits = (uint64_t{random()} << 32) ^ random();
  } catch (const std::exception&) {
    // No entropy source: the clock still separates two programs in practice.
  }
  bits ^= static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  std::string name = std::string(kDownloadFileName) + ".";
  for (int shift = 0; shift < 64; shift += 4) name += kHex[(bits >> shift) & 0xF];
  return name + ".part";
}

// The file system's path for a name in the program's bytes. On Windows those
// are UTF-8, with an unpaired surrogate in its three-byte form, which the
// narrow path refuses to convert.
std::filesystem::path FilePath(const std::string& name) {
#ifdef _WIN32
  return std::filesystem::path(ToWide(name));
#else
  return std::filesystem::path(name);
#endif
}

// A partial file of ours: kDownloadFileName, a dot, 16 hex digits, ".part".
// `name` is as the system holds it (UTF-16 on Windows), so that another
// file's name is judged without being converted: the narrow form of a name
// with an unpaired surrogate, which Windows allows, throws.
template <typename Char>
bool IsPartialName(std::basic_string_view<Char> name) {
  constexpr std::string_view kPrefix = kDownloadFileName;
  constexpr std::string_view kSuffix = ".part";
  constexpr std::string_view kDigits = "0123456789abcdef";
  if (name.size() != kPrefix.size() + 1 + 16 + kSuffix.size()) return false;
  const auto matches = [&name](size_t at, std::string_view ascii) {
    for (size_t i = 0; i < ascii.size(); ++i) {
      if (name[at + i] != static_cast<Char>(ascii[i])) return false;
    }
    return true;
  };
  for (size_t i = kPrefix.size() + 1; i < kPrefix.size() + 1 + 16; ++i) {
    const Char c = name[i];
    if (c > 0x7F || kDigits.find(static_cast<char>(c)) == std::string_view::npos) return false;
  }
  return matches(0, kPrefix) && matches(kPrefix.size(), ".") &&
         matches(kPrefix.size() + 17, kSuffix);
}

// Removes the partial files in the current directory that a program killed
// mid-download left behind: older than kStalePartialAge and written by no
// running download. A younger one may belong to a download that is just
// starting.
void RemoveStalePartials() {
  namespace fs = std::filesystem;
  try {
    std::error_code error;
    const auto now = fs::file_time_type::clock::now();
    for (fs::directory_iterator entry(".", error), end; !error && entry != end;
         entry.increment(error)) {
      const fs::path::string_type name = entry->path().filename().native();
      std::error_code ignored;
      if (!IsPartialName<fs::path::value_type>(name) ||
          !fs::is_regular_file(entry->symlink_status(ignored))) {
        continue;
      }
      const auto written = entry->last_write_time(ignored);
      // The name is ASCII, so each unit is its byte.
      if (!ignored && now - written >= kStalePartialAge) {
        RemoveUnlessBeingFetched(std::string(name.begin(), name.end()));
      }
    }
  } catch (const std::exception&) {
    // No memory: the files stay for the next download to try, which is all
    // that is lost.
  }
}

}  // namespace

bool IsWebAddress(std::string_view input) {
  return StartsWithFolded(input, "http://") || StartsWithFolded(input, "https://");
}

DownloadResult DownloadPage(const std::string& address, Controls& ui, const FetchOptions& options) {
  LogStatus(ui, kLogDownloading, LogNewLine);
  RemoveStalePartials();

  const std::string temporary = TemporaryName();
  DownloadResult download;
  FetchResult result = FetchToFile(address, temporary, options);
  if (result.ok) {
    // Opened before the rename: a second program may put its page under the
    // name at any moment, but this handle stays on ours.
    download.page = OpenInputFileToRename(temporary);
    if (!download.page) result = FetchResult{false, "the page cannot be opened"};
  }
  if (result.ok) {
    // rename() replaces the target in one step: a reader sees the old page
    // or the new one, never a mixture.
    std::error_code error;
    std::filesystem::rename(FilePath(temporary), FilePath(kDownloadFileName), error);
    if (error) result = FetchResult{false, error.message()};
  }
  if (!result.ok) {
    download.page.reset();
    std::error_code ignored;  // nothing left to report if the remove fails too
    std::filesystem::remove(FilePath(temporary), ignored);
    if (result.stopped) {
      LogStatus(ui, kLogDownloadStopped, LogNewLine);
      download.status = DownloadStatus::kStopped;
    } else {
      LogStatus(ui, kLogDownloadFailed + result.error + ")", LogNewLine);
      download.status = DownloadStatus::kFailed;
    }
    return download;
  }
  LogStatus(ui, kLogDownloaded, LogAppend);
  download.status = DownloadStatus::kDownloaded;
  return download;
}

}  // namespace varnolt
