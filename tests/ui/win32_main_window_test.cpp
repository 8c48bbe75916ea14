// The Win32 window in the test process itself: real controls, real messages.
// Needs a display (the Windows test script runs Wine inside Xvfb).
#include "ui/win32_main_window.h"

#include <commctrl.h>
#include <gtest/gtest.h>
#include <shlobj.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "extract/boundary/status_log.h"
#include "extract/boundary/text_encoding.h"
#include "extract/boundary/wide_text.h"
#include "tests/allocation_failure.h"
#include "tests/ui/seen_layout.h"

namespace varnolt {
namespace {

class Win32MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = OpenMainWindow();
    hwnd_ = MainWindowHandle(*window_);
    ASSERT_NE(hwnd_, nullptr);
    SetForegroundWindow(hwnd_);
    SetActiveWindow(hwnd_);
    Drain();
  }

  HWND Control(int id) { return GetDlgItem(hwnd_, id); }

  // Polls the queue empty; counts control events, also one raised outside the poll.
  int Drain() {
    PostMessageA(hwnd_, WM_NULL, 0, 0);
    int events = 0;
    for (int turn = 0, code; turn < 1000 && (code = window_->PollEvent()) != EventNone; ++turn)
      events += code == EventControl;
    return events;
  }

  int PressKey(WORD key) {
    PostMessageA(GetFocus(), WM_KEYDOWN, key, 1);
    PostMessageA(GetFocus(), WM_KEYUP, key, 0xC0000001);
    return Drain();
  }

  // The keyboard table and the controls read Ctrl from the thread's key state.
  void PressControlKey(WORD key) {
    BYTE keys[256] = {};
    keys[VK_CONTROL] = 0x80;
    SetKeyboardState(keys);
    PressKey(key);
    BYTE released[256] = {};
    SetKeyboardState(released);
  }

  // A left click at a point of `control`'s client area, queued.
  static void PostClick(HWND control, int x, int y) {
    PostMessageW(control, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
    PostMessageW(control, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
  }

  // Whether the result list shown is the rich edit the lines were handed to.
  bool ListIsRichEdit() {
    wchar_t name[16] = {};
    GetClassNameW(Control(kResultList), name, 16);
    return std::wstring(name).starts_with(L"RichEdit");
  }

  static std::wstring ClipboardText(HWND owner) {
    if (!OpenClipboard(owner)) return L"(no clipboard)";
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    const std::wstring text = data != nullptr ? static_cast<const wchar_t*>(GlobalLock(data)) : L"";
    if (data != nullptr) GlobalUnlock(data);
    CloseClipboard();
    return text;
  }

  // Pixels from one line of the result list to the next, as the rich edit
  // lays them out with the window's font.
  static int LineHeight() {
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    TEXTMETRICW metrics = {};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return metrics.tmHeight;
  }

  std::unique_ptr<MainWindow> window_;
  HWND hwnd_ = nullptr;
};

// What a person sees: a fixed-size window in the middle of the screen that can
// be moved and closed but not resized or minimised.
TEST_F(Win32MainWindowTest, WindowShowsCentredWithAFixedClientArea) {
  EXPECT_EQ(FindWindowA("WindowClass_0", "Varnolt V1 BUILD 2"), hwnd_);
  RECT client, outer;
  GetClientRect(hwnd_, &client);
  EXPECT_EQ(client.right, kSeenClientWidth);
  EXPECT_EQ(client.bottom, kSeenClientHeight);
  GetWindowRect(hwnd_, &outer);
  EXPECT_LE(std::abs(outer.left - (GetSystemMetrics(SM_CXSCREEN) - outer.right)), 1);
  EXPECT_LE(std::abs(outer.top - (GetSystemMetrics(SM_CYSCREEN) - outer.bottom)), 1);
  const LONG style = GetWindowLongA(hwnd_, GWL_STYLE);
  EXPECT_TRUE((style & WS_VISIBLE) && (style & WS_SYSMENU));
  EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
  EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME), 0);
}

