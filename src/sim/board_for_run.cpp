#include "sim/board_for_run.h"

#include <chrono>
#include <utility>

namespace velmora {

namespace {

// The longest an open or a change of settings waits for the board to look.
constexpr std::chrono::seconds settleLimit{2};

// A transport on the board's device whose opens and changes of settings wait
// until the board has taken them in; everything else is the device's own.
class SettledTransport final : public Transport {
public:
    SettledTransport(std::unique_ptr<Transport> line, const SimulatedBoard& board)
        : line_(std::move(line)), board_(board) {}

    const std::string& name() const override { return line_->name(); }
    Status open(const LineSettings& settings) override {
        return settled(settings, [&] { return line_->open(settings); });
    }
    bool isOpen() const override { return line_->isOpen(); }
    Status configure(const LineSettings& settings) override {
        return settled(settings, [&] { return line_->configure(settings); });
    }
    const LineSettings& settings() const override { return line_->settings(); }
    Status send(const std::uint8_t* bytes, std::size_t count, Deadline deadline) override {
        return line_->send(bytes, count, deadline);
    }
    Status waitForInput(Deadline deadline) override { return line_->waitForInput(deadline); }
    std::size_t available() override { return line_->available(); }
    Status take(std::uint8_t* buffer, std::size_t limit, std::size_t& taken) override {
        return line_->take(buffer, limit, taken);
    }
    Status drain(Deadline deadline) override { return line_->drain(deadline); }
    Status discardInput() override { return line_->discardInput(); }
    Status setModemLine(ModemLine line, bool raised) override {
        return line_->setModemLine(line, raised);
    }
    void close() override { line_->close(); }

private:
    // Every change the board learns of is reported to it; one to the rate it
    // already holds needs no wait, as the bytes that follow are judged by it either way.
    template <typename Change> Status settled(const LineSettings& settings, Change change) {
        const int changesBefore = board_.lineChanges();
        const bool alreadyHeld = board_.settledBaud() == settings.baud;
        Status status = change();
        if (status.ok() && !alreadyHeld) {
            board_.waitForLineBaud(settings.baud, changesBefore, settleLimit);
        }
        return status;
    }

    std::unique_ptr<Transport> line_;
    const SimulatedBoard& board_;
};

} // namespace

std::unique_ptr<SimulatedBoard> startBoardFor(SimulatedRun run, BoardOptions base,
                                              std::string* error) {
    base.mode = run == SimulatedRun::BootMode ? BoardOptions::Mode::Boot : BoardOptions::Mode::User;
    base.startInReflashMode = run == SimulatedRun::Write;
    auto board = std::make_unique<SimulatedBoard>(std::move(base));
    if (!board->start()) {
        if (error) {
            *error = board->lastError();
        }
        return nullptr;
    }
    return board;
}

Ports::Opener reachSettled(const SimulatedBoard& board, Ports::Opener other) {
    return
        [&board, other = std::move(other)](const std::string& name) -> std::unique_ptr<Transport> {
            std::unique_ptr<Transport> line = other(name);
            if (name != board.devicePath() && name != board.terminalPath()) {
                return line;
            }
            return std::make_unique<SettledTransport>(std::move(line), board);
        };
}

} // namespace velmora
