#include "ui/qt_result_list.h"

#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include "ui/qt_text.h"

namespace varnolt {

namespace {

// Block user state of a line shown as Windows-1252. Every other block, the
// lines the user types included, holds the default -1 and reads as UTF-8.
constexpr int kWindows1252Line = 1;

// The longest line text read back, in characters.
constexpr qsizetype kMaxLineText = 31999;

// Appends `text` to `out` with each line break as one paragraph separator,
// exactly as the document will split it: CR LF is one break, and so are a
// lone CR, a lone LF and the characters the document itself treats as
// breaks. Inserting the result then creates one block per separator, which
// keeps document positions equal to offsets into the gathered text.
void AppendWithBreaks(const QString& text, QString& out) {
  const qsizetype n = text.size();
  for (qsizetype i = 0; i < n; ++i) {
    const char16_t c = text[i].unicode();
    if (c == u'\r' || c == u'\n' || c == QChar::ParagraphSeparator || c == 0xFDD0 || c == 0xFDD1) {
      if (c == u'\r' && i + 1 < n && text[i + 1] == u'\n') ++i;
      out.append(QChar::ParagraphSeparator);
    } else {
      out.append(text[i]);
    }
  }
}

}  // namespace

QtResultList::QtResultList(QWidget* parent) : editor_(new QPlainTextEdit(parent)) {
  editor_->setLineWrapMode(QPlainTextEdit::NoWrap);
  editor_->setTabChangesFocus(true);
  editor_->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  editor_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
}

void QtResultList::Add(std::string_view text) {
  const bool has_text = !pending_.isEmpty() || editor_->document()->characterCount() > 1;
  if (has_text) pending_.append(QChar::ParagraphSeparator);
  const TextEncoding encoding = DisplayEncoding(text);
  const qsizetype begin = pending_.size();
  AppendWithBreaks(DecodeText(text, encoding), pending_);
  if (encoding == TextEncoding::kWindows1252) {
    windows1252_spans_.push_back({begin, pending_.size()});
  }
}

void QtResultList::Sync() {
  if (pending_.isEmpty()) return;
  QTextDocument* document = editor_->document();
  QTextCursor cursor(document);
  cursor.movePosition(QTextCursor::End);
  const int start = cursor.position();
  // The first line goes into the existing last block when the list was
  // empty; that block may still carry the encoding of text the user deleted.
  if (start == 0) document->firstBlock().setUserState(-1);
  cursor.insertText(pending_);
  // A Windows-1252 line owns every block that starts inside it, and also the
  // one that starts at its end when it ends in a line break.
  for (const Windows1252Span& span : windows1252_spans_) {
    const int end = start + static_cast<int>(span.end);
    for (QTextBlock block = document->findBlock(start + static_cast<int>(span.begin));
         block.isValid() && block.position() <= end; block = block.next()) {
      block.setUserState(kWindows1252Line);
    }
  }
  pending_.clear();
  windows1252_spans_.clear();
  // Caret after the text, scrolled into view, as after typing it.
  editor_->setTextCursor(cursor);
}

std::string QtResultList::Text(int line) {
  Sync();
  if (line < 0) return {};
  const QTextBlock block = editor_->document()->findBlockByNumber(line);
  if (!block.isValid()) return {};
  QString text = block.text();
  if (text.size() > kMaxLineText) {
    // Cut between characters, not inside a surrogate pair.
    qsizetype keep = kMaxLineText;
    if (text[keep - 1].isHighSurrogate()) --keep;
    text.truncate(keep);
  }
  return EncodeText(text, block.userState() == kWindows1252Line ? TextEncoding::kWindows1252
                                                                : TextEncoding::kUtf8);
}

void QtResultList::Clear() {
  pending_.clear();
  windows1252_spans_.clear();
  editor_->clear();
}

}  // namespace varnolt
