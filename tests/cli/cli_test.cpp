// varnolt-scan end to end: the built program on real files.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/terminal_controls.h"
#include "extract/boundary/status_log.h"
#include "tests/temp_dir.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

class CliTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& content) {
    return temp_.Write(name, content);
  }

  static std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // Runs the program through the shell with `args` (already quoted) and
  // standard input from `stdin_command`, if any; `shell_prefix_` goes first.
  Outcome Scan(const std::string& args, const std::string& stdin_command = "") {
    const std::string command =
        shell_prefix_ + (stdin_command.empty() ? "" : stdin_command + " | ") + "'" + program_ +
        "' " + args + " >'" + (dir_ / "out").string() + "' 2>'" + (dir_ / "err").string() + "'" +
        (stdin_command.empty() ? " </dev/null" : "");
    const int raw = std::system(("timeout 20 sh -c \"" + Escape(command) + "\"").c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp(dir_ / "out"), Slurp(dir_ / "err")};
  }

  static std::string Quote(const std::string& path) { return "'" + path + "'"; }

  varnolt::TempDir temp_;
  const fs::path& dir_ = temp_.path();
  std::string program_ = VARNOLT_SCAN_PATH;
  std::string shell_prefix_;

 private:
  static std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
      if (c == '"' || c == '\\' || c == '$' || c == '`') out += '\\';
      out += c;
    }
    return out;
  }
};

const char kPage[] =
    "ed2k://|file|a|1|AA|/\n<a href=\"ED2K://|FILE|B|2|BB|/\">b</a> ed2k://|file|a|1|AA|/";

// --- Results and log

TEST_F(CliTest, PrintsDistinctLinksAndTheStageLines) {
  const std::string page = Write("page.htm", kPage);
  const Outcome run = Scan(Quote(page));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "ed2k://|file|a|1|AA|/\nED2K://|FILE|B|2|BB|/\n");
  EXPECT_EQ(run.err, "Öffne Datei: " + page +
                         "...OK\nDateigrösse: " + std::to_string(sizeof kPage - 1) +
                         " bytes\nReserviere Arbeitsspeicher...OK\nLese Datei ein...OK\n"
                         "Starte Suche\nSuche beendet. 3 Links gefunden, 2 Links angezeigt\n");
}

TEST_F(CliTest, VerboseKeepsThePerLinkLines) {
  const Outcome run = Scan("-v " + Quote(Write("page.htm", kPage)));
  EXPECT_NE(run.err.find("Starte Suche\nLink gefunden\nLink gefunden\nLink gefunden\n"
                         "doppelter Link gefunden\nSuche beendet."),
            std::string::npos)
      << run.err;
}

TEST_F(CliTest, ReadsStandardInputFromAPipe) {
  const Outcome run = Scan("-", "printf 'x ed2k://p|/ ed2k://p|/'");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "ed2k://p|/\n");
  EXPECT_NE(run.err.find("Dateigrösse: 23 bytes"), std::string::npos) << run.err;
}

// A list saved the way Windows programs save text (UTF-16 with a byte-order
// mark, CRLF lines) gives its links in UTF-8, from a file and from a pipe.
TEST_F(CliTest, ReadsUtf16FilesAsWindowsProgramsWriteThem) {
  const std::u16string list =
      u"ed2k://|file|\u4E2D\u6587\u7535\u5F71.mkv|1|AA|/\r\n"
      u"ed2k://|file|Caf\u00E9 \U0001F600.iso|2|BB|/\r\n"
      u"ed2k://|file|\u4E2D\u6587\u7535\u5F71.mkv|1|AA|/\r\n";
  std::string file = "\xFF\xFE";
  for (const char16_t unit : list) {
    file += static_cast<char>(unit & 0xFF);
    file += static_cast<char>(unit >> 8);
  }
  const std::string expected =
      "ed2k://|file|\xE4\xB8\xAD\xE6\x96\x87\xE7\x94\xB5\xE5\xBD\xB1.mkv|1|AA|/\n"
      "ed2k://|file|Caf\xC3\xA9 \xF0\x9F\x98\x80.iso|2|BB|/\n";
  const std::string name = Write("downloads.txt", file);
  const Outcome run = Scan(Quote(name));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, expected);
  EXPECT_NE(run.err.find("Dateigrösse: " + std::to_string(file.size()) + " bytes\n"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("Suche beendet. 3 Links gefunden, 2 Links angezeigt"), std::string::npos)
      << run.err;
  EXPECT_EQ(Scan("-", "cat " + Quote(name)).out, expected);
}

