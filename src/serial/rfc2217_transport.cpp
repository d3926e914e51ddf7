#include "core/flags.h"
#include "serial/network_transport.h"
#include "serial/telnet_stream.h"

#include <algorithm>
#include <array>
#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <deque>
#include <functional>
#include <map>
#include <thread>

#ifdef __linux__
#include <netinet/tcp.h> // TCP_QUICKACK, the keep-alive timings, TCP_USER_TIMEOUT
#endif

namespace velmora {
namespace {

constexpr std::string_view scheme = "rfc2217://";

using std::chrono::microseconds;
using namespace std::chrono_literals;

// Received data held and not yet taken. Beyond it nothing more is read: the
// socket's buffers fill and TCP holds the server back. Every answer a board
// owes is a byte or two; a port that sends this much unasked is flooding.
constexpr std::size_t inboxLimit = 32 * 1024;
// The longest a wait runs before it looks whether the run was asked to stop.
constexpr auto stopCheck = 100ms;

std::uint8_t parityCode(char parity) {
    switch (parity) {
    case 'o':
        return 2;
    case 'e':
        return 3;
    case 'm':
        return 4;
    case 's':
        return 5;
    default:
        return 1;
    }
}

std::uint8_t stopSizeCode(int stopBitsTenths) {
    return stopBitsTenths == 20 ? 2 : stopBitsTenths == 15 ? 3 : 1;
}

std::vector<std::uint8_t> bigEndian32(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

class Rfc2217Transport final : public Transport, private telnet::Sink {
public:
    Rfc2217Transport(std::string name, NetworkTimings timings)
        : name_(std::move(name)), timings_(timings), address_(parseNetworkPortName(name_)) {}

    ~Rfc2217Transport() override { close(); }

    const std::string& name() const override { return name_; }
    bool isOpen() const override { return open_; }
    const LineSettings& settings() const override { return settings_; }

    Status open(const LineSettings& settings) override {
        if (open_) {
            return Status::refused(name_ + ": already open");
        }
        if (!address_) {
            return Status::refused(name_ + ": not a network port (rfc2217://host:port)");
        }
        Status status = connect();
        if (status.ok()) {
            status = negotiate();
        }
        if (status.ok()) {
            status = command(telnet::com::SET_CONTROL, {telnet::com::NO_FLOW_CONTROL});
        }
        if (status.ok()) {
            status = applySettings(settings, true);
        }
        if (status.ok()) {
            // The server starts taking input from its device a few
            // milliseconds after the connection, and a purge before that
            // does not reach what the device holds: wait that out first.
            status = pumpUntil(connectedAt_ + timings_.settle, [] { return false; });
            if (status.outcome == Outcome::TimedOut) {
                status = Status::done();
            }
        }
        if (status.ok()) {
            open_ = true;
            status = discardInput();
        }
        if (!status.ok()) {
            shutDown();
            return status.outcome == Outcome::Gone ? Status::refused(status.reason) : status;
        }
        return status;
    }

    Status configure(const LineSettings& settings) override {
        if (Status usable = checkUsable(); !usable.ok()) {
            return usable;
        }
        // Bytes already sent leave the far port at the rate they were sent at.
        if (Status drained = drain(TransportClock::now() + pendingWireTime() + timings_.reply);
            !drained.ok()) {
            return drained;
        }
        return applySettings(settings, false);
    }

    Status send(const std::uint8_t* bytes, std::size_t count, Deadline deadline) override {
        if (Status usable = checkUsable(); !usable.ok()) {
            return usable;
        }
        // The server may ask us to hold output while its line is busy.
        if (Status resumed = pumpUntil(deadline, [this] { return !suspended_; }); !resumed.ok()) {
            return resumed;
        }
        std::vector<std::uint8_t> wire = std::move(owed_);
        owed_.clear();
        const std::size_t owedCount = wire.size();
        telnet::appendEscaped(wire, bytes, count);

        const auto now = TransportClock::now();
        outputEnd_ = std::max(outputEnd_, now) + lineTime(count, settings_);
        undrained_ = true;

        std::size_t written = 0;
        Status status = writeAll(wire.data(), wire.size(), deadline, written);
        if (status.outcome == Outcome::TimedOut && written > owedCount) {
            // A doubled 0xFF cut in half would turn the next byte into a
            // command; its second half goes out first next time.
            std::size_t i = owedCount;
            while (i < written) {
                i += wire[i] == telnet::IAC ? 2 : 1;
            }
            if (i > written) {
                owed_.push_back(telnet::IAC);
            }
        }
        return status;
    }

    // A board may stay silent for long, but a server that stops answering
    // (hung, stopped) keeps its connection up and would only be found at the
    // board's own time-out. After the reply time without a byte from the
    // server, it is asked for its rate, which it answers at once; no answer
    // in the reply time means it is gone.
    Status waitForInput(Deadline deadline) override {
        if (open_ && !inbox_.empty()) {
            return Status::done();
        }
        if (Status usable = checkUsable(); !usable.ok()) {
            return usable;
        }
        const auto probeAnswered = [this] {
            return probeSent_ && answered(telnet::com::SET_BAUDRATE);
        };
        while (true) {
            if (probeAnswered()) {
                probeSent_.reset();
            }
            const auto now = TransportClock::now();
            if (!probeSent_ && now - lastHeard_ >= timings_.reply) {
                queueCommand(telnet::com::SET_BAUDRATE, bigEndian32(0));
                probeSent_ = now;
            }
            const Deadline check = (probeSent_ ? *probeSent_ : lastHeard_) + timings_.reply;
            Status status = pumpUntil(std::min(deadline, check),
                                      [&] { return !inbox_.empty() || probeAnswered(); });
            if (!inbox_.empty()) {
                return Status::done();
            }
            if (stopRequested()) {
                return Status::timedOut(name_ + ": stopped"); // an empty wait; the run ends
            }
            if (!status.ok() && status.outcome != Outcome::TimedOut) {
                return status;
            }
            if (probeSent_ && !probeAnswered() && TransportClock::now() >= check) {
                return loseSilently(name_ + ": the server does not answer");
            }
            if (TransportClock::now() >= deadline) {
                return Status::timedOut(name_ + ": timed out");
            }
        }
    }

    std::size_t available() override {
        if (!open_) {
            return 0;
        }
        pollReady();
        return inbox_.size();
    }

    Status take(std::uint8_t* buffer, std::size_t limit, std::size_t& taken) override {
        taken = 0;
        if (!open_) {
            return Status::refused(name_ + ": not open");
        }
        pollReady();
        if (inbox_.empty() && lost_) {
            return reportLost();
        }
        taken = std::min(limit, inbox_.size());
        std::copy_n(inbox_.begin(), taken, buffer);
        inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<std::ptrdiff_t>(taken));
        return Status::done();
    }

    // The protocol has no drain, so the far port's progress is modelled: every
    // send starts when the one before has left the line (or now, if later)
    // and lasts the line time of its bytes at the settings in force when it
    // was sent. A round trip to the server first proves it has taken every
    // byte; its duration is added to the modelled end, a bound for the time
    // the bytes spent on the network before the far port began to send them.
    Status drain(Deadline deadline) override {
        if (Status usable = checkUsable(); !usable.ok()) {
            return usable;
        }
        if (!undrained_) {
            return Status::done();
        }
        const auto asked = TransportClock::now();
        if (Status answered = roundTrip(deadline); !answered.ok()) {
            return answered;
        }
        const auto leftLine = outputEnd_ + (TransportClock::now() - asked);
        Status waited = pumpUntil(std::min(leftLine, deadline), [] { return false; });
        if (waited.outcome != Outcome::TimedOut) {
            return waited;
        }
        if (leftLine > deadline) {
            return Status::timedOut(name_ + ": output still leaving the line");
        }
        undrained_ = false;
        return Status::done();
    }

    // The server drops what it holds from the line, and so do we. The server
    // may still send bytes it had read before the purge after its answer to
    // it, so everything up to the answer of a query sent behind the purge is
    // dropped as well; nothing after that predates this call.
    Status discardInput() override {
        if (Status usable = checkUsable(); !usable.ok()) {
            return usable;
        }
        inbox_.clear();
        discarding_ = true;
        queueCommand(telnet::com::PURGE_DATA, {telnet::com::PURGE_RECEIVED});
        Status status = roundTrip(TransportClock::now() + timings_.reply);
        discarding_ = false;
        if (status.ok() && !answered(telnet::com::PURGE_DATA)) {
            return Status::refused(name_ + ": the server does not discard its input");
        }
        return status;
    }

    Status setModemLine(ModemLine line, bool raised) override {
        if (Status usable = checkUsable(); !usable.ok()) {
            return usable;
        }
        using namespace telnet::com;
        const std::uint8_t value = line == ModemLine::DataTerminalReady
                                       ? (raised ? DTR_ON : DTR_OFF)
                                       : (raised ? RTS_ON : RTS_OFF);
        // A server whose port has no modem lines (a pseudo-terminal) does not
        // answer; the query behind the command shows it has been dealt with.
        queueControl(telnet::subnegotiation(telnet::COM_PORT, SET_CONTROL, {value}));
        return roundTrip(TransportClock::now() + timings_.reply);
    }

    void close() override {
        if (!socket_.is_open()) {
            return;
        }
        if (open_ && !lost_) {
            drain(TransportClock::now() + pendingWireTime() + timings_.reply);
        }
        shutDown();
    }

private:
    // --- connection -----------------------------------------------------

    Status connect() {
        // The system resolver bounds the look-up by its own time-outs.
        asio::ip::tcp::resolver resolver(io_);
        std::error_code error;
        auto endpoints = resolver.resolve(address_->host, address_->port, error);
        if (error) {
            return Status::refused(name_ + ": " + error.message());
        }
        bool finished = false;
        asio::async_connect(socket_, endpoints,
                            [&](const std::error_code& result, const asio::ip::tcp::endpoint&) {
                                finished = true;
                                error = result;
                            });
        runUntil(TransportClock::now() + timings_.connect, [&] { return finished; });
        if (!finished) {
            socket_.close();
            settle([&] { return finished; });
            return Status::refused(name_ + (stopRequested() ? ": stopped while connecting"
                                                            : ": no answer from the server"));
        }
        if (error) {
            socket_.close();
            return Status::refused(name_ + ": " + error.message());
        }
        // Small messages (a trigger word, an acknowledgement) go out at once.
        connectedAt_ = TransportClock::now();
        lastHeard_ = connectedAt_;
        probeSent_.reset();
        socket_.set_option(asio::ip::tcp::no_delay(true), error);
        acknowledgeAtOnce();
        noticeVanishedHost();
        lost_ = false;
        lostReason_.clear();
        reader_.reset();
        inbox_.clear();
        owed_.clear();
        control_.clear();
        options_.reset();
        replies_.clear();
        suspended_ = false;
        discarding_ = false;
        undrained_ = false;
        outputEnd_ = {};
        return Status::done();
    }

    // Binary both ways (images are raw bytes; without it CR would be
    // stuffed), go-ahead suppressed, and the port control option on our side.
    Status negotiate() {
        ask(telnet::WILL, telnet::COM_PORT);
        ask(telnet::WILL, telnet::BINARY);
        ask(telnet::DO, telnet::BINARY);
        ask(telnet::WILL, telnet::SUPPRESS_GO_AHEAD);
        ask(telnet::DO, telnet::SUPPRESS_GO_AHEAD);
        Status status = pumpUntil(TransportClock::now() + timings_.reply, [this] {
            return options_.settled(telnet::COM_PORT, true) &&
                   options_.settled(telnet::BINARY, true) &&
                   options_.settled(telnet::BINARY, false);
        });
        if (status.outcome == Outcome::TimedOut) {
            return Status::gone(name_ + ": the server does not answer");
        }
        if (!status.ok()) {
            return status;
        }
        if (!options_.enabled(telnet::COM_PORT, true)) {
            return Status::refused(name_ +
                                   ": the server does not control the serial port (RFC 2217)");
        }
        if (!options_.enabled(telnet::BINARY, true) || !options_.enabled(telnet::BINARY, false)) {
            return Status::refused(name_ + ": the server does not pass binary data");
        }
        return Status::done();
    }

    void ask(std::uint8_t verb, std::uint8_t option) { queueControl(options_.ask(verb, option)); }

    // Puts the line settings in force at the far port, each confirmed by the
    // server before this returns: the four requests go out together and every
    // answer must name the value asked for.
    Status applySettings(const LineSettings& wanted, bool all) {
        using namespace telnet::com;
        std::vector<std::pair<std::uint8_t, std::vector<std::uint8_t>>> requests;
        if (all || wanted.baud != settings_.baud) {
            requests.push_back(
                {SET_BAUDRATE, bigEndian32(static_cast<std::uint32_t>(wanted.baud))});
        }
        if (all || wanted.dataBits != settings_.dataBits) {
            requests.push_back({SET_DATASIZE, {static_cast<std::uint8_t>(wanted.dataBits)}});
        }
        if (all || wanted.parity != settings_.parity) {
            requests.push_back({SET_PARITY, {parityCode(wanted.parity)}});
        }
        if (all || wanted.stopBitsTenths != settings_.stopBitsTenths) {
            requests.push_back({SET_STOPSIZE, {stopSizeCode(wanted.stopBitsTenths)}});
        }
        for (const auto& [code, payload] : requests) {
            queueCommand(code, payload);
        }
        Status status = pumpUntil(TransportClock::now() + timings_.reply, [&] {
            return std::all_of(requests.begin(), requests.end(),
                               [&](const auto& request) { return answered(request.first); });
        });
        if (status.outcome == Outcome::TimedOut) {
            return loseSilently(name_ + ": the server did not confirm the line settings " +
                                formatLineSettings(wanted));
        }
        if (!status.ok()) {
            return status;
        }
        for (const auto& [code, payload] : requests) {
            if (replies_[code].payload != payload) {
                return Status::refused(name_ + ": the server did not take the line settings " +
                                       formatLineSettings(wanted));
            }
        }
        settings_ = wanted;
        return Status::done();
    }

    // Sends one port control command and waits for the server's answer to it.
    Status command(std::uint8_t code, std::vector<std::uint8_t> payload) {
        return request(code, std::move(payload), TransportClock::now() + timings_.reply);
    }

    // Asks the server for its rate, which needs no change on the line: the
    // answer shows the server has dealt with everything sent before.
    Status roundTrip(Deadline deadline) {
        return request(telnet::com::SET_BAUDRATE, bigEndian32(0), deadline);
    }

    // Waits for the answer by the deadline; a server that has not answered
    // in the reply time is gone. An answer that comes after the caller's
    // deadline is counted when it comes, so it is never taken for the answer
    // to a later request.
    Status request(std::uint8_t code, std::vector<std::uint8_t> payload, Deadline deadline) {
        const Deadline patience = TransportClock::now() + timings_.reply;
        queueCommand(code, payload);
        Status status = pumpUntil(std::min(deadline, patience), [&] { return answered(code); });
        if (status.outcome == Outcome::TimedOut) {
            return deadline < patience ? status
                                       : loseSilently(name_ + ": the server does not answer");
        }
        return status;
    }

    // A port control command whose answer is awaited.
    void queueCommand(std::uint8_t code, const std::vector<std::uint8_t>& payload) {
        ++replies_[code].asked;
        queueControl(telnet::subnegotiation(telnet::COM_PORT, code, payload));
    }

    bool answered(std::uint8_t code) { return replies_[code].count >= replies_[code].asked; }

    // --- the I/O loop -----------------------------------------------------

    Status checkUsable() {
        if (!open_) {
            return Status::refused(name_ + ": not open");
        }
        if (lost_) {
            return reportLost();
        }
        return Status::done();
    }

    // The connection is lost: the transport closes and says why.
    Status reportLost() {
        std::string reason = lostReason_;
        shutDown();
        return Status::gone(reason);
    }

    // A server that owes an answer and stays silent is as good as gone.
    Status loseSilently(std::string reason) {
        lost_ = true;
        lostReason_ = std::move(reason);
        return reportLost();
    }

    // The server broke the protocol: the connection is given up at once.
    void loseTo(std::string reason) {
        if (!lost_) {
            lost_ = true;
            lostReason_ = std::move(reason);
        }
    }

    void lose(const std::error_code& error) {
        if (lost_) {
            return;
        }
        lost_ = true;
        lostReason_ =
            name_ + ": " +
            (error == asio::error::eof ? "the server closed the connection" : error.message());
        // A server that turns us away says why in a line of text before it
        // closes ("Port already in use"); those are its words for the reason.
        const std::string words = open_ ? std::string() : serverWords();
        if (!words.empty()) {
            lostReason_ = name_ + ": " + words;
        }
    }

    // The printable text the server sent, at most one short line.
    std::string serverWords() const {
        std::string words;
        for (std::uint8_t byte : inbox_) {
            if (byte == '\r' || byte == '\n') {
                if (!words.empty()) {
                    break;
                }
            } else if (byte >= 0x20 && byte < 0x7F && words.size() < 120) {
                words.push_back(static_cast<char>(byte));
            }
        }
        return words;
    }

    // Runs the connection until done() holds, the connection is lost or the
    // deadline passes; pending answers of ours go out on the way.
    Status pumpUntil(Deadline deadline, const std::function<bool()>& done) {
        while (true) {
            if (Status flushed = flushControl(); !flushed.ok()) {
                return flushed;
            }
            if (done()) {
                return Status::done();
            }
            if (lost_) {
                return reportLost();
            }
            if (TransportClock::now() >= deadline) {
                return Status::timedOut(name_ + ": timed out");
            }
            if (stopRequested()) {
                return Status::refused(name_ + ": stopped");
            }
            armRead();
            if (!reading_ && socket_.is_open()) {
                // The inbox is full: what is awaited is behind data nobody takes.
                const std::string limit = std::to_string(inboxLimit / 1024) + " KiB";
                return Status::refused(name_ + (open_ ? ": more than " + limit +
                                                            " came from the port and were not taken"
                                                      : ": the server sent more than " + limit +
                                                            " of data before the port was open"));
            }
            runUntil(deadline, [] { return true; });
        }
    }

    // Runs handlers until stop() holds after one of them, the deadline
    // passes or the run is asked to stop.
    void runUntil(Deadline deadline, const std::function<bool()>& stop) {
        while (TransportClock::now() < deadline && !stopRequested()) {
            if (io_.stopped()) {
                io_.restart();
            }
            const Deadline slice = std::min(deadline, TransportClock::now() + stopCheck);
            if (io_.run_one_until(slice) == 0 && io_.stopped()) {
                return; // nothing left to wait for
            }
            if (stop()) {
                return;
            }
        }
    }

    // Runs the handlers of cancelled operations until finished() holds; they
    // complete at once.
    void settle(const std::function<bool()>& finished) {
        while (!finished()) {
            if (io_.stopped()) {
                io_.restart();
            }
            if (io_.run_one() == 0) {
                return;
            }
        }
    }

    // Takes whatever has arrived, without waiting.
    void pollReady() {
        for (int round = 0; round < 4 && !lost_ && socket_.is_open(); ++round) {
            armRead();
            if (io_.stopped()) {
                io_.restart();
            }
            if (io_.poll() == 0) {
                break;
            }
        }
        flushControl();
    }

    void armRead() {
        if (reading_ || lost_ || !socket_.is_open() ||
            (inbox_.size() >= inboxLimit && !discarding_)) {
            return;
        }
        reading_ = true;
        socket_.async_read_some(asio::buffer(readBuffer_),
                                [this](const std::error_code& error, std::size_t count) {
                                    reading_ = false;
                                    if (!error) {
                                        lastHeard_ = TransportClock::now();
                                        acknowledgeAtOnce();
                                        reader_.feed(readBuffer_.data(), count, *this);
                                        if (reader_.malformed()) {
                                            loseTo(name_ + ": the server sent a malformed option");
                                        }
                                    } else if (error != asio::error::operation_aborted) {
                                        lose(error);
                                    }
                                });
    }

    // The server's answers are small segments; a server that does not turn
    // off Nagle's algorithm holds each one until the one before it is
    // acknowledged, which a delayed acknowledgement stretches to 40 ms. The
    // system falls back to delayed acknowledgements after a while, so this
    // is asked again after every read.
    void acknowledgeAtOnce() {
#ifdef TCP_QUICKACK
        std::error_code ignored;
        socket_.set_option(asio::detail::socket_option::boolean<IPPROTO_TCP, TCP_QUICKACK>(true),
                           ignored);
#endif
    }

    // A bench computer that loses power or its cable sends nothing more, not
    // even a reset: probes on an idle connection and a bound on unacknowledged
    // output make the system report it ("Connection timed out") within
    // seconds, well before a silent board's time-out.
    void noticeVanishedHost() {
        std::error_code ignored;
        socket_.set_option(asio::socket_base::keep_alive(true), ignored);
#ifdef __linux__
        socket_.set_option(asio::detail::socket_option::integer<IPPROTO_TCP, TCP_KEEPIDLE>(2),
                           ignored);
        socket_.set_option(asio::detail::socket_option::integer<IPPROTO_TCP, TCP_KEEPINTVL>(1),
                           ignored);
        socket_.set_option(asio::detail::socket_option::integer<IPPROTO_TCP, TCP_KEEPCNT>(3),
                           ignored);
        socket_.set_option(
            asio::detail::socket_option::integer<IPPROTO_TCP, TCP_USER_TIMEOUT>(5000), ignored);
#endif
    }

    // Writes every byte by the deadline. On time-out the bytes not written
    // are dropped; written says how many went.
    Status writeAll(const std::uint8_t* bytes, std::size_t count, Deadline deadline,
                    std::size_t& written) {
        written = 0;
        while (written < count) {
            if (lost_) {
                return reportLost();
            }
            bool finished = false;
            std::size_t wrote = 0;
            std::error_code error;
            socket_.async_write_some(asio::buffer(bytes + written, count - written),
                                     [&](const std::error_code& result, std::size_t n) {
                                         finished = true;
                                         wrote = n;
                                         error = result;
                                     });
            runUntil(deadline, [&] { return finished; });
            if (!finished) {
                socket_.cancel(); // the read is cancelled too; it is armed again later
                settle([&] { return finished; });
            }
            written += wrote;
            if (error == asio::error::operation_aborted) {
                return Status::timedOut(name_ + ": the server stopped taking data");
            }
            if (error) {
                lose(error);
                return reportLost();
            }
        }
        return Status::done();
    }

    void queueControl(const std::vector<std::uint8_t>& bytes) {
        control_.insert(control_.end(), bytes.begin(), bytes.end());
    }

    // Our own commands and answers, whole: a server that cannot take a few
    // bytes in the reply time is gone.
    Status flushControl() {
        if (control_.empty() || lost_ || !socket_.is_open()) {
            return Status::done();
        }
        std::vector<std::uint8_t> bytes = std::move(owed_);
        owed_.clear();
        bytes.insert(bytes.end(), control_.begin(), control_.end());
        control_.clear();
        std::size_t written = 0;
        Status status =
            writeAll(bytes.data(), bytes.size(), TransportClock::now() + timings_.reply, written);
        if (status.outcome == Outcome::TimedOut) {
            return loseSilently(name_ + ": the server stopped taking data");
        }
        return status;
    }

    microseconds pendingWireTime() const {
        const auto now = TransportClock::now();
        return outputEnd_ > now ? std::chrono::ceil<microseconds>(outputEnd_ - now)
                                : microseconds(0);
    }

    void shutDown() {
        open_ = false;
        if (socket_.is_open()) {
            std::error_code ignored;
            socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
            socket_.close(ignored);
        }
        settle([this] { return !reading_; });
        io_.restart();
        inbox_.clear();
        reader_.reset();
    }

    // --- what the server sends -----------------------------------------

    void data(const std::uint8_t* bytes, std::size_t count) override {
        if (discarding_) {
            return;
        }
        inbox_.insert(inbox_.end(), bytes, bytes + count);
    }

    void negotiation(std::uint8_t verb, std::uint8_t option) override {
        queueControl(options_.receive(verb, option));
    }

    void subnegotiation(const std::vector<std::uint8_t>& body) override {
        if (body.size() < 2 || body[0] != telnet::COM_PORT || body[1] < telnet::com::serverOffset) {
            return;
        }
        using namespace telnet::com;
        const std::uint8_t code = body[1] - serverOffset;
        switch (code) {
        case FLOWCONTROL_SUSPEND:
            suspended_ = true;
            return;
        case FLOWCONTROL_RESUME:
            suspended_ = false;
            return;
        case NOTIFY_LINESTATE:
        case NOTIFY_MODEMSTATE:
            // News about the far line; nothing here depends on it, and the
            // data around it flows on untouched.
            return;
        default:
            break;
        }
        Reply& reply = replies_[code];
        reply.payload.assign(body.begin() + 2, body.end());
        ++reply.count;
        if (code == SET_BAUDRATE && answered(code)) {
            discarding_ = false; // the query behind a purge is answered
        }
    }

    // The server's answers to one command: how many we asked for, how many
    // came, and the value of the last.
    struct Reply {
        unsigned asked = 0;
        unsigned count = 0;
        std::vector<std::uint8_t> payload;
    };

    std::string name_;
    NetworkTimings timings_;
    std::optional<NetworkAddress> address_;

    asio::io_context io_;
    asio::ip::tcp::socket socket_{io_};
    std::array<std::uint8_t, 4096> readBuffer_{};
    bool reading_ = false;
    bool open_ = false;
    bool lost_ = false;
    std::string lostReason_;

    LineSettings settings_;
    telnet::Reader reader_;
    std::deque<std::uint8_t> inbox_;
    std::vector<std::uint8_t> control_; // our commands and answers not yet written
    std::vector<std::uint8_t> owed_;    // the second half of a doubled 0xFF cut off
    // Binary both ways (images are raw bytes; without it CR would be
    // stuffed), go-ahead suppressed, the port control option on our side.
    telnet::Negotiator options_{{telnet::BINARY, telnet::SUPPRESS_GO_AHEAD, telnet::COM_PORT},
                                {telnet::BINARY, telnet::SUPPRESS_GO_AHEAD}};
    std::map<std::uint8_t, Reply> replies_;
    bool suspended_ = false;
    bool discarding_ = false; // input predates a discard in progress

    // When the far port will have sent everything so far, as modelled.
    TransportClock::time_point outputEnd_{};
    bool undrained_ = false;
    TransportClock::time_point connectedAt_{};
    // When the server last sent anything, and when it was asked whether it
    // is still there (no value: not asked, or answered).
    TransportClock::time_point lastHeard_{};
    std::optional<TransportClock::time_point> probeSent_;
};

} // namespace

bool isNetworkPortName(std::string_view name) {
    return name.starts_with(scheme);
}

std::optional<NetworkAddress> parseNetworkPortName(std::string_view name) {
    if (!isNetworkPortName(name)) {
        return std::nullopt;
    }
    std::string_view rest = name.substr(scheme.size());
    NetworkAddress address;
    std::string_view portText;
    if (rest.starts_with('[')) {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
            return std::nullopt;
        }
        address.host = rest.substr(1, close - 1);
        portText = rest.substr(close + 2);
    } else {
        const std::size_t colon = rest.find(':');
        if (colon == std::string_view::npos ||
            rest.find(':', colon + 1) != std::string_view::npos) {
            return std::nullopt; // an IPv6 address goes in brackets
        }
        address.host = rest.substr(0, colon);
        portText = rest.substr(colon + 1);
    }
    if (address.host.empty() || portText.empty() || portText.size() > 5 ||
        !std::all_of(portText.begin(), portText.end(),
                     [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    const int port = std::stoi(std::string(portText));
    if (port < 1 || port > 65535 || address.host.find_first_of("/[] ") != std::string::npos) {
        return std::nullopt;
    }
    address.port = std::to_string(port);
    return address;
}

std::unique_ptr<Transport> makeNetworkTransport(const std::string& name) {
    return makeNetworkTransport(name, NetworkTimings{});
}

std::unique_ptr<Transport> makeNetworkTransport(const std::string& name,
                                                const NetworkTimings& timings) {
    if (!isNetworkPortName(name)) {
        return nullptr;
    }
    return std::make_unique<Rfc2217Transport>(name, timings);
}

} // namespace velmora
