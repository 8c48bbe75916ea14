#include "ui/qt_result_list.h"

#include <QApplication>
#include <QCursor>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QStackedLayout>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "extract/boundary/bytes.h"
#include "extract/boundary/controls.h"
#include "ui/qt_line_view.h"
#include "ui/qt_text.h"

namespace varnolt {

namespace {

// The bytes of a line that is not well-formed UTF-8, kept with its block: its
// text alone does not tell them ("ä" may stand for E4 or for C3 A4). Every
// other block, the lines the user types included, reads back as UTF-8.
class LineBytes : public QTextBlockUserData {
 public:
  explicit LineBytes(std::string_view bytes) : bytes_(bytes) {}
  const std::string& bytes() const { return bytes_; }

 private:
  const std::string bytes_;
};

// The longest line text read back, in characters (each at least a byte).
constexpr qsizetype kMaxLineText = kMaxItemText;

// The size of the blocks that waiting lines are stored in; a longer line gets
// a block of its own.
constexpr size_t kStoreBlock = size_t{2} << 20;

// The most lines that go into the editor at once for the input that asks for
// it, in a few tens of milliseconds; a longer list goes over behind the view,
// a slice at a time, and the input waits for it.
constexpr size_t kHandOverAtOnceLines = 20000;

// Lines moved into the editor in one insertion: large enough that the fixed
// cost of an edit does not count, small enough to keep within a time budget.
constexpr size_t kSliceLines = 1000;

// What the text document may ask for per line it holds, in its two maps (of
// text pieces and of lines) together, and what painting, laying out and
// answering events may ask for besides the document's growth.
constexpr size_t kDocumentBytesPerLine = 192;
constexpr size_t kMarginBytes = size_t{8} << 20;

// Throws std::bad_alloc unless `document` can take `characters` more
// characters in `lines` more lines. The document keeps its text and its maps
// in arrays that double when full, so a slice may ask at once for as much
// again as the document holds, besides twice its own share. An allocation of
// that size is made and given back at once: it claims address space only,
// which the system hands out without touching a page.
void EnsureRoomFor(const QTextDocument& document, qsizetype characters, size_t lines) {
  const auto held_characters = static_cast<size_t>(document.characterCount());
  const auto held_lines = static_cast<size_t>(document.blockCount());
  const size_t bytes = (held_characters + 2 * static_cast<size_t>(characters)) * sizeof(QChar) +
                       (held_lines + 2 * lines) * kDocumentBytesPerLine + kMarginBytes;
  void* probe = ::operator new(bytes, std::nothrow);
  if (probe == nullptr) throw std::bad_alloc();
  // The pointer escapes, so that the compiler cannot drop the pair of calls.
  asm volatile("" : : "g"(probe) : "memory");
  ::operator delete(probe);
}

// The length of the line break at `i` in `bytes`, 0 when there is none there.
// CR LF is one break; so are the characters the text document itself takes
// as paragraph breaks (U+2029, U+FDD0, U+FDD1), which their UTF-8 bytes
// always decode to: a lead byte cannot belong to the piece before it.
size_t BreakAt(std::string_view bytes, size_t i) {
  const char c = bytes[i];
  if (c == '\r') return i + 1 < bytes.size() && bytes[i + 1] == '\n' ? 2 : 1;
  if (c == '\n') return 1;
  if (bytes.size() - i >= 3) {
    const std::string_view three = bytes.substr(i, 3);
    if (three == "\xE2\x80\xA9" || three == "\xEF\xB7\x90" || three == "\xEF\xB7\x91") return 3;
  }
  return 0;
}

bool IsBreakByte(char c) { return c == '\r' || c == '\n' || c == '\xE2' || c == '\xEF'; }

// Whether none of the 8 bytes of `word` is below 0x10 or above 0x7F.
bool PlainWord(uint64_t word) { return AllAscii(word) && !HasByteBelow(word, 0x10); }

// Whether every byte of `bytes` is ASCII from 0x10 on: well-formed UTF-8
// without a line break, as nearly every link is, found in one pass.
bool PlainAscii(std::string_view bytes) {
  size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    if (!PlainWord(Load64(bytes.data() + i))) return false;
  }
  for (; i < bytes.size(); ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x10 || c > 0x7F) return false;
  }
  return true;
}

