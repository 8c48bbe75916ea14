#include "ui/main_flow.h"

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "extract/scan_input.h"

namespace varnolt {

bool StartCommand(MainWindow& window) {
  window.ClearItems(kResultList);
  const std::string input = window.GetText(kInputField);
  // Once the window has answered false, the job must not be let go on by a
  // later answer: a download may ask again while it winds down.
  bool close_requested = false;
  const auto keep_going = [&window, &close_requested] {
    if (!close_requested && !window.KeepGoing()) close_requested = true;
    return !close_requested;
  };
  InputOptions options;
  options.scan.keep_going = keep_going;
  options.fetch.keep_going = keep_going;
  ScanInput(input, window, options);
  return !close_requested;
}

void BrowseCommand(MainWindow& window) { window.SetText(kInputField, window.ChooseInputFile()); }

int RunMainFlow(MainWindow& window, const std::optional<std::string>& open_with) {
  // An input handed over at start stands in the field as if typed, and the
  // first turn presses "START", after its poll has let the window show.
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
        // A command that the close request stopped ends the program now;
        // input still waiting would only start new work.
        quit = !StartCommand(window);
      } else if (id == kBrowseButton) {
        BrowseCommand(window);
      }
    }
    if (start_pending && !quit) {
      start_pending = false;
      quit = !StartCommand(window);
    }
    // Every turn sleeps, event or not: the idle program polls about 100
    // times a second and works off queued input one event per turn.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return 0;
}

}  // namespace varnolt
