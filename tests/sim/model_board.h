#pragma once

// The board model on a model line, with the simulated board's face, and a
// host that speaks to it as ScriptedHost speaks to a pseudo-terminal: the
// board's tests run in-process on a virtual clock.

#include "core/clock.h"
#include "sim/board_model.h"
#include "sim/model_line.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::test {

class ModelBoard {
public:
    explicit ModelBoard(BoardOptions options = {})
        : model(options), line(model, clock, lineOptions(options)) {
        if (!options.strayBytes.empty()) {
            line.farEndSends(options.strayBytes);
        }
    }

    // Nothing to start or stop: the board runs when the host looks.
    bool start() { return true; }
    void stop() {}
    std::string lastError() const { return {}; }

    std::vector<std::uint8_t> flash() const { return model.flash(); }
    BoardSummary summary() const { return model.summary(); }
    bool linkDropped() const { return model.summary().linkDropped; }

    // Each lets the line run until its condition holds, at most `timeout` on the line's clock.
    bool waitFor(const std::function<bool(const BoardSummary&)>& condition,
                 std::chrono::milliseconds timeout) {
        return line.runUntil(clock.now() + timeout, [&] { return condition(model.summary()); });
    }
    bool waitForCompletedWrites(int count, std::chrono::milliseconds timeout) {
        return waitFor([count](const BoardSummary& s) { return s.completedWrites >= count; },
                       timeout);
    }
    bool waitForEndedWrites(int count, std::chrono::milliseconds timeout) {
        return waitFor(
            [count](const BoardSummary& s) { return s.completedWrites + s.failedWrites >= count; },
            timeout);
    }
    // A model line shows the board every setting as it is: nothing to settle.
    int lineChanges() const { return 0; }
    bool waitForLineBaud(int baud, int, std::chrono::milliseconds) const {
        return line.hostSettings().baud == baud;
    }

    VirtualClock clock;
    BoardModel model;
    ModelLine line;

private:
    static ModelLine::Options lineOptions(const BoardOptions& options) {
        ModelLine::Options line;
        line.pace = options.pace;
        line.replyDelay = options.replyDelay;
        return line;
    }
};

// A host on a model board's line: raw 8N1 at the rate it sets.
class ModelHost {
public:
    explicit ModelHost(ModelBoard& board)
        : clock(board.clock), transport(board.line.transport("/dev/ttyModel0")) {
        opened = transport->open(LineSettings{}).ok();
    }

    bool isOpen() const { return transport->isOpen(); }
    void close() { transport->close(); }

    // As a real line's drain does, the bytes sent before are first given
    // their time on the line.
    bool setBaud(int baud, bool twoStopBits = false) {
        if (!opened) {
            return false;
        }
        transport->drain(clock.now() + std::chrono::seconds(10));
        LineSettings settings;
        settings.baud = baud;
        settings.stopBitsTenths = twoStopBits ? 20 : 10;
        return transport->configure(settings).ok();
    }

    bool send(const std::vector<std::uint8_t>& bytes) {
        return transport->send(bytes.data(), bytes.size(), clock.now()).ok();
    }
    bool send(std::string_view text) {
        return send(std::vector<std::uint8_t>(text.begin(), text.end()));
    }

    // Whatever one read delivers once input is there; empty at the timeout or end.
    std::vector<std::uint8_t>
    readOnce(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        if (!transport->waitForInput(clock.now() + timeout).ok()) {
            return {};
        }
        std::vector<std::uint8_t> bytes(transport->available());
        std::size_t taken = 0;
        transport->take(bytes.data(), bytes.size(), taken);
        bytes.resize(taken);
        return bytes;
    }

    // One byte, or -1 at the timeout.
    int readByte(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        if (!transport->waitForInput(clock.now() + timeout).ok()) {
            return -1;
        }
        std::uint8_t byte = 0;
        std::size_t taken = 0;
        transport->take(&byte, 1, taken);
        return taken == 1 ? byte : -1;
    }

private:
    Clock& clock;
    std::unique_ptr<Transport> transport;
    bool opened = false;
};

} // namespace velmora::test