// Whether `bytes` may hold a line break: a CR, an LF, or the lead byte of a
// three-byte break. Most links hold none, and skip the splitting walk. Eight
// bytes pass at once when none is below 0x10 or above 0x7F.
bool MayHoldBreak(std::string_view bytes) {
  size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    if (PlainWord(Load64(bytes.data() + i))) continue;
    for (size_t k = i; k < i + 8; ++k) {
      if (IsBreakByte(bytes[k])) return true;
    }
  }
  for (; i < bytes.size(); ++i) {
    if (IsBreakByte(bytes[i])) return true;
  }
  return false;
}

// A line's bytes as read back: at most kMaxLineText characters of them.
std::string CappedBytes(std::string_view bytes) {
  // Each character takes at least one byte.
  if (bytes.size() <= static_cast<size_t>(kMaxLineText)) return std::string(bytes);
  return std::string(bytes.substr(0, BytesOfFirstCharacters(bytes, kMaxLineText)));
}

// A line the user may have typed into, as UTF-8.
std::string EncodeLine(QString text) {
  if (text.size() > kMaxLineText) {
    // Cut between characters, not inside a surrogate pair.
    qsizetype keep = kMaxLineText;
    if (text[keep - 1].isHighSurrogate()) --keep;
    text.truncate(keep);
  }
  return EncodeText(text);
}

void GiveBackFreedMemory() {
#if defined(__GLIBC__)
  // Once a large block has been freed, the C library takes blocks of this
  // size from its heap rather than from the system, and keeps the pages of
  // those freed in the heap's midst: these, and the scan's tables before them.
  // Given back now, they do not stack on the document's growth.
  malloc_trim(0);
#endif
}

}  // namespace

QtResultList::QtResultList(QWidget* parent) : control_(new QWidget(parent)) {
  // The editor stays visible under the view while it takes the lines: a
  // hidden one lays out every line it is given, which more than doubles the
  // memory the lines take in it.
  pages_ = new QStackedLayout(control_);
  pages_->setStackingMode(QStackedLayout::StackAll);
  view_ = new QtLineView(
      control_,
      {[this] { return LineCount(); }, [this](size_t line) { return ShownText(line); },
       [this] { return mode_ == Mode::kViewing ? LinesInEditor() + longest_ : SIZE_MAX; }},
      [this](QEvent& event) { Edit(event); });
  view_->setObjectName("view");
  editor_ = new QPlainTextEdit(control_);
  editor_->setLineWrapMode(QPlainTextEdit::NoWrap);
  editor_->setTabChangesFocus(true);
  editor_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  editor_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  for (QWidget* page : {static_cast<QWidget*>(view_), static_cast<QWidget*>(editor_)}) {
    page->setFocusPolicy(Qt::StrongFocus);
    pages_->addWidget(page);
  }
  ShowPage(view_);
}

QWidget* QtResultList::widget() const { return control_; }

// The page goes on top and takes the focus if the other had it; the view
// hides under the editor, whose text it no longer shows.
void QtResultList::ShowPage(QWidget* page) {
  control_->setFocusProxy(page);
  if (page == view_) view_->show();
  pages_->setCurrentWidget(page);
  if (page == editor_) view_->hide();
}

bool QtResultList::Filling() const {
  return mode_ == Mode::kHandingOver || (mode_ == Mode::kEditing && !lines_.empty());
}

void QtResultList::Add(std::string_view text) {
  // The editor could not take the lines before this one; the caller learns of
  // it as of any other line the list cannot hold.
  if (lines_lost_) throw std::bad_alloc();
  if (LineCount() == 0 && text.empty()) return;
  if (PlainAscii(text)) {
    Store(text, true);
    return;
  }
  // A text that is UTF-8 as a whole is so in every line; else each line is
  // judged on its own.
  const bool utf8 = IsValidUtf8(text);
  if (!MayHoldBreak(text)) {
    Store(text, utf8);
    return;
  }
  size_t begin = 0;
  for (size_t i = 0; i < text.size();) {
    const size_t length = BreakAt(text, i);
    if (length == 0) {
      ++i;
      continue;
    }
    const std::string_view line = text.substr(begin, i - begin);
    Store(line, utf8 || IsValidUtf8(line));
    i += length;
    begin = i;
  }
  const std::string_view last = text.substr(begin);
  Store(last, utf8 || IsValidUtf8(last));
}

