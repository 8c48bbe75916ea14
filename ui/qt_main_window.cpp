#include "ui/qt_main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QWindow>
#include <algorithm>
#include <array>
#include <utility>

#include "ui/qt_result_list.h"
#include "ui/qt_status_list.h"
#include "ui/qt_text.h"

namespace varnolt {

namespace {

// The longest path the open-file dialog hands back, in bytes; a longer one
// counts as a failed dialog.
constexpr qsizetype kMaxChosenPath = 9999;

// The shortest time between two repaints while a command runs and no events
// are taken: often enough for the progress bar to move smoothly, seldom enough
// that painting costs the scan nothing noticeable.
constexpr qint64 kRepaintIntervalMs = 30;

// The shortest time between two updates of the lists' views while a command
// runs. Laying out the status log grows with its length (about 10 ms at
// 250,000 lines) and the result list's editor takes a few microseconds per
// line, so a long scan updates them far less often than the bar.
constexpr qint64 kListRepaintIntervalMs = 250;

// The time the result list may spend taking waiting lines into its editor:
// per list update during a command, and per poll, where the user must not
// notice it.
constexpr int kResultSliceDuringCommandMs = 2;
constexpr int kResultSlicePerPollMs = 10;

// The GUI font at the pixel size of the classic dialog font, so that a text
// line fits the 20-pixel rows and the status log shows two lines.
QFont ControlFont() {
  QFont font = QApplication::font();
  font.setPixelSize(11);
  return font;
}

// The open-file dialog. Any name may be typed, existing or not, but its
// folder must exist: the dialog stays open on a name in a missing folder.
class OpenFileDialog : public QFileDialog {
 public:
  using QFileDialog::QFileDialog;

 protected:
  void accept() override {
    const QStringList files = selectedFiles();
    if (!files.isEmpty()) {
      const QFileInfo info(files.first());
      if (!info.isDir() && !info.absoluteDir().exists()) return;
    }
    QFileDialog::accept();
  }
};

}  // namespace

// The top-level widget. It turns the close request, state changes and the
// focus notifications of the input field and the result list into events of
// its owner, and moves the focus round the controls' ring on Tab.
class WindowWidget : public QWidget {
 public:
  explicit WindowWidget(QtMainWindow& owner)
      : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                             Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
        owner_(owner) {}

  // Centres the window again once the window manager has framed it, since
  // the frame counts towards the centring. Happens at most once.
  void set_centred_margins(QMargins margins) { centred_margins_ = margins; }

 protected:
  // The program decides when to end: the request only becomes an event.
  void closeEvent(QCloseEvent* event) override {
    event->ignore();
    owner_.Queue(EventClose, 0);
  }

  void changeEvent(QEvent* event) override {
    if (event->type() == QEvent::WindowStateChange) owner_.Queue(EventResize, 0);
    QWidget::changeEvent(event);
  }

  bool event(QEvent* event) override {
    if (!recentred_ && (event->type() == QEvent::Move || event->type() == QEvent::WindowActivate) &&
        windowHandle() && windowHandle()->frameMargins() != centred_margins_) {
      recentred_ = true;
      owner_.Centre();
    }
    return QWidget::event(event);
  }

  // Tab and Shift+Tab from any control arrive here. The ring is fixed: the
  // input field, "...", the result list, "START" and the status log; from
  // outside the ring, forward goes to the first and backward to the last.
  bool focusNextPrevChild(bool next) override {
    const std::array<QWidget*, 5> ring = {
        owner_.control(kInputField), owner_.control(kBrowseButton), owner_.control(kResultList),
        owner_.control(kStartButton), owner_.control(kStatusLog)};
    const int size = static_cast<int>(ring.size());
    const QWidget* focus = QApplication::focusWidget();
    int current = -1;
    for (int i = 0; i < size; ++i) {
      if (focus && (focus == ring[i] || ring[i]->isAncestorOf(focus))) current = i;
    }
    int target;
    if (current < 0) {
      target = next ? 0 : size - 1;
    } else {
      target = (current + (next ? 1 : size - 1)) % size;
    }
    ring[target]->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
  }

  // Focus notifications of the input field and the result list. A context
  // menu does not take the focus away from them in the user's eyes.
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut) {
      if (static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason) {
        if (watched == owner_.control(kInputField)) owner_.Queue(EventControl, kInputField);
        if (watched == owner_.control(kResultList)) owner_.Queue(EventControl, kResultList);
      }
    }
    return QWidget::eventFilter(watched, event);
  }

 private:
  QtMainWindow& owner_;
  QMargins centred_margins_;
  bool recentred_ = false;
};

