#pragma once

// The one home of file input and output: reading a file whole, publishing a
// file whole (written beside it, renamed over it), the outputs written where
// they are named (through links, into FIFOs and devices), and the few file
// calls that differ between POSIX and Windows, so the rest of the code opens,
// syncs and replaces files the same way on both.

#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

#ifdef _WIN32
// Files hold bytes: no CR LF translation. Our handles stay out of programs
// we start.
inline constexpr int openBytes = O_BINARY | O_NOINHERIT;
// Windows has no FIFOs that could hold an open; there is nothing to not wait for.
inline constexpr int openNonBlocking = 0;
#else
inline constexpr int openBytes = O_CLOEXEC;
inline constexpr int openNonBlocking = O_NONBLOCK;
#endif

// Makes the file's data durable; 0 on success, else -1 with errno set.
int syncFileData(int fd);

// Renames `from` over `to`, replacing an existing file in one step; 0 on
// success, else -1 with errno set.
int replaceFileName(const std::string& from, const std::string& to);

// Whether a process with this id runs on this machine.
bool processExists(long pid);

// Whether two names are one file (the same file system object).
bool sameFile(const std::string& first, const std::string& second);

// Writes all `size` bytes to `fd`, again after an interruption; 0 when they
// are out, else the system's error number (ENOSPC for a write that takes nothing).
int writeWhole(int fd, const void* bytes, std::size_t size);

// The whole file in binary; nothing when it cannot be opened or read, with
// what is wrong in `problem` when given: the path and the system's reason
// ("/usr/share/brenlow/3062f.bin: No such file or directory").
std::optional<std::vector<std::uint8_t>> readWholeFile(const std::filesystem::path& path,
                                                       std::string* problem = nullptr);

// The file's bytes when it holds between 1 and `longest` of them; else
// nothing, with the path and what is wrong in `problem` (missing, unreadable,
// empty, "larger than 65535 bytes").
std::optional<std::vector<std::uint8_t>> readFileToSend(const std::filesystem::path& path,
                                                        std::string& problem,
                                                        std::size_t longest = SIZE_MAX);

// What an output's name leads to, after its symbolic links.
enum class OutputKind {
    Published, // a regular file, or none yet: written whole beside it, then renamed over it
    Direct,    // a FIFO, a character device or standard output: written as it goes
    Refused,   // a folder, a block device, a socket: not written at all
};

struct OutputPlace {
    OutputKind kind = OutputKind::Refused;
    // Where the bytes go: the file the links end at (the link itself stays),
    // or the device or FIFO to open.
    std::string target;
    // One of this process's descriptors when the name stands for it ("-",
    // /dev/stdout, /dev/fd/N); -1 otherwise.
    int descriptor = -1;
    // Why a refused name is refused: "Is a directory".
    std::string reason;
};

// Where the output named `path` goes: "-" is standard output; symbolic links
// are followed to the file they end at.
OutputPlace placeOfOutput(const std::string& path);

// Whether the output named `path` is this process's standard output, so the
// messages of the run must go elsewhere.
bool outputIsStandardOutput(const std::string& path);

// Opens an output that is written record by record as a run goes (Recv.bin)
// where it is named: a regular file (a link's file) is emptied in place, a
// FIFO or device opened as it is, standard output duplicated. A descriptor,
// or -1 with the system's reason in `why` (a folder is refused).
int openRecordOutput(const std::string& path, std::string& why);

// How much a published file is worth to a crash.
enum class Durability {
    // Flushed to the disk before the rename, and the rename made durable:
    // reports, logs, anything that cannot be made again.
    Synced,
    // Only renamed into place: a crash may bring back the earlier file (or
    // an empty one), never a part of this one. For files derived from others
    // and made again by every run (tmp.bin).
    Renamed,
};

// An output written where it is named. A regular file (or a symbolic link's
// file) appears under its name only once it is whole: it is written to a
// hidden file beside it, in that file's own folder, and renamed over it at
// commit(); until then the earlier file stays as it was, and a write that
// fails leaves it untouched too. A FIFO, a character device or standard
// output is written directly, with no file beside it. A folder or a file of
// another kind is refused before anything is written. Every failure is kept
// with the system's reason. Hidden files left by processes that no longer
// exist are removed when the next one is made beside them.
class PublishedFile {
public:
    PublishedFile() = default;
    ~PublishedFile();
    PublishedFile(const PublishedFile&) = delete;
    PublishedFile& operator=(const PublishedFile&) = delete;

    // Makes the hidden file, or opens the FIFO or device; false (and
    // error()) when the place cannot take the output: a missing or read-only
    // folder, a folder in the file's place. Opening a FIFO waits for its reader.
    bool open(const std::string& path, Durability durability = Durability::Synced);
    bool isOpen() const { return fd >= 0; }
    // The output is written as it goes, not published at commit().
    bool writesDirectly() const { return direct; }

    // Appends text; false once any write has failed (the first failure is kept).
    bool write(std::string_view text);

    // Flushes and publishes the file under its name (durably, for Synced).
    bool commit();
    // Drops the hidden file; the earlier file stays as it was. What went
    // directly to a FIFO or device cannot be taken back.
    void discard();

    const std::string& path() const { return finalPath; }
    // "cannot write report.json: No space left on device"
    const std::string& error() const { return failure; }
    // The system's own words for the first failure: "No space left on device".
    const std::string& reason() const { return systemReason; }

private:
    bool flushBuffer();
    bool fail(const std::string& what, int errorNumber);
    bool failWith(const std::string& what, const std::string& why);

    std::string finalPath;  // as named
    std::string targetPath; // where the links end: the file renamed over
    std::string hiddenPath;
    std::string buffer;
    std::string failure;
    std::string systemReason;
    Durability durability = Durability::Synced;
    bool direct = false;
    int fd = -1;
};

// Publishes `bytes` as the whole file at `path` (see PublishedFile): a
// regular file, or a link's, appears only once whole, the earlier one staying
// as it was on any failure, with no stray file left behind; a FIFO, a device
// or "-" (standard output) is written directly; a folder is refused. A new
// file gets the permissions a newly created file would. False on failure,
// with the system's reason in `reason` when given.
bool publishFile(const std::string& path, std::string_view bytes, Durability durability,
                 std::string* reason = nullptr);

} // namespace velmora
