// varnolt.exe: the window program on Windows. A GUI-subsystem program, so it
// starts without a console. `varnolt [FILE-OR-ADDRESS]` (also a file dropped
// on the program's icon) opens the window with the input given and scans it
// once.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "ui/main_flow.h"
#include "ui/main_window.h"
#include "ui/open_with.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const varnolt::WindowArguments args = varnolt::ParseWindowArguments(
      std::vector<std::string>(__argv + (__argc > 0 ? 1 : 0), __argv + __argc));
  if (args.usage_error) {
    std::fprintf(stderr, "%s\n", varnolt::kWindowUsage);
    std::fflush(stderr);
    ExitProcess(2);
  }
  int status;
  {
    std::unique_ptr<varnolt::MainWindow> window = varnolt::OpenMainWindow();
    status = varnolt::RunMainFlow(*window, args.input);
    // The window, its class and its keyboard table go before the process ends.
  }
  ExitProcess(status);
}
