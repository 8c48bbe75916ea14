#include "ui/qt_main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPointingDevice>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTableView>
#include <QWindow>
#include <algorithm>
#include <new>
#include <utility>

#include "extract/boundary/log_texts.h"
#include "extract/boundary/status_log.h"
#include "ui/qt_desktop.h"
#include "ui/qt_line_view.h"
#include "ui/qt_result_list.h"
#include "ui/qt_status_list.h"
#include "ui/qt_text.h"
#include "ui/window_layout.h"

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
// notice it. The main flow sleeps 10 ms after each poll, so a poll's share
// sets how much of the time a long list fills.
constexpr int kResultSliceDuringCommandMs = 2;
constexpr int kResultSlicePerPollMs = 30;

// The GUI font at the pixel size of the classic dialog font, so that a text
// line fits the 20-pixel rows and the status log shows two lines.
QFont ControlFont() {
  QFont font = QApplication::font();
  font.setPixelSize(11);
  return font;
}

QString LayoutText(int id) { return QString::fromUtf8(kControlLayouts[id].text); }

// The events through which a user acts on the window: keys, the mouse (also
// as Qt makes it from touch), the wheel, and the close request.
bool IsUserInput(QEvent::Type type) {
  switch (type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
    case QEvent::Close:
      return true;
    default:
      return false;
  }
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

// The device of held input, or the primary one when that device has gone.
const QPointingDevice* DeviceOrPrimary(const QPointer<const QPointingDevice>& device) {
  return device ? device.get() : QPointingDevice::primaryPointingDevice();
}

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

  // A file or a web address dropped anywhere on the window goes into the
  // input field, replacing its text; nothing starts. The input field and the
  // result list leave drops to the window, so that a drop on them does not
  // insert the text where it lands.
  void dragEnterEvent(QDragEnterEvent* event) override {
    if (!DroppedInput(*event->mimeData()).empty()) event->acceptProposedAction();
  }

  void dropEvent(QDropEvent* event) override {
    const std::string input = DroppedInput(*event->mimeData());
    if (input.empty()) return;
    owner_.SetText(kInputField, input);
    event->acceptProposedAction();
  }

  // Tab and Shift+Tab from any control arrive here. The ring is kFocusRing;
  // from outside it, forward goes to the first stop and backward to the last.
  bool focusNextPrevChild(bool next) override {
    const int size = static_cast<int>(kFocusRing.size());
    const QWidget* focus = QApplication::focusWidget();
    int current = -1;
    for (int i = 0; i < size; ++i) {
      const QWidget* stop = owner_.control(kFocusRing[i]);
      if (focus && (focus == stop || stop->isAncestorOf(focus))) current = i;
    }
    int target;
    if (current < 0) {
      target = next ? 0 : size - 1;
    } else {
      target = (current + (next ? 1 : size - 1)) % size;
    }
    owner_.control(kFocusRing[target])
        ->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
  }

  // User input on its way to the window, held for PollEvent(); and the focus
  // notifications of the input field and the result list. A context menu
  // does not take the focus away from them in the user's eyes.
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == windowHandle()) return owner_.Hold(*event);
    if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut) {
      if (static_cast<QFocusEvent*>(event)->reason() != Qt::PopupFocusReason) {
        if (watched == owner_.control(kInputField)) owner_.Queue(EventControl, kInputField);
        const auto* widget = qobject_cast<const QWidget*>(watched);
        if (widget && owner_.control(kResultList)->isAncestorOf(widget)) {
          owner_.Queue(EventControl, kResultList);
        }
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
  widget_->setWindowTitle(QString::fromUtf8(kWindowTitle));
  widget_->setFixedSize(kClientWidth, kClientHeight);
  widget_->setWindowIcon(ProgramIcon());
  widget_->setAcceptDrops(true);
  CreateControls();
  ConnectControls();
  PlaceControls();
  // No control holds the focus at first; the first Tab goes to the input
  // field, the first Shift+Tab to the status log.
  widget_->setFocus();
  ShowCentred();
  Queue(EventResize, 0);
}

void QtMainWindow::CreateControls() {
  WindowWidget* window = widget_.get();
  // Created in the order of their ids, which is also their stacking order.
  label_ = new QLabel(LayoutText(kInputLabel), window);
  // A sunken panel two pixels deep with the text at the top right, as the
  // classic static control with a client edge draws it.
  label_->setAlignment(Qt::AlignRight | Qt::AlignTop);
  label_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  label_->setLineWidth(2);

  input_ = new QLineEdit(window);
  input_->installEventFilter(window);
  input_->setAcceptDrops(false);

  browse_ = new QPushButton(LayoutText(kBrowseButton), window);

  progress_ = new QProgressBar(window);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  progress_->setTextVisible(false);

  result_list_ = std::make_unique<QtResultList>(window);
  for (QAbstractScrollArea* page : {static_cast<QAbstractScrollArea*>(result_list_->view()),
                                    static_cast<QAbstractScrollArea*>(result_list_->editor())}) {
    page->installEventFilter(window);
    page->setAcceptDrops(false);
    page->viewport()->setAcceptDrops(false);
  }

  start_ = new QPushButton(LayoutText(kStartButton), window);

  status_list_ =
      std::make_unique<QtStatusList>(window, [this] { Queue(EventControl, kStatusLog); });
}

void QtMainWindow::ConnectControls() {
  WindowWidget* window = widget_.get();
  QObject::connect(input_, &QLineEdit::textChanged, window,
                   [this] { Queue(EventControl, kInputField); });
  for (QPushButton* button : {browse_, start_}) {
    // Enter presses neither button, wherever the focus is.
    button->setAutoDefault(false);
    button->setDefault(false);
  }
  QObject::connect(browse_, &QPushButton::clicked, window,
                   [this] { Queue(EventControl, kBrowseButton); });
  QObject::connect(start_, &QPushButton::clicked, window,
                   [this] { Queue(EventControl, kStartButton); });
}

void QtMainWindow::PlaceControls() {
  const QFont font = ControlFont();
  for (int id = 0; id < static_cast<int>(kControlLayouts.size()); ++id) {
    const ControlLayout& layout = kControlLayouts[id];
    QWidget* widget = control(id);
    widget->setGeometry(layout.x, layout.y, layout.width, layout.height);
    if (id != kProgressBar) widget->setFont(font);
    // The ring itself is walked by focusNextPrevChild(); a click still
    // focuses what Tab reaches.
    widget->setFocusPolicy(layout.tab_stop ? Qt::StrongFocus : Qt::NoFocus);
  }
}

void QtMainWindow::ShowCentred() {
  widget_->winId();  // creates the native window, whose frame Centre() measures
  widget_->windowHandle()->installEventFilter(widget_.get());
  Centre();
  widget_->show();
}

QtMainWindow::~QtMainWindow() = default;

void QtMainWindow::Queue(int code, int control_id) { events_.push_back({code, control_id}); }

void QtMainWindow::SyncLists(int result_budget_ms) {
  // Out of memory while the log's lines move into its view: they stay where
  // they wait, and read back from there, until memory can be had; the window
  // goes on. (The result list deals with its own.)
  try {
    result_list_->Sync(result_budget_ms);
    status_list_->Sync();
  } catch (const std::bad_alloc&) {
  }
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
  ServeWindow();
}

void QtMainWindow::ServeWindow() {
  if (since_repaint_.isValid() && since_repaint_.elapsed() < kRepaintIntervalMs) return;
  if (!since_list_repaint_.isValid() || since_list_repaint_.elapsed() >= list_repaint_interval_) {
    since_list_repaint_.start();
    SyncLists(kResultSliceDuringCommandMs);
    // Laying out the log grows with its length; with millions of lines,
    // updates at a fixed rate would take over the command. Spacing them by
    // ten times their cost keeps them to a tenth of it.
    list_repaint_interval_ = std::max(kListRepaintIntervalMs, 10 * since_list_repaint_.elapsed());
    since_list_repaint_.start();
  }
  // Painting, the window manager's questions and clipboard requests are
  // answered now; user input only joins the held input, in order.
  QCoreApplication::processEvents();
  since_repaint_.start();
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

void QtMainWindow::ReportMemoryShortage() {
  if (!result_list_->ShortageToReport()) return;
  // A command that ran out of memory itself has said so already.
  const int lines = status_list_->Count();
  if (lines > 0 && status_list_->Text(lines - 1) == kLogNoMemory) return;
  try {
    LogStatus(*this, kLogNoMemory, LogNewLine);
  } catch (const std::bad_alloc&) {
  }
}

int QtMainWindow::PollEvent() {
  SyncLists(kResultSlicePerPollMs);
  ReportMemoryShortage();
  // Without WaitForMoreEvents this returns once the pending events are
  // delivered; user input among them is held, the widgets queue the rest of
  // what concerns the program.
  QCoreApplication::processEvents();
  // No event loop runs, so objects Qt released with deleteLater() (a context
  // menu, for one) are deleted here.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  if (events_.empty()) {
    const int delivered = DeliverHeldInput();
    if (events_.empty()) return delivered == 0 ? EventNone : kQtInputCodeBase + delivered;
  }
  const Event event = events_.front();
  events_.pop_front();
  if (event.code == EventControl) last_control_id_ = event.control_id;
  return event.code;
}

int QtMainWindow::EventControlId() { return last_control_id_; }

bool QtMainWindow::KeepGoing() {
  ServeWindow();
  const auto held_close = [](const HeldInput& input) { return input.type == QEvent::Close; };
  const auto queued_close = [](const Event& event) { return event.code == EventClose; };
  return std::none_of(held_input_.begin(), held_input_.end(), held_close) &&
         std::none_of(events_.begin(), events_.end(), queued_close);
}

bool QtMainWindow::Hold(const QEvent& event) {
  if (&event == delivering_ || !IsUserInput(event.type())) return false;
  HeldInput input{event.type(), QPoint(), 0, nullptr};
  if (event.type() == QEvent::Wheel) {
    const auto& wheel = static_cast<const QWheelEvent&>(event);
    input.make = [position = wheel.position(), global = wheel.globalPosition(),
                  pixels = wheel.pixelDelta(), angle = wheel.angleDelta(),
                  buttons = wheel.buttons(), modifiers = wheel.modifiers(), phase = wheel.phase(),
                  inverted = wheel.inverted(), source = wheel.source(),
                  device = QPointer<const QPointingDevice>(wheel.pointingDevice()),
                  time = wheel.timestamp()] {
      auto made = std::make_unique<QWheelEvent>(position, global, pixels, angle, buttons, modifiers,
                                                phase, inverted, source, DeviceOrPrimary(device));
      made->setTimestamp(time);
      return std::unique_ptr<QEvent>(std::move(made));
    };
  } else if (event.isSinglePointEvent()) {
    const auto& mouse = static_cast<const QMouseEvent&>(event);
    input.position = mouse.position().toPoint();
    input.buttons = mouse.buttons().toInt();
    input.make = [type = mouse.type(), position = mouse.position(), scene = mouse.scenePosition(),
                  global = mouse.globalPosition(), button = mouse.button(),
                  buttons = mouse.buttons(), modifiers = mouse.modifiers(),
                  device = QPointer<const QPointingDevice>(mouse.pointingDevice()),
                  time = mouse.timestamp()] {
      auto made = std::make_unique<QMouseEvent>(type, position, scene, global, button, buttons,
                                                modifiers, DeviceOrPrimary(device));
      made->setTimestamp(time);
      return std::unique_ptr<QEvent>(std::move(made));
    };
  } else {
    input.make = [copy = std::shared_ptr<QEvent>(event.clone())] {
      return std::unique_ptr<QEvent>(copy->clone());
    };
  }
  // A run of moves is worth its last position only, as on any platform that
  // merges them; a move with other buttons held is a new step of a drag.
  if (input.type == QEvent::MouseMove && !held_input_.empty() &&
      held_input_.back().type == QEvent::MouseMove && held_input_.back().buttons == input.buttons) {
    held_input_.back() = std::move(input);
  } else {
    held_input_.push_back(std::move(input));
  }
  return true;
}

int QtMainWindow::DeliverHeldInput() {
  QWindow* window = widget_->windowHandle();
  if (held_input_.empty() || window == nullptr) return 0;
  // The editor is read-only while lines wait; a key let through now would be
  // lost, and a click would place a caret that the next lines move on.
  if (result_list_->Filling() && AimsAtResultList(held_input_.front())) return 0;
  HeldInput input = std::move(held_input_.front());
  held_input_.pop_front();
  const std::unique_ptr<QEvent> event = input.make();
  delivering_ = event.get();
  // The window routes it as it routes the platform's input: keys to the
  // control that has the focus now, a click to the control under it, which
  // takes the focus.
  QCoreApplication::sendEvent(window, event.get());
  delivering_ = nullptr;
  // The result list's view took the input as a call for its editor, which
  // is still taking the lines: the input waits for it.
  if (result_list_->InputToReplay()) {
    held_input_.push_front(std::move(input));
    return 0;
  }
  return input.type;
}

bool QtMainWindow::AimsAtResultList(const HeldInput& input) const {
  const QWidget* list = result_list_->widget();
  const QWidget* target = nullptr;
  switch (input.type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
      target = QApplication::focusWidget();
      break;
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
      target = widget_->childAt(input.position);
      break;
    default:
      break;
  }
  return target != nullptr && (target == list || list->isAncestorOf(target));
}

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
      return result_list_->widget();
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
