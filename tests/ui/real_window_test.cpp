// The built program in a real X server: Xvfb, started and stopped here. Input
// comes through xdotool, the clipboard is read with xclip, a drop is made by
// speaking the X drag-and-drop protocol (XDND) as a drag source would, and the
// close request is the window-manager message a close button sends.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "tests/fetch/local_http_server.h"
#include "tests/temp_dir.h"
#include "ui/main_window.h"

// Xlib's macros (None, Bool, Status) would clash with GoogleTest's names.
#include <X11/Xlib.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The links of examples/links.htm, as the result list shows them.
constexpr char kExampleLinks[] =
    "ed2k://|file|beispiel-1.0-install.iso|669851648|0A3F0E9C2A6D4B1B7C8E5F6A7B8C9D0E|/\n"
    "ed2k://|file|beispiel-1.0-live.iso|682209280|1B2C3D4E5F60718293A4B5C6D7E8F901|/\n"
    "ED2K://|FILE|README.TXT|1234|FFEEDDCCBBAA99887766554433221100|/";

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
    display_name_ = std::string(":").append(std::to_string(std::atoi(number)));
    ::setenv("DISPLAY", display_name_.c_str(), 1);
    ASSERT_TRUE(WaitFor([this] { return (display_ = XOpenDisplay(display_name_.c_str())); }, 10));
    // A request on the window of a program that died fails the test through
    // its checks; Xlib's default would end the test program, Xvfb left behind.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
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

  // Starts `program` with `args` in the test's folder and returns its
  // window, 0 when none shows.
  Window StartProgram(std::vector<std::string> args = {},
                      const std::string& program = VARNOLT_PATH) {
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    ::setenv("LSAN_OPTIONS", "suppressions=" VARNOLT_LSAN_SUPPRESSIONS, 1);
    args.insert(args.begin(), program);
    program_ = Spawn(args, log_, dir_.string());
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

  // Clicks into the control at (x, y), presses `keys` (xdotool's names; by
  // default, select all) and copies, until the clipboard holds `want`; the
  // program serves the clipboard from its event loop. Returns what was copied
  // last.
  std::string CopyUntil(Window window, int x, int y, const std::string& want,
                        const std::string& keys = "ctrl+a", int seconds = 30) {
    std::string copied;
    WaitFor(
        [&] {
          Click(window, x, y);
          Output("xdotool key " + keys + " ctrl+c");
          copied = Output("timeout 5 xclip -o -selection clipboard 2>/dev/null");
          return copied == want;
        },
        seconds);
    return copied;
  }

  void CloseAndExpectStatusZero(Window window) {
    RequestClose(window);
    EXPECT_TRUE(EndsWithStatusZero(20));
  }

  // Drops `uri` at (x, y) of `target` as an XDND drag source does: enter,
  // position, drop, handing over the data when the target asks for it. Like a
  // file manager or a browser, it offers the text as a URI list and as plain
  // text. True when the target took the drop and reported it finished.
  bool Drop(Window target, int x, int y, const std::string& uri) {
    auto atom = [this](const char* name) { return XInternAtom(display_, name, False); };
    const Atom uri_list = atom("text/uri-list");
    const Atom plain_text = atom("UTF8_STRING");
    const Window root = DefaultRootWindow(display_);
    const Window source = XCreateSimpleWindow(display_, root, 0, 0, 1, 1, 0, 0, 0);
    XSetSelectionOwner(display_, atom("XdndSelection"), source, CurrentTime);
    int root_x = 0, root_y = 0;
    Window child;
    XTranslateCoordinates(display_, target, root, x, y, &root_x, &root_y, &child);

    auto send = [&](const char* type, long l1, long l2, long l3, long l4) {
      XEvent event = {};
      event.xclient.type = ClientMessage;
      event.xclient.window = target;
      event.xclient.message_type = atom(type);
      event.xclient.format = 32;
      event.xclient.data.l[0] = static_cast<long>(source);
      event.xclient.data.l[1] = l1;
      event.xclient.data.l[2] = l2;
      event.xclient.data.l[3] = l3;
      event.xclient.data.l[4] = l4;
      XSendEvent(display_, target, False, NoEventMask, &event);
      XFlush(display_);
    };
    // Waits for the target's message `type` and returns its flags (-1 when
    // none came), serving requests for the data meanwhile.
    auto await = [&](const char* type) {
      long flags = -1;
      WaitFor(
          [&] {
            while (flags < 0 && XPending(display_)) {
              XEvent event;
              XNextEvent(display_, &event);
              if (event.type == ClientMessage && event.xclient.message_type == atom(type)) {
                flags = event.xclient.data.l[1];
              } else if (event.type == SelectionRequest) {
                const XSelectionRequestEvent& request = event.xselectionrequest;
                XEvent reply = {};
                reply.xselection.type = SelectionNotify;
                reply.xselection.requestor = request.requestor;
                reply.xselection.selection = request.selection;
                reply.xselection.target = request.target;
                reply.xselection.time = request.time;
                if (request.target == uri_list || request.target == plain_text) {
                  XChangeProperty(display_, request.requestor, request.property, request.target, 8,
                                  PropModeReplace,
                                  reinterpret_cast<const unsigned char*>(uri.data()),
                                  static_cast<int>(uri.size()));
                  reply.xselection.property = request.property;
                }
                XSendEvent(display_, request.requestor, False, NoEventMask, &reply);
                XFlush(display_);
              }
            }
            return flags >= 0;
          },
          10);
      return flags;
    };

    constexpr long kVersion = 5;
    send("XdndEnter", kVersion << 24, static_cast<long>(uri_list), static_cast<long>(plain_text),
         0);
    send("XdndPosition", 0, (root_x << 16) | root_y, CurrentTime,
         static_cast<long>(atom("XdndActionCopy")));
    const long status = await("XdndStatus");
    bool dropped = false;
    if (status >= 0 && (status & 1)) {
      send("XdndDrop", 0, CurrentTime, 0, 0);
      dropped = await("XdndFinished") >= 0;
    } else {
      send("XdndLeave", 0, 0, 0, 0);
    }
    XDestroyWindow(display_, source);
    return dropped;
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
  const std::string links = "ed2k://|file|a|1|AA|/\ned2k://|file|b|2|BB|/";
  EXPECT_EQ(CopyUntil(window, 185, 220, links), links);  // the result list
  CloseAndExpectStatusZero(window);
}

// A file manager's "Open with" runs the program with the file; a file dropped
// later only fills the input field.
TEST_F(RealWindowTest, OpenWithShowsTheLinksAndADroppedFileLandsInTheField) {
  const Window window = StartProgram({VARNOLT_EXAMPLE_PAGE});
  ASSERT_NE(window, 0u) << "no window";
  EXPECT_EQ(CopyUntil(window, 185, 220, kExampleLinks), kExampleLinks);

  const std::string dropped = temp_.Write("dropped page.htm", "x ed2k://|file|d|1|DD|/");
  const std::string uri = "file://" + dir_.string() + "/dropped%20page.htm\r\n";
  EXPECT_TRUE(Drop(window, 220, 20, uri));  // onto the input field
  EXPECT_EQ(CopyUntil(window, 220, 20, dropped), dropped);
  EXPECT_EQ(CopyUntil(window, 185, 220, kExampleLinks), kExampleLinks);  // nothing started
  CloseAndExpectStatusZero(window);
}

// Before, a window that ran out of memory while its list filled crashed
// inside the text document or stopped answering. Under an address-space
// limit, the list now stops with the log line, keeps its first links, and the
// window goes on.
TEST_F(RealWindowTest, ListThatRunsOutOfMemoryEndsWithTheErrorAndTheWindowGoesOn) {
  const fs::path page = dir_ / "many.htm";
  {
    std::ofstream out(page);
    // Long enough that the list, not the scan, needs most of the memory.
    const std::string name(100, 'n');
    for (int i = 0; i < 2000000; ++i) out << "ed2k://|file|" << name << i << "|/\n";
  }
  const Window window = StartProgram({}, VARNOLT_UNSANITIZED_PATH);
  ASSERT_NE(window, 0u) << "no window";
  Click(window, 220, 20);  // the input field
  Output("xdotool type --delay 1 '" + page.string() + "'");
  ASSERT_EQ(CopyUntil(window, 220, 20, page.string()), page.string());  // the window has settled
  // The limit: what the program holds now, each core's thread and its memory
  // pool, and room for the scan but only part of the list.
  long held_kib = 0;
  std::ifstream status("/proc/" + std::to_string(program_) + "/status");
  for (std::string field; status >> field;) {
    if (field == "VmSize:") status >> held_kib;
  }
  ASSERT_GT(held_kib, 0);
  const rlim_t bytes = static_cast<rlim_t>(held_kib) * 1024 +
                       static_cast<rlim_t>(std::thread::hardware_concurrency()) * (80 << 20) +
                       (rlim_t{250} << 20);
  const rlimit limit = {bytes, bytes};
  ASSERT_EQ(::prlimit(program_, RLIMIT_AS, &limit, nullptr), 0);

  Click(window, 185, 70);  // "START"
  const std::string error = "FEHLER:Nicht genug Arbeitsspeicher";
  EXPECT_EQ(CopyUntil(window, 185, 100, error, "End", 90), error);  // the log's last line
  // The window still answers, and the next "START" lists again.
  const fs::path small = dir_ / "small.htm";
  std::ofstream(small) << "ed2k://|file|0|/";
  Click(window, 220, 20);
  Output("xdotool key ctrl+a BackSpace");
  Output("xdotool type --delay 1 '" + small.string() + "'");
  ASSERT_EQ(CopyUntil(window, 220, 20, small.string()), small.string());
  Click(window, 185, 70);
  const std::string link = "ed2k://|file|0|/";
  EXPECT_EQ(CopyUntil(window, 185, 220, link), link);
  CloseAndExpectStatusZero(window);
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
