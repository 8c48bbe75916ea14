// varnolt: the window on Qt. `varnolt [FILE-OR-ADDRESS]` opens the window
// with the input given and scans it once.
#include <QApplication>
#include <cstdio>

#include "ui/main_flow.h"
#include "ui/open_with.h"

int main(int argc, char** argv) {
  // Read before Qt starts, so that a wrong command line is answered without
  // a display, and Qt is handed none of it: every option is a usage error.
  const varnolt::WindowArguments args =
      varnolt::ParseWindowArguments(std::vector<std::string>(argv + 1, argv + argc));
  if (args.usage_error) {
    std::fprintf(stderr, "%s\n", varnolt::kWindowUsage);
    return 2;
  }
  int qt_argc = 1;
  QApplication app(qt_argc, argv);
  // Ties the window to varnolt.desktop, whose icon the desktop then shows.
  QGuiApplication::setDesktopFileName(QStringLiteral("varnolt"));
  const std::unique_ptr<varnolt::MainWindow> window = varnolt::OpenMainWindow();
  return varnolt::RunMainFlow(*window, args.input);
}
