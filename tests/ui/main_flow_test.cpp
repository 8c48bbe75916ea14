// The main flow with the real Qt window, on the offscreen platform.
#include "ui/main_flow.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "extract/fetch/download.h"
#include "tests/fetch/local_http_server.h"
#include "tests/temp_dir.h"
#include "ui/open_with.h"
#include "ui/qt_main_window.h"

namespace varnolt {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

class MainFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_dir_ = fs::current_path();
    fs::current_path(dir_);  // "download.htm" lands here
    window_ = std::make_unique<QtMainWindow>();
    window_->widget()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window_->widget()));
  }
  void TearDown() override {
    window_.reset();
    fs::current_path(previous_dir_);
  }

  std::string Write(const std::string& name, const std::string& content) {
    return temp_.Write(name, content);
  }

  // Clicks "START" `starts` times with `input` in the field and runs the main
  // flow until the window's close request, which comes once the last of the
  // commands has ended.
  void Start(const std::string& input, int starts = 1) {
    window_->SetText(kInputField, input);
    const int runs = FinishedRuns() + starts;
    for (int i = 0; i < starts; ++i) {
      QTest::mouseClick(window_->control(kStartButton), Qt::LeftButton);
    }
    RunUntilClosedAfter(runs);
  }

  void RunUntilClosedAfter(int runs) {
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
      if (FinishedRuns() < runs) return;
      closer.stop();
      RequestClose();
    });
    closer.start(5);
    ASSERT_EQ(RunMainFlow(*window_), 0);
  }

  // Runs that ended on their summary or an error line.
  int FinishedRuns() {
    int runs = 0;
    for (const std::string& line : Log()) {
      runs += line.starts_with("Suche beendet") || line.starts_with("FEHLER:");
    }
    return runs;
  }

  // What the window manager sends when the user closes the window.
  void RequestClose() { window_->widget()->windowHandle()->close(); }

  // A click through the platform's input queue, as a user's arrives.
  void Click(int id) {
    const QWidget* control = window_->control(id);
    QTest::mouseClick(window_->widget()->windowHandle(), Qt::LeftButton, {},
                      control->geometry().center());
  }

  Lines Log() {
    Lines lines;
    for (int i = 0; i < window_->CountItems(kStatusLog); ++i) {
      lines.push_back(window_->ItemText(kStatusLog, i));
    }
    return lines;
  }

  Lines Results() {
    Lines lines;
    for (std::string line; !(line = window_->ItemText(kResultList, lines.size())).empty();) {
      lines.push_back(line);
    }
    return lines;
  }

  TempDir temp_;
  const fs::path& dir_ = temp_.path();
  fs::path previous_dir_;
  std::unique_ptr<QtMainWindow> window_;
};

const char kPage[] =
    "<a href=\"ed2k://|file|a|1|AA|/\">a</a> ed2k://|file|a|1|AA|/ ed2k://|file|b|2|BB|/";

Lines RunLines(const std::string& name, size_t size) {
  return {"Öffne Datei: " + name + "...OK",
          "Dateigrösse: " + std::to_string(size) + " bytes",
          "Reserviere Arbeitsspeicher...OK",
          "Lese Datei ein...OK",
          "Starte Suche",
          "Link gefunden",
          "Link gefunden",
          "doppelter Link gefunden",
          "Link gefunden",
          "Suche beendet. 3 Links gefunden, 2 Links angezeigt"};
}

// --- "START"

TEST_F(MainFlowTest, StartTwiceShowsTheLinksOnceAndBothRunsInTheLog) {
  const std::string page = Write("page.htm", kPage);
  Start(page, 2);
  EXPECT_EQ(Results(), (Lines{"ed2k://|file|a|1|AA|/", "ed2k://|file|b|2|BB|/"}));
  Lines twice = RunLines(page, sizeof kPage - 1);
  const Lines once = twice;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_EQ(Log(), twice);
}

