#pragma once

#include <cstddef>
#include <string>

namespace velmora {

// Replaces the file at `path` with `size` bytes: writes a new file next to it
// and renames it over the old one, so the old contents stay whole when any
// step fails. The new file is flushed to the disk before the rename that
// publishes it, so a crash or power cut leaves either the old file or the
// whole new one. The new file gets the
// permissions a newly created file would. Returns false (and leaves no stray
// file behind) on any failure, with the system's reason in `reason` when given.
bool replaceFileAtomically(const std::string& path, const void* bytes, std::size_t size,
                           std::string* reason = nullptr);

} // namespace velmora
