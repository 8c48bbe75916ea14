// The main window as the main flow sees it: the control operations, the event
// poll and the open-file dialog. The Qt window implements it on Linux; the
// Win32 window implements it on Windows. The main flow is written once over it.
#pragma once

#include <memory>
#include <string>

#include "extract/boundary/controls.h"

namespace varnolt {

// What every window layer shows.
constexpr char kWindowTitle[] = "Varnolt V1 BUILD 2";
constexpr char kFileDialogTitle[] = "Datei zum einlesen";
constexpr int kClientWidth = 370;  // client area, in pixels
constexpr int kClientHeight = 330;

// Event codes returned by PollEvent().
constexpr int EventNone = 0;         // nothing was pending
constexpr int EventClose = 16;       // the user asked to close the window
constexpr int EventControl = 13100;  // a control notified; see EventControlId()
constexpr int EventResize = 5;       // the window's state changed

class MainWindow : public Controls {
 public:
  // Takes at most one pending event without waiting and returns its code, 0
  // when nothing was pending; another value when a piece of input was taken
  // that raised no event. Input that arrived while a command ran is taken
  // afterwards, one piece per call, in arrival order.
  virtual int PollEvent() = 0;

  // The id of the control that caused the most recent EventControl.
  virtual int EventControlId() = 0;

  // Asked by the main flow while a command runs: between pieces of a scan and
  // several times a second during a download. Lets the window repaint, show
  // the status log's new lines and answer the window manager. User input is
  // not acted on: it keeps waiting, in arrival order, for PollEvent(). Returns
  // false once the user has asked to close the window (the request stays
  // pending: a later PollEvent() still returns it), true otherwise.
  // Cheap enough to call often: the window does its work at most every few
  // tens of milliseconds.
  virtual bool KeepGoing() = 0;

  // Shows the modal open-file dialog "Datei zum einlesen" (all files, no
  // preset name, a typed name of a missing file accepted, the current
  // directory left alone) with the window disabled meanwhile. Returns the
  // chosen full path, or the empty text when cancelled or failed.
  virtual std::string ChooseInputFile() = 0;
};

// Creates the main window "Varnolt V1 BUILD 2" with its seven controls,
// centred on the screen and visible. The platform's GUI system must be
// initialised first (on Qt, a QApplication must exist).
std::unique_ptr<MainWindow> OpenMainWindow();

}  // namespace varnolt
