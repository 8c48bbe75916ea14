// varnolt.exe: the window program on Windows. A GUI-subsystem program, so it
// starts without a console; it takes no command-line arguments.
#include <windows.h>

#include "ui/main_flow.h"
#include "ui/main_window.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  int status;
  {
    std::unique_ptr<varnolt::MainWindow> window = varnolt::OpenMainWindow();
    status = varnolt::RunMainFlow(*window);
    // The window, its class and its keyboard table go before the process ends.
  }
  ExitProcess(status);
}