// Each control where the user sees it, with its first text: the rectangle it
// covers in the client area, uncovered, so that the point at its centre is
// its own. The label, the field and the lists sit in a sunken edge, the
// buttons and the bar do not.
TEST_F(Win32MainWindowTest, ControlsSitWhereTheUserSeesThem) {
  for (const SeenControl& seen : kSeenControls) {
    SCOPED_TRACE(seen.name);
    HWND control = Control(seen.id);
    ASSERT_NE(control, nullptr);
    EXPECT_TRUE(IsWindowVisible(control));
    RECT rect = {};
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&rect), 2);
    const std::array<LONG, 4> place = {rect.left, rect.top, rect.right - rect.left,
                                       rect.bottom - rect.top};
    EXPECT_EQ(place, (std::array<LONG, 4>{seen.x, seen.y, seen.width, seen.height}));
    const POINT centre = {seen.x + seen.width / 2, seen.y + seen.height / 2};
    EXPECT_EQ(ChildWindowFromPointEx(hwnd_, centre, CWP_ALL), control);
    char text[64] = {};
    GetWindowTextA(control, text, sizeof text);
    EXPECT_STREQ(text, seen.text);
    const bool sunken =
        seen.id != kBrowseButton && seen.id != kStartButton && seen.id != kProgressBar;
    EXPECT_EQ((GetWindowLongA(control, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) != 0, sunken);
  }
  EXPECT_EQ(GetWindowLongA(Control(kInputLabel), GWL_STYLE) & SS_TYPEMASK, SS_RIGHT);
  EXPECT_EQ(SendMessageA(Control(kProgressBar), PBM_GETRANGE, FALSE, 0), 100);
}

// The lines read the same from the line view and, handed over, from the rich
// edit: a break inside an item starts a line in both.
TEST_F(Win32MainWindowTest, ResultListKeepsOneLinePerItemWithoutOuterBreaks) {
  window_->AddItem(kResultList, "old");
  PostClick(Control(kResultList), 2, 2);  // handed over: the clear goes back to the view
  Drain();
  ASSERT_TRUE(ListIsRichEdit());
  window_->ClearItems(kResultList);
  EXPECT_FALSE(ListIsRichEdit());
  window_->AddItem(kResultList, "");  // the length stays 0: no break before the next line
  window_->AddItem(kResultList, "\xC3\x84\xC3\x96\xC3\x9F");
  window_->AddItem(kResultList, "b");
  window_->AddItem(kResultList, "c\nd\r\ne\rf");
  const std::string lines[] = {"\xC3\x84\xC3\x96\xC3\x9F", "b", "c", "d", "e", "f"};
  for (bool handed_over : {false, true}) {
    SCOPED_TRACE(handed_over);
    if (handed_over) PostClick(Control(kResultList), 2, 2);
    Drain();
    EXPECT_EQ(ListIsRichEdit(), handed_over);
    EXPECT_EQ(SendMessageA(Control(kResultList), EM_GETLINECOUNT, 0, 0), 6);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(window_->ItemText(kResultList, i), lines[i]);
    EXPECT_EQ(window_->ItemText(kResultList, 6) + window_->ItemText(kResultList, -1), "");
  }
}

// Links named in any script show as such and leave the list, copied, as the
// same characters; before, UTF-8 names showed and copied as Windows-1252
// ("ä¸­æ–‡" for "中文"), and the ed2k client saved the files under them.
TEST_F(Win32MainWindowTest, ResultListShowsAndCopiesNamesInEveryScript) {
  const std::string links[] = {
      "ed2k://|file|\xE4\xB8\xAD\xE6\x96\x87\xE7\x94\xB5\xE5\xBD\xB1.2024.mkv|1|AA|/",
      "ed2k://|file|Caf\xC3\xA9 Cr\xC3\xA8me.iso|2|BB|/",
      "ed2k://|file|\xF0\x9F\x8E\xAC \xD0\x9A\xD0\xB8\xD0\xBD\xD0\xBE.avi|3|CC|/",
  };
  const std::wstring shown =
      L"ed2k://|file|中文电影.2024.mkv|1|AA|/\r\n"
      L"ed2k://|file|Café Crème.iso|2|BB|/\r\n"
      L"ed2k://|file|\xD83C\xDFAC Кино.avi|3|CC|/";
  for (const std::string& link : links) window_->AddItem(kResultList, link);
  for (int line = 0; line < 3; ++line) EXPECT_EQ(window_->ItemText(kResultList, line), links[line]);

  // Ctrl+A, then Ctrl+Insert in the line view and Ctrl+C in the rich edit.
  Drain();
  SetFocus(Control(kResultList));
  for (bool handed_over : {false, true}) {
    SCOPED_TRACE(handed_over);
    if (handed_over) {
      PostClick(Control(kResultList), 2, 2);
      Drain();
    }
    OpenClipboard(hwnd_);
    EmptyClipboard();
    CloseClipboard();
    PressControlKey('A');
    PressControlKey(handed_over ? 'C' : VK_INSERT);
    EXPECT_EQ(ListIsRichEdit(), handed_over);
    EXPECT_EQ(ClipboardText(hwnd_), shown);
  }
}

