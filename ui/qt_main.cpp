// varnolt: the window on Qt.
#include <QApplication>

#include "ui/main_flow.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const std::unique_ptr<varnolt::MainWindow> window = varnolt::OpenMainWindow();
  return varnolt::RunMainFlow(*window);
}
