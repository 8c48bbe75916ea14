// The terminal seam of varnolt-scan: the few calls that differ by platform.
#pragma once

#include <cstdio>

namespace varnolt {

// Puts the standard streams into the modes the program needs: stdout carries
// link bytes unchanged, stderr shows UTF-8 text.
void PrepareStandardStreams();

// True when `stream` is an interactive terminal.
bool IsTerminal(std::FILE* stream);

}  // namespace varnolt
