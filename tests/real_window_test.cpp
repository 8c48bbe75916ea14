// The built program in a real X server: Xvfb, started and stopped here. Input
// comes through xdotool, the clipboard is read with xclip, and the close
// request is the window-manager message a close button sends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "tests/temp_dir.h"
#include "ui/main_window.h"

// Xlib's macros (None, Bool, Status) would clash with GoogleTest's names.
#include <X11/Xlib.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;



bool WaitFor(const std::function<bool()>& done, int seconds) {
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// Runs `command` through the shell and returns what it printed.
std::string Output(const std::string& command) {
  std::string text;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    ::pclose(pipe);
  }
  return text;
}

// Starts `argv` with its stderr sent to `log` (kept as is when empty).
pid_t Spawn(const std::vector<std::string>& argv, const std::string& log = "") {
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (!log.empty()) (void)!::freopen(log.c_str(), "w", stderr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  return pid;
}

class RealWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Xvfb picks a free display itself and reports it through a pipe.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    xvfb_ = Spawn({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", "1024x768x24",
                   "-nolisten", "tcp"});
    ::close(fds[1]);
    char number[16] = {};
    ASSERT_GT(::read(fds[0], number, sizeof number - 1), 0) << "Xvfb did not start";
    ::close(fds[0]);
    display_name_ = ":" + std::to_string(std::atoi(number));
    ::setenv("DISPLAY", display_name_.c_str(), 1);
    ASSERT_TRUE(WaitFor([this] { return (display_ = XOpenDisplay(display_name_.c_str())); }, 10));
  }

  void TearDown() override {
    if (program_ > 0) {
      ::kill(program_, SIGKILL);
      ::waitpid(program_, nullptr, 0);
    }
    if (display_) XCloseDisplay(display_);
    ::kill(xvfb_, SIGTERM);
    ::waitpid(xvfb_, nullptr, 0);
  }

  // The mapped top-level window titled kWindowTitle, or 0.
  Window FindWindow() {
    Window root = DefaultRootWindow(display_), parent, *children = nullptr;
    unsigned count = 0;
    Window found = 0;
    if (XQueryTree(display_, root, &root, &parent, &children, &count)) {
      for (unsigned i = 0; i < count && !found; ++i) {
        char* name = nullptr;
        XWindowAttributes attributes;
        if (XFetchName(display_, children[i], &name) && name && std::string(name) == varnolt::kWindowTitle &&
            XGetWindowAttributes(display_, children[i], &attributes) &&
            attributes.map_state == IsViewable) {
          found = children[i];
        }
        if (name) XFree(name);
      }
      if (children) XFree(children);
    }
    return found;
  }

  // What a close button does: the window manager's "delete window" message.
  void RequestClose(Window window) {
    XEvent event = {};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display_, window, False, NoEventMask, &event);
    XFlush(display_);
  }

  void Click(Window window, int x, int y) {
    Output("xdotool mousemove --window " + std::to_string(window) + " " + std::to_string(x) +
           " " + std::to_string(y) + " click 1");
  }

  pid_t xvfb_ = -1;
  pid_t program_ = -1;
  std::string display_name_;
  Display* display_ = nullptr;
  varnolt::TempDir temp_;
  const fs::path& dir_ = temp_.path();
};

TEST_F(RealWindowTest, StartFillsTheResultListAndCloseEndsTheProgram) {
  const fs::path page = dir_ / "page.htm";
  std::ofstream(page) << "x ed2k://|file|a|1|AA|/ ed2k://|file|b|2|BB|/ ed2k://|file|a|1|AA|/";

  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  ::setenv("LSAN_OPTIONS", "suppressions=" VARNOLT_LSAN_SUPPRESSIONS, 1);
  const std::string log = (dir_ / "varnolt.log").string();
  program_ = Spawn({VARNOLT_PATH}, log);
  Window window = 0;
  ASSERT_TRUE(WaitFor([&] { return (window = FindWindow()) != 0; }, 30)) << "no window";

  XWindowAttributes attributes;
  XGetWindowAttributes(display_, window, &attributes);
  EXPECT_EQ(attributes.width, 370);
  EXPECT_EQ(attributes.height, 330);

  Click(window, 220, 20);  // the input field
  Output("xdotool type --delay 1 '" + page.string() + "'");
  Click(window, 185, 70);  // "START"

  // Select all in the result list and copy it; the program serves the
  // clipboard from its event loop.
  std::string copied;
  EXPECT_TRUE(WaitFor(
      [&] {
        Click(window, 185, 220);
        Output("xdotool key ctrl+a ctrl+c");
        copied = Output("timeout 5 xclip -o -selection clipboard 2>/dev/null");
        return copied == "ed2k://|file|a|1|AA|/\ned2k://|file|b|2|BB|/";
      },
      30))
      << "clipboard: " << copied;

  RequestClose(window);
  int status = -1;
  EXPECT_TRUE(WaitFor([&] { return ::waitpid(program_, &status, WNOHANG) == program_; }, 20));
  program_ = -1;
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << Output("cat '" + log + "'");
}

// Checked before any display is needed.
TEST(RealWindow, MoreThanOneArgumentOrAnOptionIsAUsageError) {
  for (const char* args : {"a b", "--help", "-", "-- a b"}) {
    EXPECT_EQ(Output("env -u DISPLAY -u WAYLAND_DISPLAY '" VARNOLT_PATH "' " + std::string(args) +
                     " 2>&1; echo status $?"),
              "Usage: varnolt [FILE-OR-ADDRESS]\nstatus 2\n")
        << args;
  }
}

}  // namespace
