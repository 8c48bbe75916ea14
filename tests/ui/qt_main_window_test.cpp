// The Qt main window under the offscreen platform: geometry, focus ring,
// events and the control operations on the real widgets.
#include "ui/qt_main_window.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QWindow>
#include <QtTest>
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "extract/boundary/log_texts.h"
#include "extract/boundary/status_log.h"
#include "tests/allocation_failure.h"
#include "tests/ui/seen_layout.h"
#include "ui/qt_line_view.h"

using namespace varnolt;

class QtMainWindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QtMainWindow> window_;

  // Takes every pending event, so that a test sees only its own.
  void Drain() {
    while (window_->PollEvent() != EventNone) continue;
  }
  QWidget* Control(int id) { return window_->control(id); }
  QAbstractItemView* Log() { return static_cast<QAbstractItemView*>(Control(kStatusLog)); }
  QModelIndexList LogSelection() { return Log()->selectionModel()->selectedIndexes(); }
  // The result list's editor, and whichever of it and the view shows.
  QPlainTextEdit* Results() { return Control(kResultList)->findChild<QPlainTextEdit*>(); }
  QWidget* ListInput() { return Control(kResultList)->focusProxy(); }
  QtLineView* View() {
    return static_cast<QtLineView*>(Control(kResultList)->findChild<QWidget*>("view"));
  }
  // Hands the list to its editor, as a key typed into it does; the key moves
  // the caret to the end, where it stands after a scan.
  void HandOver() {
    QTest::keyClick(ListInput(), Qt::Key_End, Qt::ControlModifier);
    while (ListInput() != Results()) window_->PollEvent();
  }

 private slots:
  void init() {
    window_ = std::make_unique<QtMainWindow>();
    window_->widget()->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window_->widget()));
  }
  void cleanup() { window_.reset(); }

  // --- Window and controls

  void OpensCentredWithFixedClientArea() {
    QWidget* w = window_->widget();
    QCOMPARE(w->windowTitle(), QString("Varnolt V1 BUILD 2"));
    QCOMPARE(w->size(), QSize(kSeenClientWidth, kSeenClientHeight));
    QCOMPARE(w->minimumSize(), w->maximumSize());
    QVERIFY(!(w->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    // The label as a sunken panel with its text at the top right.
    auto* label = static_cast<QLabel*>(Control(kInputLabel));
    QCOMPARE(label->frameStyle(), QFrame::Panel | QFrame::Sunken);
    QCOMPARE(label->alignment(), Qt::AlignRight | Qt::AlignTop);
    // In the middle of the screen: the gaps either side differ by at most a pixel.
    const QRect screen = w->screen()->geometry();
    const QRect frame = w->frameGeometry();
    QVERIFY(std::abs((frame.left() - screen.left()) - (screen.right() - frame.right())) <= 1);
    QVERIFY(std::abs((frame.top() - screen.top()) - (screen.bottom() - frame.bottom())) <= 1);
    // Opening queues one resize event and nothing else.
    QCOMPARE(window_->PollEvent(), EventResize);
    QCOMPARE(window_->PollEvent(), EventNone);
  }

  // Each control where the user sees it: the rectangle its widget covers in
  // the client area, however deep it sits, and uncovered, so that a click at
  // its centre reaches it.
  void ControlsSitWhereTheUserSeesThem_data() {
    QTest::addColumn<int>("id");
    QTest::addColumn<QRect>("place");
    QTest::addColumn<QString>("text");
    for (const SeenControl& seen : kSeenControls) {
      QTest::newRow(seen.name) << seen.id << QRect(seen.x, seen.y, seen.width, seen.height)
                               << QString::fromUtf8(seen.text);
    }
  }
  void ControlsSitWhereTheUserSeesThem() {
    QFETCH(int, id);
    QFETCH(QRect, place);
    QFETCH(QString, text);
    QWidget* control = Control(id);
    QVERIFY(control && control->isVisible());
    QCOMPARE(QRect(control->mapTo(window_->widget(), QPoint(0, 0)), control->size()), place);
    const QWidget* hit = window_->widget()->childAt(place.center());
    QVERIFY(hit && (hit == control || control->isAncestorOf(hit)));
    // The bar's "text" is the percentage it does not show.
    if (!qobject_cast<QProgressBar*>(control)) QCOMPARE(control->property("text").toString(), text);
  }

  void ProgressBarStartsAtZeroAndClamps() {
    auto* bar = static_cast<QProgressBar*>(Control(kProgressBar));
    QCOMPARE(bar->value(), 0);
    // Each position moves the bar away from the one before.
    const std::pair<int, int> positions[] = {{42, 42}, {150, 100}, {INT_MIN, 0}};
    for (const auto& [position, shown] : positions) {
      window_->SetProgress(kProgressBar, position);
      QCOMPARE(bar->value(), shown);
    }
  }

  // From outside the ring Tab enters at its first control, Shift+Tab at its last.
  void TabAndShiftTabWalkTheRing() {
    QCOMPARE(QApplication::focusWidget(), window_->widget());
    // Tab leaves the log also from a line that has others below it.
    for (const char* line : {"eins", "zwei", "drei"}) window_->AddItem(kStatusLog, line);
    window_->SelectItem(kStatusLog, 0);
    Drain();
    // Once round the ring and into it again.
    const QList<int> forward_stops = {kInputField,  kBrowseButton, kResultList,
                                      kStartButton, kStatusLog,    kInputField};
    const QList<int> backward_stops = {kStatusLog,    kStartButton, kResultList,
                                       kBrowseButton, kInputField,  kStatusLog};
    for (bool forward : {true, false}) {
      window_->widget()->setFocus();
      for (int id : forward ? forward_stops : backward_stops) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab,
                        forward ? Qt::NoModifier : Qt::ShiftModifier);
        QWidget* stop = Control(id)->focusProxy() ? Control(id)->focusProxy() : Control(id);
        QCOMPARE(QApplication::focusWidget(), stop);
      }
    }
    QCOMPARE(window_->ItemText(kResultList, 0), std::string());  // Tab typed no character
  }

  // --- Events

  void InputGivesOneEventPerPollInArrivalOrder() {
    Drain();
    QTest::mouseClick(Control(kStartButton), Qt::LeftButton);
    Control(kBrowseButton)->setFocus();
    QTest::keyClick(Control(kBrowseButton), Qt::Key_Space);
    window_->widget()->windowHandle()->close();
    for (int id : {kStartButton, kBrowseButton}) {
      QCOMPARE(window_->PollEvent(), EventControl);
      QCOMPARE(window_->EventControlId(), id);
    }
    QCOMPARE(window_->PollEvent(), EventClose);
    QCOMPARE(window_->PollEvent(), EventNone);
    QVERIFY(window_->widget()->isVisible());  // closing is left to the program
  }

  // The program's selection gives no event, the user's does; indices outside
  // the log read as the empty text and delete nothing.
  void StatusLogSelectionAndIndicesOutsideIt() {
    for (const char* line : {"a", "b", "c"}) window_->AddItem(kStatusLog, line);
    Drain();
    window_->SelectItem(kStatusLog, 0);
    QCOMPARE(window_->PollEvent(), EventNone);
    QCOMPARE(LogSelection().value(0).row(), 0);
    const QRect second = Log()->visualRect(Log()->model()->index(1, 0));
    QTest::mouseClick(Log()->viewport(), Qt::LeftButton, {}, second.center());
    QCOMPARE(window_->PollEvent(), EventControl);
    QCOMPARE(window_->EventControlId(), int(kStatusLog));
    window_->SelectItem(kStatusLog, -1);
    QCOMPARE(window_->PollEvent(), EventNone);
    QVERIFY(LogSelection().isEmpty());
    for (int index : {-1, 3}) {
      QCOMPARE(window_->ItemText(kStatusLog, index), std::string());
      window_->RemoveItem(kStatusLog, index);
    }
    QCOMPARE(window_->CountItems(kStatusLog), 3);
    // A line shows by the display rule, piece by piece, and reads back as its bytes.
    const std::string mixed =
        "\xC3\x96"
        "ffne m\xE4rz";
    window_->AddItem(kStatusLog, mixed);
    Drain();
    QCOMPARE(Log()->model()->index(3, 0).data().toString(), QString::fromUtf8("Öffne märz"));
    QCOMPARE(window_->ItemText(kStatusLog, 3), mixed);
  }

  // --- Result list

  void ResultListHasBreaksOnlyBetweenLines() {
    window_->AddItem(kResultList, "a");
    window_->AddItem(kResultList, "b");
    for (int past : {2, -1}) QCOMPARE(window_->ItemText(kResultList, past), std::string());
    window_->PollEvent();
    QCOMPARE(View()->AllText(), QString("a\nb"));
    HandOver();
    QCOMPARE(Results()->toPlainText(), QString("a\nb"));
    QCOMPARE(Results()->textCursor().position(), 3);  // caret after the text
    window_->ClearItems(kResultList);
    window_->AddItem(kResultList, "");  // the empty text on an empty list: still empty
    window_->AddItem(kResultList, "x");
    HandOver();
    QCOMPARE(Results()->toPlainText(), QString("x"));
  }

  // Each line reads back as its bytes, from the view's store and from the
  // editor.
  void LinesReadBackAsTheirBytes() {
    window_->AddItem(kResultList, "\xE4\n\xF6");  // Windows-1252 on both sides of the break
    window_->AddItem(kResultList, "\xC3\xA4");    // UTF-8
    window_->AddItem(kResultList, "\xC0\xAF");    // overlong, so not UTF-8
    window_->AddItem(kResultList, "a\r\nb\rc");   // CR LF and a lone CR break lines too
    window_->AddItem(kResultList, std::string(40000, 'x'));
    window_->AddItem(kResultList, "ed2k://a\nb|/ ed2k://\xE2\x80\xA9z");  // breaks past 8 bytes
    window_->AddItem(kResultList, "\xC3\x96 \xE4\xE2\x80\xA9\xE4");  // both encodings in a line
    window_->AddItem(kResultList, std::string(31998, 'x') + "\xF0\x9F\x98\x80");  // cut before
    const std::string lines[] = {"\xE4",     "\xF6",
                                 "\xC3\xA4", "\xC0\xAF",
                                 "a",        "b",
                                 "c",        std::string(31999, 'x'),
                                 "ed2k://a", "b|/ ed2k://",
                                 "z",        "\xC3\x96 \xE4",
                                 "\xE4",     std::string(31998, 'x')};
    for (bool in_editor : {false, true}) {
      if (in_editor) HandOver();
      for (int i = 0; i < 14; ++i) QCOMPARE(window_->ItemText(kResultList, i), lines[i]);
    }
    QCOMPARE(Results()->document()->findBlockByNumber(2).text(), QString::fromUtf8("ä"));
    QCOMPARE(Results()->document()->findBlockByNumber(11).text(), QString::fromUtf8("Ö ä"));
    // An edited line reads back as what it shows, in UTF-8.
    QTextCursor cursor(Results()->document()->findBlockByNumber(0));
    cursor.insertText("x");
    QCOMPARE(window_->ItemText(kResultList, 0), std::string("x\xC3\xA4"));
  }

  // Ctrl+A and Ctrl+C copy the whole list without an editor, as the editor
  // would copy it; a copy without a selection leaves the clipboard alone.
  void ViewCopiesTheWholeListAsShown() {
    window_->AddItem(kResultList, "ed2k://a|/");
    window_->AddItem(kResultList, "\xE4\r\n\xC3\xB6");
    window_->PollEvent();
    QGuiApplication::clipboard()->setText("before");
    QTest::keyClick(ListInput(), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QString("before"));
    QTest::keyClick(ListInput(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(ListInput(), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QString::fromUtf8("ed2k://a|/\nä\nö"));
    QVERIFY(ListInput() != Results());  // no editor was needed
    // The editor takes the selection over: typing replaces everything.
    QTest::keyClick(ListInput(), Qt::Key_Q);
    while (ListInput() != Results()) window_->PollEvent();
    QCOMPARE(Results()->toPlainText(), QString("q"));
  }

  // A view scrolled to the end follows the lines as they come; one the user
  // scrolled up stays there. The editor opens where the view was.
  void ViewFollowsTheEndUnlessScrolledAwayAndTheEditorOpensThere() {
    for (int i = 0; i < 1000; ++i) window_->AddItem(kResultList, std::to_string(i));
    window_->PollEvent();
    auto* view = View();
    QScrollBar* bar = view->verticalScrollBar();
    QVERIFY(bar->maximum() > 900);
    QCOMPARE(bar->value(), bar->maximum());
    bar->setValue(500);
    for (int i = 1000; i < 1100; ++i) window_->AddItem(kResultList, std::to_string(i));
    window_->PollEvent();
    QCOMPARE(bar->value(), 500);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, QPoint(8, 8));
    QCOMPARE(ListInput(), Results());
    QCOMPARE(Results()->verticalScrollBar()->value(), 500);
    // The click placed the caret in the line it hit, the first in sight.
    QCOMPARE(Results()->textCursor().blockNumber(), 500);
  }

  // Lines a command adds after the user has started editing go into the
  // editor over later polls, and reading them must not depend on where they
  // are meanwhile.
  void WaitingLinesReadTheSameAsShownOnes() {
    HandOver();
    // Long enough, on average, that the waiting lines fill several of the
    // store's blocks.
    auto line = [](int i) {
      const std::string text = std::to_string(i) + std::string(static_cast<size_t>(i % 600), '-');
      return i % 7 == 0 ? "\xE4" + text : text;
    };
    const int count = 30000;
    for (int i = 0; i < count; ++i) window_->AddItem(kResultList, line(i));
    window_->PollEvent();
    const int shown = Results()->document()->blockCount();
    QVERIFY(shown > 1 && shown < count);  // part moved, part still waiting
    QVERIFY(Results()->isReadOnly());     // typing cannot land above the rest
    for (int i : {0, 7, shown - 1, shown, shown + 6, count - 1}) {
      QCOMPARE(window_->ItemText(kResultList, i), line(i));
    }
    while (Results()->document()->blockCount() < count) {
      window_->PollEvent();
      // The store gives back the bytes of moved lines as it goes.
      const int next = std::min(Results()->document()->blockCount(), count - 1);
      QCOMPARE(window_->ItemText(kResultList, next), line(next));
      QCOMPARE(window_->ItemText(kResultList, count - 1), line(count - 1));
    }
    QVERIFY(!Results()->isReadOnly());
    QCOMPARE(Results()->document()->findBlockByNumber(7).text(),
             QString::fromUtf8("ä7") + QString(7, '-'));
  }

  // --- Desktop: the icon and drops

  void WindowShowsTheProgramIcon() {
    const QIcon icon = window_->widget()->windowIcon();
    for (int size : {16, 48}) QCOMPARE(icon.actualSize(QSize(size, size)), QSize(size, size));
  }

  void DropFillsTheInputField_data() {
    QTest::addColumn<QByteArray>("uris");   // text/uri-list, none when empty
    QTest::addColumn<QString>("text");      // text/plain, none when empty
    QTest::addColumn<QByteArray>("input");  // the field afterwards; empty: drop refused
    QTest::newRow("file") << QByteArray("file:///tmp/%E4%20x.htm\r\n") << QString()
                          << QByteArray("/tmp/\xE4 x.htm");
    QTest::newRow("first of two files") << QByteArray("file:///tmp/a.htm\r\nfile:///tmp/b.htm\r\n")
                                        << QString() << QByteArray("/tmp/a.htm");
    QTest::newRow("web address") << QByteArray("https://example.org/a%20b.htm\r\n")
                                 << QString("https://example.org/a b.htm")
                                 << QByteArray("https://example.org/a%20b.htm");
    QTest::newRow("text") << QByteArray()
                          << QString::fromUtf8("  http://example.org/\xC3\xA4\nmore")
                          << QByteArray("http://example.org/\xC3\xA4");
    QTest::newRow("blanks") << QByteArray() << QString(" \n") << QByteArray();
  }
  void DropFillsTheInputField() {
    QFETCH(QByteArray, uris);
    QFETCH(QString, text);
    QFETCH(QByteArray, input);
    window_->SetText(kInputField, "before");
    QMimeData data;
    if (!uris.isEmpty()) data.setData("text/uri-list", uris);
    if (!text.isEmpty()) data.setText(text);
    Drain();
    const QPointF at = Control(kResultList)->geometry().center();
    QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window_->widget(), &enter);
    QCOMPARE(enter.isAccepted(), !input.isEmpty());
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window_->widget(), &drop);
    QCOMPARE(window_->GetText(kInputField), input.isEmpty() ? "before" : input.toStdString());
    // Nothing starts by itself.
    for (int code; (code = window_->PollEvent()) != EventNone;) {
      QVERIFY(code != EventControl || window_->EventControlId() != kStartButton);
    }
  }

  // A list too long to go into the editor at once stays in its view while
  // it does; the keys typed meanwhile wait, then apply in order. Before,
  // keys typed into the list while it filled were lost.
  void KeysTypedWhileTheListGoesToTheEditorArriveInOrder_data() {
    QTest::addColumn<bool>("editing");  // the user was editing before the lines came
    QTest::newRow("from the view") << false;
    QTest::newRow("behind the user's edits") << true;
  }
  void KeysTypedWhileTheListGoesToTheEditorArriveInOrder() {
    QFETCH(bool, editing);
    if (editing) HandOver();
    const int count = 30000;
    for (int i = 0; i < count; ++i) window_->AddItem(kResultList, std::to_string(i));
    ListInput()->setFocus();
    window_->PollEvent();
    QWindow* handle = window_->widget()->windowHandle();
    for (char key : {'x', 'y', 'z'}) QTest::keyClick(handle, key);
    window_->PollEvent();
    QVERIFY(window_->ItemText(kResultList, count - 1) != std::to_string(count - 1) + "x");
    const std::string last = std::to_string(count - 1) + "xyz";
    for (int turn = 0; turn < 5000 && window_->ItemText(kResultList, count - 1) != last; ++turn) {
      window_->PollEvent();
    }
    QCOMPARE(window_->ItemText(kResultList, count - 1), last);
    QCOMPARE(window_->ItemText(kResultList, 0), std::string("0"));
    // The typing is undoable, the program's lines are not.
    QTest::keyClick(Results(), Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(window_->ItemText(kResultList, count - 1), std::to_string(count - 1));
    QCOMPARE(Results()->document()->availableUndoSteps(), 0);
  }

  // A list cleared while lines went to the editor takes undo steps for
  // typing again.
  void TypingIntoAListClearedWhileFillingIsUndoable() {
    for (int i = 0; i < 30000; ++i) window_->AddItem(kResultList, std::to_string(i));
    QTest::keyClick(ListInput(), Qt::Key_End);
    window_->PollEvent();
    QVERIFY(ListInput() != Results());  // still going over
    window_->ClearItems(kResultList);
    QTest::keyClicks(ListInput(), "x");
    QCOMPARE(window_->ItemText(kResultList, 0), std::string("x"));
    QTest::keyClick(ListInput(), Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(Results()->toPlainText(), QString());
  }

  // --- Out of memory in the result list

  // Before, the text document met the failed allocation itself, and the
  // program crashed. Now the lines shown stay, the waiting ones are given up,
  // and the log says so once, whether the running command noticed first or
  // the window.
  void ListThatCannotGrowKeepsWhatItShows_data() {
    QTest::addColumn<bool>("during_command");
    QTest::newRow("between commands") << false;
    QTest::newRow("during a command") << true;
  }
  void ListThatCannotGrowKeepsWhatItShows() {
    QFETCH(bool, during_command);
    HandOver();
    window_->AddItem(kResultList, "a");
    window_->AddItem(kResultList, "b");
    Drain();
    window_->AddItem(kResultList, "c");
    FailAllocationsOfAtLeast(size_t{4} << 20);  // room for "c", none for the editor's growth
    if (during_command) {
      window_->SetProgress(kProgressBar, 50);  // serves the window
      QVERIFY_THROWS_EXCEPTION(std::bad_alloc, window_->AddItem(kResultList, "d"));
      LogStatus(*window_, kLogNoMemory, LogNewLine);  // as the command then does
    }
    Drain();
    AllowAllocations();
    QCOMPARE(Results()->toPlainText(), QString("a\nb"));
    QCOMPARE(window_->ItemText(kResultList, 2), std::string());
    QVERIFY(!Results()->isReadOnly());
    QCOMPARE(window_->CountItems(kStatusLog), 1);
    QCOMPARE(window_->ItemText(kStatusLog, 0), std::string(kLogNoMemory));
    // Lines join again once the list has been cleared, as "START" does.
    QVERIFY_THROWS_EXCEPTION(std::bad_alloc, window_->AddItem(kResultList, "e"));
    window_->ClearItems(kResultList);
    window_->AddItem(kResultList, "f");
    HandOver();
    QCOMPARE(Results()->toPlainText(), QString("f"));
  }

  // An editor that cannot take the list leaves it in its view, whole, and the
  // log says so once; the keys that asked for it are dropped.
  void ListThatCannotGoToTheEditorStaysInItsView() {
    window_->AddItem(kResultList, "a");
    window_->AddItem(kResultList, "b");
    Drain();
    FailAllocationsOfAtLeast(size_t{4} << 20);
    QWindow* handle = window_->widget()->windowHandle();
    ListInput()->setFocus();
    for (char key : {'x', 'y'}) QTest::keyClick(handle, key);
    Drain();
    AllowAllocations();
    QVERIFY(ListInput() != Results());
    QCOMPARE(window_->ItemText(kResultList, 1), std::string("b"));
    QCOMPARE(window_->CountItems(kStatusLog), 1);
    QCOMPARE(window_->ItemText(kStatusLog, 0), std::string(kLogNoMemory));
    // The refused keys are gone, not held up in front of the next ones.
    Control(kInputField)->setFocus();
    QTest::keyClick(handle, 'z');
    Drain();
    QCOMPARE(window_->GetText(kInputField), std::string("z"));
    // With memory to be had again, the next key gets the editor.
    QTest::keyClicks(ListInput(), "g");
    QCOMPARE(Results()->toPlainText(), QString("a\nbg"));
  }

  // --- Input field

  // A file name that is not UTF-8 must reach the scan as the same bytes; once
  // the user types, the field's own text counts.
  void InputFieldKeepsBytesUntilEdited() {
    window_->SetText(kInputField, "/tmp/\xE4.txt");
    QCOMPARE(window_->GetText(kInputField), std::string("/tmp/\xE4.txt"));
    QTest::keyClicks(Control(kInputField), "x");
    QCOMPARE(window_->GetText(kInputField), std::string("/tmp/\xC3\xA4.txtx"));
  }
};

QTEST_MAIN(QtMainWindowTest)
#include "qt_main_window_test.moc"