void QtResultList::Store(std::string_view bytes, bool utf8) {
  // The room first, then the line, then its bytes: when memory runs out on
  // either step, the list is as it was.
  if (bytes.size() > block_free_ || blocks_.empty()) {
    const size_t size = std::max(kStoreBlock, bytes.size());
    blocks_.push_back(AllocateLargeBlock(size));
    block_free_ = size;
  }
  LargeBlock& last = blocks_.back();
  const size_t offset = last.get_deleter().bytes - block_free_;
  lines_.push_back(
      {offset, bytes.size(), static_cast<uint32_t>(first_block_ + blocks_.size() - 1), utf8});
  if (!bytes.empty()) std::memcpy(last.get() + offset, bytes.data(), bytes.size());
  block_free_ -= bytes.size();
  if (mode_ == Mode::kViewing && bytes.size() > lines_[longest_].size) longest_ = lines_.size() - 1;
}

size_t QtResultList::LinesInEditor() const {
  const QTextDocument* document = editor_->document();
  // An empty editor's one block is where the first line goes.
  if (document->characterCount() <= 1) return 0;
  return static_cast<size_t>(document->blockCount());
}

size_t QtResultList::LineCount() const { return LinesInEditor() + lines_.size(); }

QString QtResultList::ShownText(size_t line) const {
  const size_t in_editor = LinesInEditor();
  if (line < in_editor)
    return editor_->document()->findBlockByNumber(static_cast<int>(line)).text();
  line -= in_editor;
  return line < lines_.size() ? DecodeText(BytesOf(lines_[line])) : QString();
}

std::string_view QtResultList::BytesOf(const Line& line) const {
  return {blocks_[line.block - first_block_].get() + line.offset, line.size};
}

std::string QtResultList::Text(int line) const {
  if (line < 0) return {};
  const QTextDocument* document = editor_->document();
  const auto in_editor = static_cast<int>(LinesInEditor());
  if (line < in_editor) {
    const QTextBlock block = document->findBlockByNumber(line);
    const QString text = block.text();
    // Unless the user has edited the line since, its bytes are the ones added.
    const auto* stored = static_cast<const LineBytes*>(block.userData());
    if (stored != nullptr && DecodeText(stored->bytes()) == text) {
      return CappedBytes(stored->bytes());
    }
    return EncodeLine(text);
  }
  const size_t index = static_cast<size_t>(line - in_editor);
  if (index >= lines_.size()) return {};
  return CappedBytes(BytesOf(lines_[index]));
}

void QtResultList::Clear() {
  const bool held_lines = !blocks_.empty();
  ForgetStoredLines();
  if (held_lines) GiveBackFreedMemory();
  lines_lost_ = false;
  shortage_to_report_ = false;
  input_to_replay_ = false;
  editor_->clear();
  // Lines may have waited, with undo off for them.
  editor_->document()->setUndoRedoEnabled(true);
  editor_->setReadOnly(false);
  if (mode_ == Mode::kHandingOver) view_->unsetCursor();
  if (mode_ == Mode::kEditing) {
    const bool had_focus = editor_->hasFocus();
    ShowPage(view_);
    if (had_focus) view_->setFocus(Qt::OtherFocusReason);
  }
  mode_ = Mode::kViewing;
  view_->LinesChanged();
}

bool QtResultList::ShortageToReport() { return std::exchange(shortage_to_report_, false); }

bool QtResultList::InputToReplay() { return std::exchange(input_to_replay_, false); }

void QtResultList::ForgetStoredLines() {
  lines_.clear();
  blocks_.clear();
  first_block_ = 0;
  block_free_ = 0;
  longest_ = 0;
}

void QtResultList::DropWaitingLines() {
  ForgetStoredLines();
  lines_lost_ = true;
  shortage_to_report_ = true;
}

// The view keeps every line; only editing is not to be had for this list.
void QtResultList::GiveUpHandOver() {
  // The view goes on showing the lines the editor took, from the editor.
  mode_ = Mode::kViewing;
  longest_ = 0;
  view_->unsetCursor();
  shortage_to_report_ = true;
}

// Input that asks for the editor: at once when the editor can take the lines
// within a moment, else once it has taken them all. When memory for it
// cannot be had, the input is dropped; the next try goes on where this one
// stopped.
void QtResultList::Edit(QEvent& event) {
  if (mode_ == Mode::kViewing) {
    mode_ = Mode::kHandingOver;
    view_->setCursor(Qt::BusyCursor);
    // What the scan freed, for the editor's growth.
    GiveBackFreedMemory();
    if (lines_.size() <= kHandOverAtOnceLines) Sync(-1);
  }
  if (mode_ == Mode::kHandingOver) {
    input_to_replay_ = true;
    return;
  }
  if (mode_ != Mode::kEditing) return;
  // The editor's scroll area lies where the view's did, so a position in
  // one is the same place in the other.
  const std::unique_ptr<QEvent> copy(event.clone());
  QWidget* target = editor_;
  if (event.type() != QEvent::KeyPress && event.type() != QEvent::InputMethod) {
    target = editor_->viewport();
  }
  QCoreApplication::sendEvent(target, copy.get());
}