// The log's own text stays readable beside a name in another encoding, and
// control bytes in a name are shown, not sent to the terminal.
TEST_F(CliTest, NamesAreShownReadablyAndSafely) {
  const struct {
    std::string name, shown;
  } cases[] = {
      {"m\xe4rz.htm", "m\xc3\xa4rz.htm"},
      {"a\x1b[2Jb\nc.htm", "a\\x1b[2Jb\\nc.htm"},
  };
  for (const auto& c : cases) {
    const Outcome run = Scan(Quote(Write(c.name, "")));
    EXPECT_EQ(run.status, 0);
    const std::string first_line = run.err.substr(0, run.err.find('\n'));
    EXPECT_EQ(first_line, "Öffne Datei: " + dir_.string() + "/" + c.shown + "...OK");
    EXPECT_EQ(run.err.find('\x1b'), std::string::npos);
  }
}

// --- Inputs that cannot be scanned, and the exit status

TEST_F(CliTest, EdgeFiles) {
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  struct Case {
    std::string name;
    int status;
    std::string out;
  } cases[] = {
      {(dir_ / "missing").string(), 1, ""}, {dir_.string(), 1, ""},
      {(dir_ / "fifo").string(), 1, ""},    {Write("empty", ""), 0, ""},
      {Write("seven", "ed2k://"), 0, ""},   {Write("first", "ed2k://a|/"), 0, "ed2k://a|/\n"},
  };
  for (const Case& c : cases) {
    const Outcome run = Scan(Quote(c.name));
    EXPECT_EQ(run.status, c.status) << c.name << "\n" << run.err;
    EXPECT_EQ(run.out, c.out) << c.name;
    if (c.status == 1) {
      EXPECT_NE(run.err.find("FEHLER:Datei konnte nicht geöffnet werden\n"), std::string::npos);
    }
  }
}

TEST_F(CliTest, OneFailedInputFailsTheRunButTheOthersAreScanned) {
  const Outcome run =
      Scan(Quote((dir_ / "missing").string()) + " " + Quote(Write("page.htm", "xed2k://z|/")));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "ed2k://z|/\n");
}

// --- Pages written for browsers, which spell the pipe out

TEST_F(CliTest, FindsSpelledLinksOnPagesWrittenForBrowsers) {
  const struct {
    const char* page;
    const char* out;
    const char* summary;
  } cases[] = {
      // A Markdown table whose hrefs spell the pipe "&#124;", with "&amp;" in
      // a name, a repeat, and an "ed2k://" in the text that ends nowhere.
      {"markdown-table.htm",
       "ed2k://|file|frei-2.1-install.iso|669851648|5D41402ABC4B2A76B9719D911017C592|/\n"
       "ed2k://|file|frei-2.1-live.iso|4509715456|7D793037A0760186574B0282F2F435E7|"
       "h=QZ2ZMFHNLV7SKXDQ6IJ4VMTC5ZJMNYKN|/\n"
       "ed2k://|file|frei-2.1-quellen&handbuch.tar.xz|12582912|9E107D9D372BB6826BD81D3542A419D6|/"
       "\n",
       "Suche beendet. 4 Links gefunden, 3 Links angezeigt\n"},
      // "%7C" hrefs, and the same links raw inside <code>.
      {"code-and-hrefs.htm",
       "ed2k://|file|release-3.0.tar.gz|2097152|E4D909C290D0FB1CA068FFADDF22CBD0|/\n"
       "ed2k://|file|release-3.0%20(signiert).tar.gz.asc|833|A87FF679A2F3E71D9181A67B7542122C|/\n"
       "ed2k://|file|release-2.9.tar.gz|2031616|8277E0910D750195B448797616E091AD|/\n",
       "Suche beendet. 5 Links gefunden, 3 Links angezeigt\n"},
  };
  for (const auto& c : cases) {
    const Outcome run = Scan(Quote(std::string(VARNOLT_EXAMPLES) + "/" + c.page));
    EXPECT_EQ(run.status, 0) << c.page;
    EXPECT_EQ(run.out, c.out) << c.page;
    EXPECT_TRUE(run.err.ends_with(c.summary)) << run.err;
  }
}

// --- Memory running out

