// The main window on Win32: the seven controls as real Win32 controls, the
// event poll over the thread's message queue and the open-file dialog.
// OpenMainWindow() (ui/main_window.h) creates it; this header adds what the
// Windows tests need to reach the real window behind the interface.
#pragma once

#include <windows.h>

#include "ui/main_window.h"

namespace varnolt {

// Private message that the window posts to itself on WM_SIZE, so that the
// resize reaches the event loop through the queue like any other input.
constexpr UINT kResizeMessage = 12504;

// Commands of the window's keyboard table: focus to the next / previous
// control of the tab ring.
constexpr WORD kFocusNextCommand = 1212;
constexpr WORD kFocusPreviousCommand = 1213;

// Handle of the main window behind `window`, which must come from
// OpenMainWindow() on Win32. nullptr when the window could not be created.
HWND MainWindowHandle(MainWindow& window);

}  // namespace varnolt