void QtResultList::Sync(int budget_ms) {
  if (mode_ == Mode::kViewing) {
    view_->LinesChanged();
    return;
  }
  if (lines_.empty() && mode_ == Mode::kEditing) return;
  if (mode_ == Mode::kHandingOver) view_->LinesChanged();
  QTextDocument* document = editor_->document();
  // No undo steps while the program writes. Turning them off also drops the
  // history, which holds nothing worth keeping here: the list was cleared
  // before the program's lines came, or the user's steps would undo around
  // them.
  document->setUndoRedoEnabled(false);
  QElapsedTimer clock;
  clock.start();
  try {
    while (!lines_.empty()) {
      InsertSlice(std::min(kSliceLines, lines_.size()));
      if (budget_ms >= 0 && clock.elapsed() >= budget_ms) break;
    }
  } catch (const std::bad_alloc&) {
    if (mode_ == Mode::kHandingOver) {
      GiveUpHandOver();
      return;
    }
    DropWaitingLines();
  }
  if (!lines_.empty()) {
    editor_->setReadOnly(true);
    return;
  }
  if (mode_ == Mode::kHandingOver) FinishHandOver();
  // From here on, what the user types is undoable again.
  document->setUndoRedoEnabled(true);
  editor_->setReadOnly(false);
}

// The editor holds every line: it takes the view's place, scrolled as the
// view was, with the focus and the selection the view had.
void QtResultList::FinishHandOver() {
  const bool had_focus = view_->hasFocus();
  QTextCursor cursor(editor_->document());
  if (view_->AllSelected()) cursor.select(QTextCursor::Document);
  if (!view_->AllSelected()) cursor.movePosition(QTextCursor::End);
  editor_->setTextCursor(cursor);
  ShowPage(editor_);
  editor_->verticalScrollBar()->setValue(view_->FirstLine());
  editor_->horizontalScrollBar()->setValue(view_->LeftOffset());
  if (had_focus) editor_->setFocus(Qt::OtherFocusReason);
  view_->unsetCursor();
  mode_ = Mode::kEditing;
  ForgetStoredLines();
}

// Gives back the blocks whose lines have all been taken into the editor.
void QtResultList::ReleaseTakenBytes() {
  const size_t keep_from = lines_.empty() ? first_block_ + blocks_.size() : lines_.front().block;
  if (first_block_ == keep_from) return;
  for (; first_block_ < keep_from; ++first_block_) blocks_.pop_front();
  if (blocks_.empty()) block_free_ = 0;
  GiveBackFreedMemory();
}

void QtResultList::InsertSlice(size_t count) {
  QTextDocument* document = editor_->document();
  const bool empty = document->characterCount() <= 1;
  // One insertion for the slice, each line break one paragraph separator, so
  // the slice's lines become consecutive blocks. What the slice needs besides
  // the document is had before the document is touched, so that a failure
  // leaves it as it was.
  QString text;
  std::vector<std::unique_ptr<LineBytes>> bytes(count);
  for (size_t i = 0; i < count; ++i) {
    const Line& line = lines_[i];
    if (i > 0 || !empty) text.append(QChar::ParagraphSeparator);
    text.append(DecodeText(BytesOf(line)));
    if (!line.utf8) bytes[i] = std::make_unique<LineBytes>(BytesOf(line));
  }
  EnsureRoomFor(*document, text.size(), count);
  const int first_block = empty ? 0 : document->blockCount();
  QTextCursor cursor(document);
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(text);
  QTextBlock block = document->findBlockByNumber(first_block);
  for (size_t i = 0; i < count && block.isValid(); ++i, block = block.next()) {
    // Also drops what an emptied editor's block kept of a deleted line.
    block.setUserData(bytes[i].release());
  }
  lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(count));
  ReleaseTakenBytes();
  // Caret after the text, scrolled into view, as after typing it.
  editor_->setTextCursor(cursor);
}

}  // namespace varnolt
