#pragma once

#include <cstddef>
#include <string>

namespace velmora {

// Replaces the file at `path` with `size` bytes where it is named (see
// PublishedFile): a regular file, or a link's, is written next to it and
// renamed over it, so the old contents stay whole when any step fails; a
// FIFO, a device or "-" (standard output) is written directly; a folder is
// refused. The image is not flushed to the disk before the rename: it is made
// again from its program by every load. The new file gets the permissions a
// newly created file would. Returns false (and leaves no stray file behind)
// on any failure, with the system's reason in `reason` when given.
bool replaceFileAtomically(const std::string& path, const void* bytes, std::size_t size,
                           std::string* reason = nullptr);

} // namespace velmora
