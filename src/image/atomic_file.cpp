#include "image/atomic_file.h"

#include "core/published_file.h"

#include <string_view>

namespace velmora {

bool replaceFileAtomically(const std::string& path, const void* bytes, std::size_t size,
                           std::string* reason) {
    PublishedFile file;
    // The image is made again by every load: renamed into place whole, not
    // waited on to reach the disk.
    const bool ok = file.open(path, Durability::Renamed) &&
                    file.write(std::string_view(static_cast<const char*>(bytes), size)) &&
                    file.commit();
    if (!ok && reason != nullptr) {
        *reason = file.reason();
    }
    return ok;
}

} // namespace velmora
