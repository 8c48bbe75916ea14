#include "ui/qt_desktop.h"

#include <QMimeData>
#include <QUrl>

#include "ui/open_with.h"

namespace varnolt {

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256}) {
    icon.addFile(QStringLiteral(":/icons/varnolt-%1.png").arg(size), QSize(size, size));
  }
  return icon;
}

std::string DroppedInput(const QMimeData& data) {
  QByteArray text;
  const QList<QUrl> urls = data.urls();
  if (!urls.isEmpty()) {
    // The encoded form keeps every escape: a file name's bytes that are not
    // UTF-8 and a web address's spaces alike.
    text = urls.first().toEncoded();
    if (!text.isEmpty()) return InputFromUri(std::string_view(text.constData(), text.size()));
  }
  if (!data.hasText()) return {};
  const QString plain = data.text();
  text = plain.left(plain.indexOf(QLatin1Char('\n'))).trimmed().toUtf8();
  return std::string(text.constData(), static_cast<size_t>(text.size()));
}

}  // namespace varnolt
