// The Win32 window in the test process itself: real controls, real messages.
// Needs a display (the Windows test script runs Wine inside Xvfb).
#include "ui/win32_main_window.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

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

  // Polls until the queue is empty; returns every code seen.
  std::vector<int> Drain() {
    std::vector<int> codes;
    for (int turn = 0; turn < 1000; ++turn) {
      const int code = window_->PollEvent();
      if (code == EventNone) break;
      codes.push_back(code);
    }
    return codes;
  }

  // Posts a key press to the focused control and polls it through.
  void PressKey(WORD key) {
    HWND target = GetFocus() != nullptr ? GetFocus() : hwnd_;
    PostMessageA(target, WM_KEYDOWN, key, 1);
    PostMessageA(target, WM_KEYUP, key, 0xC0000001);
  }

  std::unique_ptr<MainWindow> window_;
  HWND hwnd_ = nullptr;
};

int ControlEvents(const std::vector<int>& codes) {
  int events = 0;
  for (int code : codes) events += code == EventControl;
  return events;
}

// --- Window and controls as built

TEST_F(Win32MainWindowTest, WindowIsTitledCentredAndHasTheClientSize) {
  char text[64] = {};
  GetWindowTextA(hwnd_, text, sizeof text);
  EXPECT_STREQ(text, "Varnolt V1 BUILD 2");
  char class_name[64] = {};
  GetClassNameA(hwnd_, class_name, sizeof class_name);
  EXPECT_STREQ(class_name, "WindowClass_0");

  RECT client;
  GetClientRect(hwnd_, &client);
  EXPECT_EQ(client.right - client.left, 370);
  EXPECT_EQ(client.bottom - client.top, 330);

  const DWORD style = GetWindowLongA(hwnd_, GWL_STYLE);
  EXPECT_EQ(style & 0xFFFF0000 & ~WS_CLIPSIBLINGS, 0x10C80000u);
  RECT outer;
  GetWindowRect(hwnd_, &outer);
  const int width = outer.right - outer.left;
  const int height = outer.bottom - outer.top;
  EXPECT_EQ(outer.left, GetSystemMetrics(SM_CXSCREEN) / 2 - width / 2);
  EXPECT_EQ(outer.top, GetSystemMetrics(SM_CYSCREEN) / 2 - height / 2);
}

TEST_F(Win32MainWindowTest, ControlsHaveTheirIdsGeometryAndStyles) {
  struct Expected {
    const char* class_prefix;
    RECT rect;
    DWORD style;
    bool client_edge;
  };
  const Expected expected[7] = {
      {"Static", {10, 10, 110, 30}, 0x50020002, true},
      {"Edit", {110, 10, 335, 30}, 0x50030080, true},
      {"Button", {335, 10, 360, 30}, 0x50030000, false},
      {"msctls_progress32", {10, 35, 360, 55}, 0x50000000, false},
      {"RichEdit", {10, 120, 360, 320}, 0x503111C4, true},
      {"Button", {10, 60, 360, 80}, 0x50030000, false},
      {"ListBox", {10, 85, 360, 115}, 0x50330141, true},
  };
  for (int id = 0; id < 7; ++id) {
    SCOPED_TRACE(id);
    HWND control = Control(id);
    ASSERT_NE(control, nullptr);
    char class_name[64] = {};
    GetClassNameA(control, class_name, sizeof class_name);
    EXPECT_EQ(_strnicmp(class_name, expected[id].class_prefix, strlen(expected[id].class_prefix)),
              0)
        << class_name;
    RECT rect;
    GetWindowRect(control, &rect);
    MapWindowPoints(nullptr, hwnd_, reinterpret_cast<POINT*>(&rect), 2);
    EXPECT_EQ(rect.left, expected[id].rect.left);
    EXPECT_EQ(rect.top, expected[id].rect.top);
    EXPECT_EQ(rect.right, expected[id].rect.right);
    EXPECT_EQ(rect.bottom, expected[id].rect.bottom);
    // The scroll-bar bits come and go with the bars' visibility.
    const DWORD kMask = 0xFFFF0000 & ~(WS_VSCROLL | WS_HSCROLL);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(control, GWL_STYLE)) & kMask,
              expected[id].style & kMask);
    EXPECT_EQ((GetWindowLongA(control, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) != 0,
              expected[id].client_edge);
  }
  char label[32] = {};
  GetWindowTextA(Control(kInputLabel), label, sizeof label);
  EXPECT_STREQ(label, "input File:");
  EXPECT_EQ(SendMessageA(Control(kProgressBar), PBM_GETRANGE, FALSE, 0), 100);
  EXPECT_EQ(SendMessageA(Control(kProgressBar), PBM_GETPOS, 0, 0), 0);
}

// --- Result list