// Two million distinct links need more than 150 MB of address space: the
// scan ends on a clear line instead of an abort, and the next input is still
// scanned.
TEST_F(CliTest, RunningOutOfMemoryEndsTheScanAndTheNextGoesOn) {
  {
    std::ofstream page(dir_ / "many.htm");
    for (int i = 0; i < 2000000; ++i) page << "ed2k://|file|" << i << "|/\n";
  }
  const std::string small = Write("small.htm", "x ed2k://|file|small|/");
  program_ = VARNOLT_UNSANITIZED_SCAN_PATH;
  shell_prefix_ = "ulimit -v 150000; ";
  const Outcome run = Scan(Quote((dir_ / "many.htm").string()) + " " + Quote(small));
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("Starte Suche\nFEHLER:Nicht genug Arbeitsspeicher\n"), std::string::npos)
      << run.err;
  EXPECT_TRUE(run.err.ends_with("Suche beendet. 1 Links gefunden, 1 Links angezeigt\n")) << run.err;
  // How many links come out before memory runs out depends on how far the
  // tokenizing threads got: whatever came is the file's first links, in order.
  std::istringstream out(run.out);
  std::string line;
  int shown = 0;
  while (std::getline(out, line) && line == "ed2k://|file|" + std::to_string(shown) + "|/") {
    ++shown;
  }
  EXPECT_EQ(line, "ed2k://|file|small|/") << "after " << shown << " links";
  EXPECT_FALSE(std::getline(out, line)) << line;
}

// --- Where the links cannot go

TEST_F(CliTest, FailingStdoutIsReportedOnceAndClosedStdoutQuietly) {
  std::string page;
  for (int i = 0; i < 40000; ++i) page += "ed2k://|file|" + std::to_string(i) + "|/ ";
  const std::string to_err = " 2>" + Quote((dir_ / "err").string());
  const std::string scan = Quote(VARNOLT_SCAN_PATH) + " " + Quote(Write("many.htm", page)) + to_err;
  // So few links that they wait in the buffer until the last flush.
  const std::string scan_few =
      Quote(VARNOLT_SCAN_PATH) + " " + Quote(Write("few.htm", "ed2k://|file|a|/")) + to_err;
  const struct {
    std::string script;
    int status;
    int error_lines;
  } cases[] = {
      {scan + " >/dev/full", 1, 1},
      {scan_few + " >/dev/full", 1, 1},
      // The reader goes after one line: SIGPIPE ends the program, or, when
      // the program was started with it ignored, the failed write does.
      {scan + " | head -n 1 >/dev/null; exit ${PIPESTATUS[0]}", 128 + SIGPIPE, 0},
      {"trap '' PIPE; " + scan + " | head -n 1 >/dev/null; exit ${PIPESTATUS[0]}", 1, 0},
  };
  for (const auto& c : cases) {
    const std::string script = Write("run.sh", c.script);
    const int raw = std::system(("timeout 20 bash " + Quote(script)).c_str());
    EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, c.status) << c.script;
    const std::string err = Slurp(dir_ / "err");
    size_t lines = 0;
    for (size_t at = 0; (at = err.find("varnolt-scan: ", at)) != std::string::npos; ++at) ++lines;
    EXPECT_EQ(lines, static_cast<size_t>(c.error_lines)) << err;
    if (c.error_lines > 0) {
      EXPECT_TRUE(err.ends_with("varnolt-scan: cannot write the links: No space left on device\n"))
          << err;
    }
  }
}

// --- The progress bar

// A minimal terminal: what `output` leaves on the screen, line by line, given
// carriage return, erase to the end of the line and line feed.
std::vector<std::string> Screen(const std::string& output) {
  std::vector<std::string> lines(1);
  size_t column = 0;
  for (size_t i = 0; i < output.size(); ++i) {
    if (output[i] == '\r') {
      column = 0;
    } else if (output.compare(i, 3, "\033[K") == 0) {
      lines.back().resize(column);
      i += 2;
    } else if (output[i] == '\n') {
      lines.emplace_back();
      column = 0;
    } else {
      if (column < lines.back().size()) {
        lines.back()[column] = output[i];
      } else {
        lines.back() += output[i];
      }
      ++column;
    }
  }
  return lines;
}

// Without clearing the bar first, a line written after it would read
// "[####] 100%doppelter Link gefunden".
TEST(TerminalControls, ProgressBarIsClearedBeforeEveryLogLine) {
  std::FILE* results = std::tmpfile();
  std::FILE* log = std::tmpfile();
  ASSERT_TRUE(results && log);
  {
    varnolt::TerminalControls ui(results, log, /*show_progress=*/true);
    varnolt::LogStatus(ui, "Starte Suche", varnolt::LogNewLine);
    ui.SetProgress(varnolt::kProgressBar, 100);
    varnolt::LogStatus(ui, "doppelter Link gefunden", varnolt::LogNewLine);
    ui.SetProgress(varnolt::kProgressBar, 40);
    varnolt::LogStatus(ui, "Suche beendet.", varnolt::LogNewLine);
    ui.SetProgress(varnolt::kProgressBar, 70);
    ui.EndJob();
  }
  std::string output(4096, '\0');
  std::rewind(log);
  output.resize(std::fread(output.data(), 1, output.size(), log));
  EXPECT_EQ(Screen(output), (std::vector<std::string>{"Starte Suche", "doppelter Link gefunden",
                                                      "Suche beendet.", ""}))
      << output;
  std::fclose(results);
  std::fclose(log);
}

