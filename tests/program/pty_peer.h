#pragma once

// The target's end of a pseudo-terminal, played by a test: the host under test
// opens `devicePath()` as its serial device; the test reads what the host sent
// and answers byte by byte from a thread of its own.

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
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
            return;
        }
        char name[128] = {};
        if (::ptsname_r(master, name, sizeof name) != 0) {
            return;
        }
        path = name;
        // Kept open for the peer's life: the master reads EIO while no slave is open.
        slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios settings{};
        ::tcgetattr(slave, &settings);
        ::cfmakeraw(&settings);
        ::tcsetattr(slave, TCSANOW, &settings);
    }
    ~PtyPeer() {
        join();
        if (slave >= 0) {
            ::close(slave);
        }
        if (master >= 0) {
            ::close(master);
        }
    }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool ok() const { return master >= 0 && slave >= 0; }
    const std::string& devicePath() const { return path; }

    // Plays the target on a thread of its own.
    void play(std::function<void(PtyPeer&)> script) {
        worker = std::thread([this, script = std::move(script)] { script(*this); });
    }
    void join() {
        if (worker.joinable()) {
            worker.join();
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
            pollfd waiting{master, POLLIN, 0};
            if (::poll(&waiting, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            std::uint8_t buffer[512];
            std::size_t want = std::min(sizeof buffer, count - bytes.size());
            ssize_t got = ::read(master, buffer, want);
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

    void write(const Bytes& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t put = ::write(master, bytes.data() + done, bytes.size() - done);
            if (put <= 0) {
                return;
            }
            done += static_cast<std::size_t>(put);
        }
    }

    // Every byte the peer has read, in order.
    Bytes received;

private:
    int master = -1;
    int slave = -1;
    std::string path;
    std::thread worker;
};

} // namespace velmora::testing
