#include "extract/scan_file.h"

#include <algorithm>
#include <new>
#include <string>

#include "ui/status_log.h"

namespace varnolt {
namespace {

constexpr char kOpenFailed[] = "FEHLER:Datei konnte nicht geöffnet werden";
constexpr char kNoMemory[] = "FEHLER:Nicht genug Arbeitsspeicher";
constexpr char kReadFailed[] = "FEHLER:Datei konnte nicht gelesen werden";

ScanResult Fail(Controls& ui, const char* line, ScanStatus status) {
  LogStatus(ui, line, LogNewLine);
  return {status, {}};
}

}  // namespace

ScanResult ScanFile(const std::string& name, Controls& ui, const ScanOptions& options) {
  LogStatus(ui, "Öffne Datei: " + name + "...", LogNewLine);
  std::unique_ptr<InputFile> file = options.open(name);
  if (!file) return Fail(ui, kOpenFailed, ScanStatus::kOpenFailed);
  LogStatus(ui, "OK", LogAppend);

  const int64_t size = file->Size();
  LogStatus(ui, "Dateigrösse: " + std::to_string(size) + " bytes", LogNewLine);

  // The file streams through a small working buffer, so memory does not grow
  // with the input; an empty file needs none.
  LogStatus(ui, "Reserviere Arbeitsspeicher...", LogNewLine);
  const size_t buffer_size =
      size <= 0 ? 0 : static_cast<size_t>(std::min<uint64_t>(options.buffer_size, size));
  std::unique_ptr<char[]> buffer;
  if (buffer_size > 0) {
    buffer.reset(new (std::nothrow) char[buffer_size]);
    if (!buffer) return Fail(ui, kNoMemory, ScanStatus::kNoMemory);
  }
  LogStatus(ui, "OK", LogAppend);

  // "OK" here means the first bytes arrived; the rest is read as the walk
  // goes. The read stops at the size reported above, or earlier if the file
  // has shrunk meanwhile.
  LogStatus(ui, "Lese Datei ein...", LogNewLine);
  int64_t remaining = std::max<int64_t>(size, 0);
  auto read_next = [&]() -> int64_t {
    if (remaining == 0) return 0;
    const int64_t got =
        file->Read(buffer.get(), static_cast<size_t>(std::min<int64_t>(remaining, buffer_size)));
    if (got > 0) remaining -= got;
    return got;
  };
  int64_t got = read_next();
  if (got < 0) return Fail(ui, kReadFailed, ScanStatus::kReadFailed);
  LogStatus(ui, "OK", LogAppend);

  LogStatus(ui, "Starte Suche", LogNewLine);
  auto refetch = [&file](int64_t offset, size_t length, std::string& out) {
    out.resize(length);
    return file->ReadAt(offset, out.data(), length);
  };
  LinkScanner scanner(ui, size, refetch);
  while (got > 0) {
    scanner.Feed(buffer.get(), static_cast<size_t>(got));
    got = read_next();
    if (got < 0) return Fail(ui, kReadFailed, ScanStatus::kReadFailed);
  }
  const LinkCounts counts = scanner.Finish();
  if (scanner.refetch_failed()) return Fail(ui, kReadFailed, ScanStatus::kReadFailed);

  LogStatus(ui,
            "Suche beendet. " + std::to_string(counts.found) + " Links gefunden, " +
                std::to_string(counts.shown) + " Links angezeigt",
            LogNewLine);
  return {ScanStatus::kCompleted, counts};
}

}  // namespace varnolt
