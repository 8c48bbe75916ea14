// varnolt.exe: the window program on Windows. A GUI-subsystem program, so it
// starts without a console. `varnolt [FILE-OR-ADDRESS]` (also a file dropped
// on the program's icon) opens the window with the input given and scans it
// once.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "extract/boundary/wide_text.h"
#include "ui/main_flow.h"
#include "ui/main_window.h"
#include "ui/open_with.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // The arguments as the system holds them: a name outside the ANSI code
  // page would not survive the narrow command line.
  const varnolt::WindowArguments args =
      varnolt::ParseWindowArguments(varnolt::CommandLineArguments());
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
