#include "sim/simulated_board.h"

#include "sim/board_model.h"
#include "sim/line_speeds.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace velmora {

namespace {

using Clock = std::chrono::steady_clock;

// Ten bits on the line per byte: start, 8 data, stop.
Clock::duration byteTime(int baud) {
    if (baud <= 0) {
        return Clock::duration::zero();
    }
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(10'000'000'000LL / baud));
}

// How often the end marker looks whether the host has taken the last echo.
constexpr auto drainCheck = std::chrono::microseconds(200);
// How long before a paced byte is due the line thread stops sleeping.
constexpr auto spinWindow = std::chrono::microseconds(500);
// How long the end marker waits at most for the host to take the last echo.
constexpr auto drainLimit = std::chrono::seconds(2);
// How long the line must stay taken before the end marker goes: the host may
// have pulled the echo from the device but not yet read it, and on a real
// line the marker follows the echo by a byte time or more.
constexpr auto hostReadSettle = std::chrono::milliseconds(5);

struct Scheduled {
    Clock::time_point due;
    std::uint8_t byte = 0;
    bool afterHostDrained = false;
    bool dropLink = false;
    std::optional<Clock::time_point> writeAt; // set when it reaches the head of the queue
    Clock::time_point headSince{};
    std::optional<Clock::time_point> drainedSince; // the host had taken everything from then on
};

} // namespace

struct SimulatedBoard::Impl {
    explicit Impl(BoardOptions o) : options(std::move(o)), model(options) {}

    BoardOptions options;
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    BoardModel model; // guarded by mutex
    std::optional<LineSetting> settledLine;
    int lineChanges = 0;
    std::string error;
    bool started = false;

    int master = -1;
    int keptSlave = -1;
    int wakeRead = -1;
    int wakeWrite = -1;
    std::string terminal;
    bool linked = false;
    std::thread thread;

    // Line thread state.
    LineSetting current;
    LineRates candidates;
    bool ambiguous = false;
    Clock::time_point rxFree{};
    Clock::time_point txFree{};
    std::deque<Scheduled> outgoing;
    bool dropped = false;

    bool fail(const std::string& what) {
        std::lock_guard lock(mutex);
        error = what + ": " + std::strerror(errno);
        return false;
    }

    LineSetting readLine() const {
        termios t{};
        if (tcgetattr(master, &t) != 0) {
            return current;
        }
        LineSetting s;
        s.baud = baudOf(cfgetospeed(&t));
        s.frameOk = (t.c_cflag & CSIZE) == CS8 && !(t.c_cflag & PARENB) && !(t.c_cflag & CSTOPB);
        return s;
    }

    // A change the board learns of: bytes still queued may have been sent at
    // the earlier settings, at the new ones, or at any the host passed through.
    void noteSetting(const LineSetting& s, bool reported) {
        if (s == current && !reported) {
            return;
        }
        if (!ambiguous) {
            candidates = {current};
            if (!options.strictRates) {
                candidates.push_back(LineSetting{0, false, true});
            }
            ambiguous = true;
        }
        if (std::find(candidates.begin(), candidates.end(), s) == candidates.end()) {
            candidates.push_back(s);
        }
        current = s;
    }

    void schedule(const BoardResponse& response, Clock::time_point notBefore) {
        if (response.empty()) {
            return;
        }
        Clock::time_point due = std::max(notBefore, Clock::now()) + options.replyDelay;
        for (const BoardOutput& output : response.outputs) {
            outgoing.push_back({due, output.byte, output.afterHostDrained, false, {}, {}, {}});
        }
        if (response.dropLink) {
            outgoing.push_back({due, 0, false, true, {}, {}, {}});
        }
    }

    void afterModelCall(int completedBefore) {
        // Under the mutex: tell the host-side callback and the waiters.
        if (model.summary().completedWrites > completedBefore && options.onWriteCompleted) {
            options.onWriteCompleted(model.flash());
        }
        changed.notify_all();
    }

    // Reads everything the host has sent. Returns false when the line failed.
    bool readAll() {
        std::uint8_t buffer[4097];
        for (;;) {
            ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno == EAGAIN) {
                break;
            }
            if (n <= 0) {
                return false;
            }
            if (buffer[0] != TIOCPKT_DATA) {
                // The host changed its line settings; bytes already queued may
                // have been sent before or after the change.
                noteSetting(readLine(), true);
                continue;
            }
            noteSetting(readLine(), false);
            const LineRates rates = ambiguous ? candidates : LineRates{current};
            const Clock::time_point readAt = Clock::now();
            std::lock_guard lock(mutex);
            const int completedBefore = model.summary().completedWrites;
            for (ssize_t i = 1; i < n; ++i) {
                Clock::time_point arrival = readAt;
                if (options.pace) {
                    int baud = model.expectedBaud();
                    bool atExpected =
                        std::any_of(rates.begin(), rates.end(), [baud](const LineSetting& s) {
                            return s.unknown || s.baud == baud;
                        });
                    arrival =
                        std::max(rxFree, readAt) + byteTime(atExpected ? baud : rates.front().baud);
                    rxFree = arrival;
                }
                schedule(model.receive(buffer[i], rates, arrival), arrival);
            }
            afterModelCall(completedBefore);
        }
        // Everything sent before the last change has now been taken: from here
        // on the settings in force are the only candidates.
        std::lock_guard lock(mutex);
        if (ambiguous || settledLine != current) {
            lineChanges += ambiguous;
            settledLine = current;
            changed.notify_all();
        }
        ambiguous = false;
        candidates = {current};
        return true;
    }