// Bytes that are not UTF-8 show in the system's code page, and read back as
// what they showed as; they never vanish.
TEST_F(Win32MainWindowTest, LinesThatAreNotUtf8ShowInTheSystemsCodePage) {
  if (GetACP() != 1252) GTEST_SKIP() << "written for a Western system, this one has " << GetACP();
  window_->AddItem(kResultList, "ed2k://|file|M\xE4rz \x80.iso|1|AA|/");
  window_->AddItem(kStatusLog,
                   "\xC3\x96"
                   "ffne Datei: m\xE4rz.htm...");
  EXPECT_EQ(window_->ItemText(kResultList, 0), "ed2k://|file|M\xC3\xA4rz \xE2\x82\xAC.iso|1|AA|/");
  EXPECT_EQ(window_->ItemText(kStatusLog, window_->CountItems(kStatusLog) - 1),
            "\xC3\x96"
            "ffne Datei: m\xC3\xA4rz.htm...");
}

// GetText gives at most 31,999 bytes of UTF-8; a character that would cross
// the limit is left out whole, never cut into a broken sequence.
TEST_F(Win32MainWindowTest, InputFieldTextStopsAtTheByteLimitBetweenCharacters) {
  const struct {
    std::wstring text;
    size_t bytes;
  } cases[] = {
      {std::wstring(31996, L'a') + L"中", 31999},            // fits exactly
      {std::wstring(31997, L'a') + L"中", 31997},            // would need 32,000
      {std::wstring(31996, L'a') + L"\xD83D\xDE00", 31996},  // four bytes
      {std::wstring(10000, L'中') + L"x", 30001},            // three bytes a character
      {std::wstring(10666, L'中') + L"中", 31998},
  };
  for (const auto& c : cases) {
    SetWindowTextW(Control(kInputField), c.text.c_str());
    const std::string text = window_->GetText(kInputField);
    EXPECT_EQ(text.size(), c.bytes);
    EXPECT_TRUE(IsValidUtf8(text));
  }
}

// A name with an unpaired surrogate (Windows allows one) goes into the field
// and comes out again as the same bytes, so that it still names its file.
TEST_F(Win32MainWindowTest, InputFieldKeepsNamesTheSystemHandedOver) {
  const std::string names[] = {"C:\\\xE4\xB8\x8B\xE8\xBD\xBD\xE9\xA1\xB5.htm",
                               "C:\\x\xED\xA0\x80y.htm", "\xF0\x9F\x98\x80"};
  const std::wstring wide[] = {L"C:\\下载页.htm", L"C:\\x\xD800y.htm", L"\xD83D\xDE00"};
  for (int i = 0; i < 3; ++i) {
    window_->SetText(kInputField, names[i]);
    wchar_t shown[64] = {};
    GetWindowTextW(Control(kInputField), shown, 64);
    EXPECT_EQ(std::wstring(shown), wide[i]);
    EXPECT_EQ(window_->GetText(kInputField), names[i]);
  }
}

