#include "ui/win32_main_window.h"

#include <commctrl.h>
#include <commdlg.h>
#include <richedit.h>
#include <shellapi.h>

#include <algorithm>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "extract/boundary/wide_text.h"
#include "ui/win32_line_view.h"
#include "ui/window_layout.h"

namespace varnolt {
namespace {

constexpr wchar_t kWindowClassName[] = L"WindowClass_0";
// A caption with the system menu and the close button; no sizing border and
// no minimise or maximise box, so the window can be moved but not resized.
constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU;

// Read-back buffer of the result list's lines, in UTF-16 units: room for a
// line of kMaxItemText ASCII bytes and its terminating NUL.
constexpr int kLineBufferSize = kMaxItemText + 1;
// The open-file dialog's buffer, in UTF-16 units: a path of up to 9,999.
constexpr DWORD kFileNameBufferSize = 10000;
constexpr DWORD kOpenFileFlags =
    OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
// Room for the result list: the rich-edit default of 32,767 characters would
// silently drop the links of a long scan while the summary still counts them.
constexpr LPARAM kResultListTextLimit = 0x7FFFFFFE;
// Lines added to the result list wait and go into the control in one
// insertion per turn of the window, or as soon as this many UTF-16 units
// wait. The control lays out every line it takes (under Wine some 2 us a
// character), so this bounds how long one insertion keeps the window from
// painting and from hearing a close request: about 800 links.
constexpr size_t kInsertionUnits = 64 * 1024;
// A hand-over of the view's lines to the rich edit (see HandOverInput) that
// comes to no more than this many UTF-16 units is done at once, in the
// message that asked for it: some 100 ms under Wine, so a small list takes
// a click as it always did. A larger one goes a batch per turn.
constexpr size_t kImmediateHandOverUnits = 48 * 1024;
// The id of the result list's rich edit while the line view stands in its
// place and carries kResultList, and of the view while the rich edit does.
constexpr int kStandbyListId = 0x7F04;
// Status-log items wait the same way, up to this many. A list box that
// redraws takes milliseconds for each item added and each selection (its
// scroll bar follows every one); with the redraw held off while a batch goes
// in, microseconds.
constexpr size_t kLogBatchItems = 4096;
// Text room asked for each status-log item ahead: most of a scan's items
// are a link's short log line.
constexpr size_t kLogItemBytes = 16 * sizeof(wchar_t);
// How often a running command's window paints and looks for a close request.
constexpr DWORD kTurnMilliseconds = 30;

// What the Win32 controls add to the shared layout (ui/window_layout.h), whose
// tab stops become WS_TABSTOP.
struct ControlClass {
  const wchar_t* class_name;  // nullptr: the rich-edit class chosen at run time
  DWORD style;                // besides WS_CHILD, WS_VISIBLE and WS_TABSTOP
  DWORD ex_style;
  bool set_font;
};

// Indexed by control id. WS_GROUP marks where a new group of controls starts
// for the dialog manager's arrow keys; the window keeps the classic grouping.
constexpr ControlClass kControlClasses[7] = {
    {L"STATIC", WS_GROUP | SS_RIGHT, WS_EX_CLIENTEDGE, true},
    {L"EDIT", WS_GROUP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, true},
    {L"BUTTON", WS_GROUP | BS_PUSHBUTTON, 0, true},
    {PROGRESS_CLASSW, 0, 0, false},
    {nullptr,
     WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_AUTOHSCROLL | ES_NOHIDESEL |
         ES_WANTRETURN,
     WS_EX_CLIENTEDGE, true},
    {L"BUTTON", WS_GROUP | BS_PUSHBUTTON, 0, true},
    {L"LISTBOX",
     WS_VSCROLL | WS_HSCROLL | WS_GROUP | LBS_NOTIFY | LBS_HASSTRINGS | LBS_NOINTEGRALHEIGHT,
     WS_EX_CLIENTEDGE, true},
};

// Loaded on the first result-list creation and kept until the process ends.
const wchar_t* RichEditClass() {
  static const wchar_t* class_name = [] {
    if (LoadLibraryW(L"RICHED20.DLL") != nullptr) return L"RichEdit20W";
    LoadLibraryW(L"RICHED32.DLL");
    return L"RichEdit";
  }();
  return class_name;
}

// `text` as the controls show it, NUL-terminated: a NUL inside the text ends
// it there, as it would on any other path into the controls.
std::wstring ControlText(std::string_view text) { return ToWide(text.substr(0, text.find('\0'))); }

class Win32MainWindow final : public MainWindow {
 public:
  Win32MainWindow();
  ~Win32MainWindow() override;

