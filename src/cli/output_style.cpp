#include "cli/output_style.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace velmora::cli {

bool isTerminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) != 0;
}

bool terminalSequencesAllowed(std::FILE* stream) {
    const char* term = std::getenv("TERM");
    const char* noColor = std::getenv("NO_COLOR");
    const bool dumb = term != nullptr && std::strcmp(term, "dumb") == 0;
    const bool noneWanted = noColor != nullptr && noColor[0] != '\0';
    return isTerminal(stream) && !dumb && !noneWanted;
}

} // namespace velmora::cli