QtMainWindow::QtMainWindow() : set_text_(std::make_unique<QString>()) {
  widget_ = std::make_unique<WindowWidget>(*this);
  WindowWidget* window = widget_.get();
  window->setWindowTitle(QString::fromUtf8(kWindowTitle));
  window->setFixedSize(kClientWidth, kClientHeight);

  const QFont font = ControlFont();
  // Created in the order of their ids, which is also their stacking order.
  label_ = new QLabel(QStringLiteral("input File:"), window);
  label_->setGeometry(10, 10, 100, 20);
  label_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  label_->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  label_->setFont(font);

  input_ = new QLineEdit(window);
  input_->setGeometry(110, 10, 225, 20);
  input_->setFont(font);
  input_->installEventFilter(window);
  QObject::connect(input_, &QLineEdit::textChanged, window,
                   [this] { Queue(EventControl, kInputField); });

  browse_ = new QPushButton(QStringLiteral("..."), window);
  browse_->setGeometry(335, 10, 25, 20);
  browse_->setFont(font);

  progress_ = new QProgressBar(window);
  progress_->setGeometry(10, 35, 350, 20);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  progress_->setTextVisible(false);

  result_list_ = std::make_unique<QtResultList>(window);
  QPlainTextEdit* editor = result_list_->editor();
  editor->setGeometry(10, 120, 350, 200);
  editor->setFont(font);
  editor->installEventFilter(window);

  start_ = new QPushButton(QStringLiteral("START"), window);
  start_->setGeometry(10, 60, 350, 20);
  start_->setFont(font);

  status_list_ =
      std::make_unique<QtStatusList>(window, [this] { Queue(EventControl, kStatusLog); });
  QListView* log = status_list_->view();
  log->setGeometry(10, 85, 350, 30);
  log->setFont(font);

  for (QPushButton* button : {browse_, start_}) {
    // Enter presses neither button, wherever the focus is.
    button->setAutoDefault(false);
    button->setDefault(false);
    button->setFocusPolicy(Qt::StrongFocus);
  }
  QObject::connect(browse_, &QPushButton::clicked, window,
                   [this] { Queue(EventControl, kBrowseButton); });
  QObject::connect(start_, &QPushButton::clicked, window,
                   [this] { Queue(EventControl, kStartButton); });
  label_->setFocusPolicy(Qt::NoFocus);
  progress_->setFocusPolicy(Qt::NoFocus);

  // No control holds the focus at first; the first Tab goes to the input
  // field, the first Shift+Tab to the status log.
  window->setFocus();

  window->winId();  // creates the native window, whose frame Centre() measures
  Centre();
  window->show();
  Queue(EventResize, 0);
}

QtMainWindow::~QtMainWindow() = default;

void QtMainWindow::Queue(int code, int control_id) { events_.push_back({code, control_id}); }

void QtMainWindow::SyncLists(int result_budget_ms) {
  result_list_->Sync(result_budget_ms);
  status_list_->Sync();
}

void QtMainWindow::Centre() {
  QScreen* screen = widget_->screen() ? widget_->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->geometry();
  const QMargins frame =
      widget_->windowHandle() ? widget_->windowHandle()->frameMargins() : QMargins();
  widget_->set_centred_margins(frame);
  const int outer_width = std::min(kClientWidth + frame.left() + frame.right(), area.width());
  const int outer_height = std::min(kClientHeight + frame.top() + frame.bottom(), area.height());
  // Each half rounded down before the subtraction; move() places the frame.
  widget_->move(area.x() + area.width() / 2 - outer_width / 2,
                area.y() + area.height() / 2 - outer_height / 2);
}

std::string QtMainWindow::GetText(int id) {
  if (id != kInputField) return {};
  const QString shown = input_->text();
  std::string bytes;
  if (shown == *set_text_) {
    bytes = set_bytes_;
  } else {
    const QByteArray encoded = QFile::encodeName(shown);
    bytes.assign(encoded.constData(), static_cast<size_t>(encoded.size()));
  }
  if (bytes.size() > kMaxItemText) bytes.resize(kMaxItemText);
  return bytes;
}

