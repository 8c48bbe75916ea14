// Drives the real Qt window (offscreen) through "START" on a file and prints
// the seconds until the command returned, the seconds until every link was in
// the result list's editor (it fills in slices while the loop polls, as the
// program's loop does), and the number of status-log lines.
//
//   window_bench FILE
#include <QApplication>
#include <QPlainTextEdit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "ui/main_flow.h"
#include "ui/qt_main_window.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: window_bench FILE\n");
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  varnolt::QtMainWindow window;
  while (window.PollEvent() != varnolt::EventNone) {
  }
  window.SetText(varnolt::kInputField, argv[1]);

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  varnolt::StartCommand(window);
  window.PollEvent();  // the loop's next turn, which shows the summary
  const std::chrono::duration<double> command = Clock::now() - start;

  // The summary ends "..., N Links angezeigt".
  const int lines = window.CountItems(varnolt::kStatusLog);
  const std::string summary = window.ItemText(varnolt::kStatusLog, lines - 1);
  const size_t comma = summary.rfind(", ");
  const int shown = comma == std::string::npos ? 0 : std::atoi(summary.c_str() + comma + 2);
  const auto* editor = static_cast<QPlainTextEdit*>(window.control(varnolt::kResultList));
  // The list fills while the program's loop turns: a poll, then 10 ms asleep.
  while (editor->document()->blockCount() < shown) {
    window.PollEvent();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const std::chrono::duration<double> filled = Clock::now() - start;

  std::printf("%.3f %.3f %d\n", command.count(), filled.count(), lines);
  return 0;
}
