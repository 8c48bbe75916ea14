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

#include "tests/local_http_server.h"
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

// Starts `argv` with its stderr sent to `log` (kept as is when empty), in the
// folder `dir` (the current one when empty).
pid_t Spawn(const std::vector<std::string>& argv, const std::string& log = "",
            const std::string& dir = "") {
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (!log.empty()) (void)!::freopen(log.c_str(), "w", stderr);
    if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(126);
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

  // Starts the program in the test's folder and returns its window, 0 when
  // none shows.
  Window StartProgram() {
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::setenv("LSAN_OPTIONS", "suppressions=" VARNOLT_LSAN_SUPPRESSIONS, 1);
    program_ = Spawn({VARNOLT_PATH}, log_, dir_.string());
    Window window = 0;
    WaitFor([&] { return (window = FindWindow()) != 0; }, 30);
    return window;
  }

  // Waits up to `seconds` for the program to end; true when it ended with
  // status 0.
  bool EndsWithStatusZero(int seconds) {
    int status = -1;
    if (!WaitFor([&] { return ::waitpid(program_, &status, WNOHANG) == program_; }, seconds)) {
      ADD_FAILURE() << "the program is still running after " << seconds << " s";
      return false;
    }
    program_ = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << Output("cat '" + log_ + "'");
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
        if (XFetchName(display_, children[i], &name) && name &&
            std::string(name) == varnolt::kWindowTitle &&
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
    Output("xdotool mousemove --window " + std::to_string(window) + " " + std::to_string(x) + " " +
           std::to_string(y) + " click 1");
  }

  pid_t xvfb_ = -1;
  pid_t program_ = -1;
  std::string display_name_;
  Display* display_ = nullptr;
  varnolt::TempDir temp_;
  const fs::path& dir_ = temp_.path();
  const std::string log_ = (dir_ / "varnolt.log").string();
};

TEST_F(RealWindowTest, StartFillsTheResultListAndCloseEndsTheProgram) {
  const fs::path page = dir_ / "page.htm";
  std::ofstream(page) << "x ed2k://|file|a|1|AA|/ ed2k://|file|b|2|BB|/ ed2k://|file|a|1|AA|/";

  const Window window = StartProgram();
  ASSERT_NE(window, 0u) << "no window";

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
  EXPECT_TRUE(EndsWithStatusZero(20));
}

// Before, a download froze the window, and its close request waited for a
// transfer that a slow server may never end.
TEST_F(RealWindowTest, CloseRequestDuringASlowDownloadEndsTheProgram) {
  varnolt::TestServer server(
      {{"/slow.htm", varnolt::Trickle("HTTP/1.1 200 OK\r\n\r\n", "x", 100)}});
  const Window window = StartProgram();
  ASSERT_NE(window, 0u) << "no window";
  Click(window, 220, 20);  // the input field
  Output("xdotool type --delay 1 '" + server.Url("/slow.htm") + "'");
  Click(window, 185, 70);  // "START"
  ASSERT_TRUE(WaitFor([&] { return server.HeldConnections() > 0; }, 20)) << "no download";
  RequestClose(window);
  EXPECT_TRUE(EndsWithStatusZero(5));
  EXPECT_FALSE(fs::exists(dir_ / "download.htm"));
}

}  // namespace
