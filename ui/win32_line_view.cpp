#include "ui/win32_line_view.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace varnolt {
namespace {

constexpr wchar_t kClassName[] = L"VarnoltLineView";
// The first block holds a page of short lines; each further one twice the
// last, up to a size that keeps the unused end of the last block small
// against what the list holds. A line longer than the largest block is cut
// to it: the program's lines are far shorter.
constexpr size_t kFirstBlockUnits = 1024;
constexpr size_t kMaxBlockUnits = size_t{1} << 20;
// How often the scroll bars follow a list that fills.
constexpr DWORD kScrollBarMilliseconds = 200;

bool IsBreak(wchar_t c) { return c == L'\r' || c == L'\n'; }

// Calls `piece` for each line of `item`, split at CR, LF and CR LF.
template <typename Piece>
void ForEachPiece(std::wstring_view item, Piece piece) {
  size_t begin = 0;
  for (size_t at = 0; at < item.size(); ++at) {
    if (!IsBreak(item[at])) continue;
    piece(item.substr(begin, at - begin));
    if (item[at] == L'\r' && at + 1 < item.size() && item[at + 1] == L'\n') ++at;
    begin = at + 1;
  }
  piece(item.substr(begin));
}

// Keys that change nothing and place no caret on their own.
bool IsBareModifier(WPARAM key) {
  switch (key) {
    case VK_SHIFT:
    case VK_CONTROL:
    case VK_MENU:
    case VK_LWIN:
    case VK_RWIN:
    case VK_CAPITAL:
    case VK_NUMLOCK:
    case VK_SCROLL:
      return true;
    default:
      return false;
  }
}

bool IsKeyboardOrMouseInput(UINT message) {
  return (message >= WM_KEYFIRST && message <= WM_KEYLAST) ||
         (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST) ||
         (message >= WM_IME_STARTCOMPOSITION && message <= WM_IME_KEYLAST) ||
         message == WM_IME_CHAR || message == WM_CONTEXTMENU;
}

}  // namespace

LineView::~LineView() {
  if (window_ != nullptr) {
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
}

bool LineView::Create(HWND parent, int id, const RECT& place, HFONT font, POINT text_origin,
                      InputHandler on_input) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW window_class = {};
  if (!GetClassInfoW(instance, kClassName, &window_class)) {
    window_class.style = CS_DBLCLKS;
    window_class.lpfnWndProc = WindowProc;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorW(nullptr, IDC_IBEAM);
    window_class.lpszClassName = kClassName;
    // Kept until the process ends, like the system's own control classes.
    if (RegisterClassW(&window_class) == 0) return false;
  }
  font_ = font;
  text_origin_ = text_origin;
  on_input_ = std::move(on_input);
  window_ =
      CreateWindowExW(WS_EX_CLIENTEDGE, kClassName, nullptr,
                      WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | WS_HSCROLL, place.left,
                      place.top, place.right - place.left, place.bottom - place.top, parent,
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, this);
  if (window_ == nullptr) return false;
  if (HDC dc = GetDC(window_)) {
    HGDIOBJ old = SelectObject(dc, font_);
    TEXTMETRICW metrics = {};
    if (GetTextMetricsW(dc, &metrics)) line_height_ = std::max<int>(metrics.tmHeight, 1);
    SelectObject(dc, old);
    ReleaseDC(window_, dc);
  }
  UpdateScrollBars();
  return true;
}

// --- The store

