// Control 4 on Qt: the result list, one added text per line. It shows first
// as a view drawn from the list's own store (ui/qt_line_view.h), which takes
// millions of lines as fast as they come. When the user starts to edit, the
// lines are handed to a plain-text editor, which takes a few microseconds a
// line: in slices of bounded time between the program's steps, behind the
// view, which keeps showing the whole list until the editor holds it. Lines
// added after that go into the editor the same way. Reading a line answers
// from wherever it is, so none of this is visible to the program.
//
// What the program writes is no step for the user to undo, and it takes no
// memory to remember it as one; what the user types stays undoable. The text
// document cannot survive an allocation that fails inside it, so it is never
// let meet one: each slice first makes sure the memory it may ask for can be
// had. When it cannot, a hand-over is given up (the view keeps every line),
// and lines waiting for the editor are given up (it keeps the ones shown);
// either way the program learns of it.
#pragma once

#include <QString>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

#include "extract/scan/large_memory.h"

class QEvent;
class QPlainTextEdit;
class QStackedLayout;
class QWidget;

namespace varnolt {

class QtLineView;

class QtResultList {
 public:
  // Creates the list as a child of `parent`. Its editor is plain text,
  // editable, without line wrapping, with scroll bars in both directions when
  // needed, Enter inserting a line break and Tab moving the focus on.
  explicit QtResultList(QWidget* parent);

  QtResultList(const QtResultList&) = delete;
  QtResultList& operator=(const QtResultList&) = delete;

  // The control: the view or the editor, whichever shows. Owned by the parent.
  QWidget* widget() const;
  QtLineView* view() const { return view_; }
  QPlainTextEdit* editor() const { return editor_; }

  // Appends `text` as a new last line: a line break separates it from the
  // text before, none precedes it when the list is empty, so the empty text
  // added to an empty list leaves it empty. The insertion cannot be undone
  // and leaves the editor's caret after it. Line breaks inside `text` (CR,
  // LF, CR LF) split it over several lines. Throws std::bad_alloc when memory
  // runs out, and from the moment the editor could not take waiting lines
  // until Clear(); the list then stays as it was.
  void Add(std::string_view text);

  // Line `line` (counted from 0) without its line break, at most 31,999
  // characters: exactly the bytes added for a line added whole. The empty text
  // for a line the list does not have.
  std::string Text(int line) const;

  // Removes all text, and with it the undo history, and shows the view again;
  // lines can be added again.
  void Clear();

  // Whether lines are on their way into the editor; input for the list waits
  // meanwhile, and reaches the editor once they are in.
  bool Filling() const;

  // Whether every added line shows, in the view or in the editor.
  bool Complete() const { return mode_ != Mode::kEditing || lines_.empty(); }

  // Moves lines into the editor for about `budget_ms` milliseconds, at least
  // one slice; a negative budget moves all of them. The editor is read-only
  // while added lines wait, so that the user's typing cannot land above lines
  // the program added before it. Cheap when no line waits. When memory for
  // the next slice cannot be had, a hand-over is given up for this list and
  // lines waiting behind the user's edits are dropped (the editor keeps what
  // it shows, and becomes editable); the shortage is kept for
  // ShortageToReport().
  void Sync(int budget_ms);

  // True, once, after Sync() ran short of memory: the shortage is the
  // caller's to tell.
  bool ShortageToReport();

  // True, once, when input that asked for the editor came before the editor
  // could take it: the caller hands it on again once the list no longer
  // fills.
  bool InputToReplay();

 private:
  // The view shows every line from the store; the view still shows while
  // the editor takes them; the editor shows, and the store holds only lines
  // on their way into it.
  enum class Mode { kViewing, kHandingOver, kEditing };

  // A stored line: where its bytes are and whether they are well-formed
  // UTF-8 (and so can be read back from the text they show). It holds no
  // line break; Add() splits texts at theirs.
  struct Line {
    size_t offset;  // in the block
    size_t size;
    uint32_t block;  // counted from the first block ever stored
    bool utf8;
  };

  void Store(std::string_view bytes, bool utf8);
  std::string_view BytesOf(const Line& line) const;
  size_t LinesInEditor() const;
  size_t LineCount() const;
  QString ShownText(size_t line) const;
  void Edit(QEvent& event);
  void FinishHandOver();
  void ShowPage(QWidget* page);
  void InsertSlice(size_t count);
  void ReleaseTakenBytes();
  // Empties the store.
  void ForgetStoredLines();
  // Gives the waiting lines up when the editor cannot take them, and marks
  // the list as having lost lines.
  void DropWaitingLines();
  void GiveUpHandOver();

  QWidget* control_;
  QStackedLayout* pages_;
  QtLineView* view_;
  QPlainTextEdit* editor_;
  Mode mode_ = Mode::kViewing;
  std::deque<Line> lines_;
  size_t longest_ = 0;  // a longest line of lines_, by bytes, while viewing
  // The lines' bytes, back to back in large blocks: an allocation per block
  // rather than per line, and unlike one growing string, nothing is copied
  // again as the store grows. `first_block_` numbers the front block.
  std::deque<LargeBlock> blocks_;
  uint32_t first_block_ = 0;
  size_t block_free_ = 0;    // bytes left at the end of the last block
  bool lines_lost_ = false;  // since the last Clear()
  bool shortage_to_report_ = false;
  bool input_to_replay_ = false;
};

}  // namespace varnolt