// Before, the control's default limit of 32,767 characters silently dropped
// every link past it while the summary still counted them.
TEST_F(Win32MainWindowTest, ResultListHoldsMoreThanTheDefaultTextLimit) {
  const auto line = [](int i) { return std::to_string(i) + std::string(1000, 'x'); };
  for (int i = 0; i < 40; ++i) window_->AddItem(kResultList, line(i));
  PostClick(Control(kResultList), 2, 2);
  Drain();
  ASSERT_TRUE(ListIsRichEdit());
  EXPECT_EQ(SendMessageA(Control(kResultList), EM_GETLINECOUNT, 0, 0), 40);
  EXPECT_EQ(window_->ItemText(kResultList, 39), line(39));
}

// Before, every line went into a rich edit, which lays out each line it takes
// (some 150 us a link under Wine). The view takes them as they come, follows
// the end while the user has not scrolled away, and is never handed over
// for showing them.
TEST_F(Win32MainWindowTest, ResultListTakesTwentyThousandLinesInOrder) {
  const auto link = [](int i) {
    return "ed2k://|file|Film." + std::to_string(i) + ".avi|" + std::to_string(i * 7919) +
           "|0123456789ABCDEF0123456789ABCDEF|/";
  };
  constexpr int kLines = 20000;
  for (int i = 0; i < kLines; ++i) window_->AddItem(kResultList, link(i));
  Drain();
  HWND list = Control(kResultList);
  EXPECT_FALSE(ListIsRichEdit());
  EXPECT_EQ(SendMessageA(list, EM_GETLINECOUNT, 0, 0), kLines);
  int wrong = 0;
  for (int i = 0; i < kLines; ++i) wrong += window_->ItemText(kResultList, i) != link(i);
  EXPECT_EQ(wrong, 0);
  const LRESULT at_end = SendMessageA(list, EM_GETFIRSTVISIBLELINE, 0, 0);
  EXPECT_GT(at_end, kLines - 20);

  // Scrolled to the top, the user stays there while lines come.
  PostMessageW(list, WM_VSCROLL, SB_TOP, 0);
  Drain();
  window_->AddItem(kResultList, link(kLines));
  Drain();
  EXPECT_EQ(SendMessageA(list, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
  // Back at the end, it follows again. (The second turn lets the scroll bars
  // settle on the widths of the lines the first one drew.)
  PostMessageW(list, WM_VSCROLL, SB_BOTTOM, 0);
  Drain();
  Drain();
  const LRESULT bottom = SendMessageA(list, EM_GETFIRSTVISIBLELINE, 0, 0);
  EXPECT_GT(bottom, at_end);
  window_->AddItem(kResultList, link(kLines + 1));
  Drain();
  EXPECT_EQ(SendMessageA(list, EM_GETFIRSTVISIBLELINE, 0, 0), bottom + 1);
  EXPECT_FALSE(ListIsRichEdit());
}

// Ctrl+Z takes back what the user typed into the list, never the program's
// lines: before, it took a scan's links away again. The click that hands the
// lines to the rich edit places the caret where it was made.
TEST_F(Win32MainWindowTest, UndoLeavesTheAddedLinesAndTakesBackTyping) {
  const auto text = [this] {
    wchar_t shown[64] = {};
    GetWindowTextW(Control(kResultList), shown, 64);
    return std::wstring(shown);
  };
  window_->AddItem(kResultList, "a");
  window_->AddItem(kResultList, "b");
  Drain();
  SetFocus(Control(kResultList));
  PostClick(Control(kResultList), 2, LineHeight() * 3 / 2);  // before the "b"
  PostMessageW(Control(kResultList), WM_CHAR, 'x', 1);
  window_->PollEvent();
  EXPECT_TRUE(ListIsRichEdit());  // a short list goes over at once
  Drain();
  ASSERT_TRUE(ListIsRichEdit());
  EXPECT_EQ(text(), L"a\r\nxb");
  PressControlKey('Z');
  EXPECT_EQ(text(), L"a\r\nb");
  PressControlKey('Z');
  EXPECT_EQ(text(), L"a\r\nb");
}

// A list too long to hand over within one message moves a batch per turn:
// the window goes on answering meanwhile, the view keeps its place and every
// line, and the input that came meanwhile reaches the rich edit afterwards,
// with the view's scroll position.
TEST_F(Win32MainWindowTest, LargeHandOverKeepsTheWindowAnsweringAndDeliversTheInput) {
  const auto line = [](int i) { return "line " + std::to_string(i) + std::string(60, '.'); };
  constexpr int kLines = 3000;  // some three batches
  for (int i = 0; i < kLines; ++i) window_->AddItem(kResultList, line(i));
  Drain();
  HWND view = Control(kResultList);
  SetFocus(Control(kInputField));  // the click brings the focus
  PostMessageW(view, WM_VSCROLL, SB_TOP, 0);
  PostMessageW(view, WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-40 * WHEEL_DELTA)), 0);
  Drain();
  const LRESULT first = SendMessageW(view, EM_GETFIRSTVISIBLELINE, 0, 0);
  ASSERT_GT(first, 50);
  // The third line in view: a point no other test clicks, which Wine's rich
  // edit could take for the second click of a double click.
  const int y = LineHeight() * 5 / 2;
  PostMessageW(view, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, y));
  PostMessageA(hwnd_, WM_CLOSE, 0, 0);
  PostMessageW(view, WM_LBUTTONUP, 0, MAKELPARAM(2, y));
  window_->PollEvent();
  PostMessageW(GetFocus(), WM_CHAR, 'x', 1);
  bool closed = false;
  for (int turn = 0; turn < 10 && !closed; ++turn) closed = window_->PollEvent() == EventClose;
  EXPECT_TRUE(closed);
  EXPECT_EQ(Control(kResultList), view);  // still handing over
  EXPECT_TRUE(IsWindowVisible(view));
  EXPECT_EQ(window_->ItemText(kResultList, kLines - 1), line(kLines - 1));
  window_->AddItem(kResultList, line(kLines));  // a scan still at work: the rich edit chases it

  for (int turn = 0; turn < 100 && !ListIsRichEdit(); ++turn) Drain();
  ASSERT_TRUE(ListIsRichEdit());
  HWND rich_edit = Control(kResultList);
  EXPECT_TRUE(IsWindowVisible(rich_edit));
  EXPECT_FALSE(IsWindowVisible(view));
  EXPECT_EQ(GetFocus(), rich_edit);
  EXPECT_EQ(SendMessageW(rich_edit, EM_GETFIRSTVISIBLELINE, 0, 0), first);
  EXPECT_EQ(SendMessageW(rich_edit, EM_GETLINECOUNT, 0, 0), kLines + 1);
  std::string typed_into = line(first + 2);
  typed_into.insert(typed_into.begin(), 'x');
  EXPECT_EQ(window_->ItemText(kResultList, first + 2), typed_into);
  EXPECT_EQ(window_->ItemText(kResultList, kLines), line(kLines));
}

