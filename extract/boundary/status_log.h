// The status log: the one channel through which every stage and failure of a
// scan or download reaches the user, as lines in control 6.
#pragma once

#include <string_view>

#include "extract/boundary/controls.h"

namespace varnolt {

// Log modes.
constexpr int LogNewLine = -1;  // the text becomes a new, selected last line
constexpr int LogAppend = 0;    // the text is added to the end of the last line

// Writes `text` to the status log of `ui` in `mode`. LogAppend on an empty
// log starts the first line. Any other mode is accepted and does nothing.
void LogStatus(Controls& ui, std::string_view text, int mode);

}  // namespace varnolt
