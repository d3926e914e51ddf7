#pragma once

#include <cstdio>

namespace velmora::cli {

// Whether the stream is a terminal.
bool isTerminal(std::FILE* stream);

// Whether the stream may carry terminal sequences (ESC [ ...): only a
// terminal, and not one that says it cannot take them (TERM=dumb), and not
// for a user who asked for none (NO_COLOR set and not empty).
bool terminalSequencesAllowed(std::FILE* stream);

} // namespace velmora::cli
