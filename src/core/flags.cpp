#include "flags.h"

namespace velmora {

int dataReady = 0;
int bootMode = 0;
int bootDownloadDone = 0;

} // namespace velmora