TEST_F(Win32MainWindowTest, ResultListKeepsOneLinePerItemWithoutOuterBreaks) {
  window_->AddItem(kResultList, "");
  EXPECT_EQ(GetWindowTextLengthA(Control(kResultList)), 0);
  window_->AddItem(kResultList, "a");
  window_->AddItem(kResultList, "b");
  EXPECT_EQ(window_->ItemText(kResultList, 0), "a");
  EXPECT_EQ(window_->ItemText(kResultList, 1), "b");
  EXPECT_EQ(window_->ItemText(kResultList, 2), "");
  EXPECT_EQ(window_->ItemText(kResultList, -1), "");
  EXPECT_EQ(SendMessageA(Control(kResultList), EM_GETLINECOUNT, 0, 0), 2);

  window_->ClearItems(kResultList);
  EXPECT_EQ(window_->ItemText(kResultList, 0), "");
  window_->AddItem(kResultList, "x");
  EXPECT_EQ(SendMessageA(Control(kResultList), EM_GETLINECOUNT, 0, 0), 1);
  EXPECT_EQ(window_->ItemText(kResultList, 0), "x");
}

TEST_F(Win32MainWindowTest, ResultListPassesLinkBytesAndLongLinesUnchanged) {
  // Bytes of the upper half reach the ANSI control and come back as they were.
  const std::string accented = "ed2k://|file|\xC4\xD6\xDC\xE4\xF6\xFC\xDF|1|ab|/";
  const std::string long_link = "ed2k://|file|" + std::string(5000, 'w') + "|1|ab|/";
  window_->AddItem(kResultList, accented);
  window_->AddItem(kResultList, long_link);
  EXPECT_EQ(window_->ItemText(kResultList, 0), accented);
  EXPECT_EQ(window_->ItemText(kResultList, 1), long_link);
}

// Before, the control's default limit of 32,767 characters silently dropped
// every link past it while the summary still counted them.
TEST_F(Win32MainWindowTest, ResultListHoldsMoreThanTheDefaultTextLimit) {
  const int kLines = 40;
  const auto line = [](int i) {
    std::string text = "ed2k://|file|";
    text.append(std::to_string(i)).append(1000, 'x').append("|/");
    return text;
  };
  for (int i = 0; i < kLines; ++i) window_->AddItem(kResultList, line(i));
  EXPECT_EQ(SendMessageA(Control(kResultList), EM_GETLINECOUNT, 0, 0), kLines);
  EXPECT_EQ(window_->ItemText(kResultList, kLines - 1), line(kLines - 1));
}

// --- Status log, input field, progress bar

TEST_F(Win32MainWindowTest, StatusLogReadsAndDeletesOnlyItsOwnItems) {
  window_->AddItem(kStatusLog, "one");
  window_->AddItem(kStatusLog,
                   "\xD6"
                   "ffne");
  EXPECT_EQ(window_->CountItems(kStatusLog), 2);
  EXPECT_EQ(window_->ItemText(kStatusLog, 1),
            "\xD6"
            "ffne");
  EXPECT_EQ(window_->ItemText(kStatusLog, -1), "");
  EXPECT_EQ(window_->ItemText(kStatusLog, 2), "");
  window_->RemoveItem(kStatusLog, -1);
  window_->RemoveItem(kStatusLog, 2);
  EXPECT_EQ(window_->CountItems(kStatusLog), 2);
  window_->RemoveItem(kStatusLog, 0);
  EXPECT_EQ(window_->ItemText(kStatusLog, 0),
            "\xD6"
            "ffne");

  // The program's own selection raises no event.
  Drain();
  window_->SelectItem(kStatusLog, 0);
  EXPECT_EQ(SendMessageA(Control(kStatusLog), LB_GETCURSEL, 0, 0), 0);
  PostMessageA(hwnd_, WM_NULL, 0, 0);
  EXPECT_EQ(ControlEvents(Drain()), 0);
}

TEST_F(Win32MainWindowTest, InputFieldAndProgressBarTakeTheirValues) {
  window_->SetText(kInputField, "C:\\pfad\\\xE4.htm");
  EXPECT_EQ(window_->GetText(kInputField), "C:\\pfad\\\xE4.htm");
  window_->SetText(kInputField, "");
  EXPECT_EQ(window_->GetText(kInputField), "");
  window_->SetProgress(kProgressBar, 57);
  EXPECT_EQ(SendMessageA(Control(kProgressBar), PBM_GETPOS, 0, 0), 57);
  // Operations addressed to the wrong control do nothing.
  EXPECT_EQ(window_->GetText(kStatusLog), "");
  EXPECT_EQ(window_->CountItems(kResultList), 0);
}

// --- Events

TEST_F(Win32MainWindowTest, EmptyQueueGivesNoEventAndCloseLeavesTheWindow) {
  EXPECT_EQ(window_->PollEvent(), EventNone);
  PostMessageA(hwnd_, WM_CLOSE, 0, 0);
  EXPECT_EQ(window_->PollEvent(), EventClose);
  EXPECT_TRUE(IsWindow(hwnd_));
  EXPECT_TRUE(IsWindowVisible(hwnd_));
}

TEST_F(Win32MainWindowTest, ResizeArrivesThroughTheQueue) {
  SendMessageA(hwnd_, WM_SIZE, SIZE_RESTORED, MAKELPARAM(370, 330));
  EXPECT_EQ(window_->PollEvent(), EventResize);
  EXPECT_EQ(window_->PollEvent(), EventNone);
}

