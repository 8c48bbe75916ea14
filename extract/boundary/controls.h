// The screen as the core sees it: seven numbered controls and the few
// operations the program performs on them. The windows, the terminal front
// end and the tests' fake each implement this interface, which is what lets
// the scan run headless.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace varnolt {

// Control ids; they double as the tab order and the creation order.
enum ControlId : int {
  kInputLabel = 0,
  kInputField = 1,
  kBrowseButton = 2,
  kProgressBar = 3,
  kResultList = 4,
  kStartButton = 5,
  kStatusLog = 6,
};

// The longest text that GetText() and the result list's ItemText() return,
// in bytes: what a 32,000-byte buffer holds besides its terminating NUL.
constexpr size_t kMaxItemText = 31999;

// Texts are byte strings. An operation addressed to a control that does not
// support it does nothing and reads as the empty text or 0.
class Controls {
 public:
  virtual ~Controls() = default;

  // Input field: its whole text (at most kMaxItemText bytes) / replace it.
  virtual std::string GetText(int id) = 0;
  virtual void SetText(int id, std::string_view text) = 0;

  // Progress bar: position, clamped to 0..100. A job calls this in the middle
  // of its work: a window may repaint inside the call, but must not act on
  // user input there; what the user does waits for the window's next turn.
  virtual void SetProgress(int id, int position) = 0;

  // Result list: appends `text` as a new last line (a single line feed
  // separates it from the previous line, none precedes the first).
  // Status log: appends an item. Throws std::bad_alloc when the control
  // cannot hold more; the lines it had stay.
  virtual void AddItem(int id, std::string_view text) = 0;

  // Result list: line `index` without its line break, at most kMaxItemText
  // bytes. Status log: item `index`. The empty text for an index the control does not have.
  virtual std::string ItemText(int id, int index) = 0;

  // Result list: removes all text.
  virtual void ClearItems(int id) = 0;

  // Status log: number of items.
  virtual int CountItems(int id) = 0;

  // Status log: deletes item `index`; an index outside the log changes nothing.
  virtual void RemoveItem(int id, int index) = 0;

  // Status log: selects item `index` and scrolls it into view; -1 clears the
  // selection. Raises no event.
  virtual void SelectItem(int id, int index) = 0;
};

}  // namespace varnolt
