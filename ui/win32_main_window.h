// The main window on Win32: the seven controls as real Win32 controls, the
// event poll over the thread's message queue and the open-file dialog.
// OpenMainWindow() (ui/main_window.h) creates it; this header adds what the
// Windows tests need to reach the real window behind the interface.
//
// The result list shows its lines from a store of its own (a line view, with
// id kResultList) until the user's first input that would edit it or place a
// caret in it; then its lines move into a rich edit, which takes the id and
// the view's place until the list is cleared. Lines added to the rich edit
// and to the status log reach the controls a batch at a time: at the
// window's next turn (KeepGoing, PollEvent), or sooner once a batch is full,
// which then also gives the window a turn. So a command that adds hundreds
// of thousands of lines keeps the window painted and hears the close
// request. Reading a list back (ItemText, CountItems) answers as if every
// line had gone in.
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
