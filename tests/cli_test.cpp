// varnolt-scan end to end: the built program on real files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

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
    const std::string command = shell_prefix_ +
                                (stdin_command.empty() ? "" : stdin_command + " | ") + "'" +
                                program_ + "' " + args + " >'" + (dir_ / "out").string() +
                                "' 2>'" + (dir_ / "err").string() + "'" +
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

const char kPage[] = "ed2k://|file|a|1|AA|/\n<a href=\"ED2K://|FILE|B|2|BB|/\">b</a> ed2k://|file|a|1|AA|/";

// --- Results and log

TEST_F(CliTest, PrintsDistinctLinksAndTheStageLines) {
  const std::string page = Write("page.htm", kPage);
  const Outcome run = Scan(Quote(page));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "ed2k://|file|a|1|AA|/\nED2K://|FILE|B|2|BB|/\n");
  EXPECT_EQ(run.err, "Öffne Datei: " + page + "...OK\nDateigrösse: " +
                         std::to_string(sizeof kPage - 1) +
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

TEST_F(CliTest, NonUtf8NamesAreLoggedAsWindows1252) {
  const Outcome run = Scan(Quote(Write("m\xe4rz.htm", "")));
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.err.find("m\xc3\xa4rz.htm...OK"), std::string::npos) << run.err;
}

// --- Inputs that cannot be scanned, and the exit status

TEST_F(CliTest, EdgeFiles) {
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  struct Case {
    std::string name;
    int status;
    std::string out;
  } cases[] = {
      {(dir_ / "missing").string(), 1, ""},
      {dir_.string(), 1, ""},
      {(dir_ / "fifo").string(), 1, ""},
      {Write("empty", ""), 0, ""},
      {Write("seven", "ed2k://"), 0, ""},
      {Write("first", "ed2k://a|/"), 0, "ed2k://a|/\n"},
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
  const Outcome run = Scan(Quote((dir_ / "missing").string()) + " " +
                       Quote(Write("page.htm", "xed2k://z|/")));
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
       "ed2k://|file|frei-2.1-quellen&handbuch.tar.xz|12582912|9E107D9D372BB6826BD81D3542A419D6|/\n",
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
  EXPECT_TRUE(run.out.starts_with("ed2k://|file|0|/\n")) << run.out.substr(0, 100);
  EXPECT_TRUE(run.out.ends_with("ed2k://|file|small|/\n"));
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