  HWND handle() const { return window_; }

  std::string GetText(int id) override;
  void SetText(int id, std::string_view text) override;
  void SetProgress(int id, int position) override;
  void AddItem(int id, std::string_view text) override;
  std::string ItemText(int id, int index) override;
  void ClearItems(int id) override;
  int CountItems(int id) override;
  void RemoveItem(int id, int index) override;
  void SelectItem(int id, int index) override;

  int PollEvent() override;
  int EventControlId() override { return event_control_id_; }
  bool KeepGoing() override;
  std::string ChooseInputFile() override;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT HandleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  void OnControlCommand(HWND sender, int notification);
  void OnDropFiles(HDROP drop);
  void MoveFocus(bool forward);
  void TakeCloseRequest();
  void InsertWaitingLines();
  void AppendToResultList(const std::wstring& text);
  void HandOverInput(UINT message, WPARAM wparam, LPARAM lparam);
  void InsertViewLines(size_t max_units);
  void FinishHandOver();
  void CreateResultList();
  void InsertWaitingLogItems();
  void ShowWaiting();
  void ShowWhenMuchWaits();
  bool CreateMainWindow();
  void CreateControl(int id);
  HWND Control(int id, int wanted) const { return id == wanted ? controls_[id] : nullptr; }

  HINSTANCE instance_ = GetModuleHandleW(nullptr);
  HFONT font_ = nullptr;
  bool class_registered_ = false;
  HWND window_ = nullptr;
  HACCEL keyboard_table_ = nullptr;
  HWND controls_[7] = {};  // controls_[kResultList]: the rich edit, shown or not

  // The result list starts as the line view, which takes lines fast but
  // cannot be edited; the first input that would edit it or place a caret
  // moves its lines into the rich edit (created hidden, behind the view) and
  // shows that in its place until the list is cleared.
  enum class ListState { kView, kHandingOver, kRichEdit };
  LineView line_view_;
  ListState list_state_ = ListState::kView;
  size_t handed_lines_ = 0;  // the view's lines already in the rich edit
  struct Input {
    UINT message;
    WPARAM wparam;
    LPARAM lparam;
  };
  // Input for the list that came while its lines were being handed over,
  // for the rich edit once it shows.
  std::vector<Input> queued_input_;
  // Lines added to the result list and not yet in it, each but the first
  // behind a line feed; the first too when the list held text already.
  std::wstring waiting_lines_;
  // Items added to the status log and not yet in it, and the selection the
  // log is to show once they are.
  std::vector<std::wstring> waiting_log_items_;
  bool log_selection_waits_ = false;
  // Items the status log has room for, as far as this window asked for it.
  size_t log_capacity_ = 0;
  int log_selection_ = -1;

