// Drives the Win32 window (under Wine, from bench/win32_list.sh) through
// "START" on a file and prints the seconds from "START" until every link was
// in the result list, the number of links shown and the number of
// status-log lines. The links go into the list while the command runs and
// the last ones at the loop's next turn, so the list is complete once that
// turn has passed.
//
//   win32_window_bench FILE
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ui/main_flow.h"
#include "ui/win32_main_window.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: win32_window_bench FILE\n");
    return 2;
  }
  std::unique_ptr<varnolt::MainWindow> window = varnolt::OpenMainWindow();
  while (window->PollEvent() != varnolt::EventNone) {
  }
  window->SetText(varnolt::kInputField, argv[1]);

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  varnolt::StartCommand(*window);
  window->PollEvent();
  const std::chrono::duration<double> filled = Clock::now() - start;

  // The summary ends "..., N Links angezeigt".
  const int lines = window->CountItems(varnolt::kStatusLog);
  const std::string summary = window->ItemText(varnolt::kStatusLog, lines - 1);
  const size_t comma = summary.rfind(", ");
  const int shown = comma == std::string::npos ? 0 : std::atoi(summary.c_str() + comma + 2);
  HWND list = GetDlgItem(varnolt::MainWindowHandle(*window), varnolt::kResultList);
  const LRESULT listed = SendMessageW(list, EM_GETLINECOUNT, 0, 0);
  if (shown == 0 || listed != shown) {
    std::fprintf(stderr, "the list holds %ld lines, the summary says: %s\n",
                 static_cast<long>(listed), summary.c_str());
    return 1;
  }
  std::printf("%.3f %d %d\n", filled.count(), shown, lines);
  return 0;
}
