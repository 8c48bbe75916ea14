// Drives the Win32 window (under Wine, from bench/win32_list.sh) through
// "START" on a file and prints the seconds from "START" until every link was
// in the result list as shown, the number of links shown and the number of
// status-log lines. The links go into the list while the command runs; the
// list answers EM_GETLINECOUNT with the lines it holds, whichever of its two
// forms shows (the line view, or the rich edit after a hand-over).
//
// With --hand-over it then clicks into the list and turns the loop as the
// program does (a poll, 10 ms asleep) until the rich edit holds every line
// and shows in the view's place, and prints those seconds as a fourth figure.
//
//   win32_window_bench FILE [--hand-over]
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ui/main_flow.h"
#include "ui/win32_main_window.h"

namespace {

using Clock = std::chrono::steady_clock;

bool ListIsRichEdit(HWND list) {
  wchar_t name[16] = {};
  GetClassNameW(list, name, 16);
  return std::wcsncmp(name, L"RichEdit", 8) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool hand_over = argc == 3 && std::strcmp(argv[2], "--hand-over") == 0;
  if (argc != 2 && !hand_over) {
    std::fprintf(stderr, "usage: win32_window_bench FILE [--hand-over]\n");
    return 2;
  }
  std::unique_ptr<varnolt::MainWindow> window = varnolt::OpenMainWindow();
  while (window->PollEvent() != varnolt::EventNone) {
  }
  window->SetText(varnolt::kInputField, argv[1]);

  const auto start = Clock::now();
  varnolt::StartCommand(*window);
  window->PollEvent();
  const std::chrono::duration<double> filled = Clock::now() - start;

  // The summary ends "..., N Links angezeigt".
  const int lines = window->CountItems(varnolt::kStatusLog);
  const std::string summary = window->ItemText(varnolt::kStatusLog, lines - 1);
  const size_t comma = summary.rfind(", ");
  const int shown = comma == std::string::npos ? 0 : std::atoi(summary.c_str() + comma + 2);
  HWND main_window = varnolt::MainWindowHandle(*window);
  HWND list = GetDlgItem(main_window, varnolt::kResultList);
  const LRESULT listed = SendMessageW(list, EM_GETLINECOUNT, 0, 0);
  if (shown == 0 || listed != shown) {
    std::fprintf(stderr, "the list holds %ld lines, the summary says: %s\n",
                 static_cast<long>(listed), summary.c_str());
    return 1;
  }
  if (!hand_over) {
    std::printf("%.3f %d %d\n", filled.count(), shown, lines);
    return 0;
  }

  const auto click = Clock::now();
  PostMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
  PostMessageW(list, WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
  while (!ListIsRichEdit(GetDlgItem(main_window, varnolt::kResultList))) {
    window->PollEvent();
    Sleep(10);
  }
  const std::chrono::duration<double> handed = Clock::now() - click;
  HWND rich_edit = GetDlgItem(main_window, varnolt::kResultList);
  const LRESULT held = SendMessageW(rich_edit, EM_GETLINECOUNT, 0, 0);
  if (held != shown || !IsWindowVisible(rich_edit)) {
    std::fprintf(stderr, "the rich edit holds %ld of %d lines\n", static_cast<long>(held), shown);
    return 1;
  }
  std::printf("%.3f %d %d %.3f\n", filled.count(), shown, lines, handed.count());
  return 0;
}