  int pending_event_ = EventNone;
  int event_control_id_ = 0;
  // Set by WM_CLOSE, cleared when PollEvent() returns the close request; so
  // a close that KeepGoing() took is not lost to a later notification.
  bool close_requested_ = false;
  DWORD last_served_ = 0;  // GetTickCount() of KeepGoing()'s last work
};

Win32MainWindow::Win32MainWindow() {
  InitCommonControls();
  font_ = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  if (!CreateMainWindow()) return;
  for (int id = 0; id < 7; ++id) {
    if (id == kResultList) {
      CreateResultList();
    } else {
      CreateControl(id);
    }
  }
}

Win32MainWindow::~Win32MainWindow() {
  if (window_ != nullptr) DestroyWindow(window_);
  if (class_registered_) UnregisterClassW(kWindowClassName, instance_);
  if (keyboard_table_ != nullptr) DestroyAcceleratorTable(keyboard_table_);
}

bool Win32MainWindow::CreateMainWindow() {
  const DWORD style = kWindowStyle | WS_VISIBLE;

  LOGBRUSH brush = {BS_SOLID, GetSysColor(COLOR_BTNFACE), 0};
  WNDCLASSW window_class = {};
  window_class.style = CS_DBLCLKS;
  window_class.lpfnWndProc = WindowProc;
  window_class.hInstance = instance_;
  // Icon resource 1 is the program's icon; without it the system's default shows.
  window_class.hIcon = LoadIconW(instance_, MAKEINTRESOURCEW(1));
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.hbrBackground = CreateBrushIndirect(&brush);
  window_class.lpszClassName = kWindowClassName;
  class_registered_ = RegisterClassW(&window_class) != 0;

  // The outer size that gives the client area its size, then centred on the
  // screen; an outer frame larger than the screen is centred as if it fitted.
  RECT outer = {0, 0, kClientWidth, kClientHeight};
  AdjustWindowRect(&outer, style, FALSE);
  const int outer_width = outer.right - outer.left;
  const int outer_height = outer.bottom - outer.top;
  const int screen_width = GetSystemMetrics(SM_CXSCREEN);
  const int screen_height = GetSystemMetrics(SM_CYSCREEN);
  const int x = screen_width / 2 - std::min(outer_width, screen_width) / 2;
  const int y = screen_height / 2 - std::min(outer_height, screen_height) / 2;

  window_ = CreateWindowExW(0, kWindowClassName, ToWide(kWindowTitle).c_str(), style, x, y,
                            outer_width, outer_height, nullptr, nullptr, instance_, this);
  if (window_ == nullptr) return false;
  DragAcceptFiles(window_, TRUE);

  ACCEL keys[2] = {
      {FVIRTKEY | FNOINVERT, VK_TAB, kFocusNextCommand},
      {FVIRTKEY | FNOINVERT | FSHIFT, VK_TAB, kFocusPreviousCommand},
  };
  keyboard_table_ = CreateAcceleratorTableW(keys, 2);
  return true;
}

void Win32MainWindow::CreateControl(int id) {
  const ControlLayout& layout = kControlLayouts[id];
  const ControlClass& kind = kControlClasses[id];
  const wchar_t* class_name = kind.class_name != nullptr ? kind.class_name : RichEditClass();
  // The result list's rich edit starts hidden, behind the line view.
  const DWORD visible = id == kResultList ? 0 : WS_VISIBLE;
  const DWORD style = WS_CHILD | visible | kind.style | (layout.tab_stop ? WS_TABSTOP : 0);
  const std::wstring text = layout.text != nullptr ? ToWide(layout.text) : std::wstring();
  HWND control = CreateWindowExW(
      kind.ex_style, class_name, layout.text != nullptr ? text.c_str() : nullptr, style, layout.x,
      layout.y, layout.width, layout.height, window_,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id == kResultList ? kStandbyListId : id)),
      instance_, nullptr);
  controls_[id] = control;
  if (control == nullptr) return;
  if (kind.set_font) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
  if (id == kProgressBar) SendMessageW(control, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  if (id == kResultList) SendMessageW(control, EM_EXLIMITTEXT, 0, kResultListTextLimit);
}

// The rich edit first, to learn where it puts its text, then the view in
// front of it: in the same place of the tab ring and of the z-order, so the
// one shown is found where the list always was.
void Win32MainWindow::CreateResultList() {
  CreateControl(kResultList);
  HWND rich_edit = controls_[kResultList];
  const ControlLayout& layout = kControlLayouts[kResultList];
  RECT format = {1, 1, 0, 0};
  if (rich_edit != nullptr)
    SendMessageW(rich_edit, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&format));
  const RECT place = {layout.x, layout.y, layout.x + layout.width, layout.y + layout.height};
  if (!line_view_.Create(window_, kResultList, place, font_, POINT{format.left, format.top},
                         [this](UINT message, WPARAM wparam, LPARAM lparam) {
                           HandOverInput(message, wparam, lparam);
                         })) {
    return;
  }
  SetWindowPos(line_view_.handle(), controls_[kResultList - 1], 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

// --- Control operations

std::string Win32MainWindow::GetText(int id) {
  HWND field = Control(id, kInputField);
  if (field == nullptr) return {};
  // The whole text, then cut to the limit as UTF-8: the field holds
  // characters, the program's texts count bytes.
  std::wstring text(std::max(GetWindowTextLengthW(field), 0) + 1, L'\0');
  text.resize(std::max(GetWindowTextW(field, text.data(), static_cast<int>(text.size())), 0));
  return FromWide(text, kMaxItemText);
}

void Win32MainWindow::SetText(int id, std::string_view text) {
  if (HWND field = Control(id, kInputField)) SetWindowTextW(field, ControlText(text).c_str());
}

void Win32MainWindow::SetProgress(int id, int position) {
  if (HWND bar = Control(id, kProgressBar)) SendMessageW(bar, PBM_SETPOS, position, 0);
}

void Win32MainWindow::AddItem(int id, std::string_view text) {
  std::wstring item = ControlText(text);
  if (Control(id, kStatusLog) != nullptr) {
    waiting_log_items_.push_back(std::move(item));
    ShowWhenMuchWaits();
    return;
  }
  HWND list = Control(id, kResultList);
  if (list == nullptr) return;
  if (list_state_ != ListState::kRichEdit) {
    line_view_.Append(item);
    return;
  }
  // A line feed only between lines: the first line has none before it, the
  // last none after it. The room first, so that running out of memory leaves
  // the waiting lines as they were.
  const bool line_break = !waiting_lines_.empty() || GetWindowTextLengthW(list) > 0;
  waiting_lines_.reserve(waiting_lines_.size() + line_break + item.size());
  if (line_break) waiting_lines_ += L'\n';
  waiting_lines_ += item;
  ShowWhenMuchWaits();
}

void Win32MainWindow::ShowWhenMuchWaits() {
  // Once the close request is in, everything only waits: the command ends
  // at its next question, and the program with it.
  if (close_requested_) return;
  if (waiting_lines_.size() < kInsertionUnits && waiting_log_items_.size() < kLogBatchItems) return;
  // The batches now; the line view, whose scroll bars cost milliseconds to
  // update under Wine, at the window's turn.
  InsertWaitingLines();
  InsertWaitingLogItems();
  KeepGoing();
}

void Win32MainWindow::ShowWaiting() {
  if (list_state_ != ListState::kRichEdit) line_view_.ShowAdded();
  if (list_state_ == ListState::kHandingOver) {
    // A scan may still be adding lines: the rich edit chases the view.
    InsertViewLines(kInsertionUnits);
    if (handed_lines_ == line_view_.LineCount()) FinishHandOver();
  }
  InsertWaitingLines();
  InsertWaitingLogItems();
}

// One redraw for the whole batch; allocates nothing.
void Win32MainWindow::InsertWaitingLogItems() {
  HWND log = controls_[kStatusLog];
  if ((waiting_log_items_.empty() && !log_selection_waits_) || log == nullptr) return;
  SendMessageW(log, WM_SETREDRAW, FALSE, 0);
  // Room for the batch ahead, at least doubling: a list box left to grow by
  // itself grows by a few items at a time, which costs a scan that logs each
  // link (under Wine) half of what the inserts cost.
  const LRESULT count = SendMessageW(log, LB_GETCOUNT, 0, 0);
  const size_t held = count == LB_ERR ? 0 : static_cast<size_t>(count);
  if (held + waiting_log_items_.size() > log_capacity_) {
    const size_t more = std::max(waiting_log_items_.size(), held);
    if (SendMessageW(log, LB_INITSTORAGE, more, more * kLogItemBytes) != LB_ERRSPACE) {
      log_capacity_ = held + more;
    }
  }
  for (const std::wstring& item : waiting_log_items_) {
    SendMessageW(log, LB_INSERTSTRING, static_cast<WPARAM>(-1),
                 reinterpret_cast<LPARAM>(item.c_str()));
  }
  if (log_selection_waits_) SendMessageW(log, LB_SETCURSEL, log_selection_, 0);
  SendMessageW(log, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(log, nullptr, TRUE);
  waiting_log_items_.clear();
  log_selection_waits_ = false;
}

// One insertion for every waiting line; allocates nothing.
void Win32MainWindow::InsertWaitingLines() {
  if (waiting_lines_.empty() || controls_[kResultList] == nullptr) return;
  AppendToResultList(waiting_lines_);
  // The room stays for the next lines, unless lines piled up after a close
  // request.
  if (waiting_lines_.capacity() > 2 * kInsertionUnits) {
    waiting_lines_ = std::wstring();
  } else {
    waiting_lines_.clear();
  }
}

void Win32MainWindow::AppendToResultList(const std::wstring& text) {
  HWND list = controls_[kResultList];
  SendMessageW(list, EM_HIDESELECTION, TRUE, 0);
  const int length = GetWindowTextLengthW(list);
  SendMessageW(list, EM_SETSEL, length, length);
  // Not undoable: Ctrl+Z takes back what the user typed, never the program's
  // lines, and the control keeps no undo record that grows with the list.
  SendMessageW(list, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  SendMessageW(list, EM_HIDESELECTION, FALSE, 0);
}

// --- Handing the view's lines over to the rich edit

// Input that the view leaves to the rich edit: passed straight on once the
// rich edit shows, queued while the lines move, and the start of the move
// when the view still stands alone.
void Win32MainWindow::HandOverInput(UINT message, WPARAM wparam, LPARAM lparam) {
  HWND rich_edit = controls_[kResultList];
  if (rich_edit == nullptr) return;
  if (list_state_ == ListState::kRichEdit) {
    SendMessageW(rich_edit, message, wparam, lparam);
    return;
  }
  if (list_state_ == ListState::kView) {
    handed_lines_ = 0;
    if (line_view_.UnitsFrom(0) <= kImmediateHandOverUnits) {
      InsertViewLines(static_cast<size_t>(-1));
      if (handed_lines_ == line_view_.LineCount()) {
        FinishHandOver();
        SendMessageW(rich_edit, message, wparam, lparam);
        return;
      }
    }
    list_state_ = ListState::kHandingOver;
    line_view_.SetBusy(true);
    // The cursor changes now, not at the next mouse move.
    POINT cursor;
    if (GetCursorPos(&cursor) && WindowFromPoint(cursor) == line_view_.handle()) {
      SetCursor(LoadCursorW(nullptr, IDC_APPSTARTING));
    }
  }
  try {
    queued_input_.push_back({message, wparam, lparam});
  } catch (const std::bad_alloc&) {
    // Input that finds no room is lost like input to a hung window; the
    // window itself goes on.
  }
}

// Moves the view's next lines, up to about `max_units`, into the rich edit
// in one insertion; at least one line, so that every call makes progress.
void Win32MainWindow::InsertViewLines(size_t max_units) {
  const size_t count = line_view_.LineCount();
  if (handed_lines_ >= count) return;
  try {
    std::wstring batch;
    batch.reserve(std::min(max_units, line_view_.UnitsFrom(handed_lines_)) + 64);
    size_t next = handed_lines_;
    while (next < count && (next == handed_lines_ || batch.size() < max_units)) {
      const std::wstring_view line = line_view_.Line(next);
      if (next > 0) batch += L'\n';
      batch += line;
      ++next;
    }
    AppendToResultList(batch);
    handed_lines_ = next;
  } catch (const std::bad_alloc&) {
    // Tried again at the next turn; the view goes on showing every line.
  }
}

// The rich edit holds every line: it takes the view's place, scroll
// position, selection and focus, then the input that waited for it.
void Win32MainWindow::FinishHandOver() {
  HWND rich_edit = controls_[kResultList];
  HWND view = line_view_.handle();
  const bool had_focus = GetFocus() == view;
  SetWindowLongPtrW(view, GWLP_ID, kStandbyListId);
  SetWindowLongPtrW(rich_edit, GWLP_ID, kResultList);
  if (line_view_.all_selected()) SendMessageW(rich_edit, EM_SETSEL, 0, -1);
  // Shown behind the view first, so that the scrolling below never shows.
  ShowWindow(rich_edit, SW_SHOWNA);
  // The view's first line to the top, by pixels: the rich edit's own line
  // scroll is not reliable for a control that was hidden until now.
  POINT position = {};
  SendMessageW(rich_edit, EM_GETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&position));
  const LRESULT first = SendMessageW(rich_edit, EM_LINEINDEX, line_view_.first_line(), 0);
  POINTL at = {};
  RECT format = {};
  SendMessageW(rich_edit, EM_POSFROMCHAR, reinterpret_cast<WPARAM>(&at), first);
  SendMessageW(rich_edit, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&format));
  position.y += at.y - format.top;
  position.x = line_view_.horizontal_offset();
  SendMessageW(rich_edit, EM_SETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&position));
  if (had_focus) SetFocus(rich_edit);
  ShowWindow(view, SW_HIDE);
  line_view_.SetBusy(false);
  line_view_.Clear();
  list_state_ = ListState::kRichEdit;
  handed_lines_ = 0;
  std::vector<Input> queued = std::move(queued_input_);
  queued_input_ = {};
  for (const Input& input : queued)
    SendMessageW(rich_edit, input.message, input.wparam, input.lparam);
}

std::string Win32MainWindow::ItemText(int id, int index) {
  // Both read back the text as shown, in UTF-8: bytes that were not UTF-8
  // come back as the characters they showed as.
  if (HWND log = Control(id, kStatusLog)) {
    InsertWaitingLogItems();
    const LRESULT length = SendMessageW(log, LB_GETTEXTLEN, index, 0);
    if (length == LB_ERR) return {};
    std::wstring text(length + 1, L'\0');
    const LRESULT copied =
        SendMessageW(log, LB_GETTEXT, index, reinterpret_cast<LPARAM>(text.data()));
    if (copied == LB_ERR) return {};
    text.resize(copied);
    return FromWide(text);
  }
  HWND list = Control(id, kResultList);
  if (list == nullptr || index < 0) return {};
  if (list_state_ != ListState::kRichEdit) {
    return FromWide(line_view_.Line(static_cast<size_t>(index)), kMaxItemText);
  }
  InsertWaitingLines();
  // EM_GETLINE past the last line is not an error for every rich-edit
  // version, so the line count decides.
  if (index >= SendMessageW(list, EM_GETLINECOUNT, 0, 0)) return {};
  std::wstring text(kLineBufferSize, L'\0');
  *reinterpret_cast<WORD*>(text.data()) = kLineBufferSize;
  const LRESULT copied =
      SendMessageW(list, EM_GETLINE, index, reinterpret_cast<LPARAM>(text.data()));
  text.resize(std::clamp<LRESULT>(copied, 0, kLineBufferSize));
  // The rich edit copies a line together with its end-of-paragraph mark, but
  // the last line has none: drop the mark only where there is one, so the
  // last character of the last link survives.
  if (!text.empty() && (text.back() == L'\r' || text.back() == L'\n')) text.pop_back();
  if (!text.empty() && text.back() == L'\r') text.pop_back();
  return FromWide(text, kMaxItemText);
}

void Win32MainWindow::ClearItems(int id) {
  HWND list = Control(id, kResultList);
  if (list == nullptr) return;
  waiting_lines_.clear();
  // Input queued for lines that are gone now goes with them.
  queued_input_.clear();
  line_view_.SetBusy(false);
  line_view_.Clear();
  handed_lines_ = 0;
  if (list_state_ != ListState::kView) SetWindowTextW(list, L"");
  if (list_state_ == ListState::kRichEdit && line_view_.handle() != nullptr) {
    HWND view = line_view_.handle();
    const bool had_focus = GetFocus() == list;
    SetWindowLongPtrW(list, GWLP_ID, kStandbyListId);
    SetWindowLongPtrW(view, GWLP_ID, kResultList);
    ShowWindow(view, SW_SHOWNA);
    if (had_focus) SetFocus(view);
    ShowWindow(list, SW_HIDE);
  }
  list_state_ = ListState::kView;
}

int Win32MainWindow::CountItems(int id) {
  HWND log = Control(id, kStatusLog);
  if (log == nullptr) return 0;
  // Counted without inserting the waiting items: the log asks after each line.
  const LRESULT count = SendMessageW(log, LB_GETCOUNT, 0, 0);
  return (count == LB_ERR ? 0 : static_cast<int>(count)) +
         static_cast<int>(waiting_log_items_.size());
}

void Win32MainWindow::RemoveItem(int id, int index) {
  if (HWND log = Control(id, kStatusLog)) {
    InsertWaitingLogItems();
    SendMessageW(log, LB_DELETESTRING, index, 0);
  }
}

void Win32MainWindow::SelectItem(int id, int index) {
  HWND log = Control(id, kStatusLog);
  if (log == nullptr) return;
  if (waiting_log_items_.empty()) {
    SendMessageW(log, LB_SETCURSEL, index, 0);
  } else {
    log_selection_ = index;
    log_selection_waits_ = true;
  }
}

// --- Events

int Win32MainWindow::PollEvent() {
  // A close request that KeepGoing() took ahead of its turn is the message
  // this call would have taken.
  if (close_requested_) {
    close_requested_ = false;
    return EventClose;
  }
  // The last lines of a command, before any input can reach the lists.
  ShowWaiting();
  MSG message;
  if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) return EventNone;
  bool consumed = false;
  if (window_ != nullptr && keyboard_table_ != nullptr && GetActiveWindow() == window_) {
    consumed = TranslateAcceleratorW(window_, keyboard_table_, &message) != 0;
  }
  if (!consumed) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  if (message.message == kResizeMessage && message.hwnd == window_ && window_ != nullptr) {
    pending_event_ = EventResize;
  }
  const int result =
      pending_event_ != EventNone ? pending_event_ : static_cast<int>(message.message);
  pending_event_ = EventNone;
  if (result == EventClose) close_requested_ = false;
  return result;
}

