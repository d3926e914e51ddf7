#include "core/file_io.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <csignal>
#endif

namespace velmora {

int syncFileData(int fd) {
#ifdef _WIN32
    return ::_commit(fd);
#else
    return ::fdatasync(fd);
#endif
}

int replaceFileName(const std::string& from, const std::string& to) {
#ifdef _WIN32
    // rename() there refuses an existing target; MoveFileEx replaces it, and
    // returns only once the move is on the disk.
    if (::MoveFileExA(from.c_str(), to.c_str(),
                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return 0;
    }
    switch (::GetLastError()) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        errno = EACCES;
        break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        errno = ENOENT;
        break;
    case ERROR_DISK_FULL:
        errno = ENOSPC;
        break;
    default:
        errno = EIO;
        break;
    }
    return -1;
#else
    return std::rename(from.c_str(), to.c_str());
#endif
}

bool processExists(long pid) {
#ifdef _WIN32
    HANDLE process =
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) {
        return ::GetLastError() == ERROR_ACCESS_DENIED;
    }
    DWORD code = 0;
    const bool running = ::GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    ::CloseHandle(process);
    return running;
#else
    // Another user's process cannot be signalled, but it exists.
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
#endif
}

bool sameFile(const std::string& first, const std::string& second) {
    std::error_code error;
    return std::filesystem::equivalent(first, second, error) && !error;
}

int writeWhole(int fd, const void* bytes, std::size_t size) {
    const auto* start = static_cast<const char*>(bytes);
    std::size_t done = 0;
    while (done < size) {
        const auto written = ::write(fd, start + done, size - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return written < 0 ? errno : ENOSPC;
        }
        done += static_cast<std::size_t>(written);
    }
    return 0;
}

