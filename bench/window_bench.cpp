// Drives the real Qt window (offscreen) through "START" on a file and prints
// the seconds until the command returned, the seconds until every link showed
// in the result list (after the loop's next poll, as in the program's loop),
// and the number of status-log lines. With --hand-over, then a key typed into
// the list, and the seconds until its editor had taken every line.
//
//   window_bench FILE [--hand-over]
#include <QApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "ui/main_flow.h"
#include "ui/qt_main_window.h"

int main(int argc, char** argv) {
  const bool hand_over = argc == 3 && std::string(argv[2]) == "--hand-over";
  if (argc != 2 && !hand_over) {
    std::fprintf(stderr, "usage: window_bench FILE [--hand-over]\n");
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
  // Lines that wait for the list join it while the program's loop turns: a
  // poll, then 10 ms asleep.
  while (window.ItemText(varnolt::kResultList, shown - 1).empty()) {
    window.PollEvent();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const std::chrono::duration<double> filled = Clock::now() - start;

  std::printf("%.3f %.3f %d", command.count(), filled.count(), lines);
  if (hand_over) {
    QWidget* list = window.control(varnolt::kResultList);
    const auto taken = Clock::now();
    QKeyEvent key(QEvent::KeyPress, Qt::Key_End, Qt::ControlModifier);
    QCoreApplication::sendEvent(list->focusProxy(), &key);
    while (qobject_cast<QPlainTextEdit*>(list->focusProxy()) == nullptr) {
      window.PollEvent();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::printf(" %.3f", std::chrono::duration<double>(Clock::now() - taken).count());
  }
  std::printf("\n");
  return 0;
}
