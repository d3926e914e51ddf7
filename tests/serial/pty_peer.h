#pragma once

#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

// The far end of a pseudo-terminal: the test or bench plays the device on the
// master side; the serial code opens the slave path. A slave descriptor is
// kept open (raw) so the master never reads EIO while the host end is closed.
class PtyPeer {
public:
    PtyPeer() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            return;
        }
        const char* name = ::ptsname(master_);
        if (name == nullptr) {
            return;
        }
        path_ = name;
        keptSlave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        if (keptSlave_ >= 0 && ::tcgetattr(keptSlave_, &raw) == 0) {
            ::cfmakeraw(&raw);
            ::tcsetattr(keptSlave_, TCSANOW, &raw);
        }
    }
    ~PtyPeer() { hangUp(); }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool ready() const { return master_ >= 0 && keptSlave_ >= 0 && !path_.empty(); }
    const std::string& path() const { return path_; }
    int master() const { return master_; }

    // The device goes away: both ends are closed.
    void hangUp() {
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
        if (keptSlave_ >= 0) {
            ::close(keptSlave_);
            keptSlave_ = -1;
        }
    }

    bool write(const std::vector<std::uint8_t>& bytes) const {
        return ::write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

    // Reads until count bytes came or the line stayed silent for quiet.
    std::vector<std::uint8_t>
    read(std::size_t count,
         std::chrono::milliseconds quiet = std::chrono::milliseconds(2000)) const {
        std::vector<std::uint8_t> got;
        while (got.size() < count) {
            pollfd entry{master_, POLLIN, 0};
            if (::poll(&entry, 1, static_cast<int>(quiet.count())) <= 0) {
                break;
            }
            std::uint8_t chunk[512];
            ssize_t n = ::read(master_, chunk, std::min(sizeof chunk, count - got.size()));
            if (n <= 0) {
                break;
            }
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }

    // The rate the host end has set on the line, as the master sees it.
    int baud() const {
        termios settings{};
        if (::tcgetattr(master_, &settings) != 0) {
            return -1;
        }
        switch (::cfgetospeed(&settings)) {
        case B1200:
            return 1200;
        case B2400:
            return 2400;
        case B4800:
            return 4800;
        case B9600:
            return 9600;
        case B19200:
            return 19200;
        case B38400:
            return 38400;
        case B57600:
            return 57600;
        case B115200:
            return 115200;
        default:
            return 0;
        }
    }

    termios lineSettings() const {
        termios settings{};
        ::tcgetattr(master_, &settings);
        return settings;
    }

private:
    int master_ = -1;
    int keptSlave_ = -1;
    std::string path_;
};