void QtMainWindow::SetText(int id, std::string_view text) {
  if (id != kInputField) return;
  set_bytes_.assign(text);
  *set_text_ = DecodeText(text);
  input_->setText(*set_text_);
}

void QtMainWindow::SetProgress(int id, int position) {
  if (id != kProgressBar) return;
  // QProgressBar ignores a value outside its range; the bar pins it instead.
  const int value = std::clamp(position, 0, 100);
  if (value == progress_->value()) return;
  progress_->setValue(value);
  // A command runs without polling, so let Qt paint now and then. User input
  // stays queued in the platform until PollEvent takes it, in order.
  if (!since_repaint_.isValid() || since_repaint_.elapsed() >= kRepaintIntervalMs) {
    if (!since_list_repaint_.isValid() || since_list_repaint_.elapsed() >= list_repaint_interval_) {
      since_list_repaint_.start();
      SyncLists(kResultSliceDuringCommandMs);
      // Laying out the log grows with its length; with millions of lines,
      // updates at a fixed rate would take over the command. Spacing them by
      // ten times their cost keeps them to a tenth of it.
      list_repaint_interval_ = std::max(kListRepaintIntervalMs, 10 * since_list_repaint_.elapsed());
      since_list_repaint_.start();
    }
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    since_repaint_.start();
  }
}

void QtMainWindow::AddItem(int id, std::string_view text) {
  if (id == kResultList) result_list_->Add(text);
  if (id == kStatusLog) status_list_->Add(text);
}

std::string QtMainWindow::ItemText(int id, int index) {
  if (id == kResultList) return result_list_->Text(index);
  if (id == kStatusLog) return status_list_->Text(index);
  return {};
}

void QtMainWindow::ClearItems(int id) {
  if (id == kResultList) result_list_->Clear();
}

int QtMainWindow::CountItems(int id) { return id == kStatusLog ? status_list_->Count() : 0; }

void QtMainWindow::RemoveItem(int id, int index) {
  if (id == kStatusLog) status_list_->Remove(index);
}

void QtMainWindow::SelectItem(int id, int index) {
  if (id == kStatusLog) status_list_->Select(index);
}

int QtMainWindow::PollEvent() {
  SyncLists(kResultSlicePerPollMs);
  // Without WaitForMoreEvents this returns once the pending events are
  // delivered; the widgets queue what concerns the program.
  QCoreApplication::processEvents();
  // No event loop runs, so objects Qt released with deleteLater() (a context
  // menu, for one) are deleted here.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  if (events_.empty()) return EventNone;
  const Event event = events_.front();
  events_.pop_front();
  if (event.code == EventControl) last_control_id_ = event.control_id;
  return event.code;
}

int QtMainWindow::EventControlId() { return last_control_id_; }

std::string QtMainWindow::ChooseInputFile() {
  SyncLists(kResultSlicePerPollMs);
  if (file_chooser_) return file_chooser_();
  return RunFileDialog();
}

std::string QtMainWindow::RunFileDialog() {
  // Application-modal: the window takes no input while the dialog is open.
  // The dialog neither presets a name nor changes the current directory.
  OpenFileDialog dialog(widget_.get(), QString::fromUtf8(kFileDialogTitle));
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setWindowModality(Qt::ApplicationModal);
  if (dialog.exec() != QDialog::Accepted) return {};
  const QStringList files = dialog.selectedFiles();
  if (files.isEmpty()) return {};
  const QByteArray path = QFile::encodeName(QFileInfo(files.first()).absoluteFilePath());
  if (path.isEmpty() || path.size() > kMaxChosenPath) return {};
  return std::string(path.constData(), static_cast<size_t>(path.size()));
}

QWidget* QtMainWindow::widget() const { return widget_.get(); }

QWidget* QtMainWindow::control(int id) const {
  switch (id) {
    case kInputLabel:
      return label_;
    case kInputField:
      return input_;
    case kBrowseButton:
      return browse_;
    case kProgressBar:
      return progress_;
    case kResultList:
      return result_list_->editor();
    case kStartButton:
      return start_;
    case kStatusLog:
      return status_list_->view();
    default:
      return nullptr;
  }
}

void QtMainWindow::SetFileChooserForTesting(std::function<std::string()> chooser) {
  file_chooser_ = std::move(chooser);
}

std::unique_ptr<MainWindow> OpenMainWindow() { return std::make_unique<QtMainWindow>(); }

}  // namespace varnolt
