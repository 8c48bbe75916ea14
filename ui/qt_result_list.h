// Control 4 on Qt: the result list as a plain-text editor, one added text per
// line. Lines added while the program works are gathered and inserted in one
// edit, before anything reads the text and before Qt next processes events,
// so a scan that lists hundreds of thousands of links lays the text out once.
#pragma once

#include <QString>
#include <string>
#include <string_view>
#include <vector>

class QPlainTextEdit;
class QWidget;

namespace varnolt {

class QtResultList {
 public:
  // Creates the editor as a child of `parent`: plain text, editable, no line
  // wrapping, scroll bars in both directions when needed, Enter inserting a
  // line break and Tab moving the focus on.
  explicit QtResultList(QWidget* parent);

  QtResultList(const QtResultList&) = delete;
  QtResultList& operator=(const QtResultList&) = delete;

  // The editor, owned by the parent widget.
  QPlainTextEdit* editor() const { return editor_; }

  // Appends `text` as a new last line: a line break separates it from the
  // text before, none precedes it when the list is empty, so the empty text
  // added to an empty list leaves it empty. The insertion can be undone and
  // leaves the caret after it. Line breaks inside `text` (CR, LF, CR LF)
  // split it over several lines.
  void Add(std::string_view text);

  // Line `line` (counted from 0) without its line break, at most 31,999
  // characters: exactly the bytes added for a line added whole. The empty text
  // for a line the list does not have.
  std::string Text(int line);

  // Removes all text, and with it the undo history.
  void Clear();

  // Inserts the lines gathered since the last call. Cheap when there are none.
  void Sync();

 private:
  // A line of the gathered text that shows as Windows-1252: its start and
  // end as offsets into pending_.
  struct Windows1252Span {
    qsizetype begin;
    qsizetype end;
  };

  QPlainTextEdit* editor_;
  QString pending_;  // lines not yet inserted, each break one U+2029
  std::vector<Windows1252Span> windows1252_spans_;
};

}  // namespace varnolt