// Before, the scan's lines were one undo step, and Ctrl+Z in the list took
// them away again.
TEST_F(MainFlowTest, CtrlZUndoesTypingButNotTheScansLinks) {
  Start(Write("page.htm", kPage));
  QWidget* list = window_->control(kResultList);
  const Lines links = {"ed2k://|file|a|1|AA|/", "ed2k://|file|b|2|BB|/"};
  // The first key hands the list to its editor, and takes nothing away.
  QTest::keyClick(list->focusProxy(), Qt::Key_Z, Qt::ControlModifier);
  auto* editor = list->findChild<QPlainTextEdit*>();
  ASSERT_EQ(list->focusProxy(), editor);
  EXPECT_EQ(editor->document()->availableUndoSteps(), 0);
  EXPECT_EQ(Results(), links);
  QTest::keyClick(editor, Qt::Key_End, Qt::ControlModifier);
  QTest::keyClicks(editor, "x");
  EXPECT_EQ(Results().back(), links.back() + "x");
  for (int i = 0; i < 2; ++i) QTest::keyClick(editor, Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(Results(), links);
}

// Before, Qt handed all waiting input to the widgets at once, so a START
// queued behind a command read the keys typed after it.
TEST_F(MainFlowTest, QueuedStartReadsTheFieldAsItWasBeforeTheKeysAfterIt) {
  const std::string page = Write("page.htm", kPage);
  window_->SetText(kInputField, page);
  Click(kStartButton);
  Click(kStartButton);
  Click(kInputField);
  QTest::keyClick(window_->widget()->windowHandle(), Qt::Key_End);
  QTest::keyClick(window_->widget()->windowHandle(), Qt::Key_Q);
  RunUntilClosedAfter(2);
  const Lines log = Log();
  ASSERT_EQ(log.size(), 20u);
  EXPECT_EQ(log[10], "Öffne Datei: " + page + "...OK");
  EXPECT_EQ(window_->GetText(kInputField), page + "q");
}

TEST_F(MainFlowTest, StartOnAMissingFileEmptiesTheList) {
  Start(Write("page.htm", kPage));
  const std::string missing = (dir_ / "missing.htm").string();
  Start(missing);
  EXPECT_TRUE(Results().empty());
  EXPECT_EQ(Log().back(), "FEHLER:Datei konnte nicht geöffnet werden");
}

TEST_F(MainFlowTest, StartFetchesAWebPageFirst) {
  TestServer server({{"/page.htm", Ok(kPage)}});
  const std::string address = server.Url("/page.htm");
  Start(address);
  EXPECT_EQ(Results(), (Lines{"ed2k://|file|a|1|AA|/", "ed2k://|file|b|2|BB|/"}));
  const Lines log = Log();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0], "INTERNET Adresse gefunden");
  EXPECT_EQ(log[1], "Downloade File...OK!");
  EXPECT_EQ(log[2], "Öffne Datei: download.htm...OK");
  EXPECT_EQ(window_->GetText(kInputField), address);  // the field keeps the address
}

// --- Started with an input ("Open with")

TEST_F(MainFlowTest, OpenWithRunsStartOnceWithTheInputInTheField) {
  const std::string page = Write("page.htm", kPage);
  // Closed once the command is over: a close request ends a running command.
  QTimer::singleShot(200, [this] { RequestClose(); });
  ASSERT_EQ(RunMainFlow(*window_, page), 0);
  EXPECT_EQ(window_->GetText(kInputField), page);
  EXPECT_EQ(Results(), (Lines{"ed2k://|file|a|1|AA|/", "ed2k://|file|b|2|BB|/"}));
  EXPECT_EQ(Log(), RunLines(page, sizeof kPage - 1));
}

TEST(OpenWith, CommandLine) {
  using Args = std::vector<std::string>;
  const struct {
    Args args;
    bool usage_error;
    std::optional<std::string> input;
  } cases[] = {
      {{}, false, std::nullopt},
      {{"page.htm"}, false, "page.htm"},
      {{"http://host/a b"}, false, "http://host/a b"},
      {{"file:///tmp/%E4%20x.htm"}, false, "/tmp/\xE4 x.htm"},
      {{"--", "-page.htm"}, false, "-page.htm"},
      {{"a", "b"}, true, std::nullopt},
      {{"-"}, true, std::nullopt},
      {{"--help"}, true, std::nullopt},
      {{"page.htm", "-v"}, true, std::nullopt},
      {{"--", "a", "b"}, true, std::nullopt},
  };
  for (const auto& c : cases) {
    const WindowArguments parsed = ParseWindowArguments(c.args);
    EXPECT_EQ(parsed.usage_error, c.usage_error) << testing::PrintToString(c.args);
    EXPECT_EQ(parsed.input, c.input) << testing::PrintToString(c.args);
  }
}

