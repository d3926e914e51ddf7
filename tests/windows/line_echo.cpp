// The far end of a serial line for the Windows checks run under Wine: a
// pseudo-terminal whose slave an emulated COM port is mapped to. It sends
// back every byte it receives, unchanged, and answers '?' with the rate the
// line is set to ("2400\n"), as the slave's settings show it on the master;
// '!' hangs up: it closes the pseudo-terminal and ends. Prints the slave's
// path, then runs until then, SIGTERM or SIGINT.

#include "sim/line_speeds.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stopping = 0;

void stop(int) {
    stopping = 1;
}

bool writeAll(int fd, const char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t written = ::write(fd, bytes, count);
        if (written < 0) {
            return false;
        }
        bytes += written;
        count -= static_cast<std::size_t>(written);
    }
    return true;
}

} // namespace

int main() {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::perror("line_echo: pseudo-terminal");
        return 1;
    }
    const char* slavePath = ::ptsname(master);
    // Held open for the whole run: the master reads EIO while no slave is open.
    const int slave = slavePath != nullptr ? ::open(slavePath, O_RDWR | O_NOCTTY) : -1;
    termios raw{};
    if (slave < 0 || ::tcgetattr(slave, &raw) != 0) {
        std::perror("line_echo: slave");
        return 1;
    }
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    std::printf("%s\n", slavePath);
    std::fflush(stdout);

    std::signal(SIGTERM, stop);
    std::signal(SIGINT, stop);
    while (!stopping) {
        pollfd watch{master, POLLIN, 0};
        if (::poll(&watch, 1, 100) <= 0) {
            continue;
        }
        char received[256];
        const ssize_t count = ::read(master, received, sizeof received);
        if (count <= 0) {
            continue;
        }
        std::string answer;
        for (ssize_t i = 0; i < count; ++i) {
            if (received[i] == '!') {
                stopping = 1;
                break;
            }
            if (received[i] == '?') {
                termios line{};
                ::tcgetattr(master, &line);
                answer += std::to_string(velmora::baudOf(::cfgetospeed(&line))) + "\n";
            } else {
                answer += received[i];
            }
        }
        if (!writeAll(master, answer.data(), answer.size())) {
            std::perror("line_echo: write");
            return 1;
        }
    }
    ::close(slave);
    ::close(master);
    return 0;
}
