#include "app/corvane_doc.h"

#include "app/commands.h"

namespace velmora::app {

bool CCorvaneDoc::handlesCommand(int command) {
    return command == SaveCommand;
}

} // namespace velmora::app
