#include "cli/terminal_controls.h"

#include <cerrno>
#include <cstring>

#include "cli/terminal.h"
#include "extract/boundary/log_texts.h"

namespace varnolt {
namespace {

constexpr std::string_view kLinkFound = kLogLinkFound;
constexpr std::string_view kRepeatFound = kLogRepeatFound;

// The per-link lines come by the million: they are recognised once and then
// held as the literal itself instead of a copy. The lengths differ, so one
// fixed-size comparison decides.
const std::string_view* PerLinkLine(std::string_view line) {
  if (line.size() == kLinkFound.size()) {
    if (std::memcmp(line.data(), kLinkFound.data(), kLinkFound.size()) == 0) return &kLinkFound;
  } else if (line.size() == kRepeatFound.size()) {
    if (std::memcmp(line.data(), kRepeatFound.data(), kRepeatFound.size()) == 0) {
      return &kRepeatFound;
    }
  }
  return nullptr;
}

}  // namespace

TerminalControls::TerminalControls(std::FILE* results, std::FILE* log, bool show_progress,
                                   bool results_share_screen)
    : results_(results),
      log_(log),
      show_progress_(show_progress),
      results_share_screen_(show_progress && results_share_screen) {}

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
    if (results_share_screen_) {
      // What the log holds goes out first, a per-link line (-v) that its
      // buffer cut in two included, so that the link starts a line of its own.
      ClearProgress();
      std::fflush(log_);
    }
    errno = 0;
    bool written = WriteTextLine(results_, text);
    // A buffer's worth of links ends mid-line, and the next bar drawn would
    // land inside it.
    if (written && results_share_screen_) written = std::fflush(results_) == 0;
    if (!written && results_error_ == 0) results_error_ = errno != 0 ? errno : EIO;
  } else if (id == kStatusLog) {
    if (has_pending_line_) WritePendingLine();
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
  if (has_pending_line_) WritePendingLine();
  has_pending_line_ = false;
  ClearProgress();
  errno = 0;
  if (std::fflush(results_) != 0 && results_error_ == 0) results_error_ = errno != 0 ? errno : EIO;
  std::fflush(log_);
}

std::string_view TerminalControls::PendingLine() const {
  return pending_per_link_ ? *pending_per_link_ : std::string_view(pending_line_);
}

void TerminalControls::WritePendingLine() {
  ClearProgress();
  if (pending_per_link_) {
    // Plain ASCII, and by the million: written as they are, in bulk.
    WriteTextLine(log_, *pending_per_link_);
    return;
  }
  WriteTextLine(log_, LogLineText(pending_line_));
  std::fflush(log_);  // stage lines show at once
}

void TerminalControls::ClearProgress() {
  if (!progress_drawn_) return;
  std::fputs("\r\033[K", log_);
  progress_drawn_ = false;
}

}  // namespace varnolt
