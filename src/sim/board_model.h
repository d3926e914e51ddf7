#pragma once

#include "sim/board_options.h"
#include "sim/board_summary.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

// The host's line settings as the board sees them.
struct LineSetting {
    int baud = 0;
    // 8 data bits, no parity, 1 stop bit.
    bool frameOk = true;
    // Settings the host may have had in between two looks of the board: a
    // pseudo-terminal reports that the settings changed, not how often.
    bool unknown = false;
    bool operator==(const LineSetting&) const = default;
};

// The settings a byte may have been sent at: one, or several when the host
// changed its settings while the byte was on its way and the order of the two
// cannot be told apart on a pseudo-terminal (then `unknown` stands for any
// setting the host may have passed through).
using LineRates = std::vector<LineSetting>;

// One byte the board puts on the line.
struct BoardOutput {
    std::uint8_t byte = 0;
    // Sent only once the host has taken everything sent before it, so the two
    // never reach the host in one read (the boot download's end marker).
    bool afterHostDrained = false;
};

// What the board does in answer to one byte (or to a message cut short).
struct BoardResponse {
    std::vector<BoardOutput> outputs;
    // Close the board's end of the line once the outputs before it are sent.
    bool dropLink = false;
    bool empty() const { return outputs.empty() && !dropLink; }
};

// The far end of a line: takes the host's bytes with the time each arrived and
// says what it puts on the line in answer. The board model is one; a test may
// play another byte by byte.
class LineEnd {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~LineEnd() = default;
    // One byte from the host, sent at one of `rates`, that has fully arrived at `at`.
    virtual BoardResponse receive(std::uint8_t byte, const LineRates& rates,
                                  Clock::time_point at) = 0;
    // What it does once the line has been quiet until `now`.
    virtual BoardResponse expire(Clock::time_point /*now*/) { return {}; }
    // When `expire` next has something to do.
    virtual std::optional<Clock::time_point> expiryDeadline() const { return std::nullopt; }
    // Its end of the line went away.
    virtual void noteLinkDropped() {}
    virtual void noteBytesSent(std::size_t /*count*/) {}
};

// The board's behaviour, byte by byte, without any I/O: the firmware's
// trigger word and write protocol, and the chip's boot mode. Single-threaded;
// SimulatedBoard drives it from its line thread.
class BoardModel final : public LineEnd {
public:
    static constexpr std::size_t flashSize = 128 * 1024;
    static constexpr std::size_t blockSize = 128;

    explicit BoardModel(const BoardOptions& options);

    // One byte from the host, sent at one of `rates`, that has fully arrived at `at`.
    BoardResponse receive(std::uint8_t byte, const LineRates& rates, Clock::time_point at) override;

    // Drops a message cut short once the line has been quiet for the message gap.
    BoardResponse expire(Clock::time_point now) override;
    std::optional<Clock::time_point> expiryDeadline() const override;

    // The line rate the step in progress listens at.
    int expectedBaud() const;

    void noteLinkDropped() override;
    void noteBytesSent(std::size_t count) override { summary_.bytesSent += count; }

    const BoardSummary& summary() const { return summary_; }
    const std::vector<std::uint8_t>& flash() const { return flash_; }

private:
    enum class Stage {
        Firmware,         // running its program, listening for a trigger word
        Reflash,          // the firmware's reflash mode
        Adjust,           // boot mode: measuring the host's 0x00 bytes
        Select,           // boot mode: waiting for 0x55
        Length,           // boot mode: the two length bytes
        Download,         // boot mode: the boot program's bytes
        BootProgramWrite, // the downloaded boot program takes a write
        NewFirmwareWrite, // the image it wrote takes the final write
        Astray,           // runs a downloaded program that is not the boot program
        Halted,           // the line is gone
    };
    enum class Step { Command, Size, Blocks, Closing };

    bool isWriteStage() const;
    BoardResponse onTriggerByte(std::uint8_t byte);
    BoardResponse onWriteByte(std::uint8_t byte);
    BoardResponse onCommandBlock();
    BoardResponse onSizeMessage();
    BoardResponse onBlock();
    BoardResponse onClosing();
    BoardResponse onBootByte(std::uint8_t byte);
    BoardResponse onAdjustByte(std::uint8_t byte);
    BoardResponse onSelectByte(std::uint8_t byte);
    BoardResponse onLengthByte(std::uint8_t byte);
    BoardResponse onDownloadByte(std::uint8_t byte);
    BoardResponse echo(std::uint8_t byte);
    void endWrite(bool completed);
    void enterBootStart();
    void eraseNamedBlocks();

    BoardResponse answer(std::uint8_t byte);
    void record(std::string kind, std::size_t bytes, std::string result, int reply);
    void recordIgnored(const std::string& why, const LineRates& rates);
    void noteFault(std::string fault);
    bool blockFaultApplies() const;
    WriteRecord& currentWrite() { return summary_.writes.back(); }
    std::string stageName() const;

    BoardOptions options_;
    BoardSummary summary_;
    std::vector<std::uint8_t> flash_;
    Stage stage_;
    Step step_ = Step::Command;

    std::vector<std::uint8_t> pending_; // the message being assembled
    LineRates pendingRates_;            // the rates its bytes came at
    LineRates byteRates_;               // the rates of the byte being handled
    Clock::time_point lastByteAt_{};

    std::uint32_t writeSize_ = 0;
    int blocksExpected_ = 0;
    int blocksReceived_ = 0;
    std::uint8_t blockSum_ = 0;
    int writeNumber_ = 0;

    int adjustZeros_ = 0;
    int adjustRecord_ = -1;
    int downloadIndex_ = 0; // bytes taken after 0x55, the two length bytes included
    int wrongEchoesLeft_ = 0;
    std::uint32_t bootLength_ = 0;
    std::vector<std::uint8_t> program_;
    bool silenceNoted_ = false;
};

} // namespace velmora
