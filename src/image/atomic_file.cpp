#include "image/atomic_file.h"

#include "core/published_file.h"

#include <string_view>

namespace velmora {

bool replaceFileAtomically(const std::string& path, const void* bytes, std::size_t size,
                           std::string* reason) {
    PublishedFile file;
    // The folder is not synced after the rename: a crash may bring back the
    // previous image, but always whole, and a load does not wait for it.
    const bool ok = file.open(path) &&
                    file.write(std::string_view(static_cast<const char*>(bytes), size)) &&
                    file.commit(false);
    if (!ok && reason != nullptr) {
        *reason = file.reason();
    }
    return ok;
}

} // namespace velmora
