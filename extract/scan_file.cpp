#include "extract/scan_file.h"

#include <algorithm>
#include <string>

#include "extract/read_ahead.h"
#include "extract/boundary/log_texts.h"
#include "extract/boundary/status_log.h"

namespace varnolt {
namespace {

ScanResult Fail(Controls& ui, const char* line, ScanStatus status) {
  LogStatus(ui, line, LogNewLine);
  return {status, {}};
}

}  // namespace

ScanResult ScanFile(const std::string& name, Controls& ui, const ScanOptions& options) {
  LogStatus(ui, kLogOpening + name + kLogEllipsis, LogNewLine);
  std::unique_ptr<InputFile> file = options.open(name);
  if (!file) return Fail(ui, kLogOpenFailed, ScanStatus::kOpenFailed);
  LogStatus(ui, kLogOk, LogAppend);

  const int64_t size = file->Size();
  LogStatus(ui, kLogSize + std::to_string(size) + kLogBytes, LogNewLine);

  // The file streams through a few small buffers, read ahead on a second
  // thread so that the copy from the operating system overlaps the walk;
  // memory does not grow with the input, and an empty file needs none.
  LogStatus(ui, kLogReserving, LogNewLine);
  std::unique_ptr<ReadAhead> reader;
  if (size > 0) {
    const auto piece_size = static_cast<size_t>(std::min<uint64_t>(options.buffer_size, size));
    reader = ReadAhead::Create(*file, size, piece_size, options.buffer_count);
    if (!reader) return Fail(ui, kLogNoMemory, ScanStatus::kNoMemory);
  }
  LogStatus(ui, kLogOk, LogAppend);

  // "OK" here means the first bytes arrived; the rest is read as the walk
  // goes. The read stops at the size reported above, or earlier if the file
  // has shrunk meanwhile.
  LogStatus(ui, kLogReading, LogNewLine);
  const char* piece = nullptr;
  int64_t got = reader ? reader->Next(piece) : 0;
  if (got < 0) return Fail(ui, kLogReadFailed, ScanStatus::kReadFailed);
  LogStatus(ui, kLogOk, LogAppend);

  LogStatus(ui, kLogStarting, LogNewLine);
  auto refetch = [&file](int64_t offset, size_t length, std::string& out) {
    out.resize(length);
    return file->ReadAt(offset, out.data(), length);
  };
  LinkScanner scanner(ui, size, refetch);
  scanner.set_log_each_link(options.log_each_link);
  while (got > 0) {
    if (options.keep_going && !options.keep_going()) return {ScanStatus::kStopped, {}};
    scanner.Feed(piece, static_cast<size_t>(got));
    got = reader->Next(piece);
    if (got < 0) return Fail(ui, kLogReadFailed, ScanStatus::kReadFailed);
  }
  const LinkCounts counts = scanner.Finish();
  if (scanner.refetch_failed()) return Fail(ui, kLogReadFailed, ScanStatus::kReadFailed);

  LogStatus(ui,
            kLogSummary + std::to_string(counts.found) + kLogSummaryFound +
                std::to_string(counts.shown) + kLogSummaryShown,
            LogNewLine);
  return {ScanStatus::kCompleted, counts};
}

}  // namespace varnolt
