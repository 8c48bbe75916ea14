#include "extract/scan_file.h"

#include <optional>
#include <string>
#include <thread>

#include "extract/boundary/log_texts.h"
#include "extract/boundary/status_log.h"
#include "extract/input/utf16_text.h"
#include "extract/scan/out_of_memory.h"

namespace varnolt {
namespace {

ScanResult Fail(Controls& ui, const char* line, ScanStatus status, LinkCounts counts = {}) {
  LogStatus(ui, line, LogNewLine);
  return {status, counts};
}

// The opened file as the walk reads it: its bytes, or, behind a UTF-16
// byte-order mark, its text in UTF-8.
struct Input {
  std::unique_ptr<ByteSource> file;
  std::unique_ptr<Utf16Text> text;

  ByteSource& Walked() { return text ? *text : *file; }
};

// The byte order of a file that begins with a UTF-16 byte-order mark. A file
// whose start cannot be read is taken as bytes: the walk's first read reports
// the failure.
std::optional<ByteOrder> MarkOf(ByteSource& file) {
  char start[2];
  const ReadResult read = file.Read(0, sizeof start, start);
  return read.status == ReadStatus::kBytes ? Utf16MarkOf(read.bytes) : std::nullopt;
}

// A large file is counted on as many threads as it is walked on.
unsigned CountingThreads(const ByteSource& file, const ScanOptions& options) {
  if (file.Size() < options.parallel_from) return 1;
  return options.threads != 0 ? options.threads : std::thread::hardware_concurrency();
}

// The memory of the walk (and a UTF-16 text's index), taken before anything
// is read; null when it cannot be had. The walk reads the file a piece at a
// time, on several threads for a large file, so memory does not grow with
// the file's size, only with its number of distinct links.
std::unique_ptr<SourceScan> Reserve(Input& input, const ScanOptions& options) {
  if (const std::optional<ByteOrder> order = MarkOf(*input.file)) {
    input.text = Utf16Text::Create(*input.file, *order);
    if (!input.text) return nullptr;
  }
  return SourceScan::Create(input.Walked(), options);
}

// Counts a UTF-16 text through once and reads the first piece of what is
// walked, so that "OK" means the file can be read; the rest is read as the
// walk goes. kCompleted when the job goes on.
ScanStatus ReadIn(Input& input, SourceScan& scan, const ScanOptions& options) {
  if (input.text) {
    switch (input.text->Count(options.keep_going, CountingThreads(*input.file, options))) {
      case Utf16Text::CountStatus::kCounted:
        break;
      case Utf16Text::CountStatus::kReadFailed:
        return ScanStatus::kReadFailed;
      case Utf16Text::CountStatus::kStopped:
        return ScanStatus::kStopped;
    }
  }
  return scan.CanRead() ? ScanStatus::kCompleted : ScanStatus::kReadFailed;
}

// The walk and its summary. It stops at the size logged before, or earlier
// where the file has shrunk meanwhile.
ScanResult Walk(SourceScan& scan, Controls& ui) {
  LogStatus(ui, kLogStarting, LogNewLine);
  const WalkResult walk = scan.Run(ui);
  switch (walk.status) {
    case WalkStatus::kDone:
      break;
    case WalkStatus::kReadFailed:
      return Fail(ui, kLogReadFailed, ScanStatus::kReadFailed, walk.counts);
    case WalkStatus::kNoMemory:
      return ReportNoMemory(ui, walk.counts);
    case WalkStatus::kStopped:
      return {ScanStatus::kStopped, walk.counts};
  }
  LogStatus(ui,
            kLogSummary + std::to_string(walk.counts.found) + kLogSummaryFound +
                std::to_string(walk.counts.shown) + kLogSummaryShown,
            LogNewLine);
  return {ScanStatus::kCompleted, walk.counts};
}

ScanResult Scan(const std::string& name, Controls& ui, const ScanOptions& options) {
  LogStatus(ui, kLogOpening + name + kLogEllipsis, LogNewLine);
  Input input{options.open(name), nullptr};
  if (!input.file) return Fail(ui, kLogOpenFailed, ScanStatus::kOpenFailed);
  LogStatus(ui, kLogOk, LogAppend);
  LogStatus(ui, kLogSize + std::to_string(input.file->Size()) + kLogBytes, LogNewLine);

  LogStatus(ui, kLogReserving, LogNewLine);
  const std::unique_ptr<SourceScan> scan = Reserve(input, options);
  if (!scan) return ReportNoMemory(ui);
  LogStatus(ui, kLogOk, LogAppend);

  LogStatus(ui, kLogReading, LogNewLine);
  switch (ReadIn(input, *scan, options)) {
    case ScanStatus::kReadFailed:
      return Fail(ui, kLogReadFailed, ScanStatus::kReadFailed);
    case ScanStatus::kStopped:
      return {ScanStatus::kStopped, {}};
    default:
      break;
  }
  LogStatus(ui, kLogOk, LogAppend);
  return Walk(*scan, ui);
}

}  // namespace

ScanResult ScanFile(const std::string& name, Controls& ui, const ScanOptions& options) {
  ScanResult result;
  if (RanOutOfMemory([&] { result = Scan(name, ui, options); })) return ReportNoMemory(ui);
  return result;
}

ScanResult ReportNoMemory(Controls& ui, LinkCounts counts) {
  // The line itself may not fit either, and then there is nothing left to
  // say it with.
  RanOutOfMemory([&] { LogStatus(ui, kLogNoMemory, LogNewLine); });
  return {ScanStatus::kNoMemory, counts};
}

}  // namespace varnolt