void LineView::Append(std::wstring_view item) {
  if (spans_.empty() && item.empty()) return;
  size_t lines = 0;
  size_t units = 0;
  ForEachPiece(item, [&](std::wstring_view piece) {
    ++lines;
    units += piece.size();
  });
  units = std::min(units, kMaxBlockUnits);
  // Every allocation before the first change, so that running out of memory
  // leaves the lines as they were. The spans grow by doubling; reserving
  // only what this line needs would copy them all for every line.
  if (spans_.size() + lines > spans_.capacity()) {
    spans_.reserve(std::max(spans_.size() + lines, 2 * spans_.capacity()));
  }
  // An item that does not fit the last block's rest starts a new block, so
  // that all its lines lie in one.
  std::unique_ptr<wchar_t[]> fresh;
  size_t fresh_size = 0;
  if (blocks_.empty() || last_block_used_ + units > last_block_size_) {
    fresh_size =
        std::max(std::clamp(2 * last_block_size_, kFirstBlockUnits, kMaxBlockUnits), units);
    if (blocks_.size() == blocks_.capacity()) {
      blocks_.reserve(std::max<size_t>(16, 2 * blocks_.size()));
    }
    fresh.reset(new wchar_t[fresh_size]);
  }
  if (fresh != nullptr) {
    blocks_.push_back(std::move(fresh));
    last_block_size_ = fresh_size;
    last_block_used_ = 0;
  }
  ForEachPiece(item, [&](std::wstring_view piece) {
    // Cuts only an item of more than kMaxBlockUnits.
    piece = piece.substr(0, last_block_size_ - last_block_used_);
    const size_t block = blocks_.size() - 1;
    std::memcpy(blocks_[block].get() + last_block_used_, piece.data(),
                piece.size() * sizeof(wchar_t));
    spans_.push_back(
        {block * kMaxBlockUnits + last_block_used_, static_cast<uint32_t>(piece.size())});
    last_block_used_ += piece.size();
    units_ += piece.size();
    if (piece.size() > spans_[longest_line_].length || spans_.size() == 1) {
      longest_line_ = spans_.size() - 1;
      longest_measured_ = false;
    }
  });
}

void LineView::Clear() {
  // Handed back to the system: a cleared list may stay empty a long time.
  std::vector<std::unique_ptr<wchar_t[]>>().swap(blocks_);
  std::vector<Span>().swap(spans_);
  last_block_size_ = last_block_used_ = units_ = 0;
  first_line_ = 0;
  horizontal_offset_ = 0;
  shown_count_ = 0;
  longest_line_ = 0;
  longest_measured_ = true;
  widest_ = 0;
  all_selected_ = false;
  UpdateScrollBars();
  PlaceCaret();
  if (window_ != nullptr) InvalidateRect(window_, nullptr, FALSE);
}

std::wstring_view LineView::Line(size_t index) const {
  if (index >= spans_.size()) return {};
  const Span& span = spans_[index];
  return {blocks_[span.start / kMaxBlockUnits].get() + span.start % kMaxBlockUnits, span.length};
}

size_t LineView::UnitsFrom(size_t first) const {
  // From whichever end is nearer: the callers ask about the last lines.
  size_t units = 0;
  if (first >= spans_.size()) return 0;
  if (spans_.size() - first < first) {
    for (size_t i = first; i < spans_.size(); ++i) units += spans_[i].length;
    return units;
  }
  for (size_t i = 0; i < first; ++i) units += spans_[i].length;
  return units_ - units;
}

// --- Showing

void LineView::ShowAdded() {
  if (window_ == nullptr) return;
  const DWORD now = GetTickCount();
  if (shown_count_ == spans_.size()) {
    if (!longest_measured_ || bars_stale_) {
      UpdateScrollBars();
      bars_updated_at_ = now;
    }
    return;
  }
  // Following the end only if the view showed it: a user who scrolled up to
  // read stays where he is.
  const bool at_end = first_line_ + VisibleLines() >= shown_count_;
  shown_count_ = spans_.size();
  if (at_end) first_line_ = MaxFirstLine();
  // The lines show at every turn, the scroll bars follow a few times a
  // second while lines come: each update of a bar costs milliseconds under
  // Wine, and the first turn without new lines brings them up to date.
  if (now - bars_updated_at_ >= kScrollBarMilliseconds) {
    UpdateScrollBars();
    bars_updated_at_ = now;
  } else {
    bars_stale_ = true;
  }
  PlaceCaret();
  InvalidateRect(window_, nullptr, FALSE);
}

// The caret stands at the end of the last line, where the rich edit leaves
// it after the program's lines; out of sight when that line is.
void LineView::PlaceCaret() {
  if (window_ == nullptr || GetFocus() != window_) return;
  const size_t last = spans_.empty() ? 0 : spans_.size() - 1;
  POINT at = {-line_height_, -line_height_};
  if (last >= first_line_ && last - first_line_ <= static_cast<size_t>(VisibleLines())) {
    at.x = text_origin_.x - horizontal_offset_ + TextWidth(Line(last));
    at.y = text_origin_.y + static_cast<int>(last - first_line_) * line_height_;
  }
  SetCaretPos(at.x, at.y);
}

