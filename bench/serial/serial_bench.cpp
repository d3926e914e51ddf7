// Costs of the serial link over a pseudo-terminal:
//  1. CPU time of bounded 1 ms waits for input while nothing arrives, against
//     a loop that polls the queue count for the same wall time (a busy core).
//  2. One-byte echo round trips through send and receive, against the same
//     round trip made with bare system calls on the same line.
//  3. Whether the line accepts the driver's low-latency mode.
#include "serial/ms_comm.h"
#include "serial/serial_port.h"
#include "support/pty_peer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

using velmora::testing::PtyPeer;
using Clock = std::chrono::steady_clock;

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Load {
    double wallSeconds;
    double cpuSeconds;
    double percentOfACore() const { return 100.0 * cpuSeconds / wallSeconds; }
};

template <typename Work> Load measure(Work work) {
    double cpuBefore = cpuSeconds();
    auto wallBefore = Clock::now();
    work();
    return {std::chrono::duration<double>(Clock::now() - wallBefore).count(),
            cpuSeconds() - cpuBefore};
}

// Answers every byte it reads on the master side with the same byte.
class EchoPeer {
public:
    explicit EchoPeer(int master) : master_(master), thread_([this] { run(); }) {}
    ~EchoPeer() {
        stop_ = true;
        thread_.join();
    }

private:
    void run() {
        while (!stop_) {
            pollfd entry{master_, POLLIN, 0};
            if (::poll(&entry, 1, 50) <= 0) {
                continue;
            }
            std::uint8_t buffer[256];
            ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n > 0 && ::write(master_, buffer, static_cast<std::size_t>(n)) != n) {
                return;
            }
        }
    }
    int master_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Spread {
    double medianUs;
    double p99Us;
};

Spread spread(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

void waitCost(velmora::SerialPort& port) {
    const int waits = 2000;
    Load waiting = measure([&] {
        for (int i = 0; i < waits; ++i) {
            port.waitForInput(1000);
        }
    });
    Load spinning = measure([&] {
        auto end = Clock::now() + std::chrono::duration<double>(waiting.wallSeconds);
        while (Clock::now() < end) {
            port.bytesWaiting();
        }
    });
    // The floor: the same number of bare 1 ms waits on a descriptor that stays silent.
    PtyPeer silent;
    Load bare = measure([&] {
        for (int i = 0; i < waits; ++i) {
            pollfd entry{silent.master(), POLLIN, 0};
            timespec timeout{0, 1000000};
            ::ppoll(&entry, 1, &timeout, nullptr);
        }
    });
    std::printf("1 ms waits for input, nothing arriving (%d waits)\n", waits);
    std::printf("  wall per wait        %8.3f ms\n", 1000.0 * waiting.wallSeconds / waits);
    std::printf("  CPU while waiting    %8.2f %% of a core\n", waiting.percentOfACore());
    std::printf("  reference: bare ppoll of 1 ms: %.2f %% of a core, %.3f ms a wait\n",
                bare.percentOfACore(), 1000.0 * bare.wallSeconds / waits);
    std::printf("  reference: polling the queue count for the same time: %.1f %% of a core\n",
                spinning.percentOfACore());
    std::printf("  ratio wait / poll    %8.4f\n",
                waiting.percentOfACore() / std::max(spinning.percentOfACore(), 1e-9));
}

void echoRoundTrip(velmora::SerialPort& port, PtyPeer& peer) {
    const int trips = 3000;
    std::vector<double> ours;
    std::vector<double> control;
    std::vector<double> bare;
    int wrongAnswers = 0;
    std::uint8_t value = 0;
    {
        EchoPeer echo(peer.master());
        for (int i = 0; i < trips; ++i, ++value) {
            auto start = Clock::now();
            port.send(&value, 1);
            std::uint8_t answer = 0;
            while (port.receive(&answer, 1) == 0) {
                port.waitForInput(1000);
            }
            ours.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            wrongAnswers += answer != value;
        }
    }
    // The boot download's way: Output, then InBufferCount and Input.
    port.close();
    velmora::CMSComm comm;
    comm.setPortName(peer.devicePath());
    comm.setSettings("38400,n,8,1");
    comm.setInputMode(velmora::CMSComm::inputModeBinary);
    comm.setPortOpen(true);
    {
        EchoPeer echo(peer.master());
        for (int i = 0; i < trips; ++i, ++value) {
            auto start = Clock::now();
            comm.setOutput({value});
            while (comm.inBufferCount() == 0) {
                comm.waitForInput(1000);
            }
            velmora::ByteBuffer answer = comm.input();
            control.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
            wrongAnswers += answer != velmora::ByteBuffer{value};
        }
    }
    // The same round trip with bare calls on a second line of its own.
    PtyPeer line;
    int slave = ::open(line.devicePath().c_str(), O_RDWR | O_NOCTTY);
    termios raw{};
    ::tcgetattr(slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(slave, TCSANOW, &raw);
    {
        EchoPeer echo(line.master());
        for (int i = 0; i < trips; ++i, ++value) {
            auto start = Clock::now();
            if (::write(slave, &value, 1) != 1) {
                break;
            }
            std::uint8_t answer = 0;
            pollfd entry{slave, POLLIN, 0};
            while (::poll(&entry, 1, 1) <= 0 || ::read(slave, &answer, 1) != 1) {
            }
            bare.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    }
    ::close(slave);
    Spread mine = spread(ours);
    Spread link = spread(control);
    Spread reference = spread(bare);
    std::printf("one-byte echo round trip over a pseudo-terminal (%d trips)\n", trips);
    std::printf("  send + receive       median %8.1f us   p99 %8.1f us\n", mine.medianUs,
                mine.p99Us);
    std::printf("  Output + Input       median %8.1f us   p99 %8.1f us\n", link.medianUs,
                link.p99Us);
    std::printf("  reference: bare write/poll/read  median %8.1f us   p99 %8.1f us\n",
                reference.medianUs, reference.p99Us);
    std::printf("  ratio (median)       %8.2f send/receive, %.2f Output/Input\n",
                mine.medianUs / reference.medianUs, link.medianUs / reference.medianUs);
    std::printf("  wrong answers        %d\n", wrongAnswers);
}

void lowLatency(const PtyPeer& peer) {
    int fd = ::open(peer.devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    serial_struct serial{};
    int got = ::ioctl(fd, TIOCGSERIAL, &serial);
    int error = errno;
    std::printf("low-latency mode on a pseudo-terminal: %s\n",
                got == 0 ? "offered"
                         : (std::string("refused (") + std::strerror(error) + ")").c_str());
    ::close(fd);
}

} // namespace

int main() {
    PtyPeer peer;
    if (!peer.ok()) {
        std::fprintf(stderr, "no pseudo-terminal\n");
        return 1;
    }
    velmora::SerialPort port;
    if (port.open(peer.devicePath(), 38400) != 1) {
        std::fprintf(stderr, "cannot open %s\n", peer.devicePath().c_str());
        return 1;
    }
    waitCost(port);
    echoRoundTrip(port, peer);
    lowLatency(peer);
    return 0;
}
