// The controls of varnolt-scan: the result list goes to stdout, one link per
// line; the status log to stderr, one log line per line; the progress bar to
// stderr while it is a terminal.
#pragma once

#include <cstdio>
#include <string>

#include "extract/boundary/controls.h"

namespace varnolt {

class TerminalControls final : public Controls {
 public:
  // `show_progress` draws a progress indicator on `log`. `results_share_screen`
  // says that `results` shows on the same screen as that indicator: each
  // result line is then written whole, the indicator cleared first, so that
  // the indicator never lands inside a half-written line.
  TerminalControls(std::FILE* results, std::FILE* log, bool show_progress,
                   bool results_share_screen = false);

  // Writes the last log line, which further appends can no longer reach once
  // the job is over, clears the progress indicator and flushes both streams.
  void EndJob();

  // The errno of the first write to the result stream that failed (in
  // AddItem or EndJob's flush), 0 while none has.
  int results_error() const { return results_error_; }

  std::string GetText(int id) override;
  void SetText(int id, std::string_view text) override;
  void SetProgress(int id, int position) override;
  void AddItem(int id, std::string_view text) override;
  // Only the last status-log line is kept: earlier lines are already written.
  std::string ItemText(int id, int index) override;
  void ClearItems(int id) override;
  int CountItems(int id) override;
  void RemoveItem(int id, int index) override;
  void SelectItem(int id, int index) override;

 private:
  std::string_view PendingLine() const;
  void WritePendingLine();
  void ClearProgress();

  std::FILE* const results_;
  std::FILE* const log_;
  const bool show_progress_;
  const bool results_share_screen_;

  std::string input_text_;
  int log_count_ = 0;
  bool has_pending_line_ = false;
  std::string pending_line_;                            // the last log line, still open to appends
  const std::string_view* pending_per_link_ = nullptr;  // or one of the per-link lines
  bool progress_drawn_ = false;
  int results_error_ = 0;
};

}  // namespace varnolt
