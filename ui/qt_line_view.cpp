#include "ui/qt_line_view.h"

#include <QClipboard>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <climits>
#include <cmath>
#include <new>
#include <utility>

namespace varnolt {

namespace {

// The editor's own margin around its text, so that a line stays where it
// was when the editor takes the view's place.
constexpr qreal kMargin = 4;

// Keys that neither edit nor move a caret.
bool ChangesNothing(const QKeyEvent& event) {
  switch (event.key()) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_Meta:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
    case Qt::Key_ScrollLock:
    case Qt::Key_Escape:
      return true;
    default:
      return false;
  }
}

int Clamped(size_t value) { return static_cast<int>(std::min<size_t>(value, INT_MAX)); }

}  // namespace

QtLineView::QtLineView(QWidget* parent, Lines lines, std::function<void(QEvent&)> edit)
    : QAbstractScrollArea(parent), lines_(std::move(lines)), edit_(std::move(edit)) {
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setAttribute(Qt::WA_InputMethodEnabled);
  viewport()->setCursor(Qt::IBeamCursor);
  verticalScrollBar()->setSingleStep(1);
}

qreal QtLineView::LineHeight() const { return QFontMetricsF(font()).height(); }

int QtLineView::RowsInSight() const {
  return std::max(1, static_cast<int>((viewport()->height() - kMargin) / LineHeight()));
}

int QtLineView::FirstLine() const { return verticalScrollBar()->value(); }

int QtLineView::LeftOffset() const { return horizontalScrollBar()->value(); }

void QtLineView::LinesChanged() {
  const size_t count = lines_.count();
  if (count == shown_count_) return;
  QScrollBar* bar = verticalScrollBar();
  const bool at_end = bar->value() >= bar->maximum();
  if (count < shown_count_) {
    // Emptied: a new list starts with nothing selected or measured.
    all_selected_ = false;
    widest_ = 0;
    measured_longest_ = SIZE_MAX;
  }
  shown_count_ = count;
  if (count > 0 && lines_.longest() != measured_longest_) {
    measured_longest_ = lines_.longest();
    Widen(QFontMetricsF(font()).horizontalAdvance(lines_.text(measured_longest_)));
  }
  UpdateScrollRanges();
  if (at_end) bar->setValue(bar->maximum());
  viewport()->update();
}

void QtLineView::Widen(qreal width) {
  if (width <= widest_) return;
  widest_ = width;
  UpdateScrollRanges();
}

void QtLineView::UpdateScrollRanges() {
  const int rows = RowsInSight();
  QScrollBar* vertical = verticalScrollBar();
  vertical->setRange(0, std::max(0, Clamped(shown_count_) - rows));
  vertical->setPageStep(rows);
  QScrollBar* horizontal = horizontalScrollBar();
  const int width = viewport()->width();
  horizontal->setRange(0, std::max(0, static_cast<int>(std::ceil(widest_ + 2 * kMargin)) - width));
  horizontal->setPageStep(width);
  horizontal->setSingleStep(QFontMetrics(font()).averageCharWidth());
}

QString QtLineView::AllText() const {
  QString text;
  const size_t count = lines_.count();
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) text.append(QChar('\n'));
    text.append(lines_.text(i));
  }
  return text;
}

void QtLineView::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(viewport());
  const QFontMetricsF metrics(font());
  const qreal height = LineHeight();
  const QPalette& colours = palette();
  const size_t count = lines_.count();
  const auto first = static_cast<size_t>(FirstLine());
  const qreal left = kMargin - LeftOffset();
  const int rows = static_cast<int>(std::ceil(viewport()->height() / height)) + 1;
  qreal caret_x = left;
  for (int row = 0; row < rows && first + row < count; ++row) {
    const QString text = lines_.text(first + row);
    const qreal top = kMargin + row * height;
    const qreal width = metrics.horizontalAdvance(text);
    Widen(width);
    if (all_selected_) painter.fillRect(QRectF(left, top, width, height), colours.highlight());
    painter.setPen(all_selected_ ? colours.highlightedText().color() : colours.text().color());
    painter.drawText(QPointF(left, top + metrics.ascent()), text);
    caret_x = left + width;
  }
  // The caret stands after the last line, where the editor puts it.
  const size_t last = count == 0 ? 0 : count - 1;
  if (hasFocus() && !all_selected_ && last >= first && last < first + rows) {
    const qreal top = kMargin + static_cast<qreal>(last - first) * height;
    painter.setPen(colours.text().color());
    painter.drawLine(QPointF(caret_x, top), QPointF(caret_x, top + height - 1));
  }
}

void QtLineView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateScrollRanges();
}

void QtLineView::scrollContentsBy(int /*dx*/, int /*dy*/) { viewport()->update(); }

void QtLineView::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::SelectAll)) {
    all_selected_ = true;
    viewport()->update();
    return;
  }
  if (event->matches(QKeySequence::Copy)) {
    if (!all_selected_) return;
    // A clipboard copy of millions of lines may not fit; the list stays.
    try {
      QGuiApplication::clipboard()->setText(AllText());
    } catch (const std::bad_alloc&) {
    }
    return;
  }
  if (ChangesNothing(*event)) {
    event->ignore();
    return;
  }
  edit_(*event);
}

void QtLineView::mousePressEvent(QMouseEvent* event) { edit_(*event); }

void QtLineView::mouseDoubleClickEvent(QMouseEvent* event) { edit_(*event); }

void QtLineView::contextMenuEvent(QContextMenuEvent* event) { edit_(*event); }

void QtLineView::inputMethodEvent(QInputMethodEvent* event) { edit_(*event); }

void QtLineView::focusInEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusInEvent(event);
  viewport()->update();
}

void QtLineView::focusOutEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusOutEvent(event);
  viewport()->update();
}

}  // namespace varnolt
