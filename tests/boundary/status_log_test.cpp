#include "extract/boundary/status_log.h"

#include <gtest/gtest.h>

#include "tests/fake_controls.h"

namespace varnolt {
namespace {

using Lines = std::vector<std::string>;

TEST(LogStatus, NewLineAddsAndSelectsTheLine) {
  FakeControls ui;
  LogStatus(ui, "Starte Suche", LogNewLine);
  EXPECT_EQ(ui.log, Lines{"Starte Suche"});
  EXPECT_EQ(ui.selected, 0);
}

TEST(LogStatus, AppendJoinsTheLastLineWithoutAddingOne) {
  FakeControls ui;
  LogStatus(ui, "first", LogNewLine);
  LogStatus(ui, "Lese Datei ein...", LogNewLine);
  LogStatus(ui, "OK", LogAppend);
  LogStatus(ui, "!", LogAppend);
  EXPECT_EQ(ui.log, (Lines{"first", "Lese Datei ein...OK!"}));
  EXPECT_EQ(ui.selected, 1);
}

TEST(LogStatus, AppendOnAnEmptyLogStartsTheFirstLine) {
  FakeControls ui;
  LogStatus(ui, "OK", LogAppend);
  EXPECT_EQ(ui.log, Lines{"OK"});
  EXPECT_EQ(ui.selected, 0);
}

TEST(LogStatus, OtherModesChangeNothing) {
  FakeControls ui;
  LogStatus(ui, "kept", LogNewLine);
  LogStatus(ui, "ignored", 5);
  LogStatus(ui, "ignored", -2);
  EXPECT_EQ(ui.log, Lines{"kept"});
}

}  // namespace
}  // namespace varnolt