// What a file manager or a drop hands over, and what the input field gets.
TEST(OpenWith, FileUrlsBecomeTheirPathsByteForByte) {
  const std::pair<std::string, std::string> cases[] = {
      {"file:///tmp/a%20b.htm", "/tmp/a b.htm"},
      {"FILE://localhost/tmp/%c3%a4.htm", "/tmp/\xC3\xA4.htm"},
      {"file:///tmp/%E4.htm?x#y", "/tmp/\xE4.htm"},
      {"file:///tmp/100%25%2", "/tmp/100%%2"},
      {"file:///tmp/a%00b", "/tmp/a%00b"},                 // no NUL into a file name
      {"file://host/tmp/a.htm", "file://host/tmp/a.htm"},  // not this machine's
      {"file://", "file://"},
      {"https://host/a%20b", "https://host/a%20b"},
      {"/tmp/a%20b", "/tmp/a%20b"},
  };
  for (const auto& [uri, input] : cases) EXPECT_EQ(InputFromUri(uri), input) << uri;
}

// --- A page that trickles in

// Before, the window froze for the whole download (the log stayed empty) and
// a close request waited for a transfer that might never end.
TEST_F(MainFlowTest, CloseRequestDuringADownloadAbortsItAndKeepsTheOldPage) {
  TestServer server({{"/slow.htm", Trickle("HTTP/1.1 200 OK\r\n\r\n", "ed2k://|f|/ ", 20)}});
  const std::string old_page = "old \xE4 ed2k://|file|o|1|OO|/";
  Write("download.htm", old_page);
  window_->SetText(kInputField, server.Url("/slow.htm"));
  QTest::mouseClick(window_->control(kStartButton), Qt::LeftButton);
  QStringList shown;  // what the status log's view holds halfway through
  Clock::time_point closed;
  QTimer::singleShot(600, [&] {
    const QAbstractItemModel* log =
        static_cast<QAbstractItemView*>(window_->control(kStatusLog))->model();
    for (int row = 0; row < log->rowCount(); ++row) {
      shown << log->index(row, 0).data().toString();
    }
    closed = Clock::now();
    RequestClose();
  });
  ASSERT_EQ(RunMainFlow(*window_), 0);
  EXPECT_LT(Clock::now() - closed, std::chrono::seconds(1));
  EXPECT_EQ(shown, QStringList({"INTERNET Adresse gefunden", "Downloade File..."}));
  EXPECT_EQ(Log().back(), "FEHLER:Download abgebrochen");
  std::ifstream page(dir_ / "download.htm", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(page), {}), old_page);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 1);  // no partial page left
}

// --- "..." and the end

TEST_F(MainFlowTest, BrowsePutsTheChoiceIntoTheFieldAndCancelEmptiesIt) {
  window_->SetFileChooserForTesting([] { return std::string("/tmp/chosen file.htm"); });
  BrowseCommand(*window_);
  EXPECT_EQ(window_->GetText(kInputField), "/tmp/chosen file.htm");
  window_->SetFileChooserForTesting([] { return std::string(); });
  QTest::mouseClick(window_->control(kBrowseButton), Qt::LeftButton);
  RequestClose();
  ASSERT_EQ(RunMainFlow(*window_), 0);
  EXPECT_EQ(window_->GetText(kInputField), "");
}

// A close request stops a running scan at its next piece, without a summary,
// and ends the program; the file here would take many seconds to scan. Input
// that came before the close request is dropped with the program: a click on
// "..." must not open the file dialog after the user closed the window.
TEST_F(MainFlowTest, CloseRequestDuringAScanEndsItWithinASecond) {
  const fs::path big = dir_ / "big.htm";
  std::ofstream(big).close();
  fs::resize_file(big, uintmax_t{4} << 30);  // sparse: no disk space taken
  window_->SetText(kInputField, big.string());
  bool dialog_opened = false;
  window_->SetFileChooserForTesting([&] {
    dialog_opened = true;
    return std::string();
  });
  QTest::mouseClick(window_->control(kStartButton), Qt::LeftButton);
  Clock::time_point closed;
  QTimer::singleShot(300, [&] {
    Click(kBrowseButton);
    closed = Clock::now();
    RequestClose();
  });
  ASSERT_EQ(RunMainFlow(*window_), 0);
  EXPECT_LT(Clock::now() - closed, std::chrono::seconds(1));
  EXPECT_FALSE(dialog_opened);
  const Lines log = Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "Starte Suche");  // no summary
}

TEST_F(MainFlowTest, CloseRequestWhileIdleEndsTheLoopWithStatusZero) {
  QTimer::singleShot(50, [this] { RequestClose(); });
  EXPECT_EQ(RunMainFlow(*window_), 0);
  EXPECT_TRUE(window_->widget()->isVisible());  // the program, not the window, ends
}

}  // namespace
}  // namespace varnolt

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
