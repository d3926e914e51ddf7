#include "image/atomic_file.h"

#include "core/file_io.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

namespace {

bool writeAll(int fd, const unsigned char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

} // namespace

bool replaceFileAtomically(const std::string& path, const void* bytes, std::size_t size,
                           std::string* reason) {
    static std::atomic<unsigned> serial{0};
    auto fail = [reason](int error) {
        if (reason) {
            *reason = std::strerror(error);
        }
        return false;
    };
    const std::filesystem::path target(path);
    const std::filesystem::path folder = target.parent_path();
    const std::string baseName = target.filename().string();
    if (baseName.empty()) {
        return fail(EISDIR);
    }

    // A hidden name in the same folder, so the rename stays on one file system.
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        const std::string name = "." + baseName + "." + std::to_string(::getpid()) + "." +
                                 std::to_string(serial.fetch_add(1)) + ".part";
        temporary = (folder / name).string();
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | openBytes, 0666);
        if (fd < 0 && errno != EEXIST) {
            return fail(errno);
        }
    }
    if (fd < 0) {
        return fail(EEXIST);
    }
    int error = 0;
    // The bytes reach the disk before the rename publishes them: after a crash
    // the name holds the old file or the whole new one, never a hole.
    if (!writeAll(fd, static_cast<const unsigned char*>(bytes), size) || syncFileData(fd) != 0) {
        error = errno;
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0) {
        // A folder in place of the file is refused, not replaced.
        struct stat existing {};
        if (::stat(path.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) {
            error = EISDIR;
        }
    }
    if (error == 0 && replaceFileName(temporary, path) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(temporary.c_str());
        return fail(error);
    }
    return true;
}

} // namespace velmora