// A line that finds no room is not added and leaves the lines before it as
// they were; the list goes on taking lines once memory is there again.
TEST_F(Win32MainWindowTest, ResultListOutOfMemoryKeepsTheLinesBeforeIt) {
  const auto line = [](int i) { return std::to_string(i) + std::string(100, 'x'); };
  int failed_at = -1;
  FailAllocationsOfAtLeast(4096);
  for (int i = 0; i < 100 && failed_at < 0; ++i) {
    try {
      window_->AddItem(kResultList, line(i));
    } catch (const std::bad_alloc&) {
      failed_at = i;
    }
  }
  AllowAllocations();
  ASSERT_GT(failed_at, 0);
  window_->AddItem(kResultList, "after");
  window_->AddItem(kStatusLog, "still here");
  Drain();
  EXPECT_EQ(SendMessageA(Control(kResultList), EM_GETLINECOUNT, 0, 0), failed_at + 1);
  EXPECT_EQ(window_->ItemText(kResultList, failed_at - 1), line(failed_at - 1));
  EXPECT_EQ(window_->ItemText(kResultList, failed_at), "after");
  EXPECT_EQ(window_->ItemText(kStatusLog, window_->CountItems(kStatusLog) - 1), "still here");
}

// A scan logs a line per link, each selected so that the newest shows; the
// list box takes them a batch at a time and shows the last one selected.
TEST_F(Win32MainWindowTest, StatusLogTakesItsLinesInBatchesAndShowsTheNewest) {
  constexpr int kLines = 5000;
  for (int i = 0; i < kLines; ++i) LogStatus(*window_, "Link gefunden", LogNewLine);
  HWND log = Control(kStatusLog);
  const LRESULT before_turn = SendMessageA(log, LB_GETCOUNT, 0, 0);
  EXPECT_GE(before_turn, 4096);
  EXPECT_LT(before_turn, kLines);
  EXPECT_EQ(window_->CountItems(kStatusLog), kLines);
  Drain();
  EXPECT_EQ(SendMessageA(log, LB_GETCOUNT, 0, 0), kLines);
  EXPECT_EQ(SendMessageA(log, LB_GETCURSEL, 0, 0), kLines - 1);
  EXPECT_GT(SendMessageA(log, LB_GETTOPINDEX, 0, 0), kLines - 3);
}

