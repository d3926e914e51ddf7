#include "core/published_file.h"

#include "core/file_io.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {

namespace {
// What is kept in memory before it goes to the file.
constexpr std::size_t bufferLimit = 64 * 1024;
} // namespace

PublishedFile::~PublishedFile() {
    discard();
}

bool PublishedFile::fail(const std::string& what, int errorNumber) {
    if (failure.empty()) {
        systemReason = std::strerror(errorNumber);
        failure = what + " " + finalPath + ": " + systemReason;
    }
    return false;
}

bool PublishedFile::open(const std::string& path) {
    static std::atomic<unsigned> serial{0};
    discard();
    failure.clear();
    systemReason.clear();
    buffer.clear();
    finalPath = path;
    const std::filesystem::path target(path);
    const std::string name = target.filename().string();
    struct stat existing {};
    if (name.empty() || (::stat(path.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode))) {
        return fail("cannot write", EISDIR);
    }
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        hiddenPath = (target.parent_path() / ("." + name + "." + std::to_string(::getpid()) + "." +
                                              std::to_string(serial.fetch_add(1)) + ".part"))
                         .string();
        fd = ::open(hiddenPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | openBytes, 0666);
        if (fd < 0 && errno != EEXIST) {
            return fail("cannot write", errno);
        }
    }
    return fd >= 0 || fail("cannot write", EEXIST);
}

bool PublishedFile::flushBuffer() {
    std::size_t done = 0;
    while (done < buffer.size()) {
        const ssize_t written = ::write(fd, buffer.data() + done, buffer.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            buffer.clear();
            return fail("cannot write", written < 0 ? errno : ENOSPC);
        }
        done += static_cast<std::size_t>(written);
    }
    buffer.clear();
    return true;
}

bool PublishedFile::write(std::string_view text) {
    if (fd < 0 || !failure.empty()) {
        return false;
    }
    buffer.append(text);
    return buffer.size() < bufferLimit || flushBuffer();
}

bool PublishedFile::commit(bool syncFolder) {
    if (fd < 0) {
        return failure.empty() ? fail("cannot write", EBADF) : false;
    }
    bool ok = failure.empty() && flushBuffer();
    if (ok && syncFileData(fd) != 0) {
        ok = fail("cannot write", errno);
    }
    if (::close(fd) != 0 && ok) {
        ok = fail("cannot write", errno);
    }
    fd = -1;
    if (ok && replaceFileName(hiddenPath, finalPath) != 0) {
        ok = fail("cannot write", errno);
    }
    if (!ok) {
        ::unlink(hiddenPath.c_str());
        return false;
    }
#ifndef _WIN32
    if (!syncFolder) {
        return true;
    }
    // The rename itself is on the disk once the folder is (on Windows the
    // move is written through).
    const std::string folder = std::filesystem::path(finalPath).parent_path().string();
    int folderFd =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
#endif
    return true;
}

void PublishedFile::discard() {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
        ::unlink(hiddenPath.c_str());
    }
    buffer.clear();
}

} // namespace velmora
