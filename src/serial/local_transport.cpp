#include "serial/local_transport.h"

#include "core/flags.h"
#include "serial/native_serial.h"

#include <algorithm>
#include <array>
#include <asio/io_context.hpp>
#include <asio/serial_port.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <grp.h>
#include <sys/stat.h>
#endif

namespace velmora {
namespace {

using namespace std::chrono_literals;

// Bytes read from the driver in one go while waiting for input. A read is
// started only once everything held is taken, so no more than this is ever
// held here; beyond it the driver's own queue fills and the line's flow
// stops there.
constexpr std::size_t readChunk = 4096;
// The longest a wait runs before it looks whether the run was asked to stop.
constexpr auto stopCheck = 100ms;
// What a close or a rate change allows beyond the line time of what is queued.
constexpr auto drainSlack = 100ms;
// Waits at least this long are left to the io_context's own timed wait.
constexpr auto coarseWait = 2ms;
// Bytes an adapter may hold beyond the driver's queue (USB-serial chips keep
// a few hundred); a far end that has stopped reading is not waited for longer.
constexpr std::size_t adapterBuffer = 1024;

// What the operator is told to do about a device they may not open.
std::string permissionHint(const std::string& device) {
#if !defined(_WIN32)
    struct stat file {};
    if (::stat(device.c_str(), &file) == 0) {
        if (const group* owner = ::getgrgid(file.st_gid); owner != nullptr) {
            return " (the user must be in the device's group, " + std::string(owner->gr_name) + ")";
        }
    }
#else
    (void)device;
#endif
    return " (the user must be in the device's group, e.g. dialout)";
}

asio::serial_port_base::parity::type parityOf(char letter) {
    switch (letter) {
    case 'e':
        return asio::serial_port_base::parity::even;
    case 'o':
        return asio::serial_port_base::parity::odd;
    default:
        return asio::serial_port_base::parity::none;
    }
}

asio::serial_port_base::stop_bits::type stopBitsOf(int tenths) {
    return tenths == 20   ? asio::serial_port_base::stop_bits::two
           : tenths == 15 ? asio::serial_port_base::stop_bits::onepointfive
                          : asio::serial_port_base::stop_bits::one;
}

// Windows: a pending overlapped read takes the bytes as they arrive, so a
// second read beside it could wait for bytes the first one took. POSIX: a
// pending read takes nothing until the io_context runs it.
#ifdef _WIN32
constexpr bool pendingReadTakesArrivals = true;
#else
constexpr bool pendingReadTakesArrivals = false;
#endif

// A serial device of this machine, driven through Asio's serial port with an
// io_context of its own that runs only inside the calls, up to their deadlines.
class LocalSerialTransport final : public Transport {
public:
    explicit LocalSerialTransport(std::string name) : name_(std::move(name)) {}
    ~LocalSerialTransport() override { close(); }

    const std::string& name() const override { return name_; }
    bool isOpen() const override { return port_.is_open(); }
    const LineSettings& settings() const override { return settings_; }

    Status open(const LineSettings& settings) override {
        if (isOpen()) {
            return Status::refused(name_ + " is open already");
        }
        std::error_code error;
        port_.open(name_, error);
        if (error) {
            if (native::meansBusy(error)) {
                return Status::refused(native::inUseReason(name_));
            }
            std::string reason = "Cannot open " + name_ + ": " + error.message();
            if (error.value() == EACCES) {
                reason += permissionHint(name_);
            }
            return Status::refused(reason);
        }
        const native::Handle handle = port_.native_handle();
        Status status = native::takeExclusive(handle, name_);
        if (status.ok()) {
            status = native::makeRaw(handle, name_);
        }
        if (status.ok()) {
            status = apply(settings);
        }
        if (status.ok()) {
            native::preferLowLatency(handle);
            // Settings are in force first; whatever arrived before is no answer to us.
            status = native::discardInput(handle, name_);
        }
        if (!status.ok()) {
            drop();
            if (status.reason.find("in use by another program") == std::string::npos &&
                status.reason.rfind("Cannot open", 0) != 0) {
                status.reason = "Cannot open " + status.reason;
            }
            return status;
        }
        settings_ = settings;
        lineClear_ = TransportClock::now();
        goneReason_.clear();
        return Status::done();
    }

    Status configure(const LineSettings& settings) override {
        if (!isOpen()) {
            return closedRefusal();
        }
        if (settings == settings_) {
            return Status::done();
        }
        // Bytes still on their way leave at the rate they were sent with.
        Status drained = drain(drainDeadline());
        if (drained.outcome == Outcome::Gone || drained.outcome == Outcome::Refused) {
            return drained;
        }
        Status status = apply(settings);
        if (!status.ok()) {
            apply(settings_);
            return status;
        }
        settings_ = settings;
        return Status::done();
    }