// With stdout and stderr on one terminal, stdout went out in 64 KiB blocks
// that ended mid-line, and the bar drawn next landed inside the link:
// "[####...]  95%DEF0123...|/" on screen. With -v, the log's per-link lines
// must not hold a link up either.
TEST_F(CliTest, LinksOnATerminalAreNotSplitByTheProgressBar) {
  std::string page;
  std::vector<std::string> links;
  for (int i = 0; i < 20000; ++i) {
    links.push_back("ed2k://|file|" + std::to_string(i) + ".iso|1|" +
                    std::string(32, static_cast<char>('A' + i % 26)) + "|/");
    page += links.back() + std::string(200, ' ') + "\n";
  }
  const std::string path = Write("spaced.htm", page);
  for (const char* verbose : {"", "-v"}) {
    std::vector<const char*> argv = {program_.c_str()};
    if (*verbose != '\0') argv.push_back(verbose);
    argv.push_back(path.c_str());
    argv.push_back(nullptr);
    termios raw{};
    cfmakeraw(&raw);  // line feeds reach the screen as they were written
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, &raw, nullptr);
    if (pid < 0) GTEST_SKIP() << "no pseudo-terminal: " << std::strerror(errno);
    if (pid == 0) {
      execv(argv[0], const_cast<char* const*>(argv.data()));
      _exit(127);
    }
    std::string output;
    char buffer[1 << 16];
    for (;;) {
      const ssize_t n = read(terminal, buffer, sizeof buffer);
      if (n > 0) {
        output.append(buffer, static_cast<size_t>(n));
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        break;  // EIO once the program has closed the terminal
      }
    }
    close(terminal);
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::vector<std::string> shown;
    for (const std::string& line : Screen(output)) {
      if (line.find("ed2k://") != std::string::npos) shown.push_back(line);
    }
    ASSERT_EQ(shown.size(), links.size()) << verbose;
    const auto broken = std::mismatch(shown.begin(), shown.end(), links.begin());
    EXPECT_TRUE(broken.first == shown.end()) << verbose << " on screen: " << *broken.first;
    EXPECT_NE(output.find("\r["), std::string::npos) << "no progress bar drawn";
  }
}

TEST_F(CliTest, UsageErrors) {
  for (const std::string args : {"", "--bogus x", "-q"}) {
    const Outcome run = Scan(args);
    EXPECT_EQ(run.status, 2) << args;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
  EXPECT_EQ(Scan("--version").status, 0);
  EXPECT_EQ(Scan("--help").status, 0);
  // After "--" a leading dash is a file name.
  EXPECT_EQ(Scan("-- -v").status, 1);
}

// --- The manual page

// The options named in `text`: the words -x and --word, also before a comma.
std::set<std::string> OptionsIn(std::string text) {
  // The manual page escapes its hyphens.
  for (size_t at; (at = text.find("\\-")) != std::string::npos;) text.erase(at, 1);
  std::replace(text.begin(), text.end(), ',', ' ');
  std::set<std::string> options;
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    const size_t name = word.find_first_not_of('-');
    if (name >= 1 && name <= 2 && std::all_of(word.begin() + name, word.end(), [](char c) {
          return std::isalpha(static_cast<unsigned char>(c)) || c == '-';
        })) {
      options.insert(word);
    }
  }
  return options;
}

TEST_F(CliTest, HelpAndManualPageNameTheSameOptions) {
  const Outcome help = Scan("--help");
  const std::string page = Slurp(VARNOLT_SCAN_MANPAGE);
  const size_t begin = page.find("\n.SH OPTIONS\n");
  ASSERT_NE(begin, std::string::npos);
  const size_t end = page.find("\n.SH ", begin + 1);
  const std::set<std::string> in_help = OptionsIn(help.out);
  EXPECT_GE(in_help.size(), 6u);
  EXPECT_EQ(OptionsIn(page.substr(begin, end - begin)), in_help);
}

}  // namespace
