#include "cli/terminal_controls.h"

#include <cstdint>

namespace varnolt {
namespace {

constexpr std::string_view kLinkFound = "Link gefunden";
constexpr std::string_view kRepeatFound = "doppelter Link gefunden";

// The per-link lines come by the million: they are recognised once and then
// held as the literal itself instead of a copy.
const std::string_view* PerLinkLine(std::string_view line) {
  if (line == kLinkFound) return &kLinkFound;
  if (line == kRepeatFound) return &kRepeatFound;
  return nullptr;
}

bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    size_t extra;
    uint32_t min;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, min = 0x10000;
    } else {
      return false;
    }
    if (i + extra >= text.size()) return false;
    uint32_t code = c & (0x3F >> extra);
    for (size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// Windows-1252 at 0x80-0x9F; its five unassigned bytes map to the C1
// controls, as Windows itself maps them.
constexpr uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

std::string DisplayText(std::string_view bytes) {
  if (IsValidUtf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    AppendUtf8(out, c >= 0x80 && c < 0xA0 ? kCp1252High[c - 0x80] : c);
  }
  return out;
}

TerminalControls::TerminalControls(std::FILE* results, std::FILE* log, bool verbose,
                                   bool show_progress)
    : results_(results), log_(log), verbose_(verbose), show_progress_(show_progress) {}

std::string TerminalControls::GetText(int id) {
  return id == kInputField ? input_text_ : std::string();
}

void TerminalControls::SetText(int id, std::string_view text) {
  if (id == kInputField) input_text_.assign(text);
}

void TerminalControls::SetProgress(int id, int position) {
  if (id != kProgressBar || !show_progress_) return;
  position = position < 0 ? 0 : position > 100 ? 100 : position;
  constexpr int kWidth = 30;
  std::string bar(kWidth, ' ');
  bar.replace(0, static_cast<size_t>(position * kWidth / 100),
              static_cast<size_t>(position * kWidth / 100), '#');
  std::fprintf(log_, "\r[%s] %3d%%", bar.c_str(), position);
  std::fflush(log_);
  progress_drawn_ = true;
}

void TerminalControls::AddItem(int id, std::string_view text) {
  if (id == kResultList) {
    std::fwrite(text.data(), 1, text.size(), results_);
    std::fputc('\n', results_);
  } else if (id == kStatusLog) {
    if (has_pending_line_) WriteLogLine(PendingLine(), pending_per_link_ != nullptr);
    pending_per_link_ = PerLinkLine(text);
    if (!pending_per_link_) pending_line_.assign(text);
    has_pending_line_ = true;
    ++log_count_;
  }
}

std::string TerminalControls::ItemText(int id, int index) {
  if (id == kStatusLog && has_pending_line_ && index == log_count_ - 1) {
    return std::string(PendingLine());
  }
  return std::string();
}

void TerminalControls::ClearItems(int /*id*/) {}

int TerminalControls::CountItems(int id) { return id == kStatusLog ? log_count_ : 0; }

void TerminalControls::RemoveItem(int id, int index) {
  if (id == kStatusLog && has_pending_line_ && index == log_count_ - 1) {
    has_pending_line_ = false;
    --log_count_;
  }
}

void TerminalControls::SelectItem(int /*id*/, int /*index*/) {}

void TerminalControls::EndJob() {
  if (has_pending_line_) WriteLogLine(PendingLine(), pending_per_link_ != nullptr);
  has_pending_line_ = false;
  ClearProgress();
  std::fflush(results_);
  std::fflush(log_);
}

std::string_view TerminalControls::PendingLine() const {
  return pending_per_link_ ? *pending_per_link_ : std::string_view(pending_line_);
}

void TerminalControls::WriteLogLine(std::string_view line, bool per_link) {
  if (per_link && !verbose_) return;
  ClearProgress();
  const std::string text = DisplayText(line);
  std::fwrite(text.data(), 1, text.size(), log_);
  std::fputc('\n', log_);
  // Stage lines show at once; per-link lines are written in bulk.
  if (!per_link) std::fflush(log_);
}

void TerminalControls::ClearProgress() {
  if (!progress_drawn_) return;
  std::fputs("\r\033[K", log_);
  progress_drawn_ = false;
}

}  // namespace varnolt
