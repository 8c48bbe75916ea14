// The result list as it first shows: the program's lines drawn straight from
// the list's own store, only those in sight. A text document takes a few
// microseconds for every line it is given, far longer than a scan needs to
// find one, so millions of links would keep the list filling long after the
// scan ended. The view shows them at once, scrolls through them, selects all
// and copies; anything that edits or places a caret asks for the lines to be
// handed to a real editor, which then takes the input.
#pragma once

#include <QAbstractScrollArea>
#include <QString>
#include <cstddef>
#include <functional>

namespace varnolt {

class QtLineView : public QAbstractScrollArea {
 public:
  // Where the lines come from: how many there are, the text of one, and one
  // of the longest (by bytes), which sets the horizontal extent until lines
  // drawn show a wider one.
  struct Lines {
    std::function<size_t()> count;
    std::function<QString(size_t)> text;
    std::function<size_t()> longest;
  };

  // `edit` receives the input that asks for an editor, before the view
  // handles it in any other way.
  QtLineView(QWidget* parent, Lines lines, std::function<void(QEvent&)> edit);

  // Lines were added or all removed: the scroll ranges follow, and a view
  // that showed the last line goes on showing it.
  void LinesChanged();

  // Whether the user selected every line (Ctrl+A), which the editor takes over.
  bool AllSelected() const { return all_selected_; }

  // The first line in sight and the horizontal scroll offset in pixels.
  int FirstLine() const;
  int LeftOffset() const;

  // Everything, as the editor copies it: the lines joined by line feeds.
  QString AllText() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  qreal LineHeight() const;
  int RowsInSight() const;
  void UpdateScrollRanges();
  void Widen(qreal width);

  Lines lines_;
  std::function<void(QEvent&)> edit_;
  bool all_selected_ = false;
  qreal widest_ = 0;                    // pixels, of the lines measured so far
  size_t measured_longest_ = SIZE_MAX;  // the longest line last measured
  size_t shown_count_ = 0;              // the line count the ranges were set for
};

}  // namespace varnolt
