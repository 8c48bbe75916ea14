// The result list's lines as the Win32 window first shows them: a child
// window that keeps the lines in its own store and draws only those in view.
// A rich edit lays out every line it is given (under Wine some 150 us for a
// link), which made a long scan wait for its list; the view takes a line for
// the cost of copying its text. It scrolls and copies; everything that edits
// the list or places a caret in it is handed to the window that owns the view
// (see InputHandler), which moves the lines into a rich edit first.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

namespace varnolt {

class LineView {
 public:
  // Called for input the view does not handle itself: a mouse button, a
  // context menu, a key other than a bare modifier, Ctrl+A, Ctrl+C or
  // Ctrl+Insert, a character, an IME message, paste, cut, clear or undo; and,
  // once the view is busy (SetBusy) or hidden, every keyboard and mouse
  // message it gets. Mouse positions are in the view's client coordinates.
  using InputHandler = std::function<void(UINT message, WPARAM wparam, LPARAM lparam)>;

  LineView() = default;
  LineView(const LineView&) = delete;
  LineView& operator=(const LineView&) = delete;
  ~LineView();

  // Creates the view as a visible child of `parent` with control id `id` at
  // the given place, with a sunken edge and the scroll bars it needs.
  // `text_origin` is where the first line's text begins in the client area
  // (the rich edit's formatting rectangle). False when the window could not
  // be created; the view then stores lines but shows none.
  bool Create(HWND parent, int id, const RECT& place, HFONT font, POINT text_origin,
              InputHandler on_input);
  HWND handle() const { return window_; }

  // Adds `item` as the next line; a line break inside it (CR, LF or CR LF)
  // starts a further line, as in an edit control. An empty item on an empty
  // view adds nothing, as an empty text adds no line to an edit control.
  // Throws std::bad_alloc when there is no room, and leaves the lines as they
  // were. Shows nothing by itself: see ShowAdded().
  void Append(std::wstring_view item);
  // Removes every line and the selection, and scrolls to the top.
  void Clear();

  size_t LineCount() const { return spans_.size(); }
  // Line `index` without its break; empty past the last line.
  std::wstring_view Line(size_t index) const;
  // UTF-16 units of the lines from `first` to the last, breaks not counted.
  size_t UnitsFrom(size_t first) const;

  // Brings the picture up to date with the lines added since the last call,
  // and, when the view showed the last line, scrolls so that it shows the new
  // last line; the scroll bars follow at most five times a second while
  // lines come, and at the first call without new lines. Meant to be called
  // once per turn of the window: adding a line costs no drawing.
  void ShowAdded();

  size_t first_line() const { return first_line_; }
  int horizontal_offset() const { return horizontal_offset_; }
  bool all_selected() const { return all_selected_; }
  void SetAllSelected(bool selected);
  // Busy: the view shows the "working in the background" cursor and hands
  // every input message on (see InputHandler).
  void SetBusy(bool busy) { busy_ = busy; }

  // Puts every line, joined by CR LF, on the clipboard as CF_UNICODETEXT.
  // False (and the clipboard untouched) when it cannot be opened or there is
  // no memory for the text.
  bool CopyAll() const;

 private:
  struct Span {
    size_t start;     // block index * kMaxBlockUnits + offset in the block
    uint32_t length;  // UTF-16 units
  };

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT HandleMessage(UINT message, WPARAM wparam, LPARAM lparam);
  // Draws the rows that meet `update` (client coordinates) on `dc`.
  void Paint(HDC dc, const RECT& update);
  void OnKeyDown(UINT message, WPARAM wparam, LPARAM lparam);
  void OnScroll(int bar, int request);
  void ScrollTo(size_t first_line, int horizontal_offset);
  void UpdateScrollBars();
  void SetScrollBars(const RECT& client);
  void PlaceCaret();
  int VisibleLines() const;
  int MaxFirstLine() const;
  int TextWidth(std::wstring_view text) const;

  HWND window_ = nullptr;
  HFONT font_ = nullptr;
  POINT text_origin_ = {1, 1};
  int line_height_ = 16;
  InputHandler on_input_;

  // The lines' text back to back, no breaks, in blocks that never move, so a
  // long list grows without copying what it holds; a line never spans two.
  std::vector<std::unique_ptr<wchar_t[]>> blocks_;
  size_t last_block_size_ = 0;
  size_t last_block_used_ = 0;
  std::vector<Span> spans_;
  size_t units_ = 0;  // all lines' units

  size_t first_line_ = 0;
  int horizontal_offset_ = 0;  // pixels
  size_t shown_count_ = 0;     // LineCount() at the last ShowAdded()
  size_t longest_line_ = 0;    // index of the line with the most units
  bool longest_measured_ = true;
  int widest_ = 0;  // pixels of the widest line measured so far
  int wheel_rest_ = 0;
  bool all_selected_ = false;
  bool busy_ = false;
  bool updating_bars_ = false;
  // What the scroll bars were last given (vertical, horizontal).
  struct ScrollBar {
    int max;
    UINT page;
    int position;
  };
  ScrollBar bars_[2] = {};
  bool bars_set_ = false;
  bool bars_stale_ = false;  // lines came since the bars were last set
  DWORD bars_updated_at_ = 0;
};

}  // namespace varnolt