    Status send(const std::uint8_t* bytes, std::size_t count, Deadline deadline) override {
        if (!isOpen()) {
            return closedRefusal();
        }
        if (count == 0) {
            return Status::done();
        }
        bool finished = false;
        std::error_code failure;
        std::size_t written = 0;
        asio::async_write(port_, asio::buffer(bytes, count),
                          [&](const std::error_code& error, std::size_t n) {
                              finished = true;
                              failure = error;
                              written = n;
                          });
        finishBy(deadline, finished);
        noteHandedToLine(written);
        if (failure && failure != asio::error::operation_aborted) {
            return failed(failure);
        }
        if (written < count) {
            return Status::timedOut(name_ + ": the line took " + std::to_string(written) + " of " +
                                    std::to_string(count) + " bytes in time");
        }
        return Status::done();
    }

    Status waitForInput(Deadline deadline) override {
        if (!isOpen()) {
            return closedRefusal();
        }
        if (held() > 0) {
            return Status::done();
        }
        // One read stays pending from one wait to the next, so a wait costs no
        // more than the io_context's own wake-up.
        do {
            if (!readPending_) {
                if (native::queuedInput(port_.native_handle()) > 0) {
                    return Status::done();
                }
                startRead();
            }
            runUntil(deadline, readPending_, false);
            if (readFailure_) {
                return failed(readFailure_);
            }
            if (held() > 0) {
                return Status::done();
            }
            // A read the driver ended empty on its own time-out: wait on.
        } while (!readPending_ && TransportClock::now() < deadline);
        return Status::timedOut(name_ + ": no input in time");
    }

    std::size_t available() override {
        if (!isOpen()) {
            return 0;
        }
        return held() + native::queuedInput(port_.native_handle());
    }

    Status take(std::uint8_t* buffer, std::size_t limit, std::size_t& taken) override {
        taken = 0;
        if (!isOpen()) {
            return closedRefusal();
        }
        if (pendingReadTakesArrivals && readPending_) {
            io_.restart();
            io_.poll(); // collects the pending read's end, if it came
        }
        const bool readBeside = !(pendingReadTakesArrivals && readPending_);
        const std::size_t fromHeld = std::min(limit, held());
        std::copy_n(received_.begin() + static_cast<std::ptrdiff_t>(start_), fromHeld, buffer);
        start_ += fromHeld;
        taken = fromHeld;
        if (start_ == received_.size()) {
            received_.clear();
            start_ = 0;
        }
        const std::size_t queued =
            taken == limit || !readBeside
                ? 0
                : std::min(limit - taken, native::queuedInput(port_.native_handle()));
        if (queued > 0) {
            // Only what the driver holds is asked for, so the read returns at once.
            std::error_code error;
            taken += port_.read_some(asio::buffer(buffer + taken, queued), error);
            if (error && error != asio::error::would_block && error != asio::error::try_again &&
                !native::meansNoInputYet(error)) {
                return failed(error);
            }
        }
        return Status::done();
    }

    Status drain(Deadline deadline) override {
        if (!isOpen()) {
            return closedRefusal();
        }
        // The driver's queue tells what it still holds; the line time of what was
        // handed over tells when an adapter's own buffer (or a pseudo-terminal's
        // far end, which reads at once) has had it all.
        while (true) {
            const auto now = TransportClock::now();
            const std::size_t queued = native::queuedOutput(port_.native_handle());
            if (queued == 0 && now >= lineClear_) {
                return Status::done();
            }
            if (now >= deadline || stopRequested()) {
                return Status::timedOut(name_ + ": " + std::to_string(queued) +
                                        " bytes still queued for the line");
            }
            auto wait = queued > 0 ? std::chrono::duration_cast<TransportClock::duration>(
                                         lineTime(queued, settings_))
                                   : lineClear_ - now;
            wait = std::clamp<TransportClock::duration>(wait, 100us, deadline - now);
            wait = std::min<TransportClock::duration>(wait, stopCheck);
            std::this_thread::sleep_for(wait);
        }
    }

    Status discardInput() override {
        if (!isOpen()) {
            return closedRefusal();
        }
        received_.clear();
        start_ = 0;
        return native::discardInput(port_.native_handle(), name_);
    }

    Status setModemLine(ModemLine line, bool raised) override {
        if (!isOpen()) {
            return closedRefusal();
        }
        return native::setModemLine(port_.native_handle(), line, raised, name_);
    }

    void close() override {
        if (!isOpen()) {
            return;
        }
        drain(drainDeadline());
        drop();
    }

private:
    std::size_t held() const { return received_.size() - start_; }

    // A device that went away keeps saying why until it is opened again.
    Status closedRefusal() const {
        return Status::refused(goneReason_.empty() ? name_ + " is not open" : goneReason_);
    }

    // Bounded by the line time of what is queued, or still travelling.
    Deadline drainDeadline() {
        const auto now = TransportClock::now();
        const auto queued = lineTime(native::queuedOutput(port_.native_handle()), settings_);
        return std::max(now + queued, lineClear_) + drainSlack;
    }