std::optional<std::vector<std::uint8_t>> readWholeFile(const std::filesystem::path& path,
                                                       std::string* problem) {
    auto failed = [&](const std::string& why) -> std::optional<std::vector<std::uint8_t>> {
        if (problem != nullptr) {
            *problem = path.string() + ": " + why;
        }
        return std::nullopt;
    };
    // Not blocking on a FIFO without a writer: it is refused below.
    const int fd = ::open(path.string().c_str(), O_RDONLY | openNonBlocking | openBytes);
    if (fd < 0) {
        return failed(std::strerror(errno));
    }
    struct stat file {};
    if (::fstat(fd, &file) != 0) {
        const int error = errno;
        ::close(fd);
        return failed(std::strerror(error));
    }
    if (!S_ISREG(file.st_mode)) {
        ::close(fd);
        return failed(S_ISDIR(file.st_mode) ? std::strerror(EISDIR) : "not a regular file");
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(file.st_size));
    std::size_t done = 0;
    for (;;) {
        if (done == bytes.size()) {
            bytes.resize(bytes.size() + 4096); // the file may have grown
        }
        const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            return failed(std::strerror(error));
        }
        if (got == 0) {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    ::close(fd);
    bytes.resize(done);
    return bytes;
}

std::optional<std::vector<std::uint8_t>> readFileToSend(const std::filesystem::path& path,
                                                        std::string& problem, std::size_t longest) {
    auto bytes = readWholeFile(path, &problem);
    if (bytes && bytes->empty()) {
        problem = path.string() + ": the file is empty";
        return std::nullopt;
    }
    if (bytes && bytes->size() > longest) {
        problem = path.string() + ": larger than " + std::to_string(longest) + " bytes (" +
                  std::to_string(bytes->size()) + ")";
        return std::nullopt;
    }
    return bytes;
}

namespace {
// What is kept in memory before it goes to the file.
constexpr std::size_t bufferLimit = 64 * 1024;
// Links followed before the name counts as a loop, as the system counts them.
constexpr int linkHops = 40;

namespace fs = std::filesystem;

bool allDigits(std::string_view text) {
    return !text.empty() && text.size() < 10 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

#ifndef _WIN32
// The descriptor a name stands for: /dev/stdout, /dev/fd/N, /proc/self/fd/N
// (and this process's own /proc/PID/fd/N); -1 for any other name.
int descriptorOfName(const std::string& path) {
    if (path == "/dev/stdout") {
        return STDOUT_FILENO;
    }
    if (path == "/dev/stderr") {
        return STDERR_FILENO;
    }
    const std::string self = "/proc/" + std::to_string(::getpid()) + "/fd/";
    for (std::string_view prefix : {std::string_view("/dev/fd/"),
                                    std::string_view("/proc/self/fd/"), std::string_view(self)}) {
        if (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
            allDigits(std::string_view(path).substr(prefix.size()))) {
            return std::atoi(path.c_str() + prefix.size());
        }
    }
    return -1;
}
#endif

// A hidden file of ours: ".NAME.PID.N.part"; the PID, or 0 for another name.
long hiddenFileOwner(const std::string& entry, const std::string& name) {
    const std::string head = "." + name + ".";
    const std::string tail = ".part";
    if (entry.size() <= head.size() + tail.size() || entry.compare(0, head.size(), head) != 0 ||
        entry.compare(entry.size() - tail.size(), tail.size(), tail) != 0) {
        return 0;
    }
    const std::string middle = entry.substr(head.size(), entry.size() - head.size() - tail.size());
    const std::size_t dot = middle.find('.');
    if (dot == std::string::npos || !allDigits(middle.substr(0, dot)) ||
        !allDigits(middle.substr(dot + 1))) {
        return 0;
    }
    return std::atol(middle.c_str());
}

// A run killed before it published leaves its hidden file; the next one
// made beside it removes those whose process is gone.
void removeStaleHiddenFiles(const fs::path& folder, const std::string& name) {
    std::error_code error;
    for (fs::directory_iterator entry(folder.empty() ? fs::path(".") : folder, error), end;
         !error && entry != end; entry.increment(error)) {
        const long owner = hiddenFileOwner(entry->path().filename().string(), name);
        if (owner > 0 && owner != static_cast<long>(::getpid()) && !processExists(owner)) {
            std::error_code ignored;
            fs::remove(entry->path(), ignored);
        }
    }
}

std::string kindName(mode_t mode) {
#ifdef S_ISBLK
    if (S_ISBLK(mode)) {
        return "a block device";
    }
#endif
#ifdef S_ISSOCK
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
#endif
    return "not a file";
}

} // namespace

OutputPlace placeOfOutput(const std::string& path) {
    OutputPlace place;
    if (path == "-") {
        place.kind = OutputKind::Direct;
        place.target = path;
        place.descriptor = STDOUT_FILENO;
        return place;
    }
    std::string current = path;
#ifndef _WIN32
    // The links are followed one by one: /dev/stdout leads to a descriptor
    // of this process, whose own link names whatever that descriptor has
    // open (a pipe, a file the shell opened); writing to the descriptor keeps
    // the shell's file and offset.
    for (int hop = 0;; ++hop) {
        if (int fd = descriptorOfName(current); fd >= 0) {
            place.kind = OutputKind::Direct;
            place.target = current;
            place.descriptor = fd;
            return place;
        }
        struct stat link {};
        if (::lstat(current.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
            break;
        }
        if (hop == linkHops) {
            place.reason = std::strerror(ELOOP);
            return place;
        }
        char text[PATH_MAX];
        const ssize_t length = ::readlink(current.c_str(), text, sizeof text - 1);
        if (length < 0) {
            place.reason = std::strerror(errno);
            return place;
        }
        const fs::path next(std::string(text, static_cast<std::size_t>(length)));
        current =
            next.is_absolute() ? next.string() : (fs::path(current).parent_path() / next).string();
    }
#endif
    place.target = current;
    struct stat file {};
    if (::stat(current.c_str(), &file) != 0) {
        // Nothing there yet (or a folder that is missing, which the write names).
        place.kind = OutputKind::Published;
        return place;
    }
    if (S_ISREG(file.st_mode)) {
        place.kind = OutputKind::Published;
    } else if (S_ISDIR(file.st_mode)) {
        place.reason = std::strerror(EISDIR);
    } else if (S_ISCHR(file.st_mode)
#ifdef S_ISFIFO
               || S_ISFIFO(file.st_mode)
#endif
    ) {
        place.kind = OutputKind::Direct;
    } else {
        place.reason = kindName(file.st_mode);
    }
    return place;
}

bool outputIsStandardOutput(const std::string& path) {
    const OutputPlace place = placeOfOutput(path);
    if (place.descriptor == STDOUT_FILENO) {
        return true;
    }
    // Another name for what standard output has open (its terminal, say).
    struct stat named {};
    struct stat out {};
    return place.kind == OutputKind::Direct && ::stat(place.target.c_str(), &named) == 0 &&
           ::fstat(STDOUT_FILENO, &out) == 0 && named.st_dev == out.st_dev &&
           named.st_ino == out.st_ino && named.st_rdev == out.st_rdev;
}

int openRecordOutput(const std::string& path, std::string& why) {
    const OutputPlace place = placeOfOutput(path);
    if (place.kind == OutputKind::Refused) {
        why = place.reason;
        return -1;
    }
    const int fd = place.descriptor >= 0 ? ::dup(place.descriptor)
                   : place.kind == OutputKind::Direct
                       ? ::open(place.target.c_str(), O_WRONLY | openBytes)
                       : ::open(place.target.c_str(), O_RDWR | O_CREAT | O_TRUNC | openBytes, 0644);
    if (fd < 0) {
        why = std::strerror(errno);
    }
    return fd;
}

PublishedFile::~PublishedFile() {
    discard();
}

bool PublishedFile::failWith(const std::string& what, const std::string& why) {
    if (failure.empty()) {
        systemReason = why;
        failure = what + " " + finalPath + ": " + systemReason;
    }
    return false;
}

bool PublishedFile::fail(const std::string& what, int errorNumber) {
    return failWith(what, std::strerror(errorNumber));
}

bool PublishedFile::open(const std::string& path, Durability wanted) {
    static std::atomic<unsigned> serial{0};
    discard();
    failure.clear();
    systemReason.clear();
    buffer.clear();
    finalPath = path;
    durability = wanted;
    direct = false;
    const OutputPlace place = placeOfOutput(path);
    targetPath = place.target;
    if (place.kind == OutputKind::Refused) {
        return failWith("cannot write", place.reason);
    }
    if (place.kind == OutputKind::Direct) {
        direct = true;
        // A descriptor of ours is written through a copy, so that closing
        // this file leaves it open; a FIFO's open waits for its reader.
        fd = place.descriptor >= 0 ? ::dup(place.descriptor)
                                   : ::open(targetPath.c_str(), O_WRONLY | openBytes);
        return fd >= 0 || fail("cannot write", errno);
    }
    const fs::path target(targetPath);
    const std::string name = target.filename().string();
    if (name.empty()) {
        return fail("cannot write", EISDIR);
    }
    removeStaleHiddenFiles(target.parent_path(), name);
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
    const int error = writeWhole(fd, buffer.data(), buffer.size());
    buffer.clear();
    return error == 0 || fail("cannot write", error);
}

bool PublishedFile::write(std::string_view text) {
    if (fd < 0 || !failure.empty()) {
        return false;
    }
    // A large block (a whole image) goes out as it is, not through a copy.
    if (text.size() >= bufferLimit) {
        if (!flushBuffer()) {
            return false;
        }
        const int error = writeWhole(fd, text.data(), text.size());
        return error == 0 || fail("cannot write", error);
    }
    buffer.append(text);
    return buffer.size() < bufferLimit || flushBuffer();
}

bool PublishedFile::commit() {
    if (fd < 0) {
        return failure.empty() ? fail("cannot write", EBADF) : false;
    }
    bool ok = failure.empty() && flushBuffer();
    if (ok && !direct && durability == Durability::Synced && syncFileData(fd) != 0) {
        ok = fail("cannot write", errno);
    }
    if (::close(fd) != 0 && ok) {
        ok = fail("cannot write", errno);
    }
    fd = -1;
    if (direct) {
        return ok;
    }
    if (ok && replaceFileName(hiddenPath, targetPath) != 0) {
        ok = fail("cannot write", errno);
    }
    if (!ok) {
        ::unlink(hiddenPath.c_str());
        return false;
    }
#ifndef _WIN32
    if (durability != Durability::Synced) {
        return true;
    }
    // The rename itself is on the disk once the folder is (on Windows the
    // move is written through).
    const std::string folder = fs::path(targetPath).parent_path().string();
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
        if (!direct) {
            ::unlink(hiddenPath.c_str());
        }
    }
    buffer.clear();
}

bool publishFile(const std::string& path, std::string_view bytes, Durability durability,
                 std::string* reason) {
    PublishedFile file;
    const bool ok = file.open(path, durability) && file.write(bytes) && file.commit();
    if (!ok && reason != nullptr) {
        *reason = file.reason();
    }
    return ok;
}

} // namespace velmora
