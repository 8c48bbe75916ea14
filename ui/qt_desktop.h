// What ties the Qt window to the desktop: the program's icon and the text a
// drop hands to the input field.
#pragma once

#include <QIcon>
#include <string>

class QMimeData;

namespace varnolt {

// The program's icon (the picture of varnolt.svg, built into the program at
// 16 to 256 pixels). Never null in a complete build.
QIcon ProgramIcon();

// The input field's text for what a drag carries: the first URL (a file as
// its local path, byte for byte, through InputFromUri(); a web address as the
// browser encoded it), else the first line of plain text with the blanks
// around it trimmed. The empty text when the drag carries neither, or only
// blanks; the caller then refuses the drop.
std::string DroppedInput(const QMimeData& data);

}  // namespace varnolt
