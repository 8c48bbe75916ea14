#include "extract/scan_file.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "extract/boundary/log_texts.h"
#include "extract/boundary/status_log.h"
#include "extract/utf16_text.h"

namespace varnolt {
namespace {

ScanResult Fail(Controls& ui, const char* line, ScanStatus status, LinkCounts counts = {}) {
  LogStatus(ui, line, LogNewLine);
  return {status, counts};
}

// The opened file as the walk reads it.
class FileSource final : public ByteSource {
 public:
  explicit FileSource(InputFile& file) : file_(file) {}
  int64_t Size() const override { return file_.Size(); }
  bool Read(int64_t offset, size_t n, char* buffer, std::string_view& bytes) override {
    const int64_t got = file_.ReadAt(offset, buffer, n);
    if (got < 0) return false;
    bytes = std::string_view(buffer, static_cast<size_t>(got));
    return true;
  }

 private:
  InputFile& file_;
};

// The byte order of a file that begins with a UTF-16 byte-order mark. A file
// whose start cannot be read is taken as bytes: the walk's first read reports
// the failure.
std::optional<ByteOrder> MarkOfFile(InputFile& file) {
  char start[2];
  if (file.ReadAt(0, start, sizeof start) != sizeof start) return std::nullopt;
  return Utf16MarkOf(std::string_view(start, sizeof start));
}

// A large file is counted on as many threads as it is walked on.
unsigned CountingThreads(const InputFile& file, const ScanOptions& options) {
  if (file.Size() < options.parallel_from) return 1;
  return options.threads != 0 ? options.threads : std::thread::hardware_concurrency();
}

ScanResult Scan(const std::string& name, Controls& ui, const ScanOptions& options) {
  LogStatus(ui, kLogOpening + name + kLogEllipsis, LogNewLine);
  std::unique_ptr<InputFile> file = options.open(name);
  if (!file) return Fail(ui, kLogOpenFailed, ScanStatus::kOpenFailed);
  LogStatus(ui, kLogOk, LogAppend);

  const int64_t size = file->Size();
  LogStatus(ui, kLogSize + std::to_string(size) + kLogBytes, LogNewLine);

  // The walk reads the file a piece at a time (on several threads for a
  // large file), so memory does not grow with the file's size, only with
  // its number of distinct links.
  // A file saved as UTF-16 is walked as its text in UTF-8; every other file
  // as the bytes it holds.
  LogStatus(ui, kLogReserving, LogNewLine);
  FileSource bytes(*file);
  std::unique_ptr<Utf16Text> text;
  if (const std::optional<ByteOrder> order = MarkOfFile(*file)) {
    text = Utf16Text::Create(*file, *order);
    if (!text) return Fail(ui, kLogNoMemory, ScanStatus::kNoMemory);
  }
  ByteSource& source = text ? static_cast<ByteSource&>(*text) : bytes;
  const std::unique_ptr<SourceScan> scan = SourceScan::Create(source, options);
  if (!scan) return Fail(ui, kLogNoMemory, ScanStatus::kNoMemory);
  LogStatus(ui, kLogOk, LogAppend);

  // "OK" here means the first bytes arrived (and a UTF-16 file was counted
  // through once); the rest is read as the walk goes. The walk stops at the
  // size reported above, or earlier if the file has shrunk meanwhile.
  LogStatus(ui, kLogReading, LogNewLine);
  if (text) {
    switch (text->Count(options.keep_going, CountingThreads(*file, options))) {
      case Utf16Text::CountStatus::kCounted:
        break;
      case Utf16Text::CountStatus::kReadFailed:
        return Fail(ui, kLogReadFailed, ScanStatus::kReadFailed);
      case Utf16Text::CountStatus::kStopped:
        return {ScanStatus::kStopped, {}};
    }
  }
  if (!scan->CanRead()) return Fail(ui, kLogReadFailed, ScanStatus::kReadFailed);
  LogStatus(ui, kLogOk, LogAppend);

  LogStatus(ui, kLogStarting, LogNewLine);
  const WalkResult walk = scan->Run(ui);
  switch (walk.status) {
    case WalkStatus::kDone:
      break;
    case WalkStatus::kReadFailed:
      return Fail(ui, kLogReadFailed, ScanStatus::kReadFailed, walk.counts);
    case WalkStatus::kNoMemory:
      return Fail(ui, kLogNoMemory, ScanStatus::kNoMemory, walk.counts);
    case WalkStatus::kStopped:
      return {ScanStatus::kStopped, walk.counts};
  }
  LogStatus(ui,
            kLogSummary + std::to_string(walk.counts.found) + kLogSummaryFound +
                std::to_string(walk.counts.shown) + kLogSummaryShown,
            LogNewLine);
  return {ScanStatus::kCompleted, walk.counts};
}

}  // namespace

ScanResult ScanFile(const std::string& name, Controls& ui, const ScanOptions& options) {
  try {
    return Scan(name, ui, options);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return ReportNoMemory(ui);
}

ScanResult ReportNoMemory(Controls& ui) {
  // Out of memory outside the walk (a log line, a name): the line may not
  // fit either, and then there is nothing left to say it with.
  try {
    LogStatus(ui, kLogNoMemory, LogNewLine);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return {ScanStatus::kNoMemory, {}};
}

}  // namespace varnolt