void LineView::SetAllSelected(bool selected) {
  if (all_selected_ == selected) return;
  all_selected_ = selected;
  if (window_ != nullptr) InvalidateRect(window_, nullptr, FALSE);
}

int LineView::VisibleLines() const {
  RECT client = {};
  if (window_ != nullptr) GetClientRect(window_, &client);
  return std::max<int>((client.bottom - text_origin_.y) / line_height_, 1);
}

int LineView::MaxFirstLine() const {
  return std::max<int>(static_cast<int>(shown_count_) - VisibleLines(), 0);
}

int LineView::TextWidth(std::wstring_view text) const {
  HDC dc = GetDC(window_);
  if (dc == nullptr) return 0;
  HGDIOBJ old = SelectObject(dc, font_);
  SIZE size = {};
  GetTextExtentPoint32W(dc, text.data(), static_cast<int>(text.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(window_, dc);
  return size.cx;
}

void LineView::UpdateScrollBars() {
  if (window_ == nullptr || updating_bars_) return;
  updating_bars_ = true;
  bars_stale_ = false;
  if (!longest_measured_ && longest_line_ < spans_.size()) {
    widest_ = std::max(widest_, TextWidth(Line(longest_line_)));
    longest_measured_ = true;
  }
  // A bar that appears or goes changes the client area (its WM_SIZE is
  // ignored meanwhile): then once more, on the final size.
  RECT before = {};
  GetClientRect(window_, &before);
  SetScrollBars(before);
  RECT after = {};
  GetClientRect(window_, &after);
  if (after.right != before.right || after.bottom != before.bottom) SetScrollBars(after);
  updating_bars_ = false;
}

void LineView::SetScrollBars(const RECT& client) {
  first_line_ = std::min<size_t>(first_line_, MaxFirstLine());
  const int content = widest_ + 2 * text_origin_.x;
  horizontal_offset_ =
      std::clamp(horizontal_offset_, 0, std::max(content - static_cast<int>(client.right), 0));
  const ScrollBar wanted[2] = {
      {std::max<int>(static_cast<int>(shown_count_) - 1, 0), static_cast<UINT>(VisibleLines()),
       static_cast<int>(first_line_)},
      {std::max(content - 1, 0), static_cast<UINT>(std::max<LONG>(client.right, 0)),
       horizontal_offset_},
  };
  // Only what changed: under Wine each call redraws its bar at once, some
  // milliseconds, which a list that fills would pay every turn.
  for (int bar = 0; bar < 2; ++bar) {
    if (bars_set_ && wanted[bar].max == bars_[bar].max && wanted[bar].page == bars_[bar].page &&
        wanted[bar].position == bars_[bar].position) {
      continue;
    }
    SCROLLINFO info = {sizeof info,      SIF_RANGE | SIF_PAGE | SIF_POS, 0, wanted[bar].max,
                       wanted[bar].page, wanted[bar].position,           0};
    SetScrollInfo(window_, bar == 0 ? SB_VERT : SB_HORZ, &info, TRUE);
    bars_[bar] = wanted[bar];
  }
  bars_set_ = true;
}

void LineView::ScrollTo(size_t first_line, int horizontal_offset) {
  first_line_ = first_line;
  horizontal_offset_ = horizontal_offset;
  UpdateScrollBars();
  PlaceCaret();
  InvalidateRect(window_, nullptr, FALSE);
}

void LineView::OnScroll(int bar, int request) {
  SCROLLINFO info = {sizeof info, SIF_ALL, 0, 0, 0, 0, 0};
  GetScrollInfo(window_, bar, &info);
  const int step = bar == SB_VERT ? 1 : std::max(line_height_, 8);
  const int page = std::max(static_cast<int>(info.nPage) - (bar == SB_VERT ? 0 : step), step);
  int position = info.nPos;
  switch (request) {
    case SB_LINEUP:
      position -= step;
      break;
    case SB_LINEDOWN:
      position += step;
      break;
    case SB_PAGEUP:
      position -= page;
      break;
    case SB_PAGEDOWN:
      position += page;
      break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION:
      position = info.nTrackPos;
      break;  // 32 bits, unlike wparam's
    case SB_TOP:
      position = info.nMin;
      break;
    case SB_BOTTOM:
      position = info.nMax;
      break;
    default:
      return;
  }
  position = std::max(position, 0);
  if (bar == SB_VERT) {
    ScrollTo(std::min<size_t>(position, MaxFirstLine()), horizontal_offset_);
  } else {
    ScrollTo(first_line_, position);
  }
}

void LineView::Paint(HDC dc, const RECT& update) {
  RECT client;
  GetClientRect(window_, &client);
  HGDIOBJ old_font = SelectObject(dc, font_);
  const COLORREF window_color = GetSysColor(COLOR_WINDOW);
  SetTextAlign(dc, TA_LEFT | TA_TOP | TA_NOUPDATECP);
  // The margin above the first line, then a row for each line in view, each
  // row filled whole so that no background needs erasing first.
  RECT top = {client.left, client.top, client.right, text_origin_.y};
  SetBkColor(dc, window_color);
  ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &top, nullptr, 0, nullptr);
  int y = text_origin_.y;
  for (size_t index = first_line_; y < client.bottom; ++index, y += line_height_) {
    RECT row = {client.left, y, client.right, y + line_height_};
    if (row.bottom <= update.top || row.top >= update.bottom) continue;
    const std::wstring_view line = Line(index);
    const int x = text_origin_.x - horizontal_offset_;
    SetBkColor(dc, window_color);
    ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &row, nullptr, 0, nullptr);
    if (line.empty()) continue;
    const bool selected = all_selected_;
    SetBkMode(dc, selected ? OPAQUE : TRANSPARENT);
    SetBkColor(dc, GetSysColor(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW));
    SetTextColor(dc, GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
    // Lines in view are measured as they are drawn, which keeps the
    // horizontal bar's extent honest where the longest line by units is
    // not the widest.
    SIZE size = {};
    if (GetTextExtentPoint32W(dc, line.data(), static_cast<int>(line.size()), &size) &&
        size.cx > widest_) {
      widest_ = size.cx;
      longest_measured_ = false;  // the bar follows at the next ShowAdded()
    }
    ExtTextOutW(dc, x, y, ETO_CLIPPED, &row, line.data(), static_cast<UINT>(line.size()), nullptr);
  }
  SelectObject(dc, old_font);
}

// --- Input

void LineView::OnKeyDown(UINT message, WPARAM wparam, LPARAM lparam) {
  const bool control = GetKeyState(VK_CONTROL) < 0;
  const bool shift = GetKeyState(VK_SHIFT) < 0;
  const bool alt = GetKeyState(VK_MENU) < 0;
  if (IsBareModifier(wparam)) return;
  if (control && !shift && !alt && wparam == 'A') {
    SetAllSelected(true);
    return;
  }
  if (control && !shift && !alt && (wparam == 'C' || wparam == VK_INSERT)) {
    if (all_selected_) CopyAll();
    return;
  }
  on_input_(message, wparam, lparam);
}

LRESULT CALLBACK LineView::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    reinterpret_cast<LineView*>(create->lpCreateParams)->window_ = window;
  }
  auto* self = reinterpret_cast<LineView*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(window, message, wparam, lparam);
  if (message == WM_NCDESTROY) {
    // Gone with its parent, before the view object: nothing left to destroy.
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
    self->window_ = nullptr;
    return DefWindowProcW(window, message, wparam, lparam);
  }
  return self->HandleMessage(message, wparam, lparam);
}

