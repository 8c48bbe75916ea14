#include <unistd.h>

#include "cli/terminal.h"

namespace varnolt {

void PrepareStandardStreams() {}

bool IsTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

}  // namespace varnolt
