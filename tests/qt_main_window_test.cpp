// The Qt main window under the offscreen platform: geometry, focus ring,
// events and the control operations on the real widgets.
#include "ui/qt_main_window.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTimer>
#include <QWindow>
#include <QtTest>
#include <climits>
#include <memory>
#include <string>

#include "ui/status_log.h"

using namespace varnolt;

Q_DECLARE_METATYPE(std::string)

namespace {

QByteArray Bytes(const std::string& s) { return QByteArray(s.data(), qsizetype(s.size())); }

}  // namespace

class QtMainWindowTest : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<QtMainWindow> window_;

  // Takes every pending event, so that a test sees only its own.
  void Drain() {
    while (window_->PollEvent() != EventNone) {
    }
  }
  QWidget* Control(int id) { return window_->control(id); }
  QListView* Log() { return static_cast<QListView*>(Control(kStatusLog)); }
  QPlainTextEdit* Results() { return static_cast<QPlainTextEdit*>(Control(kResultList)); }

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
    QCOMPARE(w->size(), QSize(370, 330));
    QCOMPARE(w->minimumSize(), w->maximumSize());
    QVERIFY(w->windowFlags() & Qt::WindowCloseButtonHint);
    QVERIFY(!(w->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    const QRect screen = w->screen()->geometry();
    const QRect frame = w->frameGeometry();
    QCOMPARE(frame.x(), screen.x() + screen.width() / 2 - frame.width() / 2);
    QCOMPARE(frame.y(), screen.y() + screen.height() / 2 - frame.height() / 2);
  }

  void CreationQueuesOneResizeEvent() {
    // init() has not drained yet; activation itself must not add events.
    QCOMPARE(window_->PollEvent(), EventResize);
    QCOMPARE(window_->PollEvent(), EventNone);
  }

  void ControlsSitAtTheirPlaces_data() {
    QTest::addColumn<int>("id");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");
    QTest::newRow("label") << 0 << QRect(10, 10, 100, 20) << "input File:";
    QTest::newRow("input") << 1 << QRect(110, 10, 225, 20) << "";
    QTest::newRow("browse") << 2 << QRect(335, 10, 25, 20) << "...";
    QTest::newRow("progress") << 3 << QRect(10, 35, 350, 20) << "";
    QTest::newRow("results") << 4 << QRect(10, 120, 350, 200) << "";
    QTest::newRow("start") << 5 << QRect(10, 60, 350, 20) << "START";
    QTest::newRow("log") << 6 << QRect(10, 85, 350, 30) << "";
  }
  void ControlsSitAtTheirPlaces() {
    QFETCH(int, id);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);
    QWidget* control = Control(id);
    QVERIFY(control);
    QCOMPARE(control->geometry(), geometry);
    QCOMPARE(control->isVisible(), true);
    if (auto* label = qobject_cast<QLabel*>(control)) {
      QCOMPARE(label->text(), text);
      QVERIFY(label->alignment() & Qt::AlignRight);
    }
    if (auto* button = qobject_cast<QPushButton*>(control)) {
      QCOMPARE(button->text(), text);
      QVERIFY(!button->isDefault() && !button->autoDefault());
    }
    // Created in the order of their ids, which is also the stacking order.
    if (id > 0) {
      const QObjectList& children = window_->widget()->children();
      QVERIFY(children.indexOf(Control(id - 1)) < children.indexOf(control));
    }
  }

  void ProgressBarStartsAtZeroAndClamps_data() {
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("shown");
    QTest::newRow("inside") << 42 << 42;
    QTest::newRow("above") << 150 << 100;
    QTest::newRow("below") << -5 << 0;
    QTest::newRow("lowest int") << INT_MIN << 0;
  }
  void ProgressBarStartsAtZeroAndClamps() {
    QFETCH(int, position);
    QFETCH(int, shown);
    auto* bar = static_cast<QProgressBar*>(Control(kProgressBar));
    QCOMPARE(bar->value(), 0);
    QVERIFY(!bar->isTextVisible());
    window_->SetProgress(kProgressBar, 50);  // a value to move away from
    window_->SetProgress(kProgressBar, position);
    QCOMPARE(bar->value(), shown);
  }

  void ResultListIsAnEditableNonWrappingEditor() {
    QPlainTextEdit* results = Results();
    QVERIFY(!results->isReadOnly());
    QCOMPARE(results->lineWrapMode(), QPlainTextEdit::NoWrap);
    results->setFocus();
    QTest::keyClicks(results, "ab");
    QTest::keyClick(results, Qt::Key_Return);
    QTest::keyClicks(results, "c");
    QCOMPARE(results->toPlainText(), QString("ab\nc"));
    QCOMPARE(window_->ItemText(kResultList, 1), std::string("c"));
  }

  // --- Focus ring

  void TabWalksTheRing_data() {
    QTest::addColumn<bool>("forward");
    QTest::addColumn<QList<int>>("ids");
    QTest::newRow("Tab") << true << QList<int>{1, 2, 4, 5, 6, 1};
    QTest::newRow("Shift+Tab") << false << QList<int>{6, 5, 4, 2, 1, 6};
  }
  void TabWalksTheRing() {
    QFETCH(bool, forward);
    QFETCH(QList<int>, ids);
    // No control holds the focus at first.
    QCOMPARE(QApplication::focusWidget(), window_->widget());
    for (int id : ids) {
      QWidget* from = QApplication::focusWidget();
      QTest::keyClick(from, Qt::Key_Tab, forward ? Qt::NoModifier : Qt::ShiftModifier);
      QCOMPARE(QApplication::focusWidget(), Control(id));
    }
    QCOMPARE(Results()->toPlainText(), QString());  // Tab typed no character
  }

  // --- Events

  void ClickOnStartGivesControlFive() {
    Drain();
    QTest::mouseClick(Control(kStartButton), Qt::LeftButton);
    QCOMPARE(window_->PollEvent(), EventControl);
    QCOMPARE(window_->EventControlId(), int(kStartButton));
    QCOMPARE(window_->PollEvent(), EventNone);
  }

  void SpaceOnBrowseGivesControlTwoAndEnterNothing() {
    Control(kBrowseButton)->setFocus();
    Drain();
    QTest::keyClick(Control(kBrowseButton), Qt::Key_Space);
    QCOMPARE(window_->PollEvent(), EventControl);
    QCOMPARE(window_->EventControlId(), int(kBrowseButton));
    QTest::keyClick(Control(kBrowseButton), Qt::Key_Return);
    QTest::keyClick(Control(kBrowseButton), Qt::Key_Escape);
    QCOMPARE(window_->PollEvent(), EventNone);
  }

  void CloseRequestGivesSixteenAndWindowStays() {
    Drain();
    window_->widget()->windowHandle()->close();
    QCOMPARE(window_->PollEvent(), EventClose);
    QVERIFY(window_->widget()->isVisible());
  }

  void EventsComeOnePerPollInArrivalOrder() {
    Drain();
    QTest::mouseClick(Control(kStartButton), Qt::LeftButton);
    QTest::mouseClick(Control(kBrowseButton), Qt::LeftButton);
    window_->widget()->close();
    QCOMPARE(window_->PollEvent(), EventControl);
    QCOMPARE(window_->EventControlId(), int(kStartButton));
    QCOMPARE(window_->PollEvent(), EventControl);
    QCOMPARE(window_->EventControlId(), int(kBrowseButton));
    QCOMPARE(window_->PollEvent(), EventClose);
    QCOMPARE(window_->EventControlId(), int(kBrowseButton));  // kept from the last control event
    QCOMPARE(window_->PollEvent(), EventNone);
  }

  void FocusAndTypingReportTheirControl() {
    Drain();
    QTest::mouseClick(Control(kInputField), Qt::LeftButton);
    QTest::keyClicks(Control(kInputField), "x");
    QTest::mouseClick(Results()->viewport(), Qt::LeftButton);
    int code;
    QList<int> ids;
    while ((code = window_->PollEvent()) != EventNone) {
      QCOMPARE(code, EventControl);
      ids << window_->EventControlId();
    }
    // focus, change, loss of focus of the field, then the result list's focus
    QCOMPARE(ids, (QList<int>{1, 1, 1, 4}));
  }

  void SelectionByProgramIsSilentByUserIsNot() {
    for (const char* line : {"a", "b", "c"}) LogStatus(*window_, line, LogNewLine);
    Drain();
    QCOMPARE(Log()->currentIndex().row(), 2);
    window_->SelectItem(kStatusLog, 0);
    QCOMPARE(window_->PollEvent(), EventNone);
    QCOMPARE(Log()->selectionModel()->selectedIndexes().value(0).row(), 0);
    const QRect second = Log()->visualRect(Log()->model()->index(1, 0));
    QTest::mouseClick(Log()->viewport(), Qt::LeftButton, {}, second.center());
    QCOMPARE(window_->PollEvent(), EventControl);
    QCOMPARE(window_->EventControlId(), int(kStatusLog));
    QCOMPARE(window_->PollEvent(), EventNone);
  }

  // --- Result list

  void ResultListLines() {
    window_->AddItem(kResultList, "a");
    window_->AddItem(kResultList, "b");
    QCOMPARE(window_->ItemText(kResultList, 0), std::string("a"));
    QCOMPARE(window_->ItemText(kResultList, 1), std::string("b"));
    QCOMPARE(window_->ItemText(kResultList, 2), std::string());
    QCOMPARE(window_->ItemText(kResultList, -1), std::string());
    window_->PollEvent();  // the lines reach the editor before Qt processes events
    QCOMPARE(Results()->toPlainText(), QString("a\nb"));
    QCOMPARE(Results()->textCursor().position(), 3);  // caret after the text
    QVERIFY(Results()->document()->isUndoAvailable());

    window_->ClearItems(kResultList);
    QCOMPARE(Results()->toPlainText(), QString());
    window_->AddItem(kResultList, "");  // the empty text on an empty list: still empty
    window_->AddItem(kResultList, "x");
    window_->PollEvent();
    QCOMPARE(Results()->toPlainText(), QString("x"));
    window_->AddItem(kResultList, "");
    window_->PollEvent();
    QCOMPARE(Results()->toPlainText(), QString("x\n"));
  }

  void ResultListSplitsAddedLineBreaks() {
    window_->AddItem(kResultList, "a\r\nb\rc");
    window_->AddItem(kResultList, "\xE4\n\xF6");  // Windows-1252 on both sides of the break
    window_->AddItem(kResultList, "\xC3\xA4");
    const char* lines[] = {"a", "b", "c", "\xE4", "\xF6", "\xC3\xA4"};
    for (int i = 0; i < 6; ++i) QCOMPARE(window_->ItemText(kResultList, i), std::string(lines[i]));
  }

  void ResultListLineReadsAtMost31999Characters() {
    window_->AddItem(kResultList, std::string(40000, 'x'));
    QCOMPARE(window_->ItemText(kResultList, 0), std::string(31999, 'x'));
  }

  // Many lines reach the editor over several polls; reading them must not
  // depend on where they are meanwhile.
  void WaitingLinesReadTheSameAsShownOnes() {
    auto line = [](int i) { return i % 7 == 0 ? "\xE4" + std::to_string(i) : std::to_string(i); };
    const int count = 30000;
    for (int i = 0; i < count; ++i) window_->AddItem(kResultList, line(i));
    window_->PollEvent();
    const int shown = Results()->document()->blockCount();
    QVERIFY(shown > 1 && shown < count);  // part moved, part still waiting
    QVERIFY(Results()->isReadOnly());     // typing cannot land above the rest
    for (int i : {0, 7, shown - 1, shown, shown + 6, count - 1}) {
      QCOMPARE(window_->ItemText(kResultList, i), line(i));
    }
    QCOMPARE(window_->ItemText(kResultList, count), std::string());
    while (Results()->document()->blockCount() < count) window_->PollEvent();
    QVERIFY(!Results()->isReadOnly());
    QCOMPARE(window_->ItemText(kResultList, count - 7), line(count - 7));
    QCOMPARE(Results()->document()->findBlockByNumber(7).text(), QString::fromUtf8("ä7"));
  }

  // Regression: a block the user emptied kept its Windows-1252 mark, so the
  // next UTF-8 line read back as Windows-1252.
  void EmptiedLineForgetsItsEncoding() {
    window_->AddItem(kResultList, "\xE4");
    window_->PollEvent();
    Results()->selectAll();
    QTest::keyClick(Results(), Qt::Key_Delete);
    window_->AddItem(kResultList, "\xC3\xA4");
    QCOMPARE(window_->ItemText(kResultList, 0), std::string("\xC3\xA4"));
  }

  // --- Text bytes, both lists

  void LinesKeepTheirBytes_data() {
    QTest::addColumn<std::string>("bytes");
    QTest::addColumn<QString>("shown");
    QTest::newRow("ascii") << std::string("ed2k://|file|a|1|AB|/") << "ed2k://|file|a|1|AB|/";
    QTest::newRow("utf-8") << std::string("\xC3\xA4") << QString::fromUtf8("ä");
    QTest::newRow("cp1252") << std::string("\xE4") << QString::fromUtf8("ä");
    QTest::newRow("cp1252 high") << std::string("\x80\x81\x9F")
                                 << QString::fromUtf16(u"\u20AC\u0081\u0178");
    QTest::newRow("overlong") << std::string("\xC0\xAF") << QString::fromUtf8("À¯");
    QTest::newRow("surrogate") << std::string("\xED\xA0\x80")
                               << QString::fromUtf16(u"\u00ED\u00A0\u20AC");
    QTest::newRow("above U+10FFFF")
        << std::string("\xF4\x90\x80\x80") << QString::fromUtf16(u"\u00F4\u0090\u20AC\u20AC");
    QTest::newRow("truncated") << std::string("a\xE2\x82") << QString::fromUtf16(u"a\u00E2\u201A");
    QTest::newRow("byte order mark")
        << std::string("\xEF\xBB\xBFx") << QString(QChar(0xFEFF)) + "x";
    QTest::newRow("4-byte") << std::string("\xF0\x9F\x98\x80") << QString::fromUtf16(u"\U0001F600");
  }
  void LinesKeepTheirBytes() {
    QFETCH(std::string, bytes);
    QFETCH(QString, shown);
    window_->AddItem(kResultList, "first");
    window_->AddItem(kResultList, bytes);
    window_->AddItem(kStatusLog, bytes);
    QCOMPARE(Bytes(window_->ItemText(kResultList, 1)), Bytes(bytes));
    QCOMPARE(Bytes(window_->ItemText(kStatusLog, 0)), Bytes(bytes));
    window_->PollEvent();
    QCOMPARE(Results()->document()->findBlockByNumber(1).text(), shown);
    QCOMPARE(Bytes(window_->ItemText(kResultList, 1)), Bytes(bytes));  // and from the editor
    QCOMPARE(Log()->model()->index(0, 0).data().toString(), shown);
  }

  void InputFieldKeepsBytesUntilEdited() {
    const std::string name = "/tmp/\xE4.txt";
    window_->SetText(kInputField, name);
    QCOMPARE(static_cast<QLineEdit*>(Control(kInputField))->text(),
             QString::fromUtf8("/tmp/ä.txt"));
    QCOMPARE(Bytes(window_->GetText(kInputField)), Bytes(name));
    QTest::keyClick(Control(kInputField), Qt::Key_End);
    QTest::keyClicks(Control(kInputField), "x");
    QCOMPARE(Bytes(window_->GetText(kInputField)), QByteArray("/tmp/\xC3\xA4.txtx"));
    window_->SetText(kInputField, std::string(40000, 'a'));
    QCOMPARE(window_->GetText(kInputField), std::string(31999, 'a'));
  }

  // --- Status log

  void StatusLogOutOfRangeIndicesAreHarmless() {
    window_->AddItem(kStatusLog, "one");
    window_->AddItem(kStatusLog, "two");
    for (int index : {-1, 2}) {
      QCOMPARE(window_->ItemText(kStatusLog, index), std::string());
      window_->RemoveItem(kStatusLog, index);
    }
    QCOMPARE(window_->CountItems(kStatusLog), 2);
    QCOMPARE(window_->ItemText(kStatusLog, 1), std::string("two"));
  }

  void StatusLogKeepsOrderAndSelection() {
    LogStatus(*window_, "Lese Datei ein...", LogNewLine);
    window_->PollEvent();  // the view shows the line selected
    LogStatus(*window_, "OK", LogAppend);
    LogStatus(*window_, "z", LogNewLine);
    LogStatus(*window_, "a", LogNewLine);
    window_->PollEvent();
    QCOMPARE(Log()->model()->rowCount(), 3);
    QCOMPARE(Log()->model()->index(0, 0).data().toString(), QString("Lese Datei ein...OK"));
    QCOMPARE(Log()->model()->index(2, 0).data().toString(), QString("a"));
    QCOMPARE(Log()->selectionModel()->selectedIndexes().value(0).row(), 2);
    // Removing the selected line leaves none selected; -1 clears it too.
    window_->RemoveItem(kStatusLog, 2);
    window_->PollEvent();
    QVERIFY(Log()->selectionModel()->selectedIndexes().isEmpty());
    window_->SelectItem(kStatusLog, 1);
    window_->SelectItem(kStatusLog, -1);
    window_->PollEvent();
    QVERIFY(Log()->selectionModel()->selectedIndexes().isEmpty());
    QCOMPARE(Log()->height(), 30);
  }

  void StatusLogScrollsTheNewestLineIntoView() {
    for (int i = 0; i < 1000; ++i) LogStatus(*window_, "Link gefunden", LogNewLine);
    window_->PollEvent();
    const QModelIndex last = Log()->model()->index(999, 0);
    QVERIFY(Log()->viewport()->rect().intersects(Log()->visualRect(last)));
  }

  // --- Open-file dialog

  void FileChooserCanBeReplaced() {
    window_->SetFileChooserForTesting([] { return std::string("/x/\xE4"); });
    QCOMPARE(window_->ChooseInputFile(), std::string("/x/\xE4"));
  }

  void DialogAcceptsMissingFileInExistingFolder() {
    QTemporaryDir dir;
    const QString wanted = dir.path() + "/missing.txt";
    const QString cwd = QDir::currentPath();
    Drain();
    QString title;
    QFileDialog::FileMode mode = QFileDialog::Directory;
    bool stayed_open = false;
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      if (!dialog) return;
      title = dialog->windowTitle();
      mode = dialog->fileMode();
      // The window takes no input meanwhile. The click goes in through the
      // platform window, where modality blocks it.
      QTest::mouseClick(window_->widget()->windowHandle(), Qt::LeftButton, {},
                        Control(kStartButton)->geometry().center());
      // Typed names: one in a folder that does not exist keeps the dialog
      // open, one of a missing file in an existing folder is taken.
      auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
      if (name) {
        name->setText(dir.path() + "/no/such/folder/x.txt");
        QMetaObject::invokeMethod(dialog, "accept");
        stayed_open = dialog->isVisible();
        name->setText(wanted);
        QMetaObject::invokeMethod(dialog, "accept");
      }
      if (dialog->isVisible()) dialog->reject();
    });
    QCOMPARE(QString::fromUtf8(window_->ChooseInputFile().c_str()), wanted);
    QCOMPARE(title, QString("Datei zum einlesen"));
    QCOMPARE(mode, QFileDialog::AnyFile);
    QVERIFY(stayed_open);
    QCOMPARE(QDir::currentPath(), cwd);
    QCOMPARE(window_->PollEvent(), EventNone);
  }

  void CancelledDialogGivesEmptyText() {
    QTimer::singleShot(0, [] {
      if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
        dialog->reject();
      }
    });
    QCOMPARE(window_->ChooseInputFile(), std::string());
  }
};

QTEST_MAIN(QtMainWindowTest)
#include "qt_main_window_test.moc"
