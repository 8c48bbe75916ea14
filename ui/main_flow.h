// The program's main flow: the polling loop over the main window and the two
// commands behind its buttons. Written once over MainWindow, so every window
// layer (Qt, Win32) runs the same flow.
#pragma once

#include <optional>
#include <string>

#include "ui/main_window.h"

namespace varnolt {

// "START": empties the result list, reads the input field and runs the job on
// it (downloading a web address to "download.htm" first). The window stays
// painted meanwhile (MainWindow::KeepGoing). Returns false when the user's
// close request stopped the job (a download aborted, a scan ended without its
// summary), true otherwise.
bool StartCommand(MainWindow& window);

// "...": shows the open-file dialog and puts the chosen path, or the empty
// text when cancelled, into the input field.
void BrowseCommand(MainWindow& window);

// Polls one event a turn, runs the command a button asks for, sleeps 10 ms,
// and returns the exit status 0 once the close request has been taken, or
// right after a command that the close request stopped. With `open_with`,
// the input field holds it from the start and the first turn runs "START"
// once, as if the user had typed it and pressed the button (unless that turn
// took the close request).
int RunMainFlow(MainWindow& window, const std::optional<std::string>& open_with = std::nullopt);

}  // namespace varnolt
