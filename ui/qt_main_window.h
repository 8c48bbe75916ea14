// The main window on Qt 6 Widgets: the seven controls as real widgets, the
// event poll over Qt's event queue and the open-file dialog. OpenMainWindow()
// (ui/main_window.h) creates one; this header adds what tests need to reach
// the widgets behind the interface.
#pragma once

#include <QElapsedTimer>
#include <QPoint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "ui/main_window.h"

class QEvent;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QString;
class QWidget;

namespace varnolt {

// PollEvent() returns this plus the Qt event type (QEvent::Type) when it
// delivered a piece of input that raised no event; the sum is none of the
// event codes.
constexpr int kQtInputCodeBase = 0x10000;

class QtResultList;
class QtStatusList;
class WindowWidget;

class QtMainWindow final : public MainWindow {
 public:
  // Builds the window with its controls, centres it on the primary screen and
  // shows it. A QApplication must exist. The window queues one EventResize
  // as it is created.
  QtMainWindow();
  ~QtMainWindow() override;

  QtMainWindow(const QtMainWindow&) = delete;
  QtMainWindow& operator=(const QtMainWindow&) = delete;

  // Controls. SetProgress() also serves the window while a command runs, as
  // KeepGoing() does: when the bar moves, at most every 30 ms, it brings the
  // lists' views up to date and lets Qt process its pending events
  // (painting, the window manager's questions, clipboard requests), so the
  // window repaints. User input among them only joins the held input:
  // nothing the user does is acted on inside the call, PollEvent() hands it
  // on later, in its order.
  std::string GetText(int id) override;
  void SetText(int id, std::string_view text) override;
  void SetProgress(int id, int position) override;
  void AddItem(int id, std::string_view text) override;
  std::string ItemText(int id, int index) override;
  void ClearItems(int id) override;
  int CountItems(int id) override;
  void RemoveItem(int id, int index) override;
  void SelectItem(int id, int index) override;

  // MainWindow. The window holds every piece of user input that reaches it
  // (keys, mouse buttons and moves, the wheel, the close request) in arrival
  // order instead of letting Qt act on it at once. PollEvent() lets Qt
  // process what is pending without waiting, then returns the oldest queued
  // event; only when none is queued does it hand one piece of held input to
  // the widgets, so each key reaches its control in its own turn, after
  // everything that came before it. Keys and clicks aimed at the result list
  // wait while the list still fills, so that nothing typed into it is lost.
  // KeepGoing() answers false while a close request is held or queued.
  // ChooseInputFile() returns the path as the file system's bytes.
  int PollEvent() override;
  int EventControlId() override;
  bool KeepGoing() override;
  std::string ChooseInputFile() override;

  // The top-level widget.
  QWidget* widget() const;

  // The widget of control `id`, nullptr for an id outside 0..6.
  QWidget* control(int id) const;

  // Replaces the open-file dialog: ChooseInputFile() then returns what
  // `chooser` returns, with no dialog shown. An empty function restores the
  // dialog.
  void SetFileChooserForTesting(std::function<std::string()> chooser);

 private:
  struct Event {
    int code;
    int control_id;
  };

  // A piece of user input waiting for its turn. Mouse and wheel events are
  // built anew when their turn comes: one that Qt built shares its point with
  // the pointing device, which every later event moves on.
  struct HeldInput {
    int type;         // QEvent::Type
    QPoint position;  // mouse buttons: where in the window
    int buttons;      // mouse moves: the buttons held (Qt::MouseButtons)
    std::function<std::unique_ptr<QEvent>()> make;
  };

  // The constructor's steps, in this order. CreateControls() makes the seven
  // widgets in id order, which is also their stacking order, each with the
  // settings that belong to its kind; ConnectControls() turns the field's
  // edits and the buttons' clicks into events; PlaceControls() gives each
  // its place, font and focus policy from the layout table; ShowCentred()
  // creates the native window, starts holding its input, centres it and
  // shows it.
  void CreateControls();
  void ConnectControls();
  void PlaceControls();
  void ShowCentred();

  // Queues an event; the widgets call it as Qt delivers input.
  void Queue(int code, int control_id);

  // Takes `event`, on its way to the top-level window, into the held input
  // and returns true when it is user input; false for anything else and for
  // the piece being handed on. Consecutive mouse moves merge into the last.
  bool Hold(const QEvent& event);

  // Hands the oldest held input to the window, unless it must wait for the
  // result list. Returns its event type, 0 when nothing was handed on.
  int DeliverHeldInput();

  // Whether `input` would type into or place the caret in the result list.
  bool AimsAtResultList(const HeldInput& input) const;

  // While a command runs: at most every 30 ms, brings the lists' views up to
  // date (less often as the log grows) and lets Qt process what is pending.
  void ServeWindow();

  // Brings the status log's view up to date and moves waiting result-list
  // lines into the editor for about `result_budget_ms` (all of them when
  // negative); called before Qt processes events and before a dialog opens.
  void SyncLists(int result_budget_ms);

  // Logs "FEHLER:Nicht genug Arbeitsspeicher" when the result list dropped
  // lines, unless the log ends with that line already. Between commands only:
  // a running scan learns of the loss from its next line and says so itself.
  void ReportMemoryShortage();

  // Moves the window so that its outer frame sits at the screen's centre.
  void Centre();

  std::string RunFileDialog();

  std::deque<Event> events_;
  std::deque<HeldInput> held_input_;
  const QEvent* delivering_ = nullptr;  // the held piece being handed on
  int last_control_id_ = 0;
  std::function<std::string()> file_chooser_;

  // The input field's text as the program last set it, and the bytes it was
  // set from: while the field still shows that text, GetText() returns those
  // bytes, so a file name that is not UTF-8 survives the round trip.
  std::unique_ptr<QString> set_text_;
  std::string set_bytes_;

  // Throttle repaints during a command.
  QElapsedTimer since_repaint_;
  QElapsedTimer since_list_repaint_;
  qint64 list_repaint_interval_ = 0;  // ms

  std::unique_ptr<QtResultList> result_list_;
  std::unique_ptr<QtStatusList> status_list_;
  QLabel* label_ = nullptr;
  QLineEdit* input_ = nullptr;
  QPushButton* browse_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QPushButton* start_ = nullptr;
  // Declared last so that it, and every control with it, goes first; the
  // members above stay valid while the widgets report their destruction.
  std::unique_ptr<WindowWidget> widget_;
  friend class WindowWidget;
};

}  // namespace varnolt
