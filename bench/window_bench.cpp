// Drives the real Qt window (offscreen) through "START" on a file and prints
// the seconds the command took, with the result-list and status-log counts.
//
//   window_bench FILE
#include <QApplication>
#include <chrono>
#include <cstdio>

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

  const auto start = std::chrono::steady_clock::now();
  varnolt::StartCommand(window);
  window.PollEvent();  // let the window catch up, as the loop's next turn does
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;

  std::printf("%.3f %d\n", took.count(), window.CountItems(varnolt::kStatusLog));
  return 0;
}
