#include "serial/native_serial.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/serial.h>
#endif

namespace velmora::native {
namespace {

std::string errnoText(int error) {
    return std::strerror(error);
}

// The pid of the process holding a flock on the file, from the kernel's list
// of locks; empty where it cannot be learned (another platform, no /proc).
std::string flockHolder(const struct stat& file) {
    std::ifstream locks("/proc/locks");
    if (!locks) {
        return {};
    }
    // Lines read "1: FLOCK  ADVISORY  WRITE 4242 00:05:87 0 EOF"; the device
    // number there is the file system's, printed as major:minor in hex.
    char exact[64];
    std::snprintf(exact, sizeof exact, "%02x:%02x:%llu", major(file.st_dev), minor(file.st_dev),
                  static_cast<unsigned long long>(file.st_ino));
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream words(line);
        std::string number, kind, mode, access, pid, where;
        words >> number >> kind;
        if (kind == "->") { // a waiter, not a holder
            continue;
        }
        words >> mode >> access >> pid >> where;
        if (kind == "FLOCK" && where == exact) {
            return pid;
        }
    }
    return {};
}

std::string inUse(const std::string& device, const std::string& pid) {
    std::string text = device + " is in use by another program";
    if (!pid.empty()) {
        text += " (pid " + pid + ")";
    }
    return text;
}

// The errno a failure carries: Asio reports system errors in a category of its
// own, which compares equal to no std::errc.
int errnoOf(const std::error_code& error) {
    if (error.category() == asio::error::get_system_category() ||
        error.category() == std::system_category() || error.category() == std::generic_category()) {
        return error.value();
    }
    return 0;
}

} // namespace

std::string lastErrorText() {
    return errnoText(errno);
}

Status takeExclusive(Handle handle, const std::string& device) {
    // A program this process starts must not inherit the device, nor its lock.
    ::fcntl(handle, F_SETFD, ::fcntl(handle, F_GETFD) | FD_CLOEXEC);
    if (::flock(handle, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == EWOULDBLOCK) {
            struct stat file {};
            return Status::refused(
                inUse(device, ::fstat(handle, &file) == 0 ? flockHolder(file) : std::string()));
        }
        // A file system without locks still leaves the exclusive flag below.
        if (error != ENOLCK && error != EINVAL) {
            return Status::refused(device + ": " + errnoText(error));
        }
    }
    // Keeps out further opens by programs that do not take the lock (root excepted).
    ::ioctl(handle, TIOCEXCL);
    return Status::done();
}

void releaseExclusive(Handle handle) {
    ::ioctl(handle, TIOCNXCL);
    ::flock(handle, LOCK_UN);
}

std::string inUseReason(const std::string& device) {
    struct stat file {};
    return inUse(device, ::stat(device.c_str(), &file) == 0 ? flockHolder(file) : std::string());
}

bool meansNoInputYet(const std::error_code&) {
    return false;
}

bool meansBusy(const std::error_code& error) {
    return errnoOf(error) == EBUSY;
}

Status makeRaw(Handle handle, const std::string& device) {
    termios line{};
    if (::tcgetattr(handle, &line) != 0) {
        return Status::refused(device + ": " + lastErrorText());
    }
    ::cfmakeraw(&line);
    line.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    line.c_cflag |= CREAD | CLOCAL;
    // One byte or more per read; the descriptor is non-blocking, so an empty
    // line gives EAGAIN rather than a zero-length read that would mean the end.
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    if (::tcsetattr(handle, TCSANOW, &line) != 0) {
        return Status::refused(device + ": " + lastErrorText());
    }
    return Status::done();
}

void preferLowLatency(Handle handle) {
#ifdef __linux__
    // USB-serial adapters otherwise hold received bytes for up to 16 ms.
    serial_struct serial{};
    if (::ioctl(handle, TIOCGSERIAL, &serial) == 0 && (serial.flags & ASYNC_LOW_LATENCY) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(handle, TIOCSSERIAL, &serial);
    }
#else
    (void)handle;
#endif
}

Status discardInput(Handle handle, const std::string& device) {
    if (::tcflush(handle, TCIFLUSH) != 0) {
        return Status::refused(device + ": " + lastErrorText());
    }
    return Status::done();
}

std::size_t queuedOutput(Handle handle) {
    int pending = 0;
    if (::ioctl(handle, TIOCOUTQ, &pending) != 0 || pending < 0) {
        return 0;
    }
    return static_cast<std::size_t>(pending);
}

std::size_t queuedInput(Handle handle) {
    int waiting = 0;
    if (::ioctl(handle, FIONREAD, &waiting) != 0 || waiting < 0) {
        return 0;
    }
    return static_cast<std::size_t>(waiting);
}

Status setModemLine(Handle handle, ModemLine line, bool raised, const std::string& device) {
    int bit = line == ModemLine::DataTerminalReady ? TIOCM_DTR : TIOCM_RTS;
    if (::ioctl(handle, raised ? TIOCMBIS : TIOCMBIC, &bit) != 0) {
        const int error = errno;
        // A pseudo-terminal has no modem lines and says so.
        if (error == ENOTTY || error == EINVAL || error == ENOTSUP) {
            return Status::done();
        }
        return Status::refused(device + ": " + errnoText(error));
    }
    return Status::done();
}

bool meansGone(const std::error_code& error) {
    const int value = errnoOf(error);
    return value == EIO || value == ENXIO || value == ENODEV || value == EBADF;
}

} // namespace velmora::native