    void dropLink() {
        ::close(master);
        master = -1;
        ::close(keptSlave);
        keptSlave = -1;
        unlinkDevice();
        dropped = true;
        std::lock_guard lock(mutex);
        model.noteLinkDropped();
        changed.notify_all();
    }

    // Sends what is due; returns when the head of the queue must wait.
    std::optional<Clock::time_point> sendDue() {
        while (!outgoing.empty()) {
            Scheduled& head = outgoing.front();
            const Clock::time_point now = Clock::now();
            if (!head.writeAt) {
                head.headSince = now;
                Clock::time_point start = std::max(head.due, head.dropLink ? head.due : txFree);
                head.writeAt =
                    options.pace && !head.dropLink ? start + byteTime(current.baud) : start;
                if (options.pace && !head.dropLink) {
                    txFree = *head.writeAt;
                }
            }
            if (now < *head.writeAt) {
                if (*head.writeAt - now > spinWindow) {
                    return *head.writeAt - spinWindow;
                }
                // The last stretch is waited out awake: waking from a timed
                // wait is often late by a few hundred microseconds, about a byte time at 38400.
                while (Clock::now() < *head.writeAt) {
                }
            }
            if (head.dropLink) {
                outgoing.clear();
                dropLink();
                return std::nullopt;
            }
            if (head.afterHostDrained && now - head.headSince < drainLimit) {
                // Polling the slave first pushes through what is still on its
                // way to it, so no input means the host has taken everything.
                pollfd slave{keptSlave, POLLIN, 0};
                if (::poll(&slave, 1, 0) > 0 && (slave.revents & POLLIN)) {
                    head.drainedSince.reset();
                    return now + drainCheck;
                }
                if (!head.drainedSince) {
                    head.drainedSince = now;
                }
                if (now - *head.drainedSince < hostReadSettle) {
                    return *head.drainedSince + hostReadSettle;
                }
            }
            ssize_t n = ::write(master, &head.byte, 1);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                return now + std::chrono::milliseconds(1);
            }
            if (n == 1) {
                std::lock_guard lock(mutex);
                model.noteBytesSent(1);
            }
            outgoing.pop_front();
        }
        return std::nullopt;
    }

    void run() {
        // Paced answers are timed to the microsecond; the default 50 us slack
        // of timed waits would cost a fast line about 1 % of its rate.
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
        // Where allowed, the line is served ahead of ordinary work: a paced
        // line so that a busy machine does not stretch its timing, any line
        // because the rate a byte came at is the one set when it is read: a
        // host that gives its bytes their line time before it changes the
        // rate (the trigger word, 29 ms at 2400) must find them read by then.
        // The thread sleeps between bytes and spins at most spinWindow.
        sched_param priority{};
        priority.sched_priority = 1;
        ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &priority);
        current = readLine();
        candidates = {current};
        for (;;) {
            std::optional<Clock::time_point> wake = sendDue();
            if (dropped) {
                return;
            }
            {
                std::lock_guard lock(mutex);
                auto expiry = model.expiryDeadline();
                if (expiry && (!wake || *expiry < *wake)) {
                    wake = expiry;
                }
            }
            pollfd fds[2] = {{master, POLLIN, 0}, {wakeRead, POLLIN, 0}};
            timespec timeout{};
            timespec* timeoutPointer = nullptr;
            if (wake) {
                auto left = std::max(Clock::duration::zero(), *wake - Clock::now());
                auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
                timeout.tv_sec = ns / 1'000'000'000;
                timeout.tv_nsec = ns % 1'000'000'000;
                timeoutPointer = &timeout;
            }
            int ready = ::ppoll(fds, 2, timeoutPointer, nullptr);
            if (ready < 0 && errno != EINTR) {
                return;
            }
            if (fds[1].revents) {
                return;
            }
            if (fds[0].revents & (POLLIN | POLLPRI)) {
                if (!readAll()) {
                    return;
                }
            }
            std::lock_guard lock(mutex);
            const int completedBefore = model.summary().completedWrites;
            schedule(model.expire(Clock::now()), Clock::now());
            afterModelCall(completedBefore);
        }
    }

    void unlinkDevice() {
        if (linked) {
            ::unlink(options.linkPath.c_str());
            linked = false;
        }
    }

    void closeAll() {
        for (int* fd : {&master, &keptSlave, &wakeRead, &wakeWrite}) {
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
        }
        unlinkDevice();
    }
};