    void noteHandedToLine(std::size_t count) {
        const auto now = TransportClock::now();
        lineClear_ = std::max(lineClear_, now) + lineTime(count, settings_);
        if (lineClear_ - now > lineTime(adapterBuffer, settings_)) {
            // More than an adapter holds: only what the driver still has is
            // yet to cross the line.
            lineClear_ =
                std::min(lineClear_,
                         now + lineTime(native::queuedOutput(port_.native_handle()) + adapterBuffer,
                                        settings_));
        }
    }

    Status apply(const LineSettings& settings) {
        using Base = asio::serial_port_base;
        if (settings.parity == 'm' || settings.parity == 's') {
            return Status::refused(name_ + ": mark and space parity are not supported");
        }
        std::error_code error;
        port_.set_option(Base::baud_rate(static_cast<unsigned>(settings.baud)), error);
        if (!error) {
            port_.set_option(Base::character_size(static_cast<unsigned>(settings.dataBits)), error);
        }
        if (!error) {
            port_.set_option(Base::parity(parityOf(settings.parity)), error);
        }
        if (!error) {
            port_.set_option(Base::stop_bits(stopBitsOf(settings.stopBitsTenths)), error);
        }
        if (!error) {
            port_.set_option(Base::flow_control(Base::flow_control::none), error);
        }
        if (error) {
            return Status::refused(name_ + ": " + formatLineSettings(settings) + ": " +
                                   error.message());
        }
        return Status::done();
    }

    // Runs the io_context until `flag` equals `until` or the deadline has
    // passed. The deadline is a timer of its own: the io_context's own waits
    // round up to whole milliseconds.
    void runUntil(Deadline deadline, const bool& flag, bool until) {
        io_.restart();
        io_.poll();
        if (flag != until && deadline - TransportClock::now() >= coarseWait) {
            // Long enough for the io_context's own wait, which ends up to a
            // millisecond late at most and saves arming a timer.
            // In slices, so a request to stop is seen.
            while (flag != until && !stopRequested()) {
                const auto now = TransportClock::now();
                if (now >= deadline ||
                    (io_.run_one_until(std::min(deadline, now + stopCheck)) == 0 &&
                     io_.stopped())) {
                    break;
                }
            }
        }
        if (flag != until && TransportClock::now() < deadline && !stopRequested()) {
            bool expired = false;
            timer_.expires_at(deadline);
            timer_.async_wait([&expired](const std::error_code&) { expired = true; });
            while (flag != until && !expired && io_.run_one() > 0) {
            }
            timer_.cancel();
            while (!expired && io_.run_one() > 0) {
            }
        }
    }

    // Runs an operation to its end by the deadline; past it the operation is
    // cancelled and its handler run, so nothing is left pending on buffers of
    // the caller.
    void finishBy(Deadline deadline, const bool& finished) {
        runUntil(deadline, finished, true);
        if (!finished) {
            std::error_code ignored;
            port_.cancel(ignored); // the pending read is started again when needed
            io_.restart();
            while (!finished && io_.run_one() > 0) {
            }
            io_.poll();
        }
    }

    void startRead() {
        readPending_ = true;
        port_.async_read_some(
            asio::buffer(chunk_), [this](const std::error_code& error, std::size_t n) {
                readPending_ = false;
                received_.insert(received_.end(), chunk_.begin(), chunk_.begin() + n);
                if (error && error != asio::error::operation_aborted && n == 0 &&
                    !native::meansNoInputYet(error)) {
                    readFailure_ = error;
                }
            });
    }

    // A failed call: a device that went away is closed at once.
    Status failed(std::error_code error) { // a copy: drop() clears readFailure_
        if (native::meansGone(error) || error == asio::error::eof) {
            drop();
            goneReason_ = name_ + ": " +
                          (error == asio::error::eof ? std::string("the device went away")
                                                     : error.message() + " (the device went away)");
            return Status::gone(goneReason_);
        }
        return Status::refused(name_ + ": " + error.message());
    }

    // Lets the device go without draining.
    void drop() {
        if (port_.is_open()) {
            native::releaseExclusive(port_.native_handle());
            std::error_code ignored;
            port_.close(ignored);
        }
        // The pending read ends aborted; its handler runs now, not at the next open.
        io_.restart();
        io_.poll();
        readPending_ = false;
        readFailure_ = {};
        received_.clear();
        start_ = 0;
    }

    std::string name_;
    LineSettings settings_;
    asio::io_context io_{1};
    asio::serial_port port_{io_};
    asio::steady_timer timer_{io_};
    std::array<std::uint8_t, readChunk> chunk_{};
    // Received and not taken yet: received_[start_..].
    std::vector<std::uint8_t> received_;
    std::size_t start_ = 0;
    bool readPending_ = false;
    std::string goneReason_;
    // What ended the last read, when it was not a cancel: the device went away.
    std::error_code readFailure_;
    // When the bytes handed to the line so far have left it, by their line time.
    TransportClock::time_point lineClear_{};
};

} // namespace

std::unique_ptr<Transport> makeLocalSerialTransport(const std::string& name) {
    return std::make_unique<LocalSerialTransport>(name);
}

} // namespace velmora