TEST_F(Win32MainWindowTest, StatusLogIgnoresIndicesOutsideTheList) {
  window_->AddItem(kStatusLog, "one");
  window_->AddItem(kStatusLog, "two");
  EXPECT_EQ(window_->ItemText(kStatusLog, -1) + window_->ItemText(kStatusLog, 2), "");
  window_->RemoveItem(kStatusLog, -1);
  window_->RemoveItem(kStatusLog, 2);
  window_->RemoveItem(kStatusLog, 0);
  EXPECT_EQ(window_->CountItems(kStatusLog), 1);
  EXPECT_EQ(window_->ItemText(kStatusLog, 0), "two");
}

// A list box also notifies on focus changes and on the program's own
// selection; of the status log, only the user's selection change is an event.
TEST_F(Win32MainWindowTest, CloseButtonsAndTheUsersSelectionAreEvents) {
  PostMessageA(hwnd_, WM_CLOSE, 0, 0);
  EXPECT_EQ(window_->PollEvent(), EventClose);
  EXPECT_TRUE(IsWindowVisible(hwnd_));  // closing is left to the program

  SetFocus(Control(kBrowseButton));
  EXPECT_EQ(PressKey(VK_SPACE), 1);
  EXPECT_EQ(window_->EventControlId(), kBrowseButton);
  SendMessageA(Control(kStartButton), BM_CLICK, 0, 0);  // notifies outside the poll
  EXPECT_EQ(Drain(), 1);
  EXPECT_EQ(window_->EventControlId(), kStartButton);

  window_->AddItem(kStatusLog, "one");
  window_->AddItem(kStatusLog, "two");
  SetFocus(Control(kStatusLog));
  window_->SelectItem(kStatusLog, 0);
  EXPECT_EQ(Drain(), 0);
  EXPECT_EQ(PressKey(VK_DOWN), 1);
  EXPECT_EQ(window_->EventControlId(), kStatusLog);
}

// While a command runs, KeepGoing() takes the close request, in whichever form
// it comes, ahead of its turn; the key typed before it still waits and is
// applied by the polls that follow.
TEST_F(Win32MainWindowTest, KeepGoingTakesOnlyTheCloseRequestAheadOfItsTurn) {
  HWND field = Control(kInputField);
  struct Message {
    HWND window;
    UINT code;
    WPARAM wparam;
    LPARAM lparam;
  };
  const std::vector<std::vector<Message>> requests = {
      {},
      {{hwnd_, WM_CLOSE, 0, 0}},
      {{hwnd_, WM_SYSCOMMAND, SC_CLOSE, 0}},
      {{field, WM_SYSKEYDOWN, VK_MENU, 0x20380001}, {field, WM_SYSKEYDOWN, VK_F4, 0x203E0001}},
      {{hwnd_, WM_NCLBUTTONDOWN, HTCLOSE, 0}},
  };
  for (size_t i = 0; i < requests.size(); ++i) {
    SCOPED_TRACE(i);
    window_->SetText(kInputField, "");
    Drain();
    PostMessageA(field, WM_CHAR, 'q', 1);
    for (const Message& message : requests[i]) {
      PostMessageA(message.window, message.code, message.wparam, message.lparam);
    }
    Sleep(50);  // KeepGoing() does its work at most every 30 ms
    EXPECT_EQ(window_->KeepGoing(), requests[i].empty());
    EXPECT_EQ(window_->GetText(kInputField), "");
    bool closed = false;
    for (int turn = 0, code; turn < 100 && (code = window_->PollEvent()) != EventNone; ++turn) {
      closed = closed || code == EventClose;
    }
    EXPECT_EQ(closed, !requests[i].empty());
    EXPECT_EQ(window_->GetText(kInputField), "q");
    EXPECT_TRUE(IsWindowVisible(hwnd_));
  }
}