SimulatedBoard::SimulatedBoard(BoardOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

SimulatedBoard::~SimulatedBoard() {
    stop();
}

bool SimulatedBoard::start() {
    Impl& d = *impl_;
    if (d.started) {
        return true;
    }
    d.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (d.master < 0) {
        return d.fail("posix_openpt");
    }
    char name[128];
    if (::grantpt(d.master) != 0 || ::unlockpt(d.master) != 0 ||
        ::ptsname_r(d.master, name, sizeof name) != 0) {
        d.fail("pseudo-terminal set-up");
        d.closeAll();
        return false;
    }
    d.terminal = name;
    // Kept open for the board's whole life: without an open slave the master
    // reads fail, and until it is raw the slave would echo the host's bytes.
    d.keptSlave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    if (d.keptSlave < 0 || ::tcgetattr(d.keptSlave, &t) != 0) {
        d.fail("open " + d.terminal);
        d.closeAll();
        return false;
    }
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    // With EXTPROC, every change of the line settings is reported to the master.
    t.c_lflag |= EXTPROC;
    int on = 1;
    if (::tcsetattr(d.keptSlave, TCSANOW, &t) != 0 || ::ioctl(d.master, TIOCPKT, &on) != 0) {
        d.fail("line settings of " + d.terminal);
        d.closeAll();
        return false;
    }
    std::uint8_t discard[64];
    while (::read(d.master, discard, sizeof discard) > 0) {
    }
    if (!d.options.strayBytes.empty() &&
        ::write(d.master, d.options.strayBytes.data(), d.options.strayBytes.size()) !=
            static_cast<ssize_t>(d.options.strayBytes.size())) {
        d.fail("stray bytes on " + d.terminal);
        d.closeAll();
        return false;
    }
    if (!d.options.linkPath.empty()) {
        struct stat st {};
        if (::lstat(d.options.linkPath.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                errno = EEXIST;
                d.fail("link " + d.options.linkPath);
                d.closeAll();
                return false;
            }
            ::unlink(d.options.linkPath.c_str());
        }
        if (::symlink(name, d.options.linkPath.c_str()) != 0) {
            d.fail("link " + d.options.linkPath);
            d.closeAll();
            return false;
        }
        d.linked = true;
    }
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        d.fail("pipe");
        d.closeAll();
        return false;
    }
    d.wakeRead = wake[0];
    d.wakeWrite = wake[1];
    d.started = true;
    d.thread = std::thread([&d] { d.run(); });
    return true;
}

void SimulatedBoard::stop() {
    Impl& d = *impl_;
    if (!d.started) {
        return;
    }
    if (d.wakeWrite >= 0) {
        const char byte = 1;
        [[maybe_unused]] ssize_t n = ::write(d.wakeWrite, &byte, 1);
    }
    if (d.thread.joinable()) {
        d.thread.join();
    }
    d.closeAll();
    d.started = false;
    std::lock_guard lock(d.mutex);
    d.changed.notify_all();
}

std::string SimulatedBoard::devicePath() const {
    return impl_->options.linkPath.empty() ? impl_->terminal : impl_->options.linkPath;
}

std::string SimulatedBoard::terminalPath() const {
    return impl_->terminal;
}

std::string SimulatedBoard::lastError() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->error;
}

std::vector<std::uint8_t> SimulatedBoard::flash() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->model.flash();
}

BoardSummary SimulatedBoard::summary() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->model.summary();
}

bool SimulatedBoard::waitFor(const std::function<bool(const BoardSummary&)>& condition,
                             std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, timeout,
                                   [&] { return condition(impl_->model.summary()); });
}

bool SimulatedBoard::waitForCompletedWrites(int count, std::chrono::milliseconds timeout) const {
    return waitFor([count](const BoardSummary& s) { return s.completedWrites >= count; }, timeout);
}

bool SimulatedBoard::waitForEndedWrites(int count, std::chrono::milliseconds timeout) const {
    return waitFor(
        [count](const BoardSummary& s) { return s.completedWrites + s.failedWrites >= count; },
        timeout);
}

int SimulatedBoard::lineChanges() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->lineChanges;
}

bool SimulatedBoard::waitForLineBaud(int baud, int changesBefore,
                                     std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, timeout, [&] {
        return impl_->lineChanges > changesBefore && impl_->settledLine &&
               impl_->settledLine->baud == baud;
    });
}

int SimulatedBoard::settledBaud() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->settledLine ? impl_->settledLine->baud : 0;
}

bool SimulatedBoard::linkDropped() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->model.summary().linkDropped;
}

} // namespace velmora
