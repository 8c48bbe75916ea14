// Control 4 on Qt: the result list as a plain-text editor, one added text per
// line. A text document takes a few microseconds per line, far more than a
// scan spends finding a link, so added lines wait in a store of their own and
// move into the editor in slices of bounded time between the program's steps.
// Reading a line answers from wherever it is, so the delay is invisible to the
// program.
//
// What the program writes is no step for the user to undo, and it takes no
// memory to remember it as one; what the user types stays undoable. The text
// document cannot survive an allocation that fails inside it, so it is never
// let meet one: each slice first makes sure the memory it may ask for can be
// had, and when it cannot, the lines still waiting are given up, the ones
// shown stay, and the program learns of it.
#pragma once

#include <QElapsedTimer>
#include <deque>
#include <string>
#include <string_view>

#include "extract/scan/large_memory.h"

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
  // added to an empty list leaves it empty. The insertion cannot be undone
  // (it drops the undo history of what the user typed before) and leaves the
  // caret after it. Line breaks inside `text` (CR, LF, CR LF) split it over
  // several lines. Throws std::bad_alloc when memory runs out, and from the
  // moment the editor could not take waiting lines until Clear(); the list
  // then stays as it was.
  void Add(std::string_view text);

  // Line `line` (counted from 0) without its line break, at most 31,999
  // characters: exactly the bytes added for a line added whole. The empty text
  // for a line the list does not have.
  std::string Text(int line) const;

  // Removes all text, and with it the undo history; lines can be added again.
  void Clear();

  // Whether added lines still wait to move into the editor.
  bool Filling() const { return !waiting_.empty(); }

  // Moves waiting lines into the editor for about `budget_ms` milliseconds,
  // at least one slice; a negative budget moves all of them. The editor is
  // read-only while lines wait, so that the user's typing cannot land above
  // lines the program added before it. Cheap when no line waits. When memory
  // for the next slice cannot be had, the waiting lines are dropped (the
  // editor keeps what it shows, and becomes editable) and the loss is kept
  // for LossToReport().
  void Sync(int budget_ms);

  // True, once, after Sync() dropped lines: the loss is the caller's to tell.
  bool LossToReport();

 private:
  // A waiting line: where its bytes are in the store and whether they are
  // well-formed UTF-8 (and so can be read back from the text they show). It
  // holds no line break; Add() splits texts at theirs.
  struct Line {
    size_t block;   // counted from the first block ever stored
    size_t offset;  // in the block
    size_t size;
    bool utf8;
  };

  void Wait(std::string_view bytes, bool utf8);
  std::string_view BytesOf(const Line& line) const;
  void InsertSlice(size_t count);
  void ReleaseTakenBytes();
  // Empties the waiting lines and their store.
  void ForgetWaitingLines();
  // Gives the waiting lines up when the editor cannot take them, and marks
  // the list as having lost lines.
  void DropWaitingLines();

  QPlainTextEdit* editor_;
  std::deque<Line> waiting_;
  // The waiting lines' bytes, back to back in large blocks: an allocation per
  // block rather than per line, and unlike one growing string, nothing is
  // copied again as the store grows. `first_block_` numbers the front block.
  std::deque<LargeBlock> blocks_;
  size_t first_block_ = 0;
  size_t block_free_ = 0;    // bytes left at the end of the last block
  bool lines_lost_ = false;  // since the last Clear()
  bool loss_to_report_ = false;
};

}  // namespace varnolt
