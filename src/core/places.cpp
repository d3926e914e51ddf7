#include "places.h"

#include <cstdlib>

#ifndef VELMORA_BOOT_DIR_DEFAULT
#define VELMORA_BOOT_DIR_DEFAULT "/usr/local/share/brenlow"
#endif

namespace velmora {

std::filesystem::path Places::defaultBootDir() {
    if (const char* fromEnvironment = std::getenv("VELMORA_BOOT_DIR");
        fromEnvironment && *fromEnvironment) {
        return fromEnvironment;
    }
    return VELMORA_BOOT_DIR_DEFAULT;
}

} // namespace velmora