TEST_F(Win32MainWindowTest, ButtonsReportTheirIds) {
  SetFocus(Control(kBrowseButton));
  Drain();
  PressKey(VK_SPACE);
  std::vector<int> codes = Drain();
  ASSERT_EQ(ControlEvents(codes), 1);
  EXPECT_EQ(window_->EventControlId(), kBrowseButton);

  // A click is taken by SendMessage inside BM_CLICK; the event waits for the
  // next message the poll takes.
  SendMessageA(Control(kStartButton), BM_CLICK, 0, 0);
  PostMessageA(hwnd_, WM_NULL, 0, 0);
  EXPECT_EQ(window_->PollEvent(), EventControl);
  EXPECT_EQ(window_->EventControlId(), kStartButton);
}

TEST_F(Win32MainWindowTest, UserSelectionInTheStatusLogIsAnEvent) {
  window_->AddItem(kStatusLog, "one");
  window_->AddItem(kStatusLog, "two");
  SetFocus(Control(kStatusLog));
  Drain();
  PressKey(VK_DOWN);
  const std::vector<int> codes = Drain();
  EXPECT_EQ(ControlEvents(codes), 1);
  EXPECT_EQ(window_->EventControlId(), kStatusLog);
}

TEST_F(Win32MainWindowTest, TabAndShiftTabWalkTheFocusRing) {
  ASSERT_EQ(GetActiveWindow(), hwnd_);
  SetFocus(Control(kInputField));
  Drain();
  const int forward[] = {kBrowseButton, kResultList, kStartButton, kStatusLog, kInputField};
  for (int id : forward) {
    PressKey(VK_TAB);
    Drain();
    EXPECT_EQ(GetFocus(), Control(id)) << "forward to " << id;
  }
  // Tab reached the result list as a command, never as a character.
  EXPECT_EQ(GetWindowTextLengthA(Control(kResultList)), 0);

  BYTE keys[256];
  GetKeyboardState(keys);
  keys[VK_SHIFT] = 0x80;
  SetKeyboardState(keys);
  const int backward[] = {kStatusLog, kStartButton, kResultList, kBrowseButton, kInputField};
  for (int id : backward) {
    PressKey(VK_TAB);
    Drain();
    EXPECT_EQ(GetFocus(), Control(id)) << "backward to " << id;
  }
  keys[VK_SHIFT] = 0;
  SetKeyboardState(keys);

  // With the focus in no control, Tab starts at the first of the ring.
  SetFocus(hwnd_);
  PressKey(VK_TAB);
  Drain();
  EXPECT_EQ(GetFocus(), Control(kInputField));
}

// --- Open-file dialog

// Answers the dialog from a second thread once it shows: types `name` (when
// given) and confirms, or cancels. Records whether the main window was
// disabled meanwhile.
class DialogAnswer {
 public:
  DialogAnswer(HWND main, std::string name) : main_(main), name_(std::move(name)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~DialogAnswer() { thread_.join(); }
  bool found() const { return found_; }
  bool main_was_disabled() const { return main_was_disabled_; }

 private:
  void Run() {
    for (int tries = 0; tries < 200; ++tries) {
      HWND dialog = FindWindowA(nullptr, "Datei zum einlesen");
      if (dialog != nullptr && IsWindowVisible(dialog)) {
        found_ = true;
        main_was_disabled_ = !IsWindowEnabled(main_);
        if (name_.empty()) {
          PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
        } else {
          SetDlgItemTextA(dialog, 0x47C, name_.c_str());  // the file-name box
          PostMessageA(dialog, WM_COMMAND, IDOK, 0);
        }
        return;
      }
      Sleep(50);
    }
  }

  HWND main_;
  std::string name_;
  std::atomic<bool> found_ = false;
  std::atomic<bool> main_was_disabled_ = false;
  std::thread thread_;
};

TEST_F(Win32MainWindowTest, FileDialogAcceptsANewNameAndCancelGivesEmpty) {
  char folder[MAX_PATH];
  GetTempPathA(sizeof folder, folder);
  const std::string missing =
      std::string(folder) + "varnolt-neu-" + std::to_string(GetCurrentProcessId()) + ".htm";
  std::string chosen;
  {
    DialogAnswer answer(hwnd_, missing);
    chosen = window_->ChooseInputFile();
    ASSERT_TRUE(answer.found());
    EXPECT_TRUE(answer.main_was_disabled());
  }
  EXPECT_EQ(_stricmp(chosen.c_str(), missing.c_str()), 0) << chosen;
  EXPECT_TRUE(IsWindowEnabled(hwnd_));
  {
    DialogAnswer answer(hwnd_, "");
    EXPECT_EQ(window_->ChooseInputFile(), "");
    EXPECT_TRUE(answer.found());
  }
  EXPECT_TRUE(IsWindowEnabled(hwnd_));
}

}  // namespace
}  // namespace varnolt