bool Win32MainWindow::KeepGoing() {
  // A scan asks between pieces, hundreds of times a second; painting every
  // 30 ms looks the same and leaves the scan its time.
  const DWORD now = GetTickCount();
  if (now - last_served_ < kTurnMilliseconds) return !close_requested_;
  last_served_ = now;
  ShowWaiting();
  // WM_PAINT is taken ahead of the input queued before it, which keeps
  // waiting in its order. Messages that other threads and programs send (the
  // system asking whether the window still answers) are handled inside
  // PeekMessageW whatever the filter. The zero wait first has the system
  // move the input that arrived meanwhile into the queue: a busy thread's
  // filtered peeks alone leave it outside for seconds under Wine.
  MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT);
  MSG message;
  while (PeekMessageW(&message, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE)) DispatchMessageW(&message);
  TakeCloseRequest();
  return !close_requested_;
}

// Looks for a close request among the waiting messages and handles it ahead
// of its turn; every other message keeps its place. The request arrives as
// WM_CLOSE, as WM_SYSCOMMAND SC_CLOSE (a window manager's close button, the
// taskbar), as a click on the caption's close button, or as Alt+F4.
void Win32MainWindow::TakeCloseRequest() {
  MSG message;
  const auto peek = [&message](UINT code, UINT remove) {
    return PeekMessageW(&message, nullptr, code, code, remove) != 0;
  };
  // Alt's own key-downs come before the F4; on their own they do nothing
  // but arm the keyboard menu, so taking them early changes nothing seen.
  while (peek(WM_SYSKEYDOWN, PM_NOREMOVE) && message.wParam == VK_MENU) {
    peek(WM_SYSKEYDOWN, PM_REMOVE);
    DispatchMessageW(&message);
  }
  // Alt+F4 makes the window procedure post SC_CLOSE, taken below.
  if (peek(WM_SYSKEYDOWN, PM_NOREMOVE) && message.wParam == VK_F4 &&
      (HIWORD(message.lParam) & KF_ALTDOWN) != 0) {
    peek(WM_SYSKEYDOWN, PM_REMOVE);
    DispatchMessageW(&message);
  }
  // The caption's close button: the click itself, without the tracking loop
  // that would take the mouse messages behind it out of their turn.
  if (window_ != nullptr && peek(WM_NCLBUTTONDOWN, PM_NOREMOVE) && message.hwnd == window_ &&
      message.wParam == HTCLOSE) {
    peek(WM_NCLBUTTONDOWN, PM_REMOVE);
    SendMessageW(window_, WM_SYSCOMMAND, SC_CLOSE, 0);
  }
  if (peek(WM_SYSCOMMAND, PM_NOREMOVE) && (message.wParam & 0xFFF0) == SC_CLOSE) {
    peek(WM_SYSCOMMAND, PM_REMOVE);
    DispatchMessageW(&message);
  }
  if (peek(WM_CLOSE, PM_REMOVE)) DispatchMessageW(&message);
}

