#pragma once

// A simulated H8/3062F board on a pseudo-terminal.
//
// The board plays its end of the serial line on the master side of a
// pseudo-terminal; a host opens the slave device (or the link named in the
// options) like any serial port, sets its line rate, and talks to it. The
// board reads the host's line settings (baud, 8N1) as they change and treats
// bytes sent at a rate the current step does not listen at as garbage, so a
// host that sends one wrong byte, or sends it at the wrong rate, fails.
//
// Using it from a test or from a program (`--port sim`):
//
//     velmora::BoardOptions options;               // user mode, no faults
//     options.mode = velmora::BoardOptions::Mode::Boot;   // or the chip's boot mode
//     velmora::SimulatedBoard board(options);
//     if (!board.start()) { /* board.lastError() says why */ }
//     std::string device = board.devicePath();     // open this as the serial port
//     ... run the host against `device` ...
//     board.waitForCompletedWrites(1, std::chrono::seconds(30));
//     std::vector<std::uint8_t> flash = board.flash();   // 128 KiB, 0xFF where erased
//     std::string json = board.summary().toJson();      // what the board saw
//     board.stop();                                // or let the destructor do it
//
// What it plays:
// - User mode: waits at 2400 baud for the trigger word ("reflshu" for Flash,
//   "reflsha" for All flash), then in its reflash mode at 9600 takes the
//   34-byte command block (answered 0x06, or `acknowledge`; it erases the
//   blocks named), the 8-byte size message (answered likewise), ceil(size/128)
//   block messages (0x11 + 128 bytes, the last padded with 0xFF; each answered
//   0x11) and the closing message (0x11 + one's complement of the 8-bit sum of
//   every block byte, padding included; answered 0x06, or 0x15 when wrong).
//   A completed write starts the new program (the board waits for a trigger
//   word again); after a failed write it stays in reflash mode, so a write
//   without trigger word ("Write command") is taken. A command block where the
//   size message or a block was due ends the write in progress (a host that
//   gave up) and starts a new one.
// - Refusals: a command block that starts with 'W' but is wrong elsewhere, a
//   size message that is not 00 00 00 00 + a size of 1 to 131072, a block with
//   a wrong lead byte or padding that is not 0xFF, a wrong closing message and
//   a message cut short (silence of `messageGap` in the middle) are answered
//   0x15. A byte other than 'W' where a command block must start is noise and
//   gets no answer; so do bytes at a wrong rate and unknown trigger words.
// - Boot mode: answers 0x00 after `adjustZeros` bytes 0x00, then 0x55 with
//   0xAA (further 0x00 bytes before the 0x55 are ignored); echoes the two
//   length bytes (upper first) and that many program bytes, and sends 0xAA
//   once the host has taken the last echo. The downloaded program then takes a
//   write at 9600 without trigger word (it goes to flash), and after that
//   write's 0x06 the new program takes the final write at 38400; its command
//   block erases all eight blocks again, so the flash ends up holding the
//   final image alone. Any failure, and the end of the run, put the board back
//   at the start of boot mode. A stray byte (the host's failure byte 0x06) is
//   ignored as noise. With `expectedBootProgram` set, a download that differs
//   (a byte repeated after a wrong echo, say) leaves the chip silent for good.
//
// Line rates: the board reads the host's settings from the pseudo-terminal as
// they change. A pseudo-terminal says that they changed, not when relative to
// the bytes around the change, nor how often: bytes that reach the board
// together with a change are held to the settings the board saw before or
// after the change (by default; with `strictRates` off they are not held to a
// rate and their record says rateUncertain), so a host that opens at a wrong
// rate and writes at once is refused. Bytes sent after the board has taken a
// change in are judged by the new settings alone; `waitForLineBaud` (see
// tests/sim/scripted_host.h, `settle`) waits for that.
//
// `--pace` (options.pace): every byte takes 10 bits at the rate in force; the
// board answers no sooner than the message could have crossed the line, and
// its answer takes its own byte time.
//
// Thread-safety: start and stop belong to the thread that owns the board; the
// other members may be called from any thread while the board serves on its own.

#include "sim/board_options.h"
#include "sim/board_summary.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velmora {

class SimulatedBoard {
public:
    explicit SimulatedBoard(BoardOptions options = {});
    ~SimulatedBoard();
    SimulatedBoard(const SimulatedBoard&) = delete;
    SimulatedBoard& operator=(const SimulatedBoard&) = delete;

    // Creates the pseudo-terminal, links it when asked, and starts serving on
    // a thread of its own. False (and lastError) when any of it fails.
    bool start();
    // Stops serving, closes the line and removes the link. Idempotent.
    void stop();

    // The device a host opens: the link when one was asked for, else the
    // pseudo-terminal's own device.
    std::string devicePath() const;
    // The pseudo-terminal's own device (/dev/pts/N).
    std::string terminalPath() const;
    std::string lastError() const;

    // A copy of the flash: 128 KiB, 0xFF where erased.
    std::vector<std::uint8_t> flash() const;
    // A copy of what the board has seen so far.
    BoardSummary summary() const;

    // Bounded waits; each returns true once its condition holds, false at the timeout.
    bool waitForCompletedWrites(int count, std::chrono::milliseconds timeout) const;
    // Writes that ended either way (completed, refused, dropped).
    bool waitForEndedWrites(int count, std::chrono::milliseconds timeout) const;
    bool waitFor(const std::function<bool(const BoardSummary&)>& condition,
                 std::chrono::milliseconds timeout) const;
    // How many changes of the host's line settings the board has taken in.
    int lineChanges() const;
    // Waits until the board has taken in more than `changesBefore` changes and
    // the host's line is at this rate, with every byte sent before the change
    // taken: bytes sent from then on are judged by this rate alone. (A change
    // and bytes that reach the board together cannot be put in order on a
    // pseudo-terminal; such bytes are not held to a rate.)
    bool waitForLineBaud(int baud, int changesBefore, std::chrono::milliseconds timeout) const;
    // The rate of the host's line as the board last took it in; 0 before it first looked.
    int settledBaud() const;

    bool linkDropped() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace velmora
