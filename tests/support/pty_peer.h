#pragma once

// The far end of a pseudo-terminal, played by a test or a bench: the host
// under test opens `devicePath()` as its serial device; the peer reads what the
// host sent and answers, from a thread of its own where it must.

#include "sim/line_speeds.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace velmora::testing {

using Bytes = std::vector<std::uint8_t>;

class PtyPeer {
public:
    PtyPeer() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            return;
        }
        char name[128] = {};
        if (::ptsname_r(master_, name, sizeof name) != 0) {
            return;
        }
        path_ = name;
        // Kept open for the peer's life: the master reads EIO while no slave is
        // open, and until it is raw the slave would echo the host's bytes.
        slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios settings{};
        if (slave_ >= 0 && ::tcgetattr(slave_, &settings) == 0) {
            ::cfmakeraw(&settings);
            ::tcsetattr(slave_, TCSANOW, &settings);
        }
    }
    ~PtyPeer() {
        join();
        hangUp();
    }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool ok() const { return master_ >= 0 && slave_ >= 0 && !path_.empty(); }
    const std::string& devicePath() const { return path_; }
    int master() const { return master_; }

    // The device goes away: both ends are closed.
    void hangUp() {
        if (slave_ >= 0) {
            ::close(slave_);
            slave_ = -1;
        }
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }

    // Plays the target on a thread of its own.
    void play(std::function<void(PtyPeer&)> script) {
        worker_ = std::thread([this, script = std::move(script)] { script(*this); });
    }
    void join() {
        if (worker_.joinable()) {
            worker_.join();
        }
    }

    // Reads exactly count bytes, or what came before the timeout.
    Bytes read(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        Bytes bytes;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (bytes.size() < count) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            pollfd waiting{master_, POLLIN, 0};
            if (::poll(&waiting, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            std::uint8_t buffer[512];
            std::size_t want = std::min(sizeof buffer, count - bytes.size());
            ssize_t got = ::read(master_, buffer, want);
            if (got <= 0) {
                break;
            }
            bytes.insert(bytes.end(), buffer, buffer + got);
        }
        received.insert(received.end(), bytes.begin(), bytes.end());
        return bytes;
    }

    // Everything that arrives within the given quiet time.
    Bytes drain(std::chrono::milliseconds quiet) {
        Bytes all;
        for (;;) {
            Bytes more = read(1, quiet);
            if (more.empty()) {
                return all;
            }
            all.insert(all.end(), more.begin(), more.end());
        }
    }

    bool write(const Bytes& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t put = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (put <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(put);
        }
        return true;
    }

    // The rate the host end has set on the line, as the master sees it.
    int baud() const {
        termios settings{};
        if (::tcgetattr(master_, &settings) != 0) {
            return -1;
        }
        return baudOf(::cfgetospeed(&settings));
    }

    termios lineSettings() const {
        termios settings{};
        ::tcgetattr(master_, &settings);
        return settings;
    }

    // Every byte the peer has read, in order.
    Bytes received;

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::thread worker_;
};

} // namespace velmora::testing
