// The main window on Qt 6 Widgets: the seven controls as real widgets, the
// event poll over Qt's event queue and the open-file dialog. OpenMainWindow()
// (ui/main_window.h) creates one; this header adds what tests need to reach
// the widgets behind the interface.
#pragma once

#include <QElapsedTimer>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "ui/main_window.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QString;
class QWidget;

namespace varnolt {

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

  // Controls.
  std::string GetText(int id) override;
  void SetText(int id, std::string_view text) override;
  void SetProgress(int id, int position) override;
  void AddItem(int id, std::string_view text) override;
  std::string ItemText(int id, int index) override;
  void ClearItems(int id) override;
  int CountItems(int id) override;
  void RemoveItem(int id, int index) override;
  void SelectItem(int id, int index) override;

  // MainWindow. PollEvent() lets Qt deliver what is pending, without waiting,
  // then returns the oldest queued event. ChooseInputFile() returns the path
  // as the file system's bytes.
  int PollEvent() override;
  int EventControlId() override;
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

  // Queues an event; the widgets call it as Qt delivers input.
  void Queue(int code, int control_id);

  // Brings the status log's view up to date and moves waiting result-list
  // lines into the editor for about `result_budget_ms` (all of them when
  // negative); called before Qt processes events and before a dialog opens.
  void SyncLists(int result_budget_ms);

  // Moves the window so that its outer frame sits at the screen's centre.
  void Centre();

  std::string RunFileDialog();

  std::deque<Event> events_;
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