LRESULT CALLBACK Win32MainWindow::WindowProc(HWND window, UINT message, WPARAM wparam,
                                             LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<Win32MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(window, message, wparam, lparam);
  return self->HandleMessage(window, message, wparam, lparam);
}

LRESULT Win32MainWindow::HandleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CLOSE:
      // Not passed on: the window stays until the program ends.
      pending_event_ = EventClose;
      close_requested_ = true;
      return 0;
    case WM_SIZE:
      PostMessageW(window, kResizeMessage, wparam, lparam);
      return 0;
    case WM_DROPFILES:
      OnDropFiles(reinterpret_cast<HDROP>(wparam));
      return 0;
    case WM_COMMAND:
      if (lparam != 0) {
        OnControlCommand(reinterpret_cast<HWND>(lparam), HIWORD(wparam));
        return 0;
      }
      if (HIWORD(wparam) == 1 && LOWORD(wparam) == kFocusNextCommand) MoveFocus(true);
      if (HIWORD(wparam) == 1 && LOWORD(wparam) == kFocusPreviousCommand) MoveFocus(false);
      return 0;
    default:
      // Also runs inside CreateWindowExW, before window_ is known.
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

void Win32MainWindow::OnControlCommand(HWND sender, int notification) {
  pending_event_ = EventControl;
  event_control_id_ = GetWindowLongW(sender, GWL_ID);
  wchar_t class_name[8] = {};
  GetClassNameW(sender, class_name, 8);
  if (std::wstring_view(class_name).substr(0, 4) != L"List") return;
  // A list box speaks up on focus changes too; only the user's selection
  // changes and double clicks are events.
  if (notification != LBN_SELCHANGE && notification != LBN_DBLCLK) pending_event_ = EventNone;
}

