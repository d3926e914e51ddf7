#pragma once

// The few file calls that differ between POSIX and Windows, so the rest of
// the code opens, syncs and replaces files the same way on both.

#include <fcntl.h>
#include <string>

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

} // namespace velmora