TEST_F(Win32MainWindowTest, TabAndShiftTabWalkTheRingOfTabStops) {
  const auto walk = [&](BYTE shift, std::vector<int> stops) {
    BYTE keys[256] = {};  // the keyboard table reads Shift from the thread's key state
    keys[VK_SHIFT] = shift;
    SetKeyboardState(keys);
    for (int id : stops) {
      PressKey(VK_TAB);
      EXPECT_EQ(GetFocus(), Control(id)) << "shift " << int{shift} << " to " << id;
    }
  };
  SetFocus(Control(kInputField));
  walk(0, {kBrowseButton, kResultList, kStartButton, kStatusLog, kInputField});
  walk(0x80, {kStatusLog, kStartButton, kResultList, kBrowseButton, kInputField});
  SetFocus(hwnd_);  // in no control: the walk starts at the ring's first stop
  walk(0, {kInputField});
}

// What Explorer posts for a drop: the first file's path replaces the field's
// text, and no command is asked for. Explorer hands the names in UTF-16, here
// one that no ANSI code page but the Chinese one holds.
TEST_F(Win32MainWindowTest, DroppedFileFillsTheInputField) {
  EXPECT_NE(GetWindowLongA(hwnd_, GWL_EXSTYLE) & WS_EX_ACCEPTFILES, 0);
  window_->SetText(kInputField, "before");
  const std::wstring files =
      std::wstring(L"C:\\Seiten\\下载页 1.htm") + L'\0' + L"C:\\b.htm" + L'\0' + L'\0';
  const size_t bytes = files.size() * sizeof(wchar_t);
  HGLOBAL drop = GlobalAlloc(GHND, sizeof(DROPFILES) + bytes);
  auto* header = static_cast<DROPFILES*>(GlobalLock(drop));
  header->pFiles = sizeof(DROPFILES);
  header->fWide = TRUE;
  memcpy(reinterpret_cast<char*>(header) + sizeof(DROPFILES), files.data(), bytes);
  GlobalUnlock(drop);
  Drain();
  PostMessageW(hwnd_, WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0);
  Drain();
  EXPECT_EQ(window_->GetText(kInputField),
            "C:\\Seiten\\\xE4\xB8\x8B\xE8\xBD\xBD\xE9\xA1\xB5 1.htm");
  EXPECT_NE(window_->EventControlId(), kStartButton);
}

// The name is typed in Chinese: the dialog hands it over as UTF-8.
TEST_F(Win32MainWindowTest, FileDialogAcceptsANewNameAndCancelGivesEmpty) {
  for (const std::wstring& name :
       {std::to_wstring(GetCurrentProcessId()) + L"-下载页.htm", std::wstring()}) {
    // Answers the dialog once it shows: types the name and confirms, or cancels.
    std::thread answer([&] {
      HWND dialog = nullptr;
      for (int tries = 0; tries < 200 && !IsWindowVisible(dialog); ++tries) {
        Sleep(50);
        dialog = FindWindowW(nullptr, L"Datei zum einlesen");
      }
      EXPECT_FALSE(IsWindowEnabled(hwnd_)) << "the dialog is modal";
      SetDlgItemTextW(dialog, 0x47C, name.c_str());  // the file-name box
      PostMessageA(dialog, WM_COMMAND, name.empty() ? IDCANCEL : IDOK, 0);
    });
    const std::string chosen = window_->ChooseInputFile();
    answer.join();
    EXPECT_TRUE(name.empty() ? chosen.empty() : chosen.ends_with(FromWide(L"\\" + name))) << chosen;
    EXPECT_TRUE(IsWindowEnabled(hwnd_));
  }
}

}  // namespace
}  // namespace varnolt