LRESULT LineView::HandleMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  // Busy or hidden, the view is no longer where the user's input belongs:
  // everything goes on in arrival order, to reach the rich edit.
  // The wheel still scrolls a busy view, and a bare hover is left out; the
  // Alt keys are the main window's (menu, Alt+F4).
  const bool hidden = !IsWindowVisible(window_);
  if ((busy_ || hidden) && IsKeyboardOrMouseInput(message) && message != WM_SYSKEYDOWN &&
      message != WM_SYSKEYUP && message != WM_SYSCHAR && !(busy_ && message == WM_MOUSEWHEEL) &&
      !(busy_ && message == WM_MOUSEMOVE && (wparam & (MK_LBUTTON | MK_RBUTTON)) == 0)) {
    on_input_(message, wparam, lparam);
    return 0;
  }
  switch (message) {
    case WM_PAINT:
      if (PAINTSTRUCT paint; HDC dc = BeginPaint(window_, &paint)) {
        Paint(dc, paint.rcPaint);
        EndPaint(window_, &paint);
      }
      return 0;
    case WM_PRINTCLIENT: {  // the picture for PrintWindow, AnimateWindow and the like
      RECT client;
      GetClientRect(window_, &client);
      Paint(reinterpret_cast<HDC>(wparam), client);
      return 0;
    }
    case WM_ERASEBKGND:
      return 1;  // WM_PAINT fills every pixel
    case WM_SETFOCUS:
      CreateCaret(window_, nullptr, 1, line_height_);
      PlaceCaret();
      ShowCaret(window_);
      return 0;
    case WM_KILLFOCUS:
      DestroyCaret();
      return 0;

    case WM_SIZE:
      UpdateScrollBars();
      return 0;
    case WM_SETCURSOR:
      if (LOWORD(lparam) == HTCLIENT) {
        SetCursor(LoadCursorW(nullptr, busy_ ? IDC_APPSTARTING : IDC_IBEAM));
        return TRUE;
      }
      break;
    case WM_VSCROLL:
      OnScroll(SB_VERT, LOWORD(wparam));
      return 0;
    case WM_HSCROLL:
      OnScroll(SB_HORZ, LOWORD(wparam));
      return 0;
    case WM_MOUSEWHEEL: {
      UINT lines_per_notch = 3;
      SystemParametersInfoW(SPI_GETWHEELSCROLLLINES, 0, &lines_per_notch, 0);
      wheel_rest_ += GET_WHEEL_DELTA_WPARAM(wparam);
      const int notches = wheel_rest_ / WHEEL_DELTA;
      wheel_rest_ -= notches * WHEEL_DELTA;
      if (lines_per_notch == WHEEL_PAGESCROLL) lines_per_notch = VisibleLines();
      const long long target =
          static_cast<long long>(first_line_) - static_cast<long long>(notches) * lines_per_notch;
      ScrollTo(static_cast<size_t>(std::clamp<long long>(target, 0, MaxFirstLine())),
               horizontal_offset_);
      return 0;
    }
    case WM_KEYDOWN:
      OnKeyDown(message, wparam, lparam);
      return 0;
    case WM_CHAR:
      // The characters of Ctrl+A and Ctrl+C, which the key-down handled.
      if (wparam == 0x01 || wparam == 0x03) return 0;
      on_input_(message, wparam, lparam);
      return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONDBLCLK:
      // The focus comes with the click, as an edit control takes it: what
      // is typed while a long list moves is for the list.
      SetFocus(window_);
      on_input_(message, wparam, lparam);
      return 0;
    case WM_CONTEXTMENU:
    case WM_IME_STARTCOMPOSITION:
    case WM_IME_COMPOSITION:
    case WM_IME_CHAR:
    case WM_PASTE:
    case WM_CUT:
    case WM_CLEAR:
    case WM_UNDO:
      on_input_(message, wparam, lparam);
      return 0;
    case WM_COPY:
      if (all_selected_) CopyAll();
      return 0;
    // What tests and tools ask an edit control, answered from the store.
    case EM_GETLINECOUNT:
      return static_cast<LRESULT>(std::max<size_t>(spans_.size(), 1));
    case EM_GETFIRSTVISIBLELINE:
      return static_cast<LRESULT>(first_line_);
    case EM_SETSEL:
      SetAllSelected(wparam == 0 && static_cast<LONG_PTR>(lparam) == -1);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window_, message, wparam, lparam);
}

bool LineView::CopyAll() const {
  size_t units = units_ + (spans_.empty() ? 0 : 2 * (spans_.size() - 1)) + 1;
  HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, units * sizeof(wchar_t));
  if (memory == nullptr) return false;
  auto* out = static_cast<wchar_t*>(GlobalLock(memory));
  if (out == nullptr) {
    GlobalFree(memory);
    return false;
  }
  for (size_t index = 0; index < spans_.size(); ++index) {
    if (index > 0) {
      *out++ = L'\r';
      *out++ = L'\n';
    }
    const std::wstring_view line = Line(index);
    std::memcpy(out, line.data(), line.size() * sizeof(wchar_t));
    out += line.size();
  }
  *out = L'\0';
  GlobalUnlock(memory);
  if (!OpenClipboard(window_)) {
    GlobalFree(memory);
    return false;
  }
  EmptyClipboard();
  const bool placed = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
  CloseClipboard();
  if (!placed) GlobalFree(memory);
  return placed;
}

}  // namespace varnolt