// A file dropped from Explorer, anywhere on the window: its path replaces the
// input field's text, as if typed; nothing starts. Of several, the first counts.
void Win32MainWindow::OnDropFiles(HDROP drop) {
  const UINT length = DragQueryFileW(drop, 0, nullptr, 0);
  if (length > 0) {
    std::wstring path(length + 1, L'\0');
    path.resize(DragQueryFileW(drop, 0, path.data(), length + 1));
    SetText(kInputField, FromWide(path));
  }
  DragFinish(drop);
}

void Win32MainWindow::MoveFocus(bool forward) {
  HWND active = GetActiveWindow();
  if (active == nullptr) return;
  // Children in creation order: each new child goes to the bottom of the
  // z-order, and the controls are never re-ordered.
  std::vector<HWND> ring;
  for (HWND child = GetWindow(active, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    if (IsWindowEnabled(child) && IsWindowVisible(child) &&
        (GetWindowLongW(child, GWL_STYLE) & WS_TABSTOP) != 0) {
      ring.push_back(child);
    }
  }
  if (ring.empty()) return;
  HWND focus = GetFocus();
  const auto current = std::find_if(ring.begin(), ring.end(), [focus](HWND candidate) {
    return focus != nullptr && (candidate == focus || IsChild(candidate, focus));
  });
  const int size = static_cast<int>(ring.size());
  int next;
  if (current == ring.end()) {
    next = forward ? 0 : size - 1;
  } else {
    const int at = static_cast<int>(current - ring.begin());
    next = (at + (forward ? 1 : size - 1)) % size;
  }
  SetFocus(ring[next]);
}

// --- Open-file dialog

BOOL CALLBACK DisableThreadWindow(HWND window, LPARAM disabled) {
  if (IsWindowVisible(window) && IsWindowEnabled(window)) {
    EnableWindow(window, FALSE);
    reinterpret_cast<std::vector<HWND>*>(disabled)->push_back(window);
  }
  return TRUE;
}

std::string Win32MainWindow::ChooseInputFile() {
  HWND owner = GetForegroundWindow();
  DWORD owner_process = 0;
  if (owner != nullptr) GetWindowThreadProcessId(owner, &owner_process);
  if (owner_process != GetCurrentProcessId()) owner = nullptr;

  std::vector<wchar_t> file_name(kFileNameBufferSize, L'\0');
  const std::wstring title = ToWide(kFileDialogTitle);
  OPENFILENAMEW dialog = {};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = owner;
  dialog.lpstrFile = file_name.data();
  dialog.nMaxFile = kFileNameBufferSize;
  dialog.lpstrTitle = title.c_str();
  dialog.Flags = kOpenFileFlags;

  // Modal for the whole thread, also when there is no owner: the loop does
  // not turn while the dialog is open, so no window may take input meanwhile.
  std::vector<HWND> disabled;
  EnumThreadWindows(GetCurrentThreadId(), DisableThreadWindow, reinterpret_cast<LPARAM>(&disabled));
  const BOOL chosen = GetOpenFileNameW(&dialog);
  for (HWND window : disabled) EnableWindow(window, TRUE);
  if (owner != nullptr) SetActiveWindow(owner);
  if (!chosen) return {};
  return FromWide(file_name.data());
}

}  // namespace

std::unique_ptr<MainWindow> OpenMainWindow() { return std::make_unique<Win32MainWindow>(); }

HWND MainWindowHandle(MainWindow& window) { return static_cast<Win32MainWindow&>(window).handle(); }

}  // namespace varnolt
