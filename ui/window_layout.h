// Where the seven controls sit in the main window, what they show at first and
// which of them the keyboard focus visits. Both window layers (Qt, Win32) build
// from this one table, so the two windows cannot drift apart.
#pragma once

#include <array>

#include "extract/boundary/controls.h"

namespace varnolt {

struct ControlLayout {
  // Position and size in the client area, in pixels.
  int x, y, width, height;
  // The text the control shows when the window opens; nullptr for a control
  // without one (the progress bar, the lists).
  const char* text;
  // Whether Tab and Shift+Tab stop at the control. The ring visits these
  // controls in id order, after the last one the first again.
  bool tab_stop;
};

// Indexed by control id (ControlId), which is also the creation order.
// Seen from the top: the input row, the progress bar, "START", the status
// log two text lines high, and the result list filling the lower 200 pixels.
inline constexpr std::array<ControlLayout, 7> kControlLayouts = {{
    {10, 10, 100, 20, "input File:", false},  // kInputLabel
    {110, 10, 225, 20, "", true},             // kInputField
    {335, 10, 25, 20, "...", true},           // kBrowseButton
    {10, 35, 350, 20, nullptr, false},        // kProgressBar
    {10, 120, 350, 200, nullptr, true},       // kResultList
    {10, 60, 350, 20, "START", true},         // kStartButton
    {10, 85, 350, 30, nullptr, true},         // kStatusLog
}};

// The controls that Tab visits, in order: the input field, "...", the result
// list, "START" and the status log.
inline constexpr std::array<int, 5> kFocusRing = [] {
  std::array<int, 5> ring{};
  size_t next = 0;
  for (int id = 0; id < static_cast<int>(kControlLayouts.size()); ++id) {
    if (kControlLayouts[id].tab_stop) ring[next++] = id;
  }
  return ring;
}();

}  // namespace varnolt
