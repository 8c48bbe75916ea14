#include "ui/main_flow.h"

#include <chrono>
#include <string>
#include <thread>

#include "extract/scan_input.h"

namespace varnolt {

void StartCommand(MainWindow& window) {
  window.ClearItems(kResultList);
  const std::string input = window.GetText(kInputField);
  ScanInput(input, window);
}

void BrowseCommand(MainWindow& window) { window.SetText(kInputField, window.ChooseInputFile()); }

int RunMainFlow(MainWindow& window, const std::optional<std::string>& open_with) {
  // An input handed over at start stands in the field as if typed, and the
  // first turn presses "START", after its poll has let the window show: a
  // download shows nothing of its own until it ends.
  bool start_pending = open_with.has_value();
  if (open_with) window.SetText(kInputField, *open_with);
  bool quit = false;
  while (!quit) {
    const int code = window.PollEvent();
    const int id = window.EventControlId();
    if (code == EventClose) {
      quit = true;
    } else if (code == EventControl) {
      if (id == kStartButton) {
        StartCommand(window);
      } else if (id == kBrowseButton) {
        BrowseCommand(window);
      }
    }
    if (start_pending && !quit) {
      start_pending = false;
      StartCommand(window);
    }
    // Every turn sleeps, event or not: the idle program polls about 100
    // times a second and works off queued input one event per turn.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return 0;
}

}  // namespace varnolt
