#include "ui/qt_result_list.h"

#include <QPlainTextEdit>
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

}  // namespace

QtResultList::QtResultList(QWidget* parent) : editor_(new QPlainTextEdit(parent)) {
  editor_->setLineWrapMode(QPlainTextEdit::NoWrap);
  editor_->setTabChangesFocus(true);
  editor_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  editor_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
}

void QtResultList::Add(std::string_view text) {
  // The editor could not take the lines before this one; the caller learns of
  // it as of any other line the list cannot hold.
  if (lines_lost_) throw std::bad_alloc();
  const bool empty = waiting_.empty() && editor_->document()->characterCount() <= 1;
  if (empty && text.empty()) return;
  if (PlainAscii(text)) {
    Wait(text, true);
    return;
  }
  // A text that is UTF-8 as a whole is so in every line; else each line is
  // judged on its own.
  const bool utf8 = IsValidUtf8(text);
  if (!MayHoldBreak(text)) {
    Wait(text, utf8);
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
    Wait(line, utf8 || IsValidUtf8(line));
    i += length;
    begin = i;
  }
  const std::string_view last = text.substr(begin);
  Wait(last, utf8 || IsValidUtf8(last));
}

void QtResultList::Wait(std::string_view bytes, bool utf8) {
  // The room first, then the line, then its bytes: when memory runs out on
  // either step, the list is as it was.
  if (bytes.size() > block_free_ || blocks_.empty()) {
    const size_t size = std::max(kStoreBlock, bytes.size());
    blocks_.push_back(AllocateLargeBlock(size));
    block_free_ = size;
  }
  LargeBlock& last = blocks_.back();
  const size_t offset = last.get_deleter().bytes - block_free_;
  waiting_.push_back({first_block_ + blocks_.size() - 1, offset, bytes.size(), utf8});
  if (!bytes.empty()) std::memcpy(last.get() + offset, bytes.data(), bytes.size());
  block_free_ -= bytes.size();
}

std::string_view QtResultList::BytesOf(const Line& line) const {
  return {blocks_[line.block - first_block_].get() + line.offset, line.size};
}

std::string QtResultList::Text(int line) const {
  if (line < 0) return {};
  const QTextDocument* document = editor_->document();
  // While lines wait, an empty editor's one block is where the first goes.
  const int in_editor =
      waiting_.empty() || document->characterCount() > 1 ? document->blockCount() : 0;
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
  if (index >= waiting_.size()) return {};
  return CappedBytes(BytesOf(waiting_[index]));
}

void QtResultList::Clear() {
  ForgetWaitingLines();
  lines_lost_ = false;
  loss_to_report_ = false;
  editor_->clear();
  // Lines may have waited, with undo off for them.
  editor_->document()->setUndoRedoEnabled(true);
  editor_->setReadOnly(false);
}

bool QtResultList::LossToReport() { return std::exchange(loss_to_report_, false); }

void QtResultList::ForgetWaitingLines() {
  waiting_.clear();
  blocks_.clear();
  first_block_ = 0;
  block_free_ = 0;
}

void QtResultList::DropWaitingLines() {
  ForgetWaitingLines();
  lines_lost_ = true;
  loss_to_report_ = true;
}

void QtResultList::Sync(int budget_ms) {
  if (waiting_.empty()) return;
  QTextDocument* document = editor_->document();
  // No undo steps while the program writes. Turning them off also drops the
  // history, which holds nothing worth keeping here: the list was cleared
  // before the program's lines came, or the user's steps would undo around
  // them.
  document->setUndoRedoEnabled(false);
  QElapsedTimer clock;
  clock.start();
  try {
    do {
      InsertSlice(std::min(kSliceLines, waiting_.size()));
    } while (!waiting_.empty() && (budget_ms < 0 || clock.elapsed() < budget_ms));
  } catch (const std::bad_alloc&) {
    DropWaitingLines();
  }
  // From here on, what the user types is undoable again.
  if (waiting_.empty()) document->setUndoRedoEnabled(true);
  editor_->setReadOnly(!waiting_.empty());
}

// Gives back the blocks whose lines have all been taken into the editor.
void QtResultList::ReleaseTakenBytes() {
  const size_t keep_from =
      waiting_.empty() ? first_block_ + blocks_.size() : waiting_.front().block;
  if (first_block_ == keep_from) return;
  for (; first_block_ < keep_from; ++first_block_) blocks_.pop_front();
  if (blocks_.empty()) block_free_ = 0;
#if defined(__GLIBC__)
  // Once a large block has been freed, the C library takes blocks of this
  // size from its heap rather than from the system, and keeps the pages of
  // those freed in the heap's midst: these, and the scan's tables before them.
  // Given back now, they do not stack on the document's growth.
  malloc_trim(0);
#endif
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
    if (i > 0 || !empty) text.append(QChar::ParagraphSeparator);
    text.append(DecodeText(BytesOf(waiting_[i])));
    if (!waiting_[i].utf8) bytes[i] = std::make_unique<LineBytes>(BytesOf(waiting_[i]));
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
  waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(count));
  ReleaseTakenBytes();
  // Caret after the text, scrolled into view, as after typing it.
  editor_->setTextCursor(cursor);
}

}  // namespace varnolt
