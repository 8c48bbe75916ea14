// The main window as its user sees it, in pixels: the size of the client area
// and where each control sits in it, with the text it shows at first. Both
// windows' tests measure their real controls against these figures. They are
// written out here, apart from the table the windows are built from, so that
// a slip in that table, or in how a window applies it, fails a test instead
// of being copied into one.
#pragma once

#include "extract/boundary/controls.h"

namespace varnolt {

inline constexpr int kSeenClientWidth = 370;
inline constexpr int kSeenClientHeight = 330;

struct SeenControl {
  int id;                   // ControlId
  const char* name;         // names the control in a failing test's message
  int x, y, width, height;  // in the client area
  const char* text;         // what it shows when the window opens; "" for none
};

// From the top: the input row, the progress bar, "START", the status log two
// text lines high, and the result list filling the lower 200 pixels.
inline constexpr SeenControl kSeenControls[] = {
    {kInputLabel, "input label", 10, 10, 100, 20, "input File:"},
    {kInputField, "input field", 110, 10, 225, 20, ""},
    {kBrowseButton, "browse button", 335, 10, 25, 20, "..."},
    {kProgressBar, "progress bar", 10, 35, 350, 20, ""},
    {kStartButton, "start button", 10, 60, 350, 20, "START"},
    {kStatusLog, "status log", 10, 85, 350, 30, ""},
    {kResultList, "result list", 10, 120, 350, 200, ""},
};

}  // namespace varnolt
